// The setup file on any bytes: read, written back as text, and read again;
// the second text must equal the first (a rewrite changes nothing).
#include <cstdint>
#include <string>

#include "core/setup.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Works *works = fuzz::Record();
  fuzz::WriteDeviceFile("/opt/set/setup.txt", data, size);
  readSetup(works);
  std::string first = SetupFileText(works);
  // A text the strict check takes has every line in the written-back text.
  int line;
  std::string error;
  const std::string input(reinterpret_cast<const char *>(data), size);
  if (CheckSetupText(input, &line, &error)) {
    size_t pos = 0;
    while (pos < input.size()) {
      size_t end = input.find('\n', pos);
      if (end == std::string::npos) end = input.size();
      const std::string l = input.substr(pos, end - pos);
      pos = end + 1;
      if (!l.empty() && first.find(l + "\n") == std::string::npos) __builtin_trap();
    }
  }
  fuzz::WriteDeviceFile("/opt/set/setup.txt", reinterpret_cast<const uint8_t *>(first.data()),
                        first.size());
  readSetup(works);
  if (SetupFileText(works) != first) __builtin_trap();
  return 0;
}
