// rigctld's answers and rig.txt on any bytes: a frequency taken is 0 to
// 2147483647 and came from digits only, the port is 1..65535 and the poll
// interval 50..2000 ms.
#include <cstdint>
#include <cstring>
#include <string>

#include "links/rigctl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *text = reinterpret_cast<const char *>(data);
  // The first line as one answer, as the reader hands it over.
  const void *nl = memchr(text, '\n', size);
  size_t n = nl != nullptr ? static_cast<size_t>(static_cast<const char *>(nl) - text) : size;
  int32_t hz = -1;
  int report = 0;
  if (ParseRigAnswer(text, n, &hz, &report) == RIG_FREQUENCY) {
    if (hz < 0) __builtin_trap();
    for (size_t i = 0; i < n; ++i)
      if ((text[i] < '0' || text[i] > '9') && !(i + 1 == n && text[i] == '\r')) __builtin_trap();
  }
  RigSettings s = ParseRigFile(std::string(text, size));
  if (s.port < 1 || s.port > 65535 || s.pollMs < 50 || s.pollMs > 2000 || s.host.empty())
    __builtin_trap();
  return 0;
}
