// Protection against the simulated amplifier: the program's controller link
// (in this process, so a test can press the error key by calling its
// handler) talks over a pseudo-terminal to the simulated controller, whose
// amplifier model heats, trips and is driven through its control channel.
// Last, the whole program engages and latches the heat protection by itself.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "controller/link.h"
#include "controller/temperature.h"
#include "core/setup.h"
#include "errors/errors.h"
#include "errors/recovery.h"
#include "support/link_driver.h"
#include "support/sim_harness.h"

using namespace std::chrono_literals;
using simtest::ControllerSim;
using simtest::OmbrixProcess;
using simtest::SimRoot;

namespace {

void *runLinear(void *works) {
  return Linear(works);
}

// The link thread on the simulated controller, with the record prepared as
// main prepares it: error texts, start-up commands, fan curve, start-up done.
struct Rig {
  SimRoot root;
  ControllerSim ctl;
  std::unique_ptr<TestWorks> tw;
  pthread_t thread{};
  bool running = false;

  ~Rig() {
    if (running) {
      (*tw)->running = 0;
      pthread_join(thread, nullptr);
    }
    unsetenv("OMBRIX_ROOT");
  }
  Works *w() { return tw->get(); }

  ::testing::AssertionResult start(const std::string &fanTable,
                                   const std::vector<std::string> &ampArgs, int isteresi2 = 2) {
    if (!root.ok()) return ::testing::AssertionFailure() << "no root";
    root.writeFile("/opt/set/ventola.txt", fanTable);
    if (!ctl.start(root, ampArgs)) return ::testing::AssertionFailure() << ctl.out().text();
    setenv("OMBRIX_ROOT", root.dir().c_str(), 1);
    tw = std::make_unique<TestWorks>();
    Works *works = w();
    SetSetupText(works, SB_LinPort, "/dev/ttyAMA0");
    InitErrorTable(works);
    InitMicroCmd(works);
    works->fanPercentReq = -1;  // as the setup file leaves it after the start-up queue
    works->isteresi1 = 3;
    works->isteresi2 = isteresi2;
    ReadVentolaFile(works);
    works->startupDone = 1;
    if (pthread_create(&thread, nullptr, runLinear, works) != 0)
      return ::testing::AssertionFailure() << "no link thread";
    running = true;
    // Once "MR0;" is answered the start-up queue is through and "CP" acknowledged.
    int mr0 = ctl.waitCommand("MR0;", 10s);
    if (mr0 < 0 || ctl.waitCommand("ST;", 5s, static_cast<size_t>(mr0)) < 0)
      return ::testing::AssertionFailure() << ctl.out().text();
    return ::testing::AssertionSuccess();
  }

