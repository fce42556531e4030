#include "remote/preauth_log.h"

#include <cstdio>

#include "platform/clock.h"
#include "platform/log.h"

bool LogBucket::take(long long nowMs, long long *leftOut) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (lastMs_ < 0) lastMs_ = nowMs;
  long long earned = (nowMs - lastMs_) * perSecond_ / 1000;
  if (earned > 0) {
    tokens_ = tokens_ + earned > burst_ ? burst_ : tokens_ + earned;
    lastMs_ += earned * 1000 / perSecond_;
  }
  if (tokens_ > burst_ - 1) lastMs_ = nowMs;  // a full bucket earns nothing more
  if (tokens_ <= 0) {
    ++leftOut_;
    *leftOut = leftOut_;
    return false;
  }
  --tokens_;
  *leftOut = leftOut_;
  leftOut_ = 0;
  return true;
}

void PreAuthLogLine(PreAuthLog *conn, PreAuthText text, bool err, const char *fmt, ...) {
  static LogBucket bucket(kPreAuthBurst, kPreAuthPerSecond);
  if (conn != nullptr) {
    uint32_t bit = 1u << text;
    if (conn->seen & bit) return;
    conn->seen |= bit;
  }
  long long leftOut = 0;
  if (!bucket.take(MonotonicMs(), &leftOut)) return;
  if (leftOut > 0) LogInfo("%lld log lines of unauthenticated peers left out", leftOut);
  char line[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  if (err)
    LogErr("%s", line);
  else
    LogInfo("%s", line);
}
