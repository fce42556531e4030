// Meters: SWR scale, needle angles and geometry, power texts, peak hold and
// fall, and the readings the refresh loop shows (CPU temperature, clock).
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <regex>
#include <string>

#include "core/process_globals.h"
#include "display/display.h"
#include "support/screen_fonts.h"
#include "support/temp_root.h"
#include "ui/plot.h"
#include "ui/ui.h"

namespace {

struct Meter {
  std::unique_ptr<Works> works = std::make_unique<Works>();
  FrameBuffer *fb = fbCreateMemory(800, 480, 4);
  Meter() {
    works->fb = fb;
    works->statusView = 0;
    works->meterView = 1;
    works->cpuTempMissing = 1;  // no "my_temp" here
    works->powerClass = '0';
    TimerPeakSec = 3000;
    PeakDecrement = 1.0;
    PeakDecrementTime = 1;
    fattoremedia = 2;
    number_ofStep_meter_FWD = 60;
    InitMenuLumo(works.get());
    TimerDrawStart(works.get());
    works->reloadBackground = 0;
    FillBox(0, 0, 800, 480, 240, 230, 200, fb, FB_BACKGROUND);  // an ivory meter face
  }
  ~Meter() { fbRelease(fb); }
  const uint8_t *px(int x, int y) const { return fb->back + y * fb->lineBytes + x * 4; }
  bool isRed(int x, int y) const {
    return px(x, y)[2] == 255 && px(x, y)[1] == 0 && px(x, y)[0] == 0;
  }
  void pass() {
    TimerDrawBackground(works.get());
    TimerDrawScreen(works.get(), nullptr);
  }
};

std::string power(Works *w, float watts) {
  char text[32];
  FormatPower(w, watts, text, sizeof text);
  return text;
}

TEST(Meters, SwrScaleFollowsTheTablePoints) {
  EXPECT_FLOAT_EQ(CalcolaSWR(1.0f), 0);
  EXPECT_FLOAT_EQ(CalcolaSWR(1.75f), 15.5f);
  EXPECT_FLOAT_EQ(CalcolaSWR(2.0f), 20);
  EXPECT_FLOAT_EQ(CalcolaSWR(9.5f), 49);
  EXPECT_FLOAT_EQ(CalcolaSWR(55.0f), 55);
  EXPECT_FLOAT_EQ(CalcolaSWR(100.0f), 60);
  EXPECT_FLOAT_EQ(CalcolaSWR(250.0f), 60);
  EXPECT_FLOAT_EQ(CalcolaSWR(0.4f), 0);
  EXPECT_FLOAT_EQ(CalcolaSWR(NAN), 0);
}

TEST(Meters, NeedleAnglesAndTips) {
  const double k = 3.141692653;
  EXPECT_NEAR(NeedleAngle(0, 60), 0.24 * k, 1e-6);
  EXPECT_NEAR(NeedleAngle(60, 60), -0.24 * k, 1e-6);
  EXPECT_NEAR(NeedleAngle(30, 60), 0, 1e-6);
  EXPECT_NEAR(NeedleAngle(80, 120), (0.24 - 80 * 0.48 / 120) * k, 1e-6);
  // Upright needle: 200 up, the 15-pixel side offset turned into the y axis.
  int x, y;
  NeedleEnd(210, 260, 0, &x, &y);
  EXPECT_EQ(x, 209);  // 15 * cos(1.5708463265) is a hair below zero
  EXPECT_EQ(y, 74);   // and 15 * sin of it a hair below 15
  // Zero sits up and to the left of the pivot, full scale mirrored to the right.
  NeedleEnd(210, 260, NeedleAngle(0, 60), &x, &y);
  int xf, yf;
  NeedleEnd(210, 260, NeedleAngle(60, 60), &xf, &yf);
  EXPECT_LT(x, 210 - 100);
  EXPECT_GT(xf, 210 + 100);
  EXPECT_NEAR(y, yf, 1);
  EXPECT_NEAR(210 - x, xf - 210, 2);
}

TEST(Meters, PowerTexts) {
  Works w;
  EXPECT_EQ(power(&w, 0), "0.0W");
  EXPECT_EQ(power(&w, 80), "80.0W");
  EXPECT_EQ(power(&w, 12.34f), "12.3W");
  w.powerUnits = 1;
  EXPECT_EQ(power(&w, 0), "---dBm");
  EXPECT_EQ(power(&w, 0.0005f), "---dBm");
  EXPECT_EQ(power(&w, 1), "30.0dBm");
  EXPECT_EQ(power(&w, 100), "50.0dBm");
  EXPECT_EQ(power(&w, -3), "---dBm");
  EXPECT_FLOAT_EQ(ConvertW_to_dBm(0.001f), 0);
}

TEST(Meters, ForwardNeedleStopsAtFullScaleOfTheModel) {
  Meter m;
  m.works->pwFwd = 80;
  m.pass();
  EXPECT_FLOAT_EQ(m.works->needleFwd, NeedleAngle(60, 60));
  int x, y;
  NeedleEnd(210, 260, NeedleAngle(60, 60), &x, &y);
  EXPECT_TRUE(m.isRed(x, y));
  EXPECT_TRUE(m.isRed(210, 260));
  EXPECT_TRUE(m.isRed(209, 260));
  EXPECT_TRUE(m.isRed(211, 260));

  Meter hp;
  hp.works->powerClass = '1';
  number_ofStep_meter_FWD = 120;
  hp.works->pwFwd = 80;
  hp.pass();
  EXPECT_FLOAT_EQ(hp.works->needleFwd, NeedleAngle(80, 120));
  number_ofStep_meter_FWD = 60;

  // Right meter by view: the SWR view puts the needle on the table's steps.
  Meter s;
  s.works->meterView = 2;
  s.works->swr = 1.75f;
  s.pass();
  EXPECT_FLOAT_EQ(s.works->needleRight, NeedleAngle(15.5f, 60));
  s.works->swr = 300;
  s.pass();
  EXPECT_FLOAT_EQ(s.works->needleRight, NeedleAngle(60, 60));
  s.works->meterView = 3;
  s.works->pwIn = 4;
  s.pass();
  EXPECT_FLOAT_EQ(s.works->needleRight, NeedleAngle(4, 60));
  NeedleEnd(590, 260, NeedleAngle(4, 60), &x, &y);
  EXPECT_TRUE(s.isRed(x, y));
  // No meters on a status page or in the spectrum views.
  s.works->meterView = 4;
  s.works->pwIn = 30;
  s.pass();
  EXPECT_FLOAT_EQ(s.works->needleRight, NeedleAngle(4, 60));
}

TEST(Meters, PeakHoldsThenFallsThenFollowsTheSamples) {
  Meter m;
  Works &w = *m.works;
  w.enablePwrPeak = 1;
  w.pwFwd = 50;
  w.pwFwdPeak = 50;
  m.pass();  // the first sample becomes the peak at once
  EXPECT_FLOAT_EQ(w.peakFwd, 50);
  EXPECT_FLOAT_EQ(w.needlePeakFwd, NeedleAngle(50, 60));

  w.pwFwdPeak = 55;
  m.pass();  // a higher sample holds for TimerPeakSec
  EXPECT_FLOAT_EQ(w.peakFwd, 55);
  EXPECT_EQ(w.peakHoldFwd, 3000);
  int x, y;
  NeedleEnd(210, 260, NeedleAngle(55, 60), &x, &y);
  EXPECT_EQ(m.px(x, y)[0] | m.px(x, y)[1] | m.px(x, y)[2], 0);  // the peak needle is black
  NeedleEnd(210, 260, NeedleAngle(50, 60), &x, &y);
  EXPECT_TRUE(m.isRed(x, y));

  // During the hold the peak falls by PeakDecrement every PeakDecrementTime + 1
  // passes, whatever the samples below it.
  w.pwFwdPeak = 10;
  for (int pass = 1; pass <= 10; ++pass) {
    TimerPeakFall(&w, 60);
    m.pass();
  }
  EXPECT_FLOAT_EQ(w.peakFwd, 50);
  EXPECT_EQ(w.peakHoldFwd, 3000 - 600);
  for (int pass = 0; pass < 40; ++pass) TimerPeakFall(&w, 60);
  EXPECT_EQ(w.peakHoldFwd, 0);
  const float held = w.peakFwd;
  EXPECT_FLOAT_EQ(held, 30);
  TimerPeakFall(&w, 60);  // hold over: the fall stops
  EXPECT_FLOAT_EQ(w.peakFwd, held);
  // Then the peak follows the samples with the averaging factor.
  m.pass();
  EXPECT_FLOAT_EQ(w.peakFwd, (2 * held + 10) / 3);
  // The fall never goes below zero.
  CalcolaPwrPeak(&w, 100);
  PeakDecrement = 500;
  TimerPeakFall(&w, 1);
  TimerPeakFall(&w, 1);
  EXPECT_FLOAT_EQ(w.peakFwd, 0);
  PeakDecrement = 1.0;

  // The right meter keeps its own peak.
  CalcolaPwrPeak2(&w, 7);
  EXPECT_FLOAT_EQ(w.peakRight, 7);
  EXPECT_EQ(w.peakHoldRight, 3000);
  TimerPeakFall(&w, 3000);
  EXPECT_EQ(w.peakHoldRight, 0);
  CalcolaPwrPeak2(&w, 1);
  EXPECT_FLOAT_EQ(w.peakRight, (2 * 7.0f + 1) / 3);

  // A peak beyond the scale keeps its value but its needle stops at full scale.
  Meter big;
  big.works->enablePwrPeak = 1;
  big.works->pwFwdPeak = 90;
  big.pass();
  EXPECT_FLOAT_EQ(big.works->peakFwd, 90);
  EXPECT_FLOAT_EQ(big.works->needlePeakFwd, NeedleAngle(60, 60));
}

TEST(Meters, CpuTemperatureOnceASecondAndAMissingCommand) {
  TempRoot root;
  Works w;
  w.cpuTemp = 11;
  w.gpuTemp = 12;
  testing::internal::CaptureStderr();
  ReadCPUTemp(&w);
  w.cpuTempNextMs = 0;
  ReadCPUTemp(&w);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_FLOAT_EQ(w.cpuTemp, 11);
  EXPECT_FLOAT_EQ(w.gpuTemp, 12);
  size_t first = log.find("my_temp");
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find("my_temp", first + 1), std::string::npos) << log;

