// Placeholders for the front-panel work until the screen work lands: the
// plot scale globals, the mode-of-work names and the two menu-model hooks.
#include <cstdio>

#include "ui/menu_edit.h"
#include "ui/spectrum.h"
#include "ui/ui.h"

At<int> divX{16};
At<int> xRangeEnd{854};
At<int> RefLevel{-110};
At<int> RefPos{0};
At<int> PointDiv{10};

void GetLblInterface(int mode, char *dst) {
  static const char kModeWork[3][8] = {"Generic", "KTLNEB", " FT-817"};
  if (mode >= 0 && mode <= 2) snprintf(dst, 8, "%s", kModeWork[mode]);
}

void SetMenuKeyLabel(int, int, int, const char *) {}
int MenuEntryNoEdit(int) {
  return 0;
}
