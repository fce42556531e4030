// A band table on any bytes: loaded, its text rebuilt and loaded again; the
// rebuilt text must survive a second round unchanged, and every row stays
// within the antenna and attenuator ranges the controller commands take.
#include <cstdint>
#include <cstring>
#include <string>

#include "config/config.h"
#include "fuzz/fuzz_support.h"

namespace {

std::string loadAndText(Works *works, const uint8_t *data, size_t size) {
  fuzz::WriteDeviceFile("/opt/set/antenna.txt", data, size);
  works->modeWorkIdx = LoadTabConfig(works, 0);
  if (works->numBands < 0 || works->numBands > 11) __builtin_trap();
  for (int i = 0; i < works->numBands; ++i)
    if (works->tabAntenna[i].ant > 3 || works->tabAntenna[i].att > 3) __builtin_trap();
  static char text[8192];
  BandFileText(works, text, sizeof text);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Works *works = fuzz::Record();
  std::string first = loadAndText(works, data, size);
  std::string second =
      loadAndText(works, reinterpret_cast<const uint8_t *>(first.data()), first.size());
  if (second != first) __builtin_trap();
  return 0;
}
