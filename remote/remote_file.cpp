#include "remote/remote_file.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/file_writer.h"
#include "core/setup.h"
#include "core/table_file.h"
#include "platform/log.h"
#include "platform/platform.h"

namespace {

const char kRemoteFile[] = "/opt/set/remote.txt";
constexpr size_t kMaxFileBytes = 64 * 1024;  // a settings file, never more
constexpr size_t kMaxPassword = 125;         // one 7-bit text frame

bool printable(const std::string &s) {
  for (unsigned char c : s)
    if (c < 0x20 || c > 0x7e) return false;
  return true;
}

// "0" or "1"; false when neither.
bool parseFlag(const std::string &value, bool *out) {
  if (value != "0" && value != "1") return false;
  *out = value == "1";
  return true;
}

// A DNS name: letters, digits, '-' and '.', at most 253 characters.
bool hostName(const std::string &s) {
  if (s.empty() || s.size() > 253) return false;
  for (unsigned char c : s)
    if (!isalnum(c) && c != '-' && c != '.') return false;
  return true;
}

}  // namespace

RemoteFileSettings ParseRemoteFile(const std::string &text) {
  RemoteFileSettings out;
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
    if (line.empty() || line[0] == ';' || colon == std::string::npos) continue;
    std::string key = line.substr(0, colon);
    std::string value = line.substr(colon + 2);
    if (key == "Password") {
      // The value itself is never logged: it is the secret.
      if (value.empty() || value.size() > kMaxPassword || !printable(value)) {
        TableFault(lineNo,
                   "remote.txt line %d: Password must be 1 to %zu printable characters; ignored",
                   lineNo, kMaxPassword);
        continue;
      }
      out.password = value;
      out.hasPassword = true;
    } else if (key == "WebPort") {
      char *endp = nullptr;
      errno = 0;
      long v = strtol(value.c_str(), &endp, 10);
      if (value.empty() || *endp != 0 || errno != 0 || v < 0 || v > 65535) {
        TableFault(lineNo, "remote.txt line %d: WebPort must be 0 to 65535; ignored", lineNo);
        continue;
      }
      out.webPort = static_cast<int>(v);
    } else if (key == "WebBind") {
      if (value.empty() || value.size() > 64 || !printable(value)) {
        TableFault(lineNo, "remote.txt line %d: WebBind is not an address; ignored", lineNo);
        continue;
      }
      out.webBind = value;
    } else if (key == "WebTls" || key == "RemoteTls") {
      bool on = false;
      if (!parseFlag(value, &on)) {
        TableFault(lineNo, "remote.txt line %d: %s must be 0 or 1; ignored", lineNo, key.c_str());
        continue;
      }
      (key == "WebTls" ? out.webTls : out.remoteTls) = on;
    } else if (key == "WebCert" || key == "WebKey") {
      if (value.empty() || value.size() > 255 || value[0] != '/' || !printable(value)) {
        TableFault(lineNo, "remote.txt line %d: %s must be an absolute path; ignored", lineNo,
                   key.c_str());
        continue;
      }
      (key == "WebCert" ? out.webCert : out.webKey) = value;
    } else if (key == "WebHost") {
      std::vector<std::string> names;
      bool good = true;
      for (size_t at = 0; at <= value.size() && good;) {
        size_t comma = value.find(',', at);
        if (comma == std::string::npos) comma = value.size();
        std::string name = value.substr(at, comma - at);
        while (!name.empty() && name.front() == ' ') name.erase(0, 1);
        while (!name.empty() && name.back() == ' ') name.pop_back();
        for (char &c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        good = hostName(name);
        names.push_back(name);
        at = comma + 1;
      }
      if (!good || names.size() > 16) {
        TableFault(lineNo,
                   "remote.txt line %d: WebHost must be host names separated by commas; ignored",
                   lineNo);
        continue;
      }
      out.webHosts = names;
    } else if (key == "StationFingerprint") {
      std::string hex = NormalFingerprint(value);
      if (hex.empty()) {
        TableFault(lineNo, "remote.txt line %d: StationFingerprint must be 64 hex digits; ignored",
                   lineNo);
        continue;
      }
      out.stationFingerprint = hex;
    }
  }
  if (out.webCert.empty() != out.webKey.empty()) {
    TableFault(0, "remote.txt: WebCert and WebKey go together; the unit's own certificate is used");
    out.webCert.clear();
    out.webKey.clear();
  }
  return out;
}

bool CheckRemoteFileText(const std::string &text, int *line, std::string *error) {
  TableCheck check(text);
  ParseRemoteFile(text);
  return check.result(line, error);
}

std::string NormalFingerprint(const std::string &text) {
  std::string hex;
  for (char c : text) {
    if (c == ':') continue;
    if (!isxdigit(static_cast<unsigned char>(c))) return std::string();
    hex += static_cast<char>(tolower(static_cast<unsigned char>(c)));
  }
  return hex.size() == 64 ? hex : std::string();
}

RemoteFileSettings ReadRemoteFile() {
  std::string text;
  if (!ReadSetFileText(kRemoteFile, kMaxFileBytes, &text)) return {};
  return ParseRemoteFile(text);
}

bool ApplyRemoteFile(Works *works) {
  return ApplyRemoteSettings(works, ReadRemoteFile());
}

bool ApplyRemoteSettings(Works *works, const RemoteFileSettings &s) {
  if (!s.hasPassword) return false;
  works->remotePassword.set(s.password.c_str());
  return s.password != DefaultRemotePassword();
}
