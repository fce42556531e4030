// Spectrum plot: geometry, scales, points, frequency texts, and one trace
// from one spectrum while the link writes new ones.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "display/display.h"
#include "support/screen_compare.h"
#include "support/screen_fonts.h"
#include "ui/plot.h"
#include "ui/ui.h"

namespace {

struct Plot {
  std::unique_ptr<Works> works = std::make_unique<Works>();
  std::unique_ptr<SpectrumPlot> spectrum = std::make_unique<SpectrumPlot>();
  std::mutex serMut;
  FrameBuffer *fb = fbCreateMemory(800, 480, 4);
  FrameBuffer *ref = fbCreateMemory(800, 480, 4);
  Plot() {
    EXPECT_TRUE(LoadScreenFonts());
    InitGrid();
    works->fb = fb;
    works->spectrumPlot = spectrum.get();
    works->serMut = &serMut;
    works->meterView = 4;
    works->plotSpan = 160000;
    works->frequency = 14070000;
    setLevels(0, kSpectrumLevels, -300);
  }
  ~Plot() {
    InitGrid();
    fbRelease(fb);
    fbRelease(ref);
  }
  void setLevels(int from, int to, float level) {
    for (int i = from; i < to; ++i) spectrum->levels[i] = level;
  }
  void draw() {
    fbSetBack(fb);
    DrawGrid(works.get());
  }
  // Pixels of the trace colour on row y.
  int traceOnRow(int y) const { return CountColour(fb, 0, y, 799, y, 250, 0, 150); }
};

TEST(Spectrum, GeometryAndPoints) {
  InitGrid();
  EXPECT_EQ(r_x, 43);
  EXPECT_EQ(r_y, 17);
  EXPECT_EQ(bound_left, 70);
  EXPECT_EQ(bound_right, 758);
  EXPECT_EQ(b_top, 60);
  EXPECT_EQ(b_bottom, 230);
  EXPECT_EQ(xRangeEnd, 854);

  PlotPoint p = CalculatePoint(-210, -110, 0, -160);
  EXPECT_FLOAT_EQ(p.x, 70);
  EXPECT_FLOAT_EQ(p.y, 145);
  EXPECT_FLOAT_EQ(CalculatePoint(-210, -110, 427, -160).x, 414);
  EXPECT_FLOAT_EQ(CalculatePoint(-210, -110, 854, -160).x, 758);
  // Levels off the scale are drawn on its top or bottom line.
  EXPECT_FLOAT_EQ(CalculatePoint(-210, -110, 5, -20).y, 60);
  EXPECT_FLOAT_EQ(CalculatePoint(-210, -110, 5, -400).y, 230);
  EXPECT_FLOAT_EQ(CalculatePoint(-210, -110, 5, NAN).y, 230);

  divX = 8;
  Works w;
  DrawGrid(&w);  // no display: only the geometry follows the divisions
  EXPECT_EQ(r_x, 86);
  EXPECT_EQ(bound_right, 758);
  InitGrid();
}

TEST(Spectrum, FrequencyTexts) {
  char text[32];
  ASSERT_TRUE(FormatFrequency(14070000, text, sizeof text));
  EXPECT_STREQ(text, "14.070MHz");
  ASSERT_TRUE(FormatFrequency(7100, text, sizeof text));
  EXPECT_STREQ(text, "7.100kHz");
  ASSERT_TRUE(FormatFrequency(999, text, sizeof text));
  EXPECT_STREQ(text, "999Hz");
  ASSERT_TRUE(FormatFrequency(1000000, text, sizeof text));
  EXPECT_STREQ(text, "1.000MHz");
  EXPECT_FALSE(FormatFrequency(0, text, sizeof text));
  EXPECT_FALSE(FormatFrequency(-5, text, sizeof text));

  Plot p;
  fbSetBack(p.fb);
  DrawFreq(p.works.get());
  putString(4, 339, 52, "14.070MHz", 250, 150, 0, p.ref);
  EXPECT_TRUE(RegionEqual(p.fb, p.ref, 330, 20, 520, 58));
  p.works->meterView = 2;  // black between the meters
  fbSetBack(p.fb);
  FillBox(0, 0, 800, 100, 240, 230, 200, p.fb, FB_BACK);
  FillBox(0, 0, 800, 100, 240, 230, 200, p.ref, FB_BACK);
  DrawFreq(p.works.get());
  putString(4, 339, 52, "14.070MHz", 0, 0, 0, p.ref);
  EXPECT_TRUE(RegionEqual(p.fb, p.ref, 330, 20, 520, 58));
  p.works->frequency = 0;
  fbSetBack(p.fb);
  DrawFreq(p.works.get());
  EXPECT_EQ(CountColour(p.fb, 0, 0, 799, 100, 0, 0, 0), 800 * 101);
}

TEST(Spectrum, ScalesFollowReferenceLevelAndPosition) {
  Plot p;
  p.draw();
  // Start values: -110 on the top line down to -210 on the bottom line.
  putString(6, 35, 60, "-110", 180, 180, 180, p.ref);
  putString(6, 35, 230, "-210", 180, 180, 180, p.ref);
  EXPECT_TRUE(RegionEqual(p.fb, p.ref, 0, 45, 69, 64));
  EXPECT_TRUE(RegionEqual(p.fb, p.ref, 0, 215, 59, 231));
  // The kHz offsets below: -80 .. 0 .. +80 across 16 divisions of 10 kHz.
  putString(6, 60, 243, "-80", 180, 180, 180, p.ref);
  putString(6, 414, 243, "0", 180, 180, 180, p.ref);
  putString(6, 748, 243, "+80", 180, 180, 180, p.ref);
  EXPECT_TRUE(RegionEqual(p.fb, p.ref, 50, 232, 100, 250));
  EXPECT_TRUE(RegionEqual(p.fb, p.ref, 405, 232, 440, 250));
  EXPECT_TRUE(RegionEqual(p.fb, p.ref, 740, 232, 799, 250));
  // Grid lines.
  EXPECT_EQ(p.traceOnRow(60), 0);
  EXPECT_EQ(CountColour(p.fb, 70, 77, 757, 77, 120, 120, 120), 758 - 70);

  // Ref Pos 2 at 10 dB a division puts -90 on the top line.
  RefPos = 2;
  p.draw();
  FrameBuffer *ref2 = fbCreateMemory(800, 480, 4);
  putString(6, 35, 60, "-90", 180, 180, 180, ref2);
  EXPECT_TRUE(RegionEqual(p.fb, ref2, 0, 45, 69, 64));
  fbRelease(ref2);
}

TEST(Spectrum, TraceOfBothViewsWithTheOffset) {
  Plot p;
  p.setLevels(0, kSpectrumLevels, -160);
  p.draw();
  EXPECT_GE(p.traceOnRow(145), 680);
  EXPECT_EQ(CountColour(p.fb, 758, 0, 799, 479, 250, 0, 150), 0);

  // The offset shifts every level.
  p.setLevels(0, kSpectrumLevels, -210);
  p.works->offsetPlot = 50;
  p.draw();
  EXPECT_GE(p.traceOnRow(145), 680);
  p.works->offsetPlot = 0;

  // View 5 shows the middle half of the levels over the whole grid.
  divX = 8;
  xRangeEnd = 427;
  p.works->meterView = 5;
  p.works->plotSpan = 80000;
  p.setLevels(0, kSpectrumLevels, -200);
  p.setLevels(213, 640, -160);
  p.draw();
  EXPECT_GE(p.traceOnRow(145), 680);
  EXPECT_EQ(p.traceOnRow(213), 0);
  putString(6, 60, 243, "-40", 180, 180, 180, p.ref);
  EXPECT_TRUE(RegionEqual(p.fb, p.ref, 50, 232, 100, 250));

  // Nothing while a status page is shown.
  p.works->statusView = 1;
  p.draw();
  EXPECT_EQ(CountColour(p.fb, 0, 0, 799, 479, 0, 0, 0), 800 * 480);
}

TEST(Spectrum, OneTraceFromOneSpectrum) {
  Plot p;
  // Two spectra the link alternates: flat at -130 (row 94) and at -190 (row 196).
  p.setLevels(0, kSpectrumLevels, -130);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    bool high = true;
    while (!stop) {
      std::lock_guard<std::mutex> lock(p.serMut);
      for (float &l : p.spectrum->levels) l = high ? -130.0f : -190.0f;
      high = !high;
    }
  });
  int seenHigh = 0, seenLow = 0;
  for (int frame = 0; frame < 60; ++frame) {
    p.draw();
    const int high = p.traceOnRow(94), low = p.traceOnRow(196);
    const bool whole = (high >= 680 && low == 0) || (low >= 680 && high == 0);
    EXPECT_TRUE(whole) << "frame " << frame << ": " << high << " / " << low;
    if (!whole) break;
    (high ? seenHigh : seenLow)++;
  }
  stop = true;
  writer.join();
  EXPECT_GT(seenHigh + seenLow, 0);
}

}  // namespace
