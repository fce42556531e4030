// A page image on any bytes: decoded into the background of an 800 x 480
// display, or refused with the background left as it was.
#include <cstdint>
#include <cstring>
#include <string>

#include "display/display.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static FrameBuffer *fb = fbCreateMemory(800, 480, 4);
  Works *works = fuzz::Record();
  works->fb = fb;
  fuzz::WriteDeviceFile("/page.png", data, size);
  works->imageName.set((fuzz::Root() + "/page").c_str());
  memset(fb->background, 0x5A, static_cast<size_t>(fb->size));
  if (getPng(works, FB_BACKGROUND) != 0)
    for (int32_t i = 0; i < fb->size; i += 4099)
      if (fb->background[i] != 0x5A) __builtin_trap();
  return 0;
}
