// The real ombrix against the simulated controller: the refresh loop follows
// the frequency the controller measures (Generic mode of work) and applies
// the band table, filters, thresholds and the tune memory.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/works.h"
#include "support/sim_harness.h"
#include "tuner/tuner.h"

using namespace std::chrono_literals;
using simtest::ControllerSim;
using simtest::OmbrixProcess;
using simtest::SimRoot;

namespace {

// Commands other than the status polls, frequency reads and fan commands
// (the fan follows the temperatures on its own), from `from` on, up to and
// including `until`.
std::vector<std::string> settingsUntil(ControllerSim &ctl, size_t from, const std::string &until) {
  std::vector<std::string> out;
  for (const auto &c : ctl.commands(from)) {
    if (c == "ST;" || c == "FM;" || c.compare(0, 2, "FN") == 0) continue;
    out.push_back(c);
    if (c == until) break;
  }
  return out;
}

// A clean stop; a sanitizer's report would show in the exit status.
void stop(OmbrixProcess &app) {
  app.signal(SIGTERM);
  EXPECT_GE(app.out().waitForText("Closed!", 40s), 0) << app.out().text();
  int st = app.waitExit(10s);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st << app.out().text();
}

std::string relayText(int mode, int l, int c) {
  static Works w;
  w.tuneVal = 0;
  SetMode(&w, mode);
  SetI(&w, l);
  SetC(&w, c);
  char text[16];
  snprintf(text, sizeof text, "MT1%08X;", w.tuneVal.load());
  return text;
}

TEST(BandsRun, MeasuredFrequencyMovesToAnotherBand) {
  SimRoot root;
  ASSERT_TRUE(root.ok());
  // Bank 1: 20 m with the amplifier bypassed on antenna 1; 40 m operating on
  // antenna 2 with the 3 dB pad, and a stored tune for 7.1 MHz on antenna 2.
  root.writeFile("/opt/set/antenna_b1.txt",
                 "!Gen\n"
                 "20m 14000000 14350000 0 1 0 0 0.0\n"
                 "40m 7000000 7300000 1 2 0 2 0.0\n");
  root.writeFile("/opt/set/atu_ant2_b1.txt", "2120 7100000 1 1 37 112\n");
  ControllerSim ctl;
  ASSERT_TRUE(ctl.start(root, {"--set", "fm=14200000"}));
  OmbrixProcess app;
  ASSERT_TRUE(app.start(root));

  // First turn of the refresh loop at 14.2 MHz: the 20 m filter, and no
  // stored tune there, so the cleared relay word.
  int cleared = ctl.waitCommand("MT100800000;", 30s);
  ASSERT_GE(cleared, 0) << ctl.out().text() << app.out().text();
  EXPECT_EQ(settingsUntil(ctl, 0, "MT100800000;").back(), "MT100800000;");
  EXPECT_GE(ctl.waitCommand("SF3000008;", 1s), 0);

  // The transceiver moves to 40 m.
  ASSERT_TRUE(ctl.control("set fm 7100000"));
  size_t mark = ctl.out().size();
  int att = ctl.waitCommand("AT10;", 10s, mark);
  ASSERT_GE(att, 0) << ctl.out().text(mark) << app.out().text();
  std::vector<std::string> sent = settingsUntil(ctl, mark, "AT10;");
  ASSERT_EQ(sent.size(), 6u) << ctl.out().text(mark);
  EXPECT_EQ(sent[0], "SF3000004;");           // filter
  EXPECT_EQ(sent[1].substr(0, 2), "TS");      // thresholds of the 40 m row
  EXPECT_EQ(sent[2], "SA2;");                 // antenna
  EXPECT_EQ(sent[3], relayText(1, 37, 112));  // relay word from the memory file
  EXPECT_EQ(sent[4], "AB0;");                 // operate
  EXPECT_EQ(sent[5], "AT10;");                // attenuator
  EXPECT_GE(app.out().waitForText("MEMTUNE: load a Tune for 7100000 idx:2120", 1s), 0);

  stop(app);
}

}  // namespace
