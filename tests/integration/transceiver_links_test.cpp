// The real ombrix against the simulated transceivers. In NEB mode: the
// transceiver's frequency reaches the controller as "FA", its transmitting
// reaches the amplifier model, a silent EXT IO port is reported at most
// every 2 s, and an unplugged transceiver is reported and taken back when it
// returns. In FT-817 mode the frequency follows the radio. One run of the
// program per mode, since its start-up alone takes ~13 s.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/link_sims.h"
#include "support/sim_harness.h"

using namespace std::chrono_literals;
using simtest::ControllerSim;
using simtest::Ft817Sim;
using simtest::NebSim;
using simtest::OmbrixProcess;
using simtest::SimRoot;

namespace {

// The launcher's root, with the refresh loop on (it sends "FA") and bank 1
// (the current one) in the given mode of work; 40 m is on antenna 2.
void prepare(const SimRoot &root, const char *mode) {
  root.writeFile("/opt/set/setup.txt",
                 "EnableKeyb: 0\nEnableGPIO: 0\nEnableRead: 0\nEnableWrite: 0\nEnableCAT: 0\n"
                 "EnableLinear: 1\nEnableTime: 1\nWebSocket: 0\nLinPort: /dev/ttyAMA0\n"
                 "EnableFFT: 0\nSerPort: /dev/ttyUSB1\nCatSerialPort: /dev/ttyUSB2\n"
                 "NumBanco: 1\n");
  root.writeFile("/opt/set/antenna_b1.txt", std::string(mode) +
                                                "\n40m 7000000 7300000 1 2 0 0 0.0\n"
                                                "20m 14000000 14350000 1 1 0 0 0.0\n"
                                                "15m 21000000 21450000 1 1 0 0 0.0\n");
}

// "FA" goes out from the refresh loop, the last thread started.
void waitForRefreshLoop(OmbrixProcess &app) {
  EXPECT_GE(app.out().waitForText("Timer thread started", 20s), 0) << app.out().text();
}

// The amplifier model's forward power now, in watts (-1 when it does not say).
double ampForward(ControllerSim &ctl) {
  size_t from = ctl.out().size();
  if (!ctl.control("amp state")) return -1;
  int i = ctl.out().waitForText("ctl amp state", 5s, from);
  if (i < 0) return -1;
  std::string line = ctl.out().lines()[static_cast<size_t>(i)];
  size_t at = line.find(" fwd=");
  return at == std::string::npos ? -1 : atof(line.c_str() + at + 5);
}

TEST(TransceiverLinksRun, NebModeFrequencyTransmitSilenceAndUnplug) {
  SimRoot root;
  ASSERT_TRUE(root.ok());
  prepare(root, "!Neb");
  ControllerSim ctl;
  ASSERT_TRUE(ctl.start(root));
  NebSim neb;
  ASSERT_TRUE(neb.start(root, {"--amp-ctl", root.dir() + "/sim/controller.ctl", "--amp-drive",
                               "amp drive %g", "freq 14074000"}));
  OmbrixProcess app;
  ASSERT_TRUE(app.start(root));
  ASSERT_GE(app.out().waitForText("OK works->serFD=", 30s), 0) << app.out().text();
  waitForRefreshLoop(app);

  // The transceiver's frequency, and a change of band, reach the controller.
  ASSERT_GE(ctl.waitCommand("FA00014074000;", 10s), 0) << ctl.out().text();
  size_t mark = ctl.out().size();
  ASSERT_TRUE(neb.control("band 40m"));
  int moved = ctl.waitCommand("FA00007074000;", 5s, mark);
  ASSERT_GE(moved, 0) << ctl.out().text(mark);
  // Then the band's commands: filter, thresholds, and 40 m's antenna 2.
  int sa = ctl.waitCommand("SA2;", 5s, static_cast<size_t>(moved));
  ASSERT_GE(sa, 0) << ctl.out().text(mark);
  std::vector<std::string> after;
  for (const auto &c : ctl.commands(static_cast<size_t>(moved)))
    if (c != "ST;" && c != "FM;") after.push_back(c);
  ASSERT_GE(after.size(), 4u);
  EXPECT_EQ(after[0], "FA00007074000;");
  EXPECT_EQ(after[1].substr(0, 2), "SF") << after[1];
  EXPECT_EQ(after[2].substr(0, 2), "TS") << after[2];
  EXPECT_EQ(after[3], "SA2;");

  // Transmitting drives the amplifier model, which puts out power; and ends there.
  ASSERT_TRUE(neb.control("tx on 10"));
  ASSERT_GE(ctl.out().waitForText("ctl amp drive 10", 5s), 0) << neb.out().text();
  EXPECT_GT(ampForward(ctl), 0.0);
  ASSERT_TRUE(neb.control("tx off"));
  ASSERT_GE(ctl.out().waitForText("ctl amp drive 0", 5s), 0);
  EXPECT_EQ(ampForward(ctl), 0.0);

  // A silent port: "TIMEOUT EXT IO 1", never twice within 2 s.
  mark = app.out().size();
  ASSERT_TRUE(neb.control("silent on"));
  std::vector<std::chrono::steady_clock::time_point> seen;
  auto windowEnd = std::chrono::steady_clock::now() + 7s;
  for (size_t from = mark;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        windowEnd - std::chrono::steady_clock::now());
    if (left <= 0ms) break;
    int i = app.out().waitForText("TIMEOUT EXT IO 1", left, from);
    if (i < 0) break;
    seen.push_back(std::chrono::steady_clock::now());
    from = static_cast<size_t>(i) + 1;
  }
  ASSERT_GE(seen.size(), 1u) << app.out().text(mark);
  // Listed as error 8, the band table having put the program in NEB mode.
  EXPECT_GE(app.out().waitForText(" err:8", 0ms, mark), 0) << app.out().text(mark);
  for (size_t i = 1; i < seen.size(); ++i)
    EXPECT_GE(seen[i] - seen[i - 1], 1900ms) << "report " << i;
  ASSERT_TRUE(neb.control("silent off"));

