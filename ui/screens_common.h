#pragma once
// Small helpers shared by the screen drawing files.
#include <cstdio>

#include "config/config.h"
#include "core/works.h"
#include "ui/menu.h"

struct Rgb {
  int r, g, b;
};
inline constexpr Rgb kOrange = {250, 150, 0};

// The selected menu entry, kept inside the table.
inline int MenuIndex(const Works *works) {
  const int i = works->menuIdx;
  return i >= 0 && i < kMenuEntries ? i : 0;
}

// A band row's name as text (the field need not end with a NUL).
inline void BandName(const TabAntennaRow &row, char out[9]) {
  snprintf(out, 9, "%.8s", row.name);
}

// Network mode of the tuner relay word as the screens name it.
inline const char *NetworkModeText(uint32_t tuneVal) {
  const uint32_t bits = tuneVal & 0x00850000u;
  if (bits == 0x00800000u) return "CL";
  if (bits == 0x00040000u) return "LC";
  return "ByP";
}
