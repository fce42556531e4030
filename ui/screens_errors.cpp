// The error row: up to six boxes, newest entries when more are listed. The
// list is copied under its lock and drawn from the copy.
#include <cstring>
#include <mutex>

#include "display/display.h"
#include "ui/ui.h"

namespace {

constexpr int kSlots[6][2] = {{5, 130}, {133, 263}, {266, 396}, {399, 529}, {532, 662}, {665, 795}};

struct ErrorBox {
  uint8_t flags;
  char line1[30];
  char line2[30];
};

// The descriptor of a listed code, copied under the list's lock.
void describe(Works *works, int code, ErrorBox *box) {
  memset(box, 0, sizeof *box);
  if (code < 0 || code >= kErrorCodes) return;
  const ErrorDesc &d = works->errorTable[code];
  box->flags = d.flags;
  memcpy(box->line1, d.line1, sizeof box->line1);
  memcpy(box->line2, d.line2, sizeof box->line2);
  box->line1[sizeof box->line1 - 1] = 0;
  box->line2[sizeof box->line2 - 1] = 0;
}

void drawBox(Works *works, int xLeft, int xRight, const ErrorBox &box) {
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
  ErrorBox boxes[6];
  int shown = 0;
  {
    std::lock_guard<std::mutex> lock(works->errorMutex);
    int n = works->errorCount;
    if (n > kErrorCodes) n = kErrorCodes;
    const int first = n > 6 ? n - 6 : 0;
    for (int i = first; i < n; ++i) describe(works, works->errorList[i], &boxes[shown++]);
  }
  for (int s = 0; s < shown; ++s) drawBox(works, kSlots[s][0], kSlots[s][1], boxes[s]);
}

void DrawTastoErrore(Works *works, int xLeft, int xRight, int index) {
  if (works->fb == nullptr || index < 0 || index >= kErrorCodes) return;
  ErrorBox box;
  {
    std::lock_guard<std::mutex> lock(works->errorMutex);
    describe(works, works->errorList[index], &box);
  }
  drawBox(works, xLeft, xRight, box);
}
