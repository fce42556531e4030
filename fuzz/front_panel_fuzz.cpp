// Fuzz target: the front panel's inputs from outside the program. The first
// byte chooses one: the interfaces file (read and rewritten), the device
// command's output, the service keyboard's event stream, or a sequence of
// key level registers with the time between passes.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "core/setup.h"
#include "display/keyboard.h"
#include "fuzz/fuzz_support.h"
#include "network/lan.h"
#include "ui/panel.h"

namespace {

int countPress(Works *, int key, int longFlags) {
  // Keys repeat like the manual tune keys do, so the repeat path runs too.
  return key == 3 ? longFlags : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  Works *works = fuzz::Record();
  const uint8_t *p = data + 1;
  size_t n = size - 1;
  std::string text(reinterpret_cast<const char *>(p), n);
  switch (data[0] % 4) {
    case 0: {
      FILE *f = fmemopen(const_cast<uint8_t *>(p), n, "rb");
      if (f == nullptr) return 0;  // fmemopen refuses an empty buffer
      ReadLanParamFrom(f);
      fclose(f);
      std::string out = RewriteLanFile(text);
      if (out.size() > text.size() + 64 * (text.size() / 8 + 1)) __builtin_trap();
      break;
    }
    case 1: ApplyLanConnection(works, text); break;
    case 2: {
      KeybReader reader;
      size_t events = 0;
      // Pieces of the input's own choosing: byte i says how many bytes follow.
      for (size_t i = 0; i < n;) {
        size_t piece = 1 + p[i] % 40;
        if (piece > n - i) piece = n - i;
        KeybFeed(&reader, p + i, piece, [&](const struct input_event &) { ++events; });
        i += piece;
      }
      if (events != n / sizeof(struct input_event)) __builtin_trap();
      break;
    }
    default: {
      PanelKeys keys;
      PanelKeysInit(&keys);
      long long now = 0;
      for (size_t i = 0; i + 4 < n; i += 5) {
        uint32_t level = static_cast<uint32_t>(p[i]) | static_cast<uint32_t>(p[i + 1]) << 8 |
                         static_cast<uint32_t>(p[i + 2]) << 16 |
                         static_cast<uint32_t>(p[i + 3]) << 24;
        now += p[i + 4] % 64;
        PanelScanKeys(&keys, works, level, now, countPress);
        int down = 0;
        for (int k = 0; k < kPanelKeys; ++k) down += keys.state[k] == 0;
        if (down > 1) __builtin_trap();
      }
      break;
    }
  }
  return 0;
}
