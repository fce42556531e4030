// The simulated amplifier: gain and class limit, pads, bypass and protection
// mode, the load, the status frame as the program reads it, heat and fan,
// and the controller's own protection.
#include "sim/amp_model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "controller/temperature.h"

using namespace sim;

namespace {

// The status frame read back with the program's default calibration.
struct Decoded {
  int state0, state1, fault;
  double inW, fwdW, reflW, amps, t1, t2;
};

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -100;
}

Decoded decode(const std::string &f) {
  auto num = [&](int at) { return std::atoi(f.substr(at, 4).c_str()); };
  Decoded d;
  d.state0 = hexValue(f[2]);
  d.state1 = hexValue(f[3]);
  double rIn = num(4), rFwd = num(8), rRefl = num(12);
  d.inW = kAmpK2 * rIn * rIn;
  d.fwdW = kAmpK0 * rFwd * rFwd;
  d.reflW = std::max(0.0, kAmpK1 * rRefl * rRefl + kAmpK3 * d.fwdW);
  d.amps = num(16) / 4096.0 * 14.05;
  d.t1 = CalcolaTemp(num(20));
  d.t2 = CalcolaTemp(num(24));
  d.fault = hexValue(f[28]) | hexValue(f[29]) << 4;
  return d;
}

std::string frame(const AmpModel &m) {
  char out[64];
  int n = AmpStatusFrame(m, out, sizeof out);
  return std::string(out, static_cast<size_t>(n));
}

// An amplifier switched to operate, as the program does per band.
AmpModel amp(int powerClass = 60) {
  AmpModel m;
  AmpInit(&m, powerClass);
  EXPECT_TRUE(m.bypass);
  EXPECT_TRUE(AmpCommand(&m, "AB0;"));
  return m;
}

TEST(AmpModel, GainSaturatesNearTheClass) {
  AmpModel m = amp();
  m.driveW = 5;
  double p5 = AmpRead(m).fwdW;
  m.driveW = 10;
  double p10 = AmpRead(m).fwdW;
  m.driveW = 50;
  double p50 = AmpRead(m).fwdW;
  EXPECT_GT(p5, 25);
  EXPECT_GT(p10, p5);
  EXPECT_GT(p50, 60);
  EXPECT_LE(p50, 66.1);

  AmpModel big = amp(120);
  big.driveW = 50;
  EXPECT_GT(AmpRead(big).fwdW, 120);
  EXPECT_LE(AmpRead(big).fwdW, 132.1);

  // Both pads take 5 dB off the drive; protection mode caps the output;
  // bypass passes the drive straight through.
  m.driveW = 5;
  ASSERT_TRUE(AmpCommand(&m, "AT11;"));
  EXPECT_LT(AmpRead(m).fwdW, p5 * 0.5);
  EXPECT_EQ(decode(frame(m)).state0, 0xC);
  ASSERT_TRUE(AmpCommand(&m, "AT10;"));
  EXPECT_EQ(decode(frame(m)).state0, 0x8);
  ASSERT_TRUE(AmpCommand(&m, "AT00;"));
  ASSERT_TRUE(AmpCommand(&m, "MP1;"));
  m.driveW = 50;
  EXPECT_LE(AmpRead(m).fwdW, 60 * 1.1 * 0.25 + 0.01);
  EXPECT_EQ(decode(frame(m)).state1 & 4, 4);
  ASSERT_TRUE(AmpCommand(&m, "MP0;"));
  ASSERT_TRUE(AmpCommand(&m, "AB1;"));
  m.driveW = 7;
  EXPECT_DOUBLE_EQ(AmpRead(m).fwdW, 7);
  EXPECT_DOUBLE_EQ(AmpRead(m).dissW, 0);
  EXPECT_EQ(decode(frame(m)).state1, 0x9);  // transmitting, bypassed
}

TEST(AmpModel, StatusFrameReadsBackAsTheProgramDecodesIt) {
  AmpModel m = amp();
  m.driveW = 8;
  m.loadSwr = 2.0;
  m.boardC = 41.5;
  m.sinkC = 63.2;
  m.faultInjected = 0x12;
  AmpReadings r = AmpRead(m);
  std::string f = frame(m);
  ASSERT_EQ(f.size(), 37u) << f;
  EXPECT_EQ(f.substr(0, 2), "ST");
  EXPECT_EQ(f.back(), ';');
  Decoded d = decode(f);
  EXPECT_NEAR(d.inW, 8, 0.05);
  EXPECT_NEAR(d.fwdW, r.fwdW, r.fwdW * 0.01);
  EXPECT_NEAR(d.reflW, r.fwdW / 9, 0.1);  // SWR 2 reflects a ninth
  EXPECT_NEAR(d.amps, r.currentA, 0.01);
  EXPECT_NEAR(d.t1, 41.5, 0.1);
  EXPECT_NEAR(d.t2, 63.2, 0.1);
  EXPECT_EQ(d.fault, 0x12);
  EXPECT_EQ(d.state1, 1);

  // The inverse thermistor holds over the whole range the program shows.
  for (double t = -10; t <= 80; t += 0.7)
    ASSERT_NEAR(CalcolaTemp(AmpTempToReading(t)), t, 0.1) << t;
  EXPECT_EQ(AmpStatusFrame(m, nullptr, 0), 0);
  char small[10];
  EXPECT_EQ(AmpStatusFrame(m, small, sizeof small), 0);
}

