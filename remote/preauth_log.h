#pragma once
// What a peer that has not given the pass phrase can make the unit log is
// bounded: each text at most once per connection, and all such lines of
// every connection together through one small bucket (a burst, then about a
// line a second). The lines left out are counted and the count is logged
// with the next line that passes.
#include <cstdarg>
#include <cstdint>
#include <mutex>

// The texts a connection logs before it is authenticated.
enum PreAuthText {
  PRE_CONNECTED,
  PRE_RECEIVED,
  PRE_CAUGHT,
  PRE_KEY,
  PRE_ADVANCED,
  PRE_SENT,
  PRE_ACCEPT,
  PRE_WRITE,
  PRE_CLOSED,  // why the connection ended before authentication
  PRE_TEXT_COUNT
};

// One connection's record of the texts it has logged.
struct PreAuthLog {
  uint32_t seen = 0;
};

// Lines allowed by a bucket of burst lines refilled at perSecond.
class LogBucket {
 public:
  LogBucket(int burst, int perSecond) : burst_(burst), perSecond_(perSecond), tokens_(burst) {}
  // True when a line may go out at nowMs; *leftOut is the count of lines
  // refused since the last one that went out (reset by this call when true).
  bool take(long long nowMs, long long *leftOut);

 private:
  std::mutex mutex_;
  int burst_, perSecond_;
  long long tokens_;
  long long lastMs_ = -1;
  long long leftOut_ = 0;
};

constexpr int kPreAuthBurst = 20;
constexpr int kPreAuthPerSecond = 1;

// Logs text once for the connection (conn may be nullptr: the bucket only),
// through the bucket all connections share. err selects the error level.
void PreAuthLogLine(PreAuthLog *conn, PreAuthText text, bool err, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
