// The error row: up to six boxes, newest entries when more are listed. The
// list is copied under its lock and drawn from the copy.
#include "display/display.h"
#include "errors/errors.h"
#include "ui/ui.h"

namespace {

constexpr int kSlots[6][2] = {{5, 130}, {133, 263}, {266, 396}, {399, 529}, {532, 662}, {665, 795}};

void drawBox(Works *works, int xLeft, int xRight, const ErrorDesc &box) {
  FrameBuffer *fb = works->fb;
  const bool alarm = box.flags & 0x01;
  for (int y = 370; y <= 414; ++y)
    DrawHorizontalLine(xLeft, y, xRight, alarm ? 255 : 250, alarm ? 30 : 150, 0, fb, FB_BACK);
  DrawLine(xLeft, 370, xLeft, 415, 255, 255, 255, fb, FB_BACK);
  DrawLine(xRight, 370, xRight, 415, 255, 255, 255, fb, FB_BACK);
  DrawHorizontalLine(xLeft + 1, 370, xRight + 1, 255, 255, 255, fb, FB_BACK);
  DrawHorizontalLine(xLeft + 1, 415, xRight + 1, 255, 255, 255, fb, FB_BACK);
  putString(10, xLeft + 4, 390, box.line1, 250, 250, 250, fb);
  putString(10, xLeft + 4, 410, box.line2, 250, 250, 250, fb);
}

}  // namespace

void DrawError(Works *works) {
  if (works->statusView != 0 || works->fb == nullptr) return;
  ErrorListCopy list;
  CopyErrorList(works, &list);
  int n = list.count;
  if (n > kErrorCodes) n = kErrorCodes;
  const int first = n > 6 ? n - 6 : 0;
  for (int i = first; i < n; ++i)
    drawBox(works, kSlots[i - first][0], kSlots[i - first][1], list.desc[i]);
}

void DrawTastoErrore(Works *works, int xLeft, int xRight, int index) {
  if (works->fb == nullptr || index < 0 || index >= kErrorCodes) return;
  ErrorListCopy list;
  CopyErrorList(works, &list);
  drawBox(works, xLeft, xRight, list.desc[index]);
}
