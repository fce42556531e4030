#pragma once
// The program's font slots loaded from this machine's font files, for tests
// and benchmarks that draw text. The two faces main takes from /opt/fonts are
// PT Sans of fonts-paratype under their device names (see assets/README.md).
#include "display/display.h"

inline const char *ScreenFontFile(int slotIndex) {
  switch (slotIndex) {
    case 0:
    case 11: return "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";
    case 2: return "/usr/share/fonts/truetype/paratype/PTS55F.ttf";
    case 4: return "/usr/share/fonts/truetype/paratype/PTS75F.ttf";
    case 7: return "/usr/share/fonts/truetype/dejavu/DejaVuSans-Oblique.ttf";
    default: return "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
  }
}

// Loads slots 0-2 and 4-11 at the sizes main uses. Returns false if any failed.
inline bool LoadScreenFonts() {
  struct Slot {
    int slot, size;
  };
  static const Slot kSlots[] = {{0, 24}, {1, 22}, {2, 22}, {4, 24},  {5, 8},  {6, 14},
                                {7, 24}, {8, 20}, {9, 30}, {10, 18}, {11, 21}};
  static bool loaded = false, ok = true;
  if (loaded) return ok;
  loaded = true;
  for (const Slot &s : kSlots) ok = TTFLoad(ScreenFontFile(s.slot), s.size, s.slot) == 0 && ok;
  return ok;
}
