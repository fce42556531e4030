// The Hamlib reader's two parsers: rig.txt and one answer line of rigctld.
#include <cstdio>
#include <cstring>

#include "core/file_writer.h"
#include "core/table_file.h"
#include "links/rigctl.h"
#include "platform/log.h"
#include "platform/platform.h"

namespace {

const char kRigFile[] = "/opt/set/rig.txt";
constexpr size_t kMaxFileBytes = 64 * 1024;  // a settings file, never more
constexpr size_t kMaxHost = 253;             // the longest DNS name

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// A whole decimal number of at most nine digits (no sign, no blanks).
bool smallNumber(const std::string &s, long *out) {
  if (s.empty() || s.size() > 9) return false;
  long v = 0;
  for (char c : s) {
    if (!isDigit(c)) return false;
    v = v * 10 + (c - '0');
  }
  *out = v;
  return true;
}

// Letters, digits, '-', '.', '_' for a name or an IPv4 address; ':' too
// inside brackets (IPv6).
bool hostText(const std::string &h, bool v6) {
  if (h.empty() || h.size() > kMaxHost) return false;
  for (char c : h) {
    bool ok = isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
              c == '.' || c == '_' || (v6 && c == ':');
    if (!ok) return false;
  }
  return true;
}

// "HOST:PORT", "[IPV6]:PORT", or a host alone (the default port).
bool parseAddress(const std::string &value, std::string *host, int *port) {
  std::string h, p;
  bool v6 = false;
  if (!value.empty() && value[0] == '[') {
    size_t close = value.find(']');
    if (close == std::string::npos) return false;
    h = value.substr(1, close - 1);
    std::string rest = value.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') return false;
      p = rest.substr(1);
      if (p.empty()) return false;
    }
    v6 = true;
  } else {
    size_t colon = value.find(':');
    if (colon != std::string::npos && value.find(':', colon + 1) != std::string::npos)
      return false;  // an IPv6 address goes in brackets
    h = value.substr(0, colon);
    if (colon != std::string::npos) {
      p = value.substr(colon + 1);
      if (p.empty()) return false;
    }
  }
  if (!hostText(h, v6)) return false;
  long portValue = *port;
  if (!p.empty() && (!smallNumber(p, &portValue) || portValue < 1 || portValue > 65535))
    return false;
  *host = h;
  *port = static_cast<int>(portValue);
  return true;
}

}  // namespace

RigSettings ParseRigFile(const std::string &text) {
  RigSettings out;
  size_t pos = 0;
  int lineNo = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t colon = line.find(": ");
    if (line.empty() || line[0] == ';') continue;
    // A slip such as "Poll:100" or "Pol: 100" would keep the default unseen.
    if (colon == std::string::npos) {
      TableFault(lineNo, "rig.txt line %d: not \"Key: value\"; ignored", lineNo);
      continue;
    }
    std::string key = line.substr(0, colon);
    std::string value = line.substr(colon + 2);
    if (key == "Rigctld") {
      std::string host;
      int port = RigSettings().port;
      if (!parseAddress(value, &host, &port)) {
        TableFault(
            lineNo,
            "rig.txt line %d: Rigctld must be HOST:PORT (an IPv6 address in brackets); ignored",
            lineNo);
        continue;
      }
      out.host = host;
      out.port = port;
    } else if (key == "Poll") {
      long ms = 0;
      if (!smallNumber(value, &ms) || ms < 50 || ms > 2000) {
        TableFault(lineNo, "rig.txt line %d: Poll must be 50 to 2000 (ms); ignored", lineNo);
        continue;
      }
      out.pollMs = static_cast<int>(ms);
    } else {
      TableFault(lineNo, "rig.txt line %d: unknown key; ignored", lineNo);
    }
  }
  return out;
}

bool CheckRigFileText(const std::string &text, int *line, std::string *error) {
  TableCheck check(text);
  ParseRigFile(text);
  return check.result(line, error);
}

RigSettings ReadRigFile() {
  std::string text;
  if (!ReadSetFileText(kRigFile, kMaxFileBytes, &text)) return {};
  return ParseRigFile(text);
}

RigAnswer ParseRigAnswer(const char *line, size_t n, int32_t *hz, int *report) {
  if (line == nullptr) return RIG_REFUSED;
  if (n > 0 && line[n - 1] == '\r') --n;
  if (n == 0) return RIG_REFUSED;
  static const char kReport[] = "RPRT ";
  const size_t reportLen = sizeof kReport - 1;
  if (n > reportLen && memcmp(line, kReport, reportLen) == 0) {
    size_t i = reportLen;
    bool negative = line[i] == '-';
    if (negative) ++i;
    if (i == n || n - i > 9) return RIG_REFUSED;
    int v = 0;
    for (; i < n; ++i) {
      if (!isDigit(line[i])) return RIG_REFUSED;
      v = v * 10 + (line[i] - '0');
    }
    *report = negative ? -v : v;
    return RIG_REPORT;
  }
  // The frequency field is 32 bits wide: digits only, at most 2147483647.
  int64_t v = 0;
  for (size_t i = 0; i < n; ++i) {
    if (!isDigit(line[i])) return RIG_REFUSED;
    v = v * 10 + (line[i] - '0');
    if (v > INT32_MAX) return RIG_REFUSED;
  }
  *hz = static_cast<int32_t>(v);
  return RIG_FREQUENCY;
}
