#include "remote/remote_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/setup.h"
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
        LogErr("remote.txt line %d: Password must be 1 to %zu printable characters; ignored",
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
        LogErr("remote.txt line %d: WebPort must be 0 to 65535; ignored", lineNo);
        continue;
      }
      out.webPort = static_cast<int>(v);
    } else if (key == "WebBind") {
      if (value.empty() || value.size() > 64 || !printable(value)) {
        LogErr("remote.txt line %d: WebBind is not an address; ignored", lineNo);
        continue;
      }
      out.webBind = value;
    }
  }
  return out;
}

RemoteFileSettings ReadRemoteFile() {
  FILE *f = fopen(MapPath(kRemoteFile).c_str(), "r");
  if (f == nullptr) return {};
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0 && text.size() < kMaxFileBytes) text.append(buf, n);
  fclose(f);
  if (text.size() > kMaxFileBytes) text.resize(kMaxFileBytes);
  return ParseRemoteFile(text);
}

bool ApplyRemoteFile(Works *works) {
  RemoteFileSettings s = ReadRemoteFile();
  if (!s.hasPassword) return false;
  works->remotePassword.set(s.password.c_str());
  return s.password != DefaultRemotePassword();
}
