// A tune-memory file on any bytes: every stored tune that is loaded has a
// mode of 1..3 and steps within the tuner's range.
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "tuner/tuner.h"

namespace {
// The tuner's largest step, as the file reader bounds it.
constexpr int kMaxSteps = 1023;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Works *works = fuzz::Record();
  fuzz::WriteDeviceFile("/opt/set/atu_ant1.txt", data, size);
  int filled = LoadTabAtu(works, 0, 0);
  int valid = 0;
  for (const TuneMemEntry &e : works->tabTuneRam[AtuAntennaRow(0)]) {
    if (!e.valid) continue;
    ++valid;
    if (e.mode < 1 || e.mode > 3 || e.l < 0 || e.l > kMaxSteps || e.c < 0 || e.c > kMaxSteps)
      __builtin_trap();
  }
  if (filled < 0 || valid > filled) __builtin_trap();
  return 0;
}
