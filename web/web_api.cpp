// Request parsing and the state document of the web panel.
#include "web/web_api.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "config/config.h"
#include "core/key_labels.h"
#include "errors/errors.h"

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string formDecode(const std::string &s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out += ' ';
    } else if (s[i] == '%' && i + 2 < s.size() && hexValue(s[i + 1]) >= 0 &&
               hexValue(s[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// A JSON string of text that came from anywhere: control characters escaped,
// bytes that are not ASCII shown as '?', so the document is always valid.
void jsonString(std::string *out, const char *text, size_t maxLen) {
  *out += '"';
  for (size_t i = 0; i < maxLen && text[i] != 0; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      *out += '\\';
      *out += static_cast<char>(c);
    } else if (c < 0x20) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\u%04x", c);
      *out += esc;
    } else {
      *out += c < 0x80 ? static_cast<char>(c) : '?';
    }
  }
  *out += '"';
}

void jsonNumber(std::string *out, double v, const char *format) {
  if (!std::isfinite(v)) {
    *out += "null";
    return;
  }
  char buf[48];
  snprintf(buf, sizeof buf, format, v);
  *out += buf;
}

std::string trimmed(const char *text, size_t maxLen) {
  std::string s(text, strnlen(text, maxLen));
  size_t a = s.find_first_not_of(' ');
  size_t b = s.find_last_not_of(' ');
  return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

std::string lowercase(std::string s) {
  for (char &c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

std::map<std::string, std::string> ParseForm(const std::string &text) {
  std::map<std::string, std::string> out;
  size_t pos = 0;
  int fields = 0;
  while (pos <= text.size() && fields < kMaxFormFields) {
    size_t end = text.find('&', pos);
    if (end == std::string::npos) end = text.size();
    std::string part = text.substr(pos, end - pos);
    pos = end + 1;
    if (part.empty()) continue;
    ++fields;
    size_t eq = part.find('=');
    std::string name = formDecode(part.substr(0, eq));
    std::string value = eq == std::string::npos ? std::string() : formDecode(part.substr(eq + 1));
    out.emplace(name, value);
  }
  return out;
}

bool ParseKeyRequest(const std::map<std::string, std::string> &form, KeyRequest *out) {
  auto key = form.find("key");
  auto press = form.find("press");
  if (key == form.end() || press == form.end()) return false;
  if (key->second.size() != 1 || key->second[0] < '1' || key->second[0] > '6') return false;
  static const struct {
    const char *name;
    PanelPress press;
  } kPresses[] = {{"short", PP_SHORT}, {"long", PP_LONG}, {"down", PP_DOWN}, {"up", PP_UP}};
  for (const auto &p : kPresses)
    if (press->second == p.name) {
      out->key = key->second[0] - '0';
      out->press = p.press;
      return true;
    }
  return false;
}

std::string CookieValue(const std::string &header, const std::string &name) {
  size_t pos = 0;
  while (pos < header.size()) {
    size_t end = header.find(';', pos);
    if (end == std::string::npos) end = header.size();
    std::string part = header.substr(pos, end - pos);
    pos = end + 1;
    size_t a = part.find_first_not_of(' ');
    if (a == std::string::npos) continue;
    part.erase(0, a);
    if (part.size() > name.size() && part.compare(0, name.size(), name) == 0 &&
        part[name.size()] == '=')
      return part.substr(name.size() + 1);
  }
  return std::string();
}

bool HostAllowed(const std::string &host, const std::string &unitHostName,
                 const std::vector<std::string> &webHosts) {
  std::string name = lowercase(host);
  size_t portAt = std::string::npos;
  if (!name.empty() && name[0] == '[') {
    size_t close = name.find(']');
    if (close == std::string::npos) return false;
    portAt = close + 1 < name.size() ? close + 1 : std::string::npos;
    if (portAt != std::string::npos && name[portAt] != ':') return false;
  } else {
    portAt = name.find(':');
  }
  if (portAt != std::string::npos) {
    std::string port = name.substr(portAt + 1);
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos)
      return false;
    name.erase(portAt);
  }
  if (name.empty()) return false;
  unsigned char addr[16];
  if (name[0] == '[')
    return inet_pton(AF_INET6, name.substr(1, name.size() - 2).c_str(), addr) == 1;
  if (inet_pton(AF_INET, name.c_str(), addr) == 1) return true;
  if (name.back() == '.') name.pop_back();  // the absolute form of a name
  if (name == "localhost" || (!name.empty() && name == lowercase(unitHostName))) return true;
  return std::find(webHosts.begin(), webHosts.end(), name) != webHosts.end();
}

bool SameOrigin(const std::string &origin, const std::string &referer, const std::string &host,
                bool secure) {
  if (host.empty()) return false;
  const std::string self = (secure ? "https://" : "http://") + lowercase(host);
  if (!origin.empty()) return lowercase(origin) == self;
  // Without Origin, the page's own address must be the referrer: exactly the
  // origin, or the origin followed by a path.
  return referer.size() >= self.size() && lowercase(referer.substr(0, self.size())) == self &&
         (referer.size() == self.size() || referer[self.size()] == '/');
}

int RefusedBeforeBody(const std::string &method, const BodyHeaders &headers, size_t maxBody) {
  if (headers.contentEncodings > 0) return 415;
  if (headers.transferEncodings > 0) return 411;
  if (headers.contentLengths.size() > 1) return 400;
  if (headers.contentLengths.empty()) return method == "POST" ? 411 : 0;
  const std::string &text = headers.contentLengths[0];
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return 400;
  // Leading zeros do not make a length longer.
  size_t first = text.find_first_not_of('0');
  if (first != std::string::npos && text.size() - first > 9) return 413;
  return std::strtoull(text.c_str(), nullptr, 10) > maxBody ? 413 : 0;
}

std::string StateJson(Works *works) {
  std::string j = "{";
  char buf[64];
  snprintf(buf, sizeof buf, "\"frequency\":%d,", works->frequency.load());
  j += buf;
  j += "\"band\":";
  {
    std::lock_guard<std::recursive_mutex> lock(works->tablesMutex);
    int b = works->bandIdx;
    if (b >= 0 && b < works->numBands && b < 11)
      jsonString(&j, works->tabAntenna[b].name, sizeof works->tabAntenna[b].name);
    else
      j += "null";
  }
  // The panel shows antennas and banks counted from 1 and 0 as they are.
  snprintf(buf, sizeof buf, ",\"antenna\":%d,\"bank\":%d,\"mode\":", works->antenna.load() + 1,
           works->numBanco.load());
  j += buf;
  int mode = works->modeWorkIdx;
  if (mode >= 0 && mode < kModesOfWork)
    jsonString(&j, trimmed(MODEwork[mode], sizeof MODEwork[mode]).c_str(), 8);
  else
    j += "null";
  j += ",\"forward\":";
  jsonNumber(&j, works->pwFwd, "%.1f");
  j += ",\"reflected\":";
  jsonNumber(&j, works->pwRefl, "%.1f");
  j += ",\"swr\":";
  jsonNumber(&j, works->swr, "%.2f");
  j += ",\"temperatures\":{\"amplifier1\":";
  jsonNumber(&j, works->temp1, "%.1f");
  j += ",\"amplifier2\":";
  jsonNumber(&j, works->temp2, "%.1f");
  j += ",\"cpu\":";
  jsonNumber(&j, works->cpuTemp, "%.1f");
  j += ",\"gpu\":";
  jsonNumber(&j, works->gpuTemp, "%.1f");
  snprintf(buf, sizeof buf, "},\"relayWord\":\"%08X\",\"operate\":%s,\"tunerBypass\":%s,",
           works->tuneVal.load(), works->ampBypass == 1 ? "false" : "true",
           works->atuBypass ? "true" : "false");
  j += buf;
  snprintf(buf, sizeof buf, "\"screenState\":%d,\"errors\":[", works->screenState.load());
  j += buf;
  ErrorListCopy errors;
  CopyErrorList(works, &errors);
  for (int i = 0; i < errors.count && i < kErrorCodes; ++i) {
    if (i > 0) j += ',';
    snprintf(buf, sizeof buf, "{\"code\":%d,\"line1\":", errors.list[i]);
    j += buf;
    jsonString(&j, errors.desc[i].line1, sizeof errors.desc[i].line1);
    j += ",\"line2\":";
    jsonString(&j, errors.desc[i].line2, sizeof errors.desc[i].line2);
    j += '}';
  }
  j += "]}";
  return j;
}
