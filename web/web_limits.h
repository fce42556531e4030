#pragma once
// What a stranger may make the web panel spend, decided when a connection is
// accepted, before any TLS handshake or worker is spent on it: at most
// kServedConnections served at once, kMaxPerAddress open per source address
// (a browser opens up to six to one host), about kAddressRate new ones a
// second per address and kTotalRate in all. A failed TLS handshake costs its
// address one more attempt. An address the owner logged in from lately is
// trusted: not held by the rate of all, so strangers opening connections
// from many addresses do not keep the owner out (the listener also lets its
// connections take the place of strangers'). The last kQuietReserve of the
// shared rate's tokens go only to quiet addresses (no attempt for
// kQuietMs), so a few addresses opening all they may cannot take every
// token from a newcomer either. Pure arithmetic on a clock
// given by the caller (monotonic ms), so tests drive it; the listener holds
// the one instance.
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

constexpr int kServedConnections = 16;
constexpr int kMaxPerAddress = 6;
constexpr int kAddressRate = 5;   // new connections a second per address
constexpr int kAddressBurst = 6;  // a browser's first six at once
constexpr int kTotalRate = 20;    // new connections a second in all
constexpr int kTotalBurst = 20;
constexpr int kQuietReserve = 5;
constexpr long long kQuietMs = 2000;
constexpr size_t kMaxTrustedAddresses = 32;
constexpr long long kTrustedAddressMs = 30LL * 24 * 3600 * 1000;

// The key an address is counted under: an IPv4 address as text, an IPv6
// address by its /64 (one host commonly owns a whole /64), an IPv4 address
// written as IPv6 (::ffff:a.b.c.d) as IPv4. Text that is no address is kept
// as it is.
std::string AddressKey(const std::string &address);

// A token bucket in thousandths of a token, so the arithmetic stays exact.
struct TokenBucket {
  bool used = false;  // a bucket not used yet is full
  long long milliTokens = 0;
  long long lastMs = 0;
  // Refills at rate tokens a second up to burst, then takes one when there is
  // one. False (nothing taken) otherwise.
  bool take(int rate, int burst, long long nowMs);
  // The same, leaving at least keep tokens.
  bool takeAbove(int rate, int burst, int keep, long long nowMs);
  // Takes one even when there is none, down to -burst (a debt paid back by
  // the refill).
  void charge(int rate, int burst, long long nowMs);
  // True when the bucket is full again (nothing to remember).
  bool full(int rate, int burst, long long nowMs);

 private:
  void refill(int rate, int burst, long long nowMs);
};

enum class Admission {
  kServe,        // serve it
  kAddressRate,  // its address opened too many lately
  kAddressFull,  // its address has kMaxPerAddress open
  kTotalRate,    // too many new connections from everywhere lately
  kBusy,         // every worker serves a connection
};

class ConnectionLimits {
 public:
  // The bounded table of addresses: beyond it, the entry with nothing to
  // remember (no connection open, bucket full) goes first, else the one
  // seen longest ago; the shared rate still holds every address.
  static constexpr size_t kMaxAddresses = 512;

  // A new connection from key. workerFree: a worker can take it. Counts it
  // as open when the answer is kServe.
  Admission admit(const std::string &key, bool workerFree, long long nowMs);
  // The owner logged in from key (the oldest of kMaxTrustedAddresses goes).
  void trust(const std::string &key, long long nowMs);
  bool trusted(const std::string &key, long long nowMs);
  // A served connection from key ended.
  void closed(const std::string &key);
  // Its TLS handshake failed: one more attempt for its address.
  void handshakeFailed(const std::string &key, long long nowMs);
  int open(const std::string &key);
  size_t addresses();

 private:
  struct Entry {
    TokenBucket bucket;
    int open = 0;
    long long lastMs = 0;
  };
  // The entry of key, made when new; *quiet: it made no attempt for kQuietMs.
  Entry &entryLocked(const std::string &key, long long nowMs, bool *quiet = nullptr);
  bool trustedLocked(const std::string &key, long long nowMs);
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;
  std::map<std::string, long long> trusted_;  // key -> the owner's last login from it
  TokenBucket total_;
};