TEST(AmpModel, HeatFollowsDissipationFanAndTimeScale) {
  AmpModel hot = amp();
  hot.driveW = 15;
  AmpModel cooled = hot;
  ASSERT_TRUE(AmpCommand(&cooled, "FN1100;"));
  for (int i = 0; i < 600; ++i) {
    AmpAdvance(&hot, 1);
    AmpAdvance(&cooled, 1);
  }
  EXPECT_GT(hot.sinkC, 70);
  EXPECT_LT(cooled.sinkC, 45);
  EXPECT_GT(cooled.sinkC, 30);
  EXPECT_GT(hot.boardC, 25);
  EXPECT_LT(hot.boardC, hot.sinkC);

  // A shorter clock: one second at scale 600 is ten minutes at scale 1.
  AmpModel fast = amp();
  fast.driveW = 15;
  fast.timeScale = 600;
  AmpAdvance(&fast, 1);
  EXPECT_NEAR(fast.sinkC, hot.sinkC, 0.5);

  // Without drive it cools back to the ambient.
  fast.driveW = 0;
  for (int i = 0; i < 20; ++i) AmpAdvance(&fast, 1);
  EXPECT_NEAR(fast.sinkC, 25, 0.5);
}

TEST(AmpModel, HighSwrTripLatchesUntilClear) {
  AmpModel m = amp();
  m.driveW = 10;
  m.loadSwr = 3.0;
  AmpAdvance(&m, 0.01);
  ASSERT_TRUE(m.swrTrip);
  Decoded d = decode(frame(m));
  EXPECT_EQ(d.state1 & 2, 2);
  EXPECT_NEAR(d.fwdW, 0, 0.01);  // the stage is switched off

  m.loadSwr = 1.1;
  AmpAdvance(&m, 0.01);
  EXPECT_EQ(decode(frame(m)).state1 & 2, 2) << "latched until CPFFFF;";
  ASSERT_TRUE(AmpCommand(&m, "CPFFFF;"));
  AmpAdvance(&m, 0.01);
  EXPECT_FALSE(m.swrTrip);
  EXPECT_GT(decode(frame(m)).fwdW, 40);

  // Lower reflected threshold from "TS": the same load now trips.
  m.loadSwr = 1.5;
  AmpAdvance(&m, 0.01);
  EXPECT_FALSE(m.swrTrip);
  ASSERT_TRUE(AmpCommand(&m, "TS4095409503003700;"));
  EXPECT_EQ(m.ts[2], 300);
  AmpAdvance(&m, 0.01);
  EXPECT_TRUE(m.swrTrip);

  // A load computed from the relay word replaces the fixed SWR.
  AmpModel h = amp();
  h.loadHook = [](uint32_t word, void *) { return word == 0x12345678u ? 1.0 : 9.0; };
  ASSERT_TRUE(AmpCommand(&h, "MT112345678;"));
  EXPECT_DOUBLE_EQ(AmpRead(h).swr, 1.0);
  ASSERT_TRUE(AmpCommand(&h, "MT100000000;"));
  EXPECT_DOUBLE_EQ(AmpRead(h).swr, 9.0);
}

TEST(AmpModel, FaultsResetAndBadCommands) {
  AmpModel m = amp();
  m.driveW = 10;
  ASSERT_TRUE(AmpCommand(&m, "TS0100409515003700;"));  // input limit ~0.06 W
  AmpAdvance(&m, 0.01);
  EXPECT_EQ(decode(frame(m)).fault, 0x20);
  ASSERT_TRUE(AmpCommand(&m, "CPFFFF;"));

  ASSERT_TRUE(AmpCommand(&m, "FN1055;"));
  ASSERT_TRUE(AmpCommand(&m, "AT11;"));
  AmpControllerReset(&m);
  EXPECT_TRUE(m.bypass);
  EXPECT_EQ(m.fanPercent, 0);
  EXPECT_EQ(m.pads, 0);
  EXPECT_EQ(m.ts[0], 4095);
  EXPECT_EQ(decode(frame(m)).fault, 0x80);
  ASSERT_TRUE(AmpCommand(&m, "CPFFFF;"));
  EXPECT_EQ(decode(frame(m)).fault, 0);

  for (const char *bad : {"", ";", "AT2;", "AT1;", "AB;", "ABx;", "FN1abc;", "FN200;", "TS12;",
                          "TS409540954095409X;", "MT1GGGGGGGG;", "CPFFF;", "XX;", "MP0", "AB0;;"})
    EXPECT_FALSE(AmpCommand(&m, bad)) << bad;
  EXPECT_EQ(m.pads, 0);
  EXPECT_TRUE(m.bypass);  // power-on state after the reset
}

}  // namespace
