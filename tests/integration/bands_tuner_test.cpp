// The program against the simulated controller: the refresh loop follows the
// frequency the controller measures (Generic mode of work) and applies the
// band table, filters, thresholds and the tune memory; automatic tuning
// against the simulated L network and antenna stores what it finds, and the
// real ombrix recalls it after a restart; in NEB mode the real ombrix tunes
// by itself when the transceiver keys its carrier.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "config/config.h"
#include "controller/link.h"
#include "core/setup.h"
#include "core/works.h"
#include "errors/errors.h"
#include "sim/antenna_model.h"
#include "support/link_driver.h"
#include "support/link_sims.h"
#include "support/relay_word.h"
#include "support/sim_harness.h"
#include "support/wait.h"
#include "tuner/tuner.h"
#include "ui/ui.h"

using namespace std::chrono_literals;
using simtest::ControllerSim;
using simtest::NebSim;
using simtest::OmbrixProcess;
using simtest::SimRoot;

namespace {

// Commands other than the status polls, frequency reads and fan commands
// (the fan follows the temperatures on its own), from `from` on, up to and
// including `until`.
std::vector<std::string> settingsUntil(ControllerSim &ctl, size_t from, const std::string &until) {
  std::vector<std::string> out = ctl.commands(from, until);
  std::erase_if(out, [](const std::string &c) {
    return c == "ST;" || c == "FM;" || c.compare(0, 2, "FN") == 0;
  });
  return out;
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
  EXPECT_EQ(sent[0], "SF3000004;");                         // filter
  EXPECT_EQ(sent[1].substr(0, 2), "TS");                    // thresholds of the 40 m row
  EXPECT_EQ(sent[2], "SA2;");                               // antenna
  EXPECT_EQ(sent[3], RelayCommand(RelayWord(1, 37, 112)));  // relay word from the memory file
  EXPECT_EQ(sent[4], "AB0;");                               // operate
  EXPECT_EQ(sent[5], "AT10;");                              // attenuator
  EXPECT_GE(app.out().waitForText("MEMTUNE: load a Tune for 7100000 idx:2120", 1s), 0);

  app.stop();
}

// The tunings: the controller link and the refresh loop of the program run
// in this process, so the test can press the tune key by calling its action.
void *runLinear(void *works) {
  return Linear(works);
}
void *runTimer(void *works) {
  return timer(works);
}

struct TuneRig {
  SimRoot root;
  ControllerSim ctl;
  TestWorks tw;
  pthread_t link{}, loop{};
  bool running = false;
  Works *w() { return tw.get(); }

  ~TuneRig() {
    stopThreads();
    FreeConfigTable(w());
    unsetenv("OMBRIX_ROOT");
  }
  void stopThreads() {
    if (!running) return;
    w()->running = 0;
    pthread_join(loop, nullptr);
    pthread_join(link, nullptr);
    running = false;
  }
  // main's start-up, shortened: tables, the bank, the controller's start-up
  // queue; then the link and the refresh loop.
  ::testing::AssertionResult start() {
    if (!root.ok()) return ::testing::AssertionFailure() << "no root";
    setenv("OMBRIX_ROOT", root.dir().c_str(), 1);
    Works *works = w();
    SetSetupText(works, SB_LinPort, "/dev/ttyAMA0");
    SetSetupChar(works, SB_AutoTuneTipo, '0');  // the sweep search
    works->autoTuneMode = 1;                    // automatic tuning allowed
    InitErrorTable(works);
    ReadConfigFile(works);
    LoadTabFiltri(works);
    works->numBanco = 1;
    LoadAllBankTable(works, 1);
    InitMicroCmd(works);
    works->startupDone = 1;
    works->running = 1;
    if (pthread_create(&link, nullptr, runLinear, works) != 0 ||
        pthread_create(&loop, nullptr, runTimer, works) != 0)
      return ::testing::AssertionFailure() << "no threads";
    running = true;
    return ::testing::AssertionSuccess();
  }
  // Waits for the end of a tuning started after wire line `from`: the tuning
  // state is back to idle and, after the last relay word, the operating
  // attenuator has gone out. Returns the wire index of that command, -1 at
  // the deadline. Looked at on every status poll, which never stops.
  int tuningEnd(size_t from) {
    auto deadline = simtest::Clock::now() + 60s;
    size_t scan = from;
    while (simtest::Clock::now() < deadline) {
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - simtest::Clock::now());
      int st = ctl.waitCommand("ST;", left, scan);
      if (st < 0) return -1;
      scan = static_cast<size_t>(st) + 1;
      if (w()->autoTuneState != 0) continue;
      std::vector<std::string> lines = ctl.out().lines(from);
      int lastWord = -1, at = -1;
      for (size_t i = 0; from + i < scan && i < lines.size(); ++i) {
        std::string c = ControllerSim::CommandOf(lines[i]);
        if (c.compare(0, 3, "MT1") == 0) lastWord = static_cast<int>(i);
        if (c == "AT00;" && lastWord >= 0) at = static_cast<int>(from + i);
      }
      if (at > static_cast<int>(from) + lastWord) return at;
    }
    return -1;
  }
};

