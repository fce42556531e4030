#include "platform/log.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// One fputs per line so that lines of different threads do not interleave.
void toStderr(const char *text, bool addNewline) {
  size_t n = strlen(text);
  if (addNewline && (n == 0 || text[n - 1] != '\n')) {
    char buf[2100];
    snprintf(buf, sizeof buf, "%s\n", text);
    fputs(buf, stderr);
  } else {
    fputs(text, stderr);
  }
  fflush(stderr);
}

void logBoth(int level, const char *fmt, va_list ap) {
  char buf[2048];
  vsnprintf(buf, sizeof buf, fmt, ap);
  syslog(level, "%s", buf);
  toStderr(buf, true);
}

}  // namespace

void LogInfo(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  logBoth(LOG_INFO, fmt, ap);
  va_end(ap);
}

void LogErr(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  logBoth(LOG_ERR, fmt, ap);
  va_end(ap);
}

void LogStderr(const char *fmt, ...) {
  char buf[2048];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  toStderr(buf, false);
}
