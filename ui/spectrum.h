#pragma once
#include <cstdint>

#include "core/works.h"

constexpr int kSpectrumLevels = 854;

// The spectrum plot record; main owns it and its two arrays.
struct SpectrumPlot {
  int32_t header[5];  // cleared at start-up
  int32_t *plotA;     // 1024 entries owned by main
  int32_t *plotB;     // 1024 entries owned by main
  float levels[kSpectrumLevels];  // dB, written under serMut
};

// Plot geometry and scale the menu and the front panel change while the
// display loop draws with them.
extern At<int> divX;
extern At<int> xRangeEnd;
extern At<int> RefLevel;
extern At<int> RefPos;
extern At<int> PointDiv;
