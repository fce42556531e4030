#include "remote/station_pins.h"

#include <cstdio>
#include <vector>

#include "core/file_writer.h"
#include "platform/log.h"
#include "platform/platform.h"

namespace {

constexpr size_t kMaxFileBytes = 64 * 1024;
constexpr size_t kMaxHostPort = 300;

bool lowerHex64(const std::string &s) {
  if (s.size() != 64) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

bool hostPortText(const std::string &s) {
  if (s.empty() || s.size() > kMaxHostPort || s.find(':') == std::string::npos) return false;
  for (unsigned char c : s)
    if (c <= ' ' || c > '~') return false;
  return true;
}

struct Pin {
  std::string hostPort, hex;
};

std::vector<Pin> parse(const std::string &text) {
  std::vector<Pin> pins;
  size_t pos = 0;
  while (pos < text.size() && pins.size() < static_cast<size_t>(kMaxStationPins)) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t blank = line.find(' ');
    if (blank == std::string::npos) continue;
    Pin p{line.substr(0, blank), line.substr(blank + 1)};
    if (hostPortText(p.hostPort) && lowerHex64(p.hex)) pins.push_back(p);
  }
  return pins;
}

}  // namespace

std::string PinnedFingerprint(const std::string &text, const std::string &hostPort) {
  for (const Pin &p : parse(text))
    if (p.hostPort == hostPort) return p.hex;
  return std::string();
}

std::string WithStationPin(const std::string &text, const std::string &hostPort,
                           const std::string &hex) {
  std::vector<Pin> others;
  for (const Pin &p : parse(text))
    if (p.hostPort != hostPort) others.push_back(p);
  // The newest pin always has its place; the oldest lines give way.
  const size_t room = kMaxStationPins - 1;
  size_t first = others.size() > room ? others.size() - room : 0;
  std::string out;
  for (size_t i = first; i < others.size(); ++i)
    out += others[i].hostPort + " " + others[i].hex + "\n";
  if (hostPortText(hostPort) && lowerHex64(hex)) out += hostPort + " " + hex + "\n";
  return out;
}

std::string ReadStationPins() {
  std::string text;
  ReadSetFileText(kKnownStationsFile, kMaxFileBytes, &text);
  return text;
}

bool PinStation(const std::string &hostPort, const std::string &hex) {
  return QueueSetFile(kKnownStationsFile, WithStationPin(ReadStationPins(), hostPort, hex)) == 0;
}
