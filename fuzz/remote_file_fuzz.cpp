// The remote link's small files on any bytes: from remote.txt a pass phrase
// has 1 to 125 printable characters and a web port is 0..65535; the pinned
// stations keep whole "HOST:PORT HEX" lines only, and the known peers at
// most their count.
#include <cstdint>
#include <string>

#include "remote/remote_file.h"
#include "remote/station_pins.h"
#include "security/trust_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  RemoteFileSettings s = ParseRemoteFile(text);
  if (s.hasPassword) {
    if (s.password.empty() || s.password.size() > 125) __builtin_trap();
    for (char c : s.password)
      if (c < 0x20 || c > 0x7E) __builtin_trap();
  }
  if (s.webPort < 0 || s.webPort > 65535) __builtin_trap();

  const std::string hex(64, '0');
  const std::string pins = WithStationPin(text, "station:6666", hex);
  if (PinnedFingerprint(pins, "station:6666") != hex) __builtin_trap();
  size_t lines = 0;
  for (size_t at = 0; at < pins.size(); ++lines) {
    size_t nl = pins.find('\n', at);
    if (nl == std::string::npos) __builtin_trap();  // every line whole
    std::string fp = pins.substr(pins.rfind(' ', nl) + 1, nl - pins.rfind(' ', nl) - 1);
    if (fp.size() != 64) __builtin_trap();
    at = nl + 1;
  }
  if (lines > static_cast<size_t>(kMaxStationPins)) __builtin_trap();

  TrustList peers(kMaxTrusted, kKnownPeerSeconds);
  peers.load(text, 1700000000);
  if (peers.size() > kMaxTrusted) __builtin_trap();
  return 0;
}
