// Line reading and number scanning shared by the table loaders, so that every
// table file survives any bytes in the same way.
#include "core/table_file.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "core/file_writer.h"
#include "platform/log.h"

namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

const char *skipBlanks(const char *p) {
  while (isBlank(*p)) ++p;
  return p;
}

const char *skipField(const char *p) {
  while (*p && !isBlank(*p)) ++p;
  return p;
}

struct FileCloser {
  void operator()(FILE *f) const { fclose(f); }
};

thread_local TableCheck *tCheck = nullptr;

}  // namespace

TableCheck::TableCheck(const std::string &text) : text_(text), outer_(tCheck) {
  tCheck = this;
}

TableCheck::~TableCheck() {
  tCheck = outer_;
}

void NoteTableFault(int lineNo, const char *error) {
  if (tCheck != nullptr && tCheck->line_ < 0) {
    tCheck->line_ = lineNo;
    tCheck->error_ = error;
  }
}

bool TableCheck::result(int *line, std::string *error) const {
  if (ok()) return true;
  *line = line_;
  *error = error_;
  return false;
}

void TableFault(int lineNo, const char *fmt, ...) {
  char text[256];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  if (tCheck == nullptr) {
    LogErr("%s", text);
  } else if (tCheck->line_ < 0) {
    // The check names its file itself: a path in front of the text is dropped.
    const char *error = text;
    if (strncmp(text, "/opt/set/", 9) == 0 && strstr(text, ": ") != nullptr)
      error = strstr(text, ": ") + 2;
    tCheck->line_ = lineNo;
    tCheck->error_ = error;
  }
}

int ReadTableLines(const char *devicePath, int maxLen,
                   const std::function<bool(const char *, int)> &onLine) {
  // A file with a rewrite still queued reads as the rewrite has it.
  std::string pending;
  std::unique_ptr<FILE, FileCloser> f;
  if (tCheck != nullptr) {
    if (tCheck->text_.empty()) return 0;
    pending = tCheck->text_;
    f.reset(fmemopen(pending.data(), pending.size(), "rb"));
  } else {
    f.reset(OpenSetFile(devicePath, &pending));
  }
  if (!f) return -1;
  std::string line;
  line.reserve(static_cast<size_t>(maxLen) + 1);
  int lineNo = 0;
  bool more = true;
  while (more) {
    line.clear();
    bool cut = false;
    int c;
    while ((c = getc(f.get())) != EOF && c != '\n') {
      if (static_cast<int>(line.size()) < maxLen)
        line.push_back(static_cast<char>(c));
      else
        cut = true;
    }
    if (c == EOF && line.empty() && !cut) break;
    if (c == EOF) more = false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    ++lineNo;
    if (cut)
      TableFault(lineNo, "%s: line %d longer than %d characters, cut", devicePath, lineNo, maxLen);
    if (line.find('\0') != std::string::npos)
      TableFault(lineNo, "%s: line %d holds a NUL byte, the rest of it unread", devicePath, lineNo);
    if (!onLine(line.c_str(), lineNo)) break;
  }
  return lineNo;
}

bool ScanCUnsigned(const char **p, uint32_t *out) {
  const char *s = skipBlanks(*p);
  *out = 0;
  if (*s == 0) {
    *p = s;
    return false;
  }
  bool ok = false;
  if (*s != '-' && *s != '+') {
    errno = 0;
    char *end = nullptr;
    unsigned long long v = strtoull(s, &end, 0);
    if (end != s && errno != ERANGE && v <= UINT32_MAX) {
      *out = static_cast<uint32_t>(v);
      ok = true;
    }
  }
  *p = skipField(s);
  return ok;
}

bool ScanDecimal(const char **p, int64_t *out) {
  const char *s = skipBlanks(*p);
  *out = 0;
  if (*s == 0) {
    *p = s;
    return false;
  }
  errno = 0;
  char *end = nullptr;
  long long v = strtoll(s, &end, 10);
  bool ok = end != s && errno != ERANGE && v >= INT32_MIN && v <= INT32_MAX;
  if (ok) *out = v;
  *p = skipField(s);
  return ok;
}

bool ScanFloat(const char **p, float *out) {
  const char *s = skipBlanks(*p);
  *out = 0;
  if (*s == 0) {
    *p = s;
    return false;
  }
  char *end = nullptr;
  float v = strtof(s, &end);
  bool ok = end != s && std::isfinite(v);
  if (ok) *out = v;
  *p = skipField(s);
  return ok;
}

bool AtLineEnd(const char *p) {
  return *skipBlanks(p) == 0;
}
