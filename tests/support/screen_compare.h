#pragma once
// Comparing parts of two drawing buffers, for tests of what a screen shows.
#include <cstring>

#include "display/display.h"

// True when the rectangle x0..x1, y0..y1 (inclusive) holds the same bytes
// in the drawing buffers of a and b.
inline bool RegionEqual(const FrameBuffer *a, const FrameBuffer *b, int x0, int y0, int x1,
                        int y1) {
  const int pb = a->pixelBytes;
  for (int y = y0; y <= y1; ++y)
    if (memcmp(a->back + y * a->lineBytes + x0 * pb, b->back + y * b->lineBytes + x0 * pb,
               static_cast<size_t>((x1 - x0 + 1) * pb)) != 0)
      return false;
  return true;
}

// Number of pixels of colour (r, g, b) in the rectangle.
inline int CountColour(const FrameBuffer *fb, int x0, int y0, int x1, int y1, int r, int g, int b) {
  int n = 0;
  for (int y = y0; y <= y1; ++y)
    for (int x = x0; x <= x1; ++x) {
      const uint8_t *p = fb->back + y * fb->lineBytes + x * 4;
      if (p[0] == b && p[1] == g && p[2] == r) ++n;
    }
  return n;
}
