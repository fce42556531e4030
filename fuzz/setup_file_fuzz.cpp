// The setup file on any bytes: read, written back as text, and read again;
// the second text must equal the first (a rewrite changes nothing). A text
// the strict check takes is written back byte for byte.
#include <cstdint>
#include <string>

#include "core/setup.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Works *works = fuzz::Record();
  fuzz::WriteDeviceFile("/opt/set/setup.txt", data, size);
  readSetup(works);
  std::string first = SetupFileText(works);
  int line;
  std::string error;
  if (CheckSetupText(std::string(reinterpret_cast<const char *>(data), size), &line, &error) &&
      first != std::string(reinterpret_cast<const char *>(data), size))
    __builtin_trap();
  fuzz::WriteDeviceFile("/opt/set/setup.txt", reinterpret_cast<const uint8_t *>(first.data()),
                        first.size());
  readSetup(works);
  if (SetupFileText(works) != first) __builtin_trap();
  return 0;
}
