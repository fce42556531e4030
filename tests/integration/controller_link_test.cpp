// The real ombrix against the simulated controller over a pseudo-terminal:
// the port found late, the start-up sequence on the wire, rejected and
// damaged replies, a silent controller, and a clean stop. One run of the
// program carries all of them, since its start-up alone takes ~13 s.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "controller/link.h"
#include "core/setup.h"
#include "support/link_driver.h"
#include "support/sim_harness.h"
#include "support/test_thread.h"

using namespace std::chrono_literals;
using simtest::ControllerSim;
using simtest::OmbrixProcess;
using simtest::SimRoot;

namespace {

TEST(ControllerLinkRun, WholeProgramAgainstTheSimulatedController) {
  SimRoot root;
  ASSERT_TRUE(root.ok());
  OmbrixProcess app;
  ASSERT_TRUE(app.start(root));

  // No port yet: reported, then tried again every few seconds.
  ASSERT_GE(app.out().waitForText("Unable to open device /dev/ttyAMA0", 10s), 0)
      << app.out().text();
  ControllerSim ctl;
  ASSERT_TRUE(ctl.start(root));

  // Start-up: "4dST;" first, then the queued commands one per status cycle,
  // then the idle alternation of status and frequency reads.
  int mr0 = ctl.waitCommand("MR0;", 15s);
  ASSERT_GE(mr0, 0) << ctl.out().text() << app.out().text();
  int fm = ctl.waitCommand("FM;", 5s, static_cast<size_t>(mr0));
  ASSERT_GE(fm, 0);
  int first =
      ctl.out().waitFor([](const std::string &l) { return l.compare(0, 2, "> ") == 0; }, 1s);
  EXPECT_EQ(ctl.out().lines()[static_cast<size_t>(first)], "> 4dST;");
  const std::vector<std::string> queued = {"VSM;", "ER0000;", "ER0001;", "ER0002;", "MP0;",
                                           // the row's thresholds, put back to the
                                           // defaults by the setup file's reading
                                           "TS4095409515003700;", "FN1100;", "AN0;", "SA1;",
                                           "FS00001;", "MT100000000;", "PS0001100000000000;",
                                           "GM00020100;", "GS;", "CPFFFF;", "MR0;",
                                           // the bank's mode of work (Generic)
                                           "GS0300000000;"};
  std::vector<std::string> want;
  for (const auto &q : queued) {
    want.push_back("ST;");
    want.push_back(q);
  }
  want.insert(want.end(), {"ST;", "FM;"});
  EXPECT_EQ(ctl.commands(0, "FM;"), want) << ctl.out().text();
  EXPECT_GE(app.out().waitForText("EE0:OMBRIX SIMULATED CONTROLLER", 1s), 0);

  // A rejected command is sent again.
  ASSERT_TRUE(ctl.control("reject 1 FM"));
  size_t mark = ctl.out().size();
  int rejected = ctl.out().waitForText("FM?;", 5s, mark);
  ASSERT_GE(rejected, 0);
  int again =
      ctl.out().waitFor([](const std::string &l) { return !ControllerSim::CommandOf(l).empty(); },
                        5s, static_cast<size_t>(rejected));
  ASSERT_GE(again, 0);
  EXPECT_EQ(ControllerSim::CommandOf(ctl.out().lines()[static_cast<size_t>(again)]), "FM;");
  EXPECT_GE(app.out().waitForText("CMD Errato:FM?;", 2s), 0);

  // A reply with wrong check digits is dropped; the link goes back to "ST;".
  ASSERT_TRUE(ctl.control("corrupt 1 ST"));
  mark = ctl.out().size();
  int damaged = ctl.out().waitForText("(corrupt)", 5s, mark);
  ASSERT_GE(damaged, 0);
  EXPECT_GE(app.out().waitForText("**** CHK ERROR!!", 2s), 0);
  int after =
      ctl.out().waitFor([](const std::string &l) { return !ControllerSim::CommandOf(l).empty(); },
                        5s, static_cast<size_t>(damaged));
  ASSERT_GE(after, 0);
  EXPECT_EQ(ControllerSim::CommandOf(ctl.out().lines()[static_cast<size_t>(after)]), "ST;");

  // A silent controller: the same command four times, then "ST;" again.
  ASSERT_TRUE(ctl.control("silent 4 FM"));
  mark = ctl.out().size();
  int silentFirst = ctl.waitCommand("FM;", 5s, mark);
  ASSERT_GE(silentFirst, 0);
  int retried = ctl.waitCommand("ST;", 10s, static_cast<size_t>(silentFirst));
  ASSERT_GE(retried, 0) << ctl.out().text(mark);
  EXPECT_EQ(ctl.commands(static_cast<size_t>(silentFirst), "ST;"),
            (std::vector<std::string>{"FM;", "FM;", "FM;", "FM;", "ST;"}));
  EXPECT_GE(app.out().waitForText("STOP RETRAY!! FM", 2s), 0) << app.out().text();

  // A clean stop: SIGTERM ends every thread, the closing lines, exit 0.
  app.signal(SIGTERM);
  EXPECT_GE(app.out().waitForText("Communicator joined Linear end", 30s), 0) << app.out().text();
  EXPECT_GE(app.out().waitForText("Closed!", 10s), 0);
  int st = app.waitExit(10s);
  ASSERT_TRUE(WIFEXITED(st)) << st;
  EXPECT_EQ(WEXITSTATUS(st), 0);
}

// The link thread of the program, in this process, on the simulated
// controller's port: queued commands drain back to back in priority mode.
TEST(ControllerLinkRun, PriorityDrainOverAPseudoTerminal) {
  SimRoot root;
  ASSERT_TRUE(root.ok());
  ControllerSim ctl;
  ASSERT_TRUE(ctl.start(root));
  setenv("OMBRIX_ROOT", root.dir().c_str(), 1);
  TestWorks w;
  SetSetupText(w.get(), SB_LinPort, "/dev/ttyAMA0");
  TestThread th([&] { Linear(w.get()); }, [&] { w->running = 0; });
  ASSERT_GE(ctl.waitCommand("FM;", 5s), 0) << ctl.out().text();

  // Hold the link on a silent controller while the commands are queued.
  ASSERT_TRUE(ctl.control("silent on"));
  size_t mark = ctl.out().size();
  ASSERT_GE(ctl.out().waitForText("(silent)", 5s, mark), 0);
  IncPNTIn_CMDLinear(LP_MP1, w.get());
  IncPNTIn_CMDLinear(LP_AT_MAX, w.get());
  IncPNTIn_CMDLinear(LP_AB0, w.get());
  w->cmdPriority = 1;
  ASSERT_TRUE(ctl.control("silent off"));
  mark = ctl.out().size();
  int back = ctl.waitCommand("AB0;", 10s, mark);
  ASSERT_GE(back, 0) << ctl.out().text(mark);
  ASSERT_GE(ctl.waitCommand("ST;", 5s, static_cast<size_t>(back)), 0);
  std::vector<std::string> sent = ctl.commands(mark, "AB0;");
  ASSERT_GE(sent.size(), 4u);
  // The command held up by the silence, then the three back to back, then "ST;".
  std::vector<std::string> tail(sent.end() - 3, sent.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"MP1;", "AT11;", "AB0;"}));
  std::vector<std::string> next = ctl.commands(static_cast<size_t>(back));
  ASSERT_GE(next.size(), 2u);
  EXPECT_EQ(next[1], "ST;");
  EXPECT_EQ(w->cmdPriority, 0);

  // The controller goes away and comes back on a new port: the link notices,
  // waits, opens the port again and carries on.
  ctl.signal(SIGTERM);
  ASSERT_GE(ctl.waitExit(5s), 0);
  ControllerSim again;
  ASSERT_TRUE(again.start(root));
  int resumed = again.out().waitFor(
      [](const std::string &l) { return !ControllerSim::CommandOf(l).empty(); }, 10s);
  ASSERT_GE(resumed, 0) << again.out().text();
  ASSERT_GE(again.waitCommand("ST;", 5s), 0);
  EXPECT_EQ(w->deviceError, 0);

  w->running = 0;
  th.join();
  unsetenv("OMBRIX_ROOT");
}

}  // namespace
