// LAN settings in /etc/network/interfaces and the device's connection text.
#include "network/lan.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/log.h"
#include "platform/platform.h"

char IP[32], NetMask[32], Gateway[32], DNS[32], MAC[32];
At<uint8_t> IP_v[4], NetMask_v[4], Gateway_v[4], DNS_v[4];
At<uint8_t> Gateway_none{0}, DNS_none{0};

namespace {

const char kInterfaces[] = "/etc/network/interfaces";
// Anything bigger is not an interfaces file; rewriting it would risk losing it.
constexpr long kMaxInterfacesBytes = 1 << 20;
constexpr size_t kLineChars = 127;

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

// Reads one line of at most kLineChars characters; the rest of a longer line
// is skipped rather than read as a line of its own. False at the end of file.
bool readLine(FILE *f, char *line, size_t size) {
  size_t n = 0;
  int c;
  bool any = false;
  while ((c = getc(f)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (n + 1 < size) line[n++] = static_cast<char>(c);
  }
  line[n] = 0;
  return any;
}

// The value after a keyword: leading blanks skipped, trailing blanks and line
// end removed, at most 31 characters.
void copyValue(char *dst, const char *rest) {
  while (isBlank(*rest)) ++rest;
  size_t len = strlen(rest);
  while (len > 0 && (rest[len - 1] == '\r' || rest[len - 1] == '\n' || isBlank(rest[len - 1])))
    --len;
  if (len > 31) len = 31;
  memcpy(dst, rest, len);
  dst[len] = 0;
}

// True when line starts (in column 1) with the keyword as a whole word.
bool startsWithWord(const std::string &line, const char *word) {
  size_t n = strlen(word);
  if (line.compare(0, n, word) != 0) return false;
  return line.size() == n || isBlank(line[n]) || line[n] == '\r';
}

std::string dotted(const char *keyword, const At<uint8_t> *v) {
  char buf[64];
  snprintf(buf, sizeof buf, "%s %d.%d.%d.%d\n", keyword, v[0].load(), v[1].load(), v[2].load(),
           v[3].load());
  return buf;
}

}  // namespace

void SplitAddr(const char *text, At<uint8_t> *octets) {
  if (text == nullptr || text[0] == 0) return;
  const char *p = text;
  for (int i = 0; i < 4; ++i) {
    long v = strtol(p, nullptr, 10);
    octets[i] = static_cast<uint8_t>(v & 0xFF);
    const char *dot = strchr(p, '.');
    if (dot == nullptr) break;
    p = dot + 1;
  }
}

int ReadLanParam() {
  DNS[0] = 0;
  Gateway[0] = 0;
  FILE *f = fopen(MapPath(kInterfaces).c_str(), "rb");
  if (f == nullptr) {
    LogStderr("Error opening network connection configuration file. CODE: %d\n", errno);
    return -1;
  }
  ReadLanParamFrom(f);
  fclose(f);
  LogStderr("ReadLanParam DNS_none=%d Gateway_none=%d\n", DNS_none.load(), Gateway_none.load());
  return 0;
}

void ReadLanParamFrom(FILE *f) {
  memset(IP, 0, sizeof IP);
  memset(NetMask, 0, sizeof NetMask);
  memset(Gateway, 0, sizeof Gateway);
  memset(DNS, 0, sizeof DNS);
  memset(MAC, 0, sizeof MAC);
  char line[kLineChars + 1];
  while (readLine(f, line, sizeof line)) {
    const char *p = line;
    while (isBlank(*p)) ++p;
    const char *end = p;
    while (*end != 0 && !isBlank(*end) && *end != '\r') ++end;
    std::string word(p, static_cast<size_t>(end - p));
    const char *rest = *end != 0 ? end + 1 : end;
    if (word == "address") {
      copyValue(IP, rest);
      LogStderr("ip: %s\n", IP);
    } else if (word == "netmask") {
      copyValue(NetMask, rest);
      LogStderr("NetMask: %s\n", NetMask);
    } else if (word == "gateway") {
      copyValue(Gateway, rest);
    } else if (word == "nameserver") {
      copyValue(DNS, rest);
    }
  }
  SplitAddr(IP, IP_v);
  SplitAddr(NetMask, NetMask_v);
  if (Gateway[0] != 0) {
    SplitAddr(Gateway, Gateway_v);
    LogStderr("gateway: %s\n", Gateway);
    Gateway_none = 0;
  } else {
    Gateway_none = 1;
  }
  if (DNS[0] != 0) {
    SplitAddr(DNS, DNS_v);
    LogStderr("DNS: %s\n", DNS);
    DNS_none = 0;
  } else {
    DNS_none = 1;
  }
}

std::string RewriteLanFile(const std::string &original) {
  std::string out;
  out.reserve(original.size() + 64);
  size_t start = 0;
  while (start < original.size()) {
    size_t nl = original.find('\n', start);
    size_t stop = nl == std::string::npos ? original.size() : nl + 1;
    std::string line = original.substr(start, stop - start);
    start = stop;
    if (startsWithWord(line, "address")) {
      line = dotted("address", IP_v);
      LogStderr("--->new ip: %s \n", line.substr(0, line.size() - 1).c_str());
    } else if (startsWithWord(line, "netmask")) {
      line = dotted("netmask", NetMask_v);
    } else if (startsWithWord(line, "gateway")) {
      line = Gateway_none ? std::string("gateway \n") : dotted("gateway", Gateway_v);
    } else if (startsWithWord(line, "nameserver")) {
      line = DNS_none ? std::string("nameserver \n") : dotted("nameserver", DNS_v);
    }
    out += line;
  }
  return out;
}

int SaveLanParam() {
  int rc = RunCommand({"mount", "-o", "remount", "defaults,rw", "/"});
  if (rc != 0) {
    LogErr("can't mount rw / %d", rc);
    return -1;
  }
  const std::string path = MapPath(kInterfaces);
  FILE *f = fopen(path.c_str(), "rb");
  if (f == nullptr) {
    LogStderr("Error opening network connection configuration file. CODE: %d\n", errno);
    return -1;
  }
  std::string original;
  char buf[4096];
  size_t n;
  bool tooBig = false;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
    original.append(buf, n);
    if (static_cast<long>(original.size()) > kMaxInterfacesBytes) {
      tooBig = true;
      break;
    }
  }
  bool readError = ferror(f) != 0;
  fclose(f);
  if (tooBig || readError) {
    LogErr("can't rewrite %s: %s", kInterfaces, tooBig ? "file too big" : "read error");
    return -1;
  }
  if (WriteFileAtomic(path, RewriteLanFile(original)) != 0) {
    LogErr("can't write %s error %d", kInterfaces, errno);
    return -1;
  }
  rc = RunCommand({"sudo", "ifdown", "--exclude=lo", "-a"});
  if (rc != 0) return rc;
  return RunCommand({"sudo", "ifup", "--exclude=lo", "-a"});
}

