// The fan curve on any bytes: its rows come out in ascending temperature
// with percentages of 0..100, and the fan rules run on them.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "controller/temperature.h"
#include "core/command_queue.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;  // fmemopen refuses an empty buffer
  FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "r");
  if (f == nullptr) return 0;
  std::vector<VentolaRow> rows = ParseVentolaFile(f);
  fclose(f);
  for (size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].percent < 0 || rows[i].percent > 100) __builtin_trap();
    if (i > 0 && rows[i].temperature < rows[i - 1].temperature) __builtin_trap();
  }
  // The rules on this table, at the temperatures of its first bytes.
  Works *works = fuzz::Record();
  works->tabVentola = rows.data();
  works->numVentola = static_cast<int32_t>(rows.size());
  works->startupDone = 1;
  for (size_t i = 0; i < size && i < 4; ++i) {
    works->temp1 = static_cast<float>(data[i]) - 40.0f;
    works->fanAck = 0;
    searchPercentVentola(works);
    SearchTemperatureFromVentola(works, data[i] % 101);
  }
  works->numVentola = 0;
  works->tabVentola = nullptr;
  while (TakeCmdLinear(works) >= 0) {
  }
  return 0;
}
