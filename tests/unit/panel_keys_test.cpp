// Key scanning: debounce, one key at a time, long presses and repeats on an
// injected clock, and a level register that never settles.
#include <gtest/gtest.h>

#include <vector>

#include "core/process_globals.h"
#include "ui/panel.h"
#include "unit/panel_fixture.h"

namespace {

struct Press {
  int key;
  int longFlags;
  long long atMs;
};

std::vector<Press> gPresses;
long long gNow = 0;
int gRepeatKey = 0;  // the key whose long press asks for repeats

int record(Works *, int key, int longFlags) {
  gPresses.push_back({key, longFlags, gNow});
  return key == gRepeatKey && longFlags != 0 ? longFlags : 0;
}

constexpr uint32_t kReleased = kKeyLevelMask;
uint32_t pressed(int key) {
  return kReleased & ~(1u << (kKeyFirstGpio + key - 1));
}

struct Scanner {
  PanelFixture f;
  PanelKeys keys;
  Scanner() {
    PanelKeysInit(&keys);
    gPresses.clear();
    gNow = 0;
    gRepeatKey = 0;
    TIME_LONG_PRESS = 0.5;
  }
  // Passes of 2 ms with the given level.
  void run(uint32_t level, int passes) {
    for (int i = 0; i < passes; ++i) {
      PanelScanKeys(&keys, f.w, level, gNow, record);
      gNow += 2;
    }
  }
};

TEST(PanelKeys, AKeyIsAcceptedOnTheSixthDifferingPassAndReportedOnRelease) {
  Scanner s;
  s.run(pressed(3), 5);
  EXPECT_EQ(s.keys.state[2], 1) << "five differing passes are not enough";
  s.run(kReleased, 10);  // passes without difference do not reset the count
  s.run(pressed(3), 1);
  EXPECT_EQ(s.keys.state[2], 0);
  EXPECT_TRUE(gPresses.empty()) << "a press is reported when the key comes up";
  s.run(kReleased, 6);
  ASSERT_EQ(gPresses.size(), 1u);
  EXPECT_EQ(gPresses[0].key, 3);
  EXPECT_EQ(gPresses[0].longFlags, 0);
}

TEST(PanelKeys, TheSecondOfTwoKeysWaitsUntilTheFirstIsReleased) {
  Scanner s;
  s.run(pressed(1), 6);
  s.run(pressed(1) & pressed(2), 50);
  EXPECT_EQ(s.keys.state[0], 0);
  EXPECT_EQ(s.keys.state[1], 1) << "key 2 is ignored while key 1 is down";
  s.run(pressed(2), 6);  // key 1 comes up, key 2 stays down
  ASSERT_EQ(gPresses.size(), 1u);
  EXPECT_EQ(gPresses[0].key, 1);
  s.run(pressed(2), 1);
  EXPECT_EQ(s.keys.state[1], 0) << "its count was kept, so it is taken at once";
  s.run(kReleased, 6);
  ASSERT_EQ(gPresses.size(), 2u);
  EXPECT_EQ(gPresses[1].key, 2);
}

TEST(PanelKeys, LongPressNoticeAndDeliveryFollowTheClock) {
  Scanner s;
  s.run(pressed(1), 6);  // accepted at 10 ms
  long long start = gNow - 2;
  while (gNow - start <= 340) s.run(pressed(1), 1);
  EXPECT_EQ(s.f.w->uiFlags & 1, 0) << "no notice before 0.35 s";
  while (gNow - start <= 360) s.run(pressed(1), 1);
  EXPECT_EQ(s.f.w->uiFlags & 1, 1) << "notice 0.15 s before the long press";
  while (gNow - start <= 500) s.run(pressed(1), 1);
  EXPECT_TRUE(gPresses.empty()) << "0.5 s exactly is not yet a long press";
  s.run(pressed(1), 400);
  ASSERT_EQ(gPresses.size(), 1u);
  EXPECT_EQ(gPresses[0].longFlags, 1);
  EXPECT_GT(gPresses[0].atMs - start, 500);
  s.run(kReleased, 6);
  EXPECT_EQ(gPresses.size(), 1u) << "no short press after a delivered long press";

  // A longer setting moves the threshold.
  TIME_LONG_PRESS = 1.0;
  gPresses.clear();
  s.run(pressed(6), 6);
  start = gNow - 2;
  s.run(pressed(6), 499);
  ASSERT_TRUE(gPresses.empty());
  s.run(pressed(6), 3);
  ASSERT_EQ(gPresses.size(), 1u);
  EXPECT_EQ(gPresses[0].longFlags, 1 << 5);
}

TEST(PanelKeys, HeldRepeatingKeyStepsAtTheLongPressThenTenthsThenFiftiethsOfASecond) {
  Scanner s;
  gRepeatKey = 3;
  s.run(pressed(3), 6);
  long long start = gNow - 2;
  s.run(pressed(3), 1500);  // three seconds held
  ASSERT_GT(gPresses.size(), 30u);
  EXPECT_NEAR(gPresses[0].atMs - start, 502, 2);
  for (size_t i = 1; i <= 14; ++i)
    EXPECT_NEAR(gPresses[i].atMs - gPresses[i - 1].atMs, 102, 2) << "repeat " << i;
  for (size_t i = 15; i < gPresses.size(); ++i)
    EXPECT_NEAR(gPresses[i].atMs - gPresses[i - 1].atMs, 22, 2) << "repeat " << i;
  for (const Press &p : gPresses) EXPECT_EQ(p.longFlags, 1 << 2);
  s.run(kReleased, 6);  // repeats go on until the release is accepted
  for (const Press &p : gPresses) EXPECT_NE(p.longFlags, 0) << "no short press after repeats";
  size_t n = gPresses.size();
  s.run(kReleased, 100);
  EXPECT_EQ(gPresses.size(), n);
  EXPECT_EQ(s.keys.repeats[2], 0);
}

TEST(PanelKeys, ARegisterThatFlipsEveryPassNeverHoldsTwoKeysNorSticks) {
  Scanner s;
  for (int pass = 0; pass < 20000; ++pass) {
    uint32_t level = pass % 2 ? kReleased : 0;
    if (pass > 10000) level = (pass % 3 ? 0x5A5A5A5Au : 0xA5A5A5A5u);
    s.run(level, 1);
    int down = 0;
    for (int k = 0; k < kPanelKeys; ++k) {
      down += s.keys.state[k] == 0;
      ASSERT_LE(s.keys.diffs[k], 5);
    }
    ASSERT_LE(down, 1) << "pass " << pass;
  }
  s.run(kReleased, 7);
  for (int k = 0; k < kPanelKeys; ++k) EXPECT_EQ(s.keys.state[k], 1) << "key " << k + 1;
  for (const Press &p : gPresses) {
    EXPECT_GE(p.key, 1);
    EXPECT_LE(p.key, 6);
  }
}

}  // namespace