void ApplyLanConnection(Works *works, const std::string &output) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < output.size()) {
    size_t nl = output.find('\n', start);
    size_t stop = nl == std::string::npos ? output.size() : nl;
    // The device command prints short lines; anything longer is cut, not split.
    lines.push_back(output.substr(start, stop - start < 31 ? stop - start : 31));
    start = nl == std::string::npos ? output.size() : nl + 1;
  }
  char status[32];
  snprintf(status, sizeof status, "%s", "No Conn");
  std::string first = lines.empty() ? std::string() : lines.front();
  if (!lines.empty()) snprintf(status, sizeof status, "%s", lines.back().c_str());
  for (char &c : status)
    if (c == '\t' || c == '\n') c = 0;
  works->lanStatusText.set(status);
  LogStderr("!!!mykivo: %i %s %s\n", static_cast<int>(lines.size()), first.c_str(), status);
  std::string version = works->version.str();
  // Without a first line there is nothing to compare, so no update is offered.
  if (!first.empty() && strncmp(first.c_str(), version.c_str(), 6) != 0) works->uiUpdateAvail = 1;
  LogStderr("!!!update: %i %s %s\n", works->uiUpdateAvail.load(), first.c_str(), version.c_str());
}

void ReadLANconnection(Works *works) {
  works->lanStatusText.set("No Conn");
  std::string output;
  int rc = RunCommand({"my_kivo"}, &output, 4096);
  if (rc < 0) {
    // The connection text is only shown; the amplifier goes on without it.
    LogErr("can't run my_kivo");
    return;
  }
  ApplyLanConnection(works, output);
}

void *LANInfoThread(void *arg) {
  ReadLANconnection(static_cast<Works *>(arg));
  return nullptr;
}
