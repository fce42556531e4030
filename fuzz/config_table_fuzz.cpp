// config.txt on any bytes: the rows are read, then the threshold and
// calibration lookups run at frequencies the input chooses.
#include <cstdint>
#include <cstring>

#include "config/config.h"
#include "core/command_queue.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Works *works = fuzz::Record();
  fuzz::WriteDeviceFile("/opt/set/config.txt", data, size);
  int rows = ReadConfigFile(works);
  if (rows < 0 || rows != works->numConfigRows) __builtin_trap();
  // The frequencies to look up: the first bytes, four at a time.
  for (size_t i = 0; i + 4 <= size && i < 16; i += 4) {
    uint32_t f;
    memcpy(&f, data + i, sizeof f);
    works->frequency = static_cast<int32_t>(f);
    int row = SearchConfigRow(works, f);
    if (row < -1 || row >= rows) __builtin_trap();
    works->configRowIdx = -1;
    SearchCambioSoglie_TS(works);
    for (int type = 0; type < 5; ++type) SearchK(works, type);
  }
  while (TakeCmdLinear(works) >= 0) {
  }
  FreeConfigTable(works);
  return 0;
}
