#pragma once
// Who a port remembers as the owner's: browsers that hold a device cookie
// (kept by the cookie's digest, never the cookie), or addresses that
// authenticated over the unit link. Each key carries the wall-clock time
// (seconds) of its last authentication; keys older than their life are
// gone, and at most max are kept (the oldest forgotten first). The list is
// kept in a small text file of "KEY SECONDS" lines, so it outlives restarts.
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

class TrustList {
 public:
  TrustList(size_t max, long long lifeSeconds) : max_(max), life_(lifeSeconds) {}
  bool contains(const std::string &key, long long nowSec);
  // Adds key or renews it. True when the file should be rewritten: a new key,
  // or one whose stored time is a day old or more (so renewals do not wear
  // the card).
  bool remember(const std::string &key, long long nowSec);
  void forget(const std::string &key);
  // The file's text, and reading it back (bad or expired lines are dropped).
  std::string text();
  void load(const std::string &text, long long nowSec);
  size_t size();

 private:
  void expireLocked(long long nowSec);
  size_t max_;
  long long life_;
  std::mutex mutex_;
  std::map<std::string, long long> keys_;
};

// Device cookies of the web panel: 32, one year. Peers of the unit link: 32, 30 days.
constexpr size_t kMaxTrusted = 32;
constexpr long long kDeviceCookieSeconds = 365LL * 24 * 3600;
constexpr long long kKnownPeerSeconds = 30LL * 24 * 3600;
