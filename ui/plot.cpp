// The spectrum plot: grid with its dB and kHz scales, the trace of one
// spectrum, and the operating frequency above it.
#include "ui/plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>

#include "display/display.h"

At<int> SchermoWidth{800}, SchermoHeight{280};
At<int> borderLeft{70}, borderRight{40}, borderTop{60}, borderBottom{50};
At<int> divX{16}, divY{10}, r_x{43}, r_y{17};
At<int> bound_left{70}, bound_right{758}, b_top{60}, b_bottom{230};
At<int> xRangeStart{0}, xRangeEnd{kSpectrumLevels};
At<int> RefLevel{-110}, RefPos{0}, PointDiv{10};

namespace {

constexpr int kGrey[3] = {120, 120, 120};
constexpr int kScale[3] = {180, 180, 180};
constexpr int kTrace[3] = {250, 0, 150};
constexpr int kOrange[3] = {250, 150, 0};

// The derived geometry, from the current divisions.
void updateBounds() {
  const int dx = divX > 0 ? divX.load() : 1, dy = divY > 0 ? divY.load() : 1;
  r_x = (SchermoWidth - borderLeft - borderRight) / dx;
  r_y = (SchermoHeight - borderTop - borderBottom) / dy;
  bound_left = borderLeft.load();
  bound_right = r_x * dx + bound_left;
  b_top = borderTop.load();
  b_bottom = r_y * dy + b_top;
}

}  // namespace

void InitGrid() {
  SchermoWidth = 800;
  SchermoHeight = 280;
  borderLeft = 70;
  borderRight = 40;
  borderTop = 60;
  borderBottom = 50;
  divX = 16;
  divY = 10;
  xRangeStart = 0;
  xRangeEnd = kSpectrumLevels;
  RefLevel = -110;
  RefPos = 0;
  PointDiv = 10;
  updateBounds();
}

PlotPoint CalculatePoint(float low, float high, float x, float level) {
  const float span = static_cast<float>(xRangeEnd - xRangeStart);
  PlotPoint p;
  p.x = static_cast<float>(bound_left) +
        (span != 0 ? (x - static_cast<float>(xRangeStart)) / span : 0.0f) *
            static_cast<float>(bound_right - borderLeft);
  const float range = high - low;
  const float top = static_cast<float>(borderTop), bottom = static_cast<float>(b_bottom);
  float y = range != 0 ? bottom - (level - low) / range * (bottom - top) : bottom;
  if (std::isnan(y)) y = bottom;
  p.y = y < top ? top : y > bottom ? bottom : y;
  return p;
}

bool FormatFrequency(int32_t frequency, char *out, size_t size) {
  if (frequency <= 0) return false;
  if (frequency < 1000)
    snprintf(out, size, "%.00fHz", static_cast<double>(frequency));
  else if (frequency < 1000000)
    snprintf(out, size, "%.03fkHz", frequency / 1000.0);
  else
    snprintf(out, size, "%.03fMHz", frequency / 1000000.0);
  return true;
}

void DrawFreq(Works *works) {
  char text[32];
  if (!FormatFrequency(works->frequency, text, sizeof text)) return;
  const int view = works->meterView;
  const bool plot = view == 4 || view == 5;
  const int x = (bound_right - bound_left) / 2 + bound_left - 75;
  const int y = b_top - r_y / 2;
  putString(4, x, y, text, plot ? kOrange[0] : 0, plot ? kOrange[1] : 0, plot ? kOrange[2] : 0,
            works->fb);
}

void DrawGrid(Works *works) {
  if (works->statusView != 0) return;
  FrameBuffer *fb = works->fb;
  updateBounds();
  const int dx = divX > 0 ? divX.load() : 1, dy = divY > 0 ? divY.load() : 1;
  const int pointDiv = PointDiv, left = bound_left, right = bound_right, top = b_top,
            bottom = b_bottom, ry = r_y, rx = r_x;
  const int topLevel = RefPos * pointDiv + RefLevel;
  const int bottomLevel = topLevel - dy * pointDiv;
  char text[24];

  putString(8, left - 35, top - ry, "dBm", kScale[0], kScale[1], kScale[2], fb);
  for (int i = 0; i <= dy; ++i) {
    const int y = ry * i + top;
    DrawHorizontalLine(left, y, right, kGrey[0], kGrey[1], kGrey[2], fb, FB_BACK);
    snprintf(text, sizeof text, "%d", topLevel - pointDiv * i);
    putString(6, left - 35, y, text, kScale[0], kScale[1], kScale[2], fb);
  }
  const int halfSpanKHz = works->plotSpan / 2000;
  for (int i = 0; i <= dx; ++i) {
    const int x = rx * i + left;
    DrawLine(x, top, x, bottom, kGrey[0], kGrey[1], kGrey[2], fb, FB_BACK);
    const int m = 10 * i - halfSpanKHz;
    snprintf(text, sizeof text, m > 0 ? "+%d" : "%d", m);
    putString(6, m == 0 ? x : x - 10, bottom + 13, text, kScale[0], kScale[1], kScale[2], fb);
  }

  // One trace from one spectrum: the levels are copied under the lock of
  // their writers, then drawn.
  SpectrumPlot *plot = works->spectrumPlot;
  if (plot != nullptr) {
    thread_local float levels[kSpectrumLevels];
    if (works->serMut != nullptr) {
      std::lock_guard<std::mutex> lock(*works->serMut);
      std::copy(plot->levels, plot->levels + kSpectrumLevels, levels);
    } else {
      std::copy(plot->levels, plot->levels + kSpectrumLevels, levels);
    }
    const float offset = static_cast<float>(works->offsetPlot);
    const int first = dx == 16 ? 0 : 213;
    const int points = xRangeEnd;
    const float low = static_cast<float>(bottomLevel), high = static_cast<float>(topLevel);
    auto pointAt = [&](int i) {
      int idx = i + first;
      if (idx >= kSpectrumLevels) idx = kSpectrumLevels - 1;
      return CalculatePoint(low, high, static_cast<float>(i), levels[idx] + offset);
    };
    PlotPoint prev = pointAt(0);
    for (int i = 0; i + 1 < points && i + 1 < kSpectrumLevels; ++i) {
      PlotPoint next = pointAt(i + 1);
      DrawLine(static_cast<int>(prev.x), static_cast<int>(prev.y), static_cast<int>(next.x),
               static_cast<int>(next.y), kTrace[0], kTrace[1], kTrace[2], fb, FB_BACK);
      prev = next;
    }
  }
  DrawFreq(works);
}
