#pragma once
#include <cstddef>
#include <cstdint>

#include "core/works.h"
#include "links/links.h"

// ---- Plot geometry. Set by InitGrid; divX, xRangeEnd (and works->plotSpan)
// change with the meter view, RefLevel, RefPos and PointDiv from the menu.
extern At<int> SchermoWidth, SchermoHeight;
extern At<int> borderLeft, borderRight, borderTop, borderBottom;
extern At<int> divX, divY, r_x, r_y;
extern At<int> bound_left, bound_right, b_top, b_bottom;
extern At<int> xRangeStart, xRangeEnd;
extern At<int> RefLevel, RefPos, PointDiv;

struct PlotPoint {
  float x;
  float y;
};

// Start values of the plot geometry.
void InitGrid();
// Grid, scales, spectrum trace and frequency (nothing while a status page is shown).
void DrawGrid(Works *works);
// The operating frequency above the grid (or between the meters).
void DrawFreq(Works *works);
// Screen point of spectrum point x at level (dB) on a scale from low to high.
PlotPoint CalculatePoint(float low, float high, float x, float level);
// The frequency text DrawFreq writes ("14.070MHz"); false when there is none.
bool FormatFrequency(int32_t frequency, char *out, size_t size);
