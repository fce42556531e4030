// filter.txt on any bytes: the rows are read, then the filter for a
// frequency the input chooses is looked up.
#include <cstdint>
#include <cstring>

#include "config/config.h"
#include "core/command_queue.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Works *works = fuzz::Record();
  fuzz::WriteDeviceFile("/opt/set/filter.txt", data, size);
  int rows = LoadTabFiltri(works);
  if (rows < 0 || rows > 8) __builtin_trap();
  if (size >= 4) {
    uint32_t f;
    memcpy(&f, data, sizeof f);
    works->frequency = static_cast<int32_t>(f);
    SetFilterFromfreq(works);
  }
  while (TakeCmdLinear(works) >= 0) {
  }
  return 0;
}