// The relay word of each "MT1" command, in order.
std::vector<uint32_t> relayWords(ControllerSim &ctl, size_t from, size_t to) {
  std::vector<uint32_t> out;
  std::vector<std::string> lines = ctl.out().lines(from);
  for (size_t i = 0; i < lines.size() && from + i <= to; ++i) {
    std::string c = ControllerSim::CommandOf(lines[i]);
    if (c.size() == 12 && c.compare(0, 3, "MT1") == 0)
      out.push_back(static_cast<uint32_t>(strtoul(c.substr(3, 8).c_str(), nullptr, 16)));
  }
  return out;
}

TEST(TuneRun, StoredTuneThenFineSearchThenRestartRecallsIt) {
  TuneRig r;
  ASSERT_TRUE(r.root.ok());
  r.root.writeFile("/opt/set/antenna_b1.txt", "!Gen\n20m 14000000 14350000 1 1 0 0 0.0\n");
  const Impedance load(150, -80);
  ASSERT_TRUE(r.ctl.start(r.root, {"--set", "fm=14200000", "--amp", "drive=2"}));
  ASSERT_TRUE(r.ctl.control("antenna 1 150 -80"));
  ASSERT_TRUE(r.start());
  Works *w = r.w();
  // The band is applied at 14.2 MHz: no stored tune yet, the cleared word.
  ASSERT_GE(r.ctl.waitCommand("MT100800000;", 30s), 0) << r.ctl.out().text();
  ASSERT_EQ(w->frequency, 14200000);

  // The transceiver's carrier is on (Generic mode has no transmit detection
  // of its own): the first tune is the sweep, from L = C = 0 in network B.
  w->txDetected = 1;
  size_t from = r.ctl.out().size();
  GoTune(w);
  EXPECT_EQ(w->tuneStato, kTuneSweep);
  int end = r.tuningEnd(from);
  ASSERT_GE(end, 0) << r.ctl.out().text(from);
  EXPECT_EQ(w->autoTuneState, 0);
  std::vector<uint32_t> words = relayWords(r.ctl, from, static_cast<size_t>(end));
  ASSERT_GE(words.size(), 10u);
  EXPECT_EQ(words[0], kModeBitB);
  EXPECT_EQ(w->tuneFine, 1);
  uint32_t stored = w->tuneVal;
  double storedSwr = TunerSwr(stored, 14.2e6, load);
  EXPECT_LT(storedSwr, 1.5);
  EXPECT_EQ(words.back(), stored);  // the best word is the last one written
  char line[64];
  snprintf(line, sizeof line, "3130 14200000 1 %d %d %d\n", DecodeModoFromTuneval(stored),
           DecodeInduttanzaFromTuneval(stored), DecodeCapacitaFromTuneval(stored));
  std::ifstream in(r.root.path("/opt/set/atu_ant1_b1.txt"));
  std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(file, line);

  // The same frequency again: the fine search, one step around the stored word.
  from = r.ctl.out().size();
  GoTune(w);
  EXPECT_EQ(w->tuneStato, kTuneFine);
  int fineEnd = r.tuningEnd(from);
  ASSERT_GE(fineEnd, 0) << r.ctl.out().text(from);
  words = relayWords(r.ctl, from, static_cast<size_t>(fineEnd));
  ASSERT_GE(words.size(), 3u);
  EXPECT_EQ(words[0], stored);
  // The first move: one C step up, L and the network kept.
  auto moved = std::find_if(words.begin(), words.end(), [&](uint32_t v) { return v != stored; });
  ASSERT_NE(moved, words.end());
  EXPECT_EQ(DecodeCapacitaFromTuneval(*moved), DecodeCapacitaFromTuneval(stored) + 1);
  EXPECT_EQ(*moved & ~kCMask, stored & ~kCMask);
  EXPECT_LE(words.size(), 100u);  // about 4 x 21 moves, not a sweep
  EXPECT_LE(TunerSwr(w->tuneVal, 14.2e6, load), storedSwr + 1e-6);
  stored = w->tuneVal;
  EXPECT_EQ(ExistError(w, ERR_TUNE_MAX_SWR), 0);
  r.stopThreads();

  // A restart of the program: the band evaluation recalls the word from the file.
  size_t mark = r.ctl.out().size();
  OmbrixProcess app;
  ASSERT_TRUE(app.start(r.root));
  ASSERT_GE(r.ctl.waitCommand(RelayCommand(stored), 40s, mark), 0)
      << r.ctl.out().text(mark) << app.out().text();
  EXPECT_GE(app.out().waitForText("MEMTUNE: load a Tune for 14200000 idx:3130", 1s), 0);
  app.stop();
}

