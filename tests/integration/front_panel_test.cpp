// The real ombrix driven through its front panel: the simulator's key
// presser writes the virtual GPIO block, and what the keys do shows up on
// the controller's wire and in the files. One run of the program carries
// the scenarios, since its start-up alone takes ~13 s.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/keys_sim.h"
#include "support/sim_harness.h"
#include "support/wait.h"

using namespace std::chrono_literals;
using simtest::ControllerSim;
using simtest::KeysSim;
using simtest::OmbrixProcess;
using simtest::SimRoot;

namespace {

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

struct PanelRun {
  SimRoot root;
  ControllerSim ctl;
  KeysSim keys;
  OmbrixProcess app;

  // Starts everything and waits for the end of the program's start-up.
  bool start() {
    return root.ok() && ctl.start(root) && keys.start(root) && app.start(root) &&
           app.out().waitForText("GPIO loop start", 10s) >= 0 &&
           app.out().waitForText("!!!mykivo", 30s) >= 0;
  }
  std::string setup() const { return readFile(root.path("/opt/set/setup.txt")); }
  bool setupHas(const std::string &line) const {
    return setup().find(line + "\n") != std::string::npos;
  }
};

TEST(FrontPanelRun, KeysWalkTheMenuOpenTheMemoryTableAndChangeTheBank) {
  PanelRun run;
  // Bank 2 has a band table of its own, for the reset below.
  run.root.writeFile("/opt/set/antenna_b2.txt", "!Gen\n160m 1800000 2000000 1 1 0 0 0.0\n");
  ASSERT_TRUE(run.start()) << run.app.out().text();

  // The menu: open it, down to "FREQ Input Sens", open the value, change it,
  // confirm. The setting is saved and sent to the controller.
  size_t from = run.ctl.out().size();
  ASSERT_TRUE(run.keys.press("5 4 6 5 6"));
  EXPECT_GE(run.ctl.waitCommand("FS10001;", 10s, from), 0) << run.ctl.out().text(from);
  EXPECT_TRUE(WaitUntil([&] { return run.setupHas("FreqSensIn: 1"); }, 10s)) << run.setup();
  ASSERT_TRUE(run.keys.press("1"));  // back to the main screen

  // A long press of key 1 opens the memory table and leaves the bank alone;
  // its utilities (key 5), reset (key 3) of the next bank (key 2) and START
  // (key 6) then reset bank 2.
  auto exists = [&](const char *p) { return access(run.root.path(p).c_str(), F_OK) == 0; };
  ASSERT_TRUE(run.keys.press("L1 5 3 2 6"));
  EXPECT_TRUE(WaitUntil([&] { return !exists("/opt/set/antenna_b2.txt"); }, 10s))
      << "the reset reached the memory table's utilities";
  EXPECT_TRUE(exists("/opt/set/antenna_b1.txt"));
  EXPECT_TRUE(run.setupHas("NumBanco: 1"));
  ASSERT_TRUE(run.keys.press("1"));  // memory table closed

  // A short press of key 1 on the main screen is the next bank.
  ASSERT_TRUE(run.keys.press("1"));
  EXPECT_TRUE(WaitUntil([&] { return run.setupHas("NumBanco: 2"); }, 10s)) << run.setup();

  run.app.stop();
}

TEST(FrontPanelRun, Key6OnAListedErrorSendsTheRecoverySequence) {
  PanelRun run;
  ASSERT_TRUE(run.start()) << run.app.out().text();
  // The controller reports the high-SWR trip: HI SWR (code 1) is listed.
  ASSERT_TRUE(run.ctl.control("set swr 1"));
  ASSERT_GE(run.app.out().waitFor(
                [](const std::string &l) {
                  return l.rfind("Add: N: ", 0) == 0 && l.size() > 6 &&
                         l.compare(l.size() - 6, 6, " err:1") == 0;
                },
                10s),
            0)
      << run.app.out().text();

  // Key 6 is the error key now: the reset sequence goes out back to back.
  size_t from = run.ctl.out().size();
  ASSERT_TRUE(run.keys.press("6"));
  int first = run.ctl.waitCommand("CPFFFF;", 10s, from);
  ASSERT_GE(first, 0) << run.ctl.out().text(from);
  ASSERT_GE(
      run.ctl.out().waitFor(
          [](const std::string &l) { return ControllerSim::CommandOf(l).rfind("AT", 0) == 0; }, 10s,
          static_cast<size_t>(first)),
      0);
  std::vector<std::string> sent = run.ctl.commands(static_cast<size_t>(first));
  ASSERT_GE(sent.size(), 4u);
  EXPECT_EQ(sent[0], "CPFFFF;");
  EXPECT_EQ(sent[1], "MP0;");
  EXPECT_EQ(sent[2], "AB0;");  // the amplifier in use, not bypassed
  EXPECT_EQ(sent[3].compare(0, 2, "AT"), 0) << sent[3];
  ASSERT_TRUE(run.ctl.control("set swr auto"));
  run.app.stop();
}

}  // namespace