  // Unplugged: reported; plugged in again: the link takes the new port.
  mark = app.out().size();
  ASSERT_TRUE(neb.control("unplug"));
  ASSERT_GE(app.out().waitForText("Serial: device /dev/ttyUSB1 lost", 5s, mark), 0)
      << app.out().text(mark);
  ASSERT_TRUE(neb.control("plug"));
  ASSERT_GE(app.out().waitForText("OK works->serFD=", 5s, mark), 0) << app.out().text(mark);
  size_t cmark = ctl.out().size();
  ASSERT_TRUE(neb.control("band 15m"));
  EXPECT_GE(ctl.waitCommand("FA00021074000;", 5s, cmark), 0) << ctl.out().text(cmark);

  app.stop();
  EXPECT_GE(app.out().waitForText("Serial EXIT", 0ms), 0);
}

TEST(TransceiverLinksRun, Ft817ModeFrequencyFollowsTheRadio) {
  SimRoot root;
  ASSERT_TRUE(root.ok());
  prepare(root, "!817");
  ControllerSim ctl;
  ASSERT_TRUE(ctl.start(root));
  Ft817Sim radio;
  ASSERT_TRUE(radio.start(root, {"freq 7074000"}));
  OmbrixProcess app;
  ASSERT_TRUE(app.start(root));
  ASSERT_GE(app.out().waitForText("OK works->catSerFD=", 30s), 0) << app.out().text();
  // The radio is polled for frequency and mode.
  ASSERT_GE(radio.out().waitForText("> 00 00 00 00 03", 5s), 0) << radio.out().text();
  ASSERT_GE(radio.out().waitForText("< 00 70 74 00", 5s), 0);
  waitForRefreshLoop(app);
  ASSERT_GE(ctl.waitCommand("FA00007074000;", 10s), 0) << ctl.out().text();
  size_t mark = ctl.out().size();
  ASSERT_TRUE(radio.control("freq 21074000"));
  EXPECT_GE(ctl.waitCommand("FA00021074000;", 5s, mark), 0) << ctl.out().text(mark);
  // An answer that is not BCD changes nothing; the next good one counts.
  mark = ctl.out().size();
  ASSERT_TRUE(radio.control("garbage 3"));
  ASSERT_GE(app.out().waitForText("CAT FT817 freq not decoded", 5s), 0);
  ASSERT_TRUE(radio.control("freq 14074000"));
  EXPECT_GE(ctl.waitCommand("FA00014074000;", 5s, mark), 0) << ctl.out().text(mark);
  EXPECT_LT(ctl.out().waitFor(
                [](const std::string &l) {
                  std::string c = ControllerSim::CommandOf(l);
                  return c.rfind("FA", 0) == 0 && c != "FA00014074000;" && c != "FA00021074000;";
                },
                0ms, mark),
            0);
  app.stop();
}

}  // namespace
