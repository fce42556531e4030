// Text on any bytes: decoded one code point at a time (each step moves on
// by one to four bytes and gives a Unicode scalar value or the invalid
// mark), measured and drawn with a font, anywhere on or off the screen.
#include <cstdint>
#include <cstring>
#include <string>

#include "display/display.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static FrameBuffer *fb = fbCreateMemory(800, 480, 4);
  static bool font = TTFLoad("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 24, 0) == 0;
  const char *text = reinterpret_cast<const char *>(data);
  const int length = static_cast<int>(size);
  int pos = 0, count = 0, valid = 0;
  uint32_t cp = 0;
  for (;;) {
    int before = pos;
    if (utf8_get_next_char(text, length, &pos, &valid, &cp) != 1) break;
    if (pos - before < 1 || pos - before > 4 || pos > length) __builtin_trap();
    if (valid && (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) __builtin_trap();
    if (!valid && cp != 0) __builtin_trap();
    ++count;
  }
  if (pos != length || count != utf8_length(text, length)) __builtin_trap();
  if (font && size >= 2) {
    // Where to draw: the first two bytes, a little beyond every edge.
    int x = data[0] * 4 - 100, y = data[1] * 2 - 20;
    std::string s(text + 2, size - 2);
    getStringSpace(0, s.c_str());
    putString(0, x, y, s.c_str(), 255, 255, 255, fb);
  }
  return 0;
}