TEST(TuneRun, NebCarrierStartsTheMatchSearchFromAColdStart) {
  SimRoot root;
  ASSERT_TRUE(root.ok());
  // NEB mode, automatic tuning allowed, the match search; nothing stored.
  root.writeFile("/opt/set/setup.txt",
                 "EnableKeyb: 0\nEnableGPIO: 0\nEnableRead: 0\nEnableWrite: 0\nEnableCAT: 0\n"
                 "EnableLinear: 1\nEnableTime: 1\nWebSocket: 0\nLinPort: /dev/ttyAMA0\n"
                 "EnableFFT: 0\nSerPort: /dev/ttyUSB1\nNumBanco: 1\nAutoTuneMode: 1\n"
                 "AutoTuneTipo: 2\n");
  root.writeFile("/opt/set/antenna_b1.txt", "!Neb\n20m 14000000 14350000 1 1 0 0 0.0\n");
  // A doublet's feed point off resonance: high impedance, strongly inductive.
  const Impedance load(2000, 1500);
  const double freq = 14074000;
  ControllerSim ctl;
  ASSERT_TRUE(ctl.start(root));
  ASSERT_TRUE(ctl.control("antenna 1 2000 1500"));
  NebSim neb;
  ASSERT_TRUE(neb.start(root, {"freq 14074000"}));
  OmbrixProcess app;
  ASSERT_TRUE(app.start(root));
  ASSERT_GE(app.out().waitForText("Timer thread started", 30s), 0) << app.out().text();
  ASSERT_GE(ctl.waitCommand("FA00014074000;", 10s), 0) << ctl.out().text();

  // The transceiver keys its carrier: the refresh loop starts the tuning.
  // The carrier reaches the amplifier once the loop has seen the transmit
  // bit (the loop does not look at that bit while the amplifier transmits).
  size_t mark = app.out().size();
  ASSERT_TRUE(neb.control("tx on 2"));
  ASSERT_GE(app.out().waitForText("TUNE COMPLETE------------ TIPO: 2", 10s, mark), 0)
      << app.out().text(mark);
  ASSERT_GE(app.out().waitForText("TUNE CLEAR", 10s, mark), 0) << app.out().text(mark);
  size_t wire = ctl.out().size();  // the tuning's set-up commands are out
  ASSERT_TRUE(ctl.control("amp drive 2"));
  ASSERT_GE(app.out().waitForText("Save TuneVal", 30s, mark), 0) << app.out().text(mark);
  // The operating attenuator goes back in after the memory file is written.
  ASSERT_GE(ctl.waitCommand("AT00;", 10s, wire), 0) << ctl.out().text(wire);
  EXPECT_GE(app.out().waitForText("TUNE MATCH: load", 0ms, mark), 0);
  ASSERT_TRUE(ctl.control("amp drive 0"));
  ASSERT_TRUE(neb.control("tx off"));

  // The stored word matches the antenna. The file writer puts it on the
  // card a moment after the tune.
  int index = 0, stored = 0, mode = 0, l = -1, c = -1;
  long f = 0;
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::ifstream in(root.path("/opt/set/atu_ant1_b1.txt"));
        return static_cast<bool>(in >> index >> f >> stored >> mode >> l >> c);
      },
      10s, 100ms));
  EXPECT_EQ(index, 3117);
  EXPECT_LT(TunerSwr(RelayWord(mode, l, c), freq, load), 1.5) << mode << " " << l << " " << c;
  app.stop();
}

}  // namespace
