// The simulator's key presser: its command language, and its presses as the
// program's own front-panel thread sees them on the virtual GPIO block.
#include "sim/keys.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/test_thread.h"
#include "support/wait.h"
#include "ui/panel.h"
#include "ui/ui.h"
#include "unit/panel_fixture.h"

namespace {

TEST(SimKeys, CommandLanguage) {
  std::vector<sim::KeyStep> steps;
  std::string error;
  ASSERT_TRUE(sim::ParseKeyCommand("5 L1 2+3 hold 3 2.0 down 4 up 4 wait 0.5", &steps, &error));
  ASSERT_EQ(steps.size(), 7u);
  EXPECT_EQ(steps[0].keys, std::vector<int>{5});
  EXPECT_DOUBLE_EQ(steps[0].seconds, sim::kShortPressS);
  EXPECT_DOUBLE_EQ(steps[1].seconds, sim::kLongPressS);
  EXPECT_EQ(steps[2].keys, (std::vector<int>{2, 3}));
  EXPECT_DOUBLE_EQ(steps[3].seconds, 2.0);
  EXPECT_EQ(steps[4].kind, sim::KeyStep::DOWN);
  EXPECT_EQ(steps[5].kind, sim::KeyStep::UP);
  EXPECT_EQ(steps[6].kind, sim::KeyStep::WAIT);
  for (const char *bad : {"", "7", "0", "L", "2+", "+2", "hold 3", "hold x 1", "wait -1",
                          "wait 1e9", "down", "55", "hold 3 nan"})
    EXPECT_FALSE(sim::ParseKeyCommand(bad, &steps, &error)) << bad;
}

void press(sim::KeyPanel *p, const char *command) {
  std::vector<sim::KeyStep> steps;
  std::string error;
  ASSERT_TRUE(sim::ParseKeyCommand(command, &steps, &error)) << error;
  sim::RunKeySteps(p, steps);
}

TEST(SimKeys, PressesReachTheFrontPanelThread) {
  PanelFixture f;
  sim::KeyPanel panel;
  std::string error;
  ASSERT_TRUE(sim::KeyPanelOpen(&panel, f.root.path("/dev/mem"), &error)) << error;
  EXPECT_EQ(sim::KeyLevel(&panel) & sim::kAllKeys, sim::kAllKeys);
  f.w->running = 1;
  TestThread t([&] { GPIO(f.w); }, [&] { f.w->running = 0; });

  press(&panel, "L1");  // long press: the memory table
  EXPECT_TRUE(WaitUntil([&] { return f.w->screenState == SS_MEMORY_TABLE; }));
  press(&panel, "1");
  EXPECT_TRUE(WaitUntil([&] { return f.w->screenState == SS_MAIN; }));

  f.w->ampBypass = 0;
  press(&panel, "2+3");  // two keys at once: only the first is seen
  EXPECT_TRUE(WaitUntil([&] { return f.w->attenuatorSel == 1; }));
  EXPECT_EQ(f.w->antenna, 0);

  press(&panel, "4 6");  // tune screen, then manual tune
  ASSERT_TRUE(WaitUntil([&] { return f.w->screenState == SS_MANUAL_TUNE; }));
  f.w->tuneL = 100;
  press(&panel, "hold 3 2.0");  // L up, repeating
  EXPECT_TRUE(WaitUntil([&] { return f.w->tuneL > 110; }));
  EXPECT_LT(f.w->tuneL, 160) << "repeats at 0.1 s, then 0.02 s, not faster";

  f.w->running = 0;
  t.join();
  sim::KeyPanelClose(&panel);
}

}  // namespace
