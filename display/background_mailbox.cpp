// Requests for a new background, posted by any thread and carried out by the
// refresh loop at the top of its next pass, so that only the loop touches the
// background and drawing buffers while it runs. One slot: a newer request
// replaces one the loop has not taken yet.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "display/display.h"

struct BackgroundMailbox {
  enum Kind { NONE, IMAGE, PIXELS };
  std::mutex mutex;
  Kind kind = NONE;
  char name[SharedText<32>::capacity()] = {};
  std::vector<uint8_t> pixels;  // one frame, allocated at the first request
};

BackgroundMailbox *fbNewMailbox() {
  return new BackgroundMailbox;
}

void fbDeleteMailbox(BackgroundMailbox *box) {
  delete box;
}

void PostBackgroundImage(Works *works, const char *name) {
  works->imageName.set(name);
  FrameBuffer *fb = works->fb;
  if (fb == nullptr || fb->mailbox == nullptr) return;
  BackgroundMailbox &box = *fb->mailbox;
  std::lock_guard<std::mutex> lock(box.mutex);
  snprintf(box.name, sizeof box.name, "%s", name);
  box.kind = BackgroundMailbox::IMAGE;
}

int PostBackgroundPixels(Works *works, const uint8_t *pixels, size_t bytes) {
  FrameBuffer *fb = works->fb;
  if (fb == nullptr || fb->mailbox == nullptr) return -1;
  if (pixels == nullptr || bytes != static_cast<size_t>(fb->size)) return -1;
  BackgroundMailbox &box = *fb->mailbox;
  std::lock_guard<std::mutex> lock(box.mutex);
  box.pixels.resize(bytes);
  memcpy(box.pixels.data(), pixels, bytes);
  box.kind = BackgroundMailbox::PIXELS;
  return 0;
}

int TakeBackgroundRequest(Works *works) {
  FrameBuffer *fb = works->fb;
  if (fb == nullptr || fb->mailbox == nullptr) return 0;
  BackgroundMailbox &box = *fb->mailbox;
  char name[sizeof box.name];
  {
    std::lock_guard<std::mutex> lock(box.mutex);
    const BackgroundMailbox::Kind kind = box.kind;
    box.kind = BackgroundMailbox::NONE;
    if (kind == BackgroundMailbox::NONE) return 0;
    if (kind == BackgroundMailbox::PIXELS) {
      memcpy(fb->background, box.pixels.data(), static_cast<size_t>(fb->size));
      return 1;
    }
    memcpy(name, box.name, sizeof name);
  }
  // Decoded outside the lock: a slow file must not hold up the posting thread.
  works->imageName.set(name);
  return getPng(works, 1) == 0 ? 1 : -1;
}