  Works v;
  root.writeScript("my_temp", "echo 45.2\necho \"temp=47.8'C\"\n");
  ReadCPUTemp(&v);
  EXPECT_FLOAT_EQ(v.cpuTemp, 45.2f);
  EXPECT_FLOAT_EQ(v.gpuTemp, 47.8f);
  root.writeScript("my_temp", "echo 50.0\necho \"temp=51.0'C\"\n");
  ReadCPUTemp(&v);  // within the second: the last reading stands
  EXPECT_FLOAT_EQ(v.cpuTemp, 45.2f);
  v.cpuTempNextMs = 0;
  ReadCPUTemp(&v);
  EXPECT_FLOAT_EQ(v.cpuTemp, 50.0f);
  EXPECT_FLOAT_EQ(v.gpuTemp, 51.0f);
  // Output that does not scan leaves the values.
  root.writeScript("my_temp", "echo garbage\necho x\n");
  v.cpuTempNextMs = 0;
  ReadCPUTemp(&v);
  EXPECT_FLOAT_EQ(v.cpuTemp, 50.0f);
  EXPECT_FLOAT_EQ(v.gpuTemp, 51.0f);
}

TEST(Meters, DateTimeText) {
  Works w;
  ReadDataOra(&w);
  EXPECT_TRUE(std::regex_match(w.dateTimeText.str(),
                               std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}")))
      << w.dateTimeText.str();
  w.dateTimeText.set("kept");
  ReadDataOra(&w);  // the same second: not formatted again
  if (w.dateTimeSecond == static_cast<int64_t>(time(nullptr))) {
    EXPECT_EQ(w.dateTimeText.str(), "kept");
  }
}

}  // namespace