  // Index of the wire line carrying command `text`, at or after `from`; the
  // next search starts there.
  int expect(const std::string &text, size_t *from, std::chrono::milliseconds within = 10s) {
    int i = ctl.waitCommand(text, within, *from);
    if (i >= 0) *from = static_cast<size_t>(i) + 1;
    return i;
  }
  // Waits for the command after the wire line at index i: by then the link
  // has decoded the reply to line i.
  bool decodedAfter(int i) {
    return i >= 0 && ctl.out().waitFor(
                         [](const std::string &l) { return !ControllerSim::CommandOf(l).empty(); },
                         5s, static_cast<size_t>(i) + 1) >= 0;
  }
  // Waits until the status reply after the wire line at index i has been
  // decoded (the command following that "ST;" is on the wire).
  bool statusDecodedAfter(int i) {
    if (i < 0) return false;
    int st = ctl.waitCommand("ST;", 5s, static_cast<size_t>(i) + 1);
    return decodedAfter(st);
  }
  // One word of the amplifier model's state ("mp", "pads", "trip", ...).
  std::string amp(const std::string &name) {
    size_t from = ctl.out().size();
    if (!ctl.control("amp state")) return "?";
    int i = ctl.out().waitForText("ctl amp state", 5s, from);
    if (i < 0) return "?";
    std::string line = ctl.out().lines()[static_cast<size_t>(i)];
    size_t p = line.find(" " + name + "=");
    if (p == std::string::npos) return "?";
    p += name.size() + 2;
    return line.substr(p, line.find(' ', p) - p);
  }
};

std::vector<int> listed(Works *w) {
  ErrorListCopy c;
  CopyErrorList(w, &c);
  return std::vector<int>(c.list, c.list + c.count);
}

TEST(ProtectionRun, HeatSinkOverItsSetPointThenCoolingThenTheErrorKey) {
  Rig r;
  ASSERT_TRUE(r.start("30 0\n", {"--amp", "timescale=1"}));
  Works *w = r.w();
  // The conversion stops at 80 C, so the set point must lie below it.
  w->maxTemperature2 = 70.0f;

  size_t from = r.ctl.out().size();
  ASSERT_TRUE(r.ctl.control("amp sink 85"));
  ASSERT_GE(r.expect("MP1;", &from), 0) << r.ctl.out().text(from);
  ASSERT_GE(r.expect("AT11;", &from), 0);
  int ab0 = r.expect("AB0;", &from);
  ASSERT_GE(ab0, 0);
  ASSERT_TRUE(r.decodedAfter(ab0));
  EXPECT_EQ(listed(w), std::vector<int>{ERR_TEMP2_ALARM});
  EXPECT_EQ(r.amp("mp"), "1");
  EXPECT_EQ(r.amp("pads"), "3");
  EXPECT_EQ(r.amp("bypass"), "0");

  ASSERT_TRUE(r.ctl.control("amp sink 55"));
  int ab1 = r.expect("AB1;", &from, 15s);
  ASSERT_GE(ab1, 0) << r.ctl.out().text(from);
  EXPECT_EQ(listed(w), std::vector<int>{ERR_TEMP2_LATCHED});
  ASSERT_TRUE(r.decodedAfter(ab1));
  EXPECT_EQ(r.amp("bypass"), "1");
  EXPECT_EQ(w->ampBypass, 1);

  // The user acknowledges: protection off, bypass kept, attenuator of the
  // operating setting; the list clears at the status reply after them.
  EXPECT_EQ(GPIO_Errori(w), 1);
  ASSERT_GE(r.expect("MP0;", &from), 0) << r.ctl.out().text(from);
  ASSERT_GE(r.expect("AB1;", &from), 0);
  int at = r.expect("AT00;", &from);
  ASSERT_GE(at, 0);
  ASSERT_TRUE(r.statusDecodedAfter(at));
  EXPECT_EQ(w->errorCount, 0);
  EXPECT_EQ(w->errorRecovery, 0);
  EXPECT_EQ(w->errorFlags, 0);
  EXPECT_EQ(r.amp("mp"), "0");
  EXPECT_EQ(r.amp("pads"), "0");
}

bool highSwrReply(const std::string &l) {
  // "< XXSTab...": b is the amplifier state, bit 1 the high-SWR trip.
  if (l.size() < 8 || l.compare(0, 2, "< ") != 0 || l.compare(4, 2, "ST") != 0) return false;
  char b = l[7];
  int v = b >= '0' && b <= '9' ? b - '0' : b >= 'A' && b <= 'F' ? b - 'A' + 10 : 0;
  return (v & 2) != 0;
}

TEST(ProtectionRun, HighSwrTripListsErrorOneAndTheErrorKeyClearsIt) {
  Rig r;
  ASSERT_TRUE(r.start("30 0\n", {}));
  Works *w = r.w();
  size_t from = r.ctl.out().size();
  IncPNTIn_CMDLinear(LP_AB0, w);  // operate, as the band row would ask
  ASSERT_GE(r.expect("AB0;", &from), 0);
  ASSERT_TRUE(r.ctl.control("amp drive 10"));
  ASSERT_TRUE(r.ctl.control("amp swr 3"));
  int trip = r.ctl.out().waitFor(highSwrReply, 5s, from);
  ASSERT_GE(trip, 0) << r.ctl.out().text(from);
  ASSERT_TRUE(r.decodedAfter(trip));
  EXPECT_EQ(ExistError(w, ERR_HI_SWR), 1);
  EXPECT_EQ(w->errorFlags & kFlagResetRequested, kFlagResetRequested);
  EXPECT_EQ(r.amp("trip"), "1");
  EXPECT_EQ(r.amp("fwd"), "0.00");  // the stage is off while tripped

  // Key pressed with the bad load still there: the reset goes out, and the
  // controller trips again at once, so the error comes back.
  from = r.ctl.out().size();
  EXPECT_EQ(GPIO_Errori(w), 1);
  ASSERT_GE(r.expect("CPFFFF;", &from), 0) << r.ctl.out().text(from);
  int at = r.expect("AT00;", &from);
  ASSERT_GE(at, 0);
  ASSERT_TRUE(r.statusDecodedAfter(at));
  int again = r.ctl.out().waitFor(highSwrReply, 5s, static_cast<size_t>(at));
  ASSERT_TRUE(r.decodedAfter(again));
  EXPECT_EQ(ExistError(w, ERR_HI_SWR), 1);

  // The antenna fixed, the key's recovery sequence clears the trip for good.
  ASSERT_TRUE(r.ctl.control("amp swr 1.2"));
  from = r.ctl.out().size();
  EXPECT_EQ(GPIO_Errori(w), 1);
  std::vector<std::string> sequence = {"CPFFFF;", "MP0;", "AB0;", "AT00;"};
  int first = r.ctl.waitCommand(sequence[0], 10s, from);
  ASSERT_GE(first, 0) << r.ctl.out().text(from);
  int last = r.ctl.waitCommand(sequence.back(), 10s, static_cast<size_t>(first));
  ASSERT_GE(last, 0) << r.ctl.out().text(from);
  ASSERT_TRUE(r.statusDecodedAfter(last));
  // Sent back to back (priority), and only then polled again.
  std::vector<std::string> sent = r.ctl.commands(static_cast<size_t>(first));
  ASSERT_GE(sent.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(sent.begin(), sent.begin() + 4), sequence);
  EXPECT_EQ(sent[4], "ST;");
  from = static_cast<size_t>(last) + 1;
  EXPECT_EQ(w->errorCount, 0) << ::testing::PrintToString(listed(w));
  EXPECT_EQ(w->errorFlags, 0);
  EXPECT_EQ(w->cmdPriority, 0);
  EXPECT_EQ(r.amp("trip"), "0");
  int st = r.ctl.waitCommand("ST;", 5s, from);
  ASSERT_TRUE(r.statusDecodedAfter(st));
  EXPECT_EQ(ExistError(w, ERR_HI_SWR), 0);
  EXPECT_GT(w->pwFwd, 40.0f);
}

TEST(ProtectionRun, FanCommandsFollowTheTableAsTheAmplifierHeatsAndCools) {
  Rig r;
  ASSERT_TRUE(r.start("; fan curve\r\n30 0\r\n40 50\r\n55 100\r\n",
                      {"--amp", "timescale=300", "--amp", "ambient=35"}, 2));
  Works *w = r.w();
  size_t from = 0;
  ASSERT_GE(r.expect("FN1000;", &from), 0) << r.ctl.out().text();
  from = r.ctl.out().size();
  IncPNTIn_CMDLinear(LP_AB0, w);
  ASSERT_TRUE(r.ctl.control("amp drive 15"));
  // Heating: half speed from 40 C; at half speed the heat sink still passes
  // 55 C, so full speed; at full speed it cools below 55 - 2 C: half again.
  ASSERT_GE(r.expect("FN1050;", &from, 20s), 0) << r.ctl.out().text(from);
  ASSERT_GE(r.expect("FN1100;", &from, 20s), 0) << r.amp("sink");
  EXPECT_EQ(r.amp("fan"), "100");
  ASSERT_GE(r.expect("FN1050;", &from, 20s), 0) << r.amp("sink");
  // Drive off: the amplifier cools to the ambient and the fan stops.
  ASSERT_TRUE(r.ctl.control("amp drive 0"));
  ASSERT_GE(r.expect("FN1000;", &from, 30s), 0) << r.amp("sink");
  EXPECT_EQ(r.amp("fan"), "0");
  EXPECT_EQ(w->errorCount, 0) << ::testing::PrintToString(listed(w));
}

// The real program: the heat sink passes its set point, protection goes on,
// and on cooling error 21 is latched and the amplifier bypassed.
TEST(ProtectionRun, WholeProgramEngagesAndLatchesHeatProtection) {
  SimRoot root;
  ASSERT_TRUE(root.ok());
  root.writeFile("/opt/set/ventola.txt", "30 0\n45 100\n");
  // The conversion stops at 80 C: a set point of 70 C (the default 80 C is
  // never passed).
  root.appendFile("/opt/set/setup.txt", "MaxTemperature2: 700\n");
  ControllerSim ctl;
  ASSERT_TRUE(ctl.start(root, {"--amp", "timescale=1"}));
  OmbrixProcess app;
  ASSERT_TRUE(app.start(root));
  // The fan rules start once start-up is over (about ten seconds).
  int fan = ctl.waitCommand("FN1000;", 30s);
  ASSERT_GE(fan, 0) << ctl.out().text() << app.out().text();
  EXPECT_GE(app.out().waitForText("N row Ventola File 2", 1s), 0);

  size_t from = ctl.out().size();
  ASSERT_TRUE(ctl.control("amp sink 85"));
  for (const char *c : {"FN1100;", "MP1;", "AT11;", "AB0;"}) {
    int i = ctl.waitCommand(c, 10s, from);
    ASSERT_GE(i, 0) << c << "\n" << ctl.out().text(from) << app.out().text();
    from = static_cast<size_t>(i) + 1;
  }
  EXPECT_GE(app.out().waitForText("err:22", 2s), 0);
  EXPECT_GE(app.out().waitForText("!!!!  TEMP ALLARM:", 2s), 0);

  ASSERT_TRUE(ctl.control("amp sink 40"));
  ASSERT_GE(ctl.waitCommand("AB1;", 15s, from), 0) << ctl.out().text(from);
  EXPECT_GE(app.out().waitForText("!!!! END TEMPERATURE ERROR (22)", 2s), 0);
  EXPECT_GE(app.out().waitForText("err:21", 2s), 0);

  app.stop();
}

}  // namespace
