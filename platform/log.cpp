#include "platform/log.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/clock.h"

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

void LogTrace(const char *text) {
  toStderr(text, true);
  // A handful of distinct texts: a small table, kept for the whole run.
  struct Slot {
    char text[32];
    long long lastMs;
    int skipped;
  };
  static Slot slots[16];
  static std::mutex m;
  long long now = MonotonicMs();
  int skipped = -1;
  {
    std::lock_guard<std::mutex> lock(m);
    Slot *slot = nullptr;
    for (Slot &s : slots) {
      if (s.text[0] == 0) {
        snprintf(s.text, sizeof s.text, "%s", text);
        s.lastMs = now - 1000;
      }
      if (strncmp(s.text, text, sizeof s.text - 1) == 0) {
        slot = &s;
        break;
      }
    }
    if (slot == nullptr) slot = &slots[15];  // more texts than slots: share the last
    if (now - slot->lastMs >= 1000) {
      skipped = slot->skipped;
      slot->skipped = 0;
      slot->lastMs = now;
    } else {
      ++slot->skipped;
    }
  }
  if (skipped == 0)
    syslog(LOG_INFO, "%s", text);
  else if (skipped > 0)
    syslog(LOG_INFO, "%s (%d more in the last second)", text, skipped);
}
