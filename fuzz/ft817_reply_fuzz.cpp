// The FT-817's answers on any bytes: five at a time as the CAT thread reads
// them (the last one may be short), each decoded as the reply to a
// frequency read. A decoded frequency is eight BCD digits of 10 Hz.
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "links/links.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Works *works = fuzz::Record();
  for (size_t i = 0; i < size; i += 5) {
    int n = size - i < 5 ? static_cast<int>(size - i) : 5;
    works->catFrequency = 0;
    lastCommandSent = 3;
    DecodeCatSerialCmd(works, data + i, n);
    if (works->catFrequency < 0 || works->catFrequency > 999999990) __builtin_trap();
    if (lastCommandSent != 0) __builtin_trap();
  }
  return 0;
}
