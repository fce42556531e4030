// The menu screen: the selected entry between its neighbours, on a grey band.
#include <cstdio>
#include <utility>

#include "core/process_globals.h"
#include "display/display.h"
#include "network/lan.h"
#include "ui/menu.h"
#include "ui/screens_common.h"
#include "ui/ui.h"

namespace {

void rightAligned(int font, int y, const char *text, Rgb c, FrameBuffer *fb) {
  putString(font, 790 - getStringSpace(font, text), y, text, c.r, c.g, c.b, fb);
}

void entryHead(int entry, int font, int y, Rgb c, FrameBuffer *fb) {
  char number[16];
  snprintf(number, sizeof number, "%d -", menuPar[entry].number);
  putString(font, 20, y, number, c.r, c.g, c.b, fb);
  putString(font, 70, y, menuPar[entry].title, c.r, c.g, c.b, fb);
  putString(font, 350, y, menuPar[entry].items[0].label, c.r, c.g, c.b, fb);
}

// An address being edited: the octet under the cursor stands out.
void addressPieces(int entry, int y, FrameBuffer *fb) {
  static At<uint8_t> *const vectors[4] = {IP_v, NetMask_v, Gateway_v, DNS_v};
  static At<int> *const cursors[4] = {&CntIP, &CntNetMask, &CntGateway, &CntDNS};
  const At<uint8_t> *v = vectors[entry - 9];
  int cursor = *cursors[entry - 9];
  if (cursor < 0 || cursor > 3) cursor = 0;
  char pre[20] = "", cur[8], post[20] = "";
  int n = 0;
  for (int i = 0; i < cursor; ++i)
    n += snprintf(pre + n, sizeof pre - static_cast<size_t>(n), "%i.", static_cast<int>(v[i]));
  snprintf(cur, sizeof cur, "%i", static_cast<int>(v[cursor]));
  n = 0;
  for (int i = cursor + 1; i < 4; ++i)
    n += snprintf(post + n, sizeof post - static_cast<size_t>(n), ".%i", static_cast<int>(v[i]));
  const int wPre = getStringSpace(7, pre), wCur = getStringSpace(7, cur),
            wPost = getStringSpace(7, post);
  int x = 790 - (wPre + wCur + wPost);
  putString(7, x, y, pre, kOrange.r, kOrange.g, kOrange.b, fb);
  x += wPre;
  putString(7, x, y, cur, 250, 250, 250, fb);
  x += wCur;
  putString(7, x, y, post, kOrange.r, kOrange.g, kOrange.b, fb);
}

}  // namespace

void DrawMenuScreen(Works *works) {
  FrameBuffer *fb = works->fb;
  const int d = (works->statusView & kViewStatus) ? 50 : 0;
  for (int y = 285; y <= 364; ++y) {
    const int grey = y >= 311 && y <= 339 ? 80 : 40;
    DrawHorizontalLine(1, y + d, 799, grey, grey, grey, fb, FB_BACK);
  }
  const int idx = MenuIndex(works);
  const int prev = idx == 0 ? kMenuEntries - 1 : idx - 1;
  const int next = idx == kMenuEntries - 1 ? 0 : idx + 1;
  char value[kMenuValueLen];
  for (const auto &side : {std::pair<int, int>{prev, 305}, std::pair<int, int>{next, 360}}) {
    entryHead(side.first, 1, side.second + d, kOrange, fb);
    value[0] = 0;
    LoadParameterMenu(works, value, side.first, 0);
    rightAligned(11, side.second + d, value, kOrange, fb);
  }
  const Rgb white = {255, 255, 255};
  entryHead(idx, 7, 335 + d, white, fb);
  value[0] = 0;
  LoadParameterMenu(works, value, idx, 0);
  if (works->screenState == SS_MENU_VALUE && idx >= 9 && idx <= 12)
    addressPieces(idx, 335 + d, fb);
  else if (works->screenState == SS_MENU_VALUE)
    rightAligned(7, 335 + d, value, Rgb{250, 250, 250}, fb);
  else
    rightAligned(0, 335 + d, value, white, fb);
  if (works->uiFlags & kUiUpdateRunning)
    putString(8, 5, 400, "Update UI in progress: Wait for reset (max 2min)", 250, 250, 250, fb);
}
