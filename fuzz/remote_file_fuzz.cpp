// remote.txt on any bytes: a pass phrase taken from it has 1 to 125
// printable characters and a web port is 0..65535.
#include <cstdint>
#include <string>

#include "remote/remote_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  RemoteFileSettings s = ParseRemoteFile(std::string(reinterpret_cast<const char *>(data), size));
  if (s.hasPassword) {
    if (s.password.empty() || s.password.size() > 125) __builtin_trap();
    for (char c : s.password)
      if (c < 0x20 || c > 0x7E) __builtin_trap();
  }
  if (s.webPort < 0 || s.webPort > 65535) __builtin_trap();
  return 0;
}
