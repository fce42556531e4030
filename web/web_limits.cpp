// Connection admission of the web panel: token buckets and open counts.
#include "web/web_limits.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

std::string AddressKey(const std::string &address) {
  in6_addr a6;
  if (address.find(':') == std::string::npos || inet_pton(AF_INET6, address.c_str(), &a6) != 1)
    return address;
  char text[INET6_ADDRSTRLEN] = "";
  if (IN6_IS_ADDR_V4MAPPED(&a6)) {
    inet_ntop(AF_INET, &a6.s6_addr[12], text, sizeof text);
    return text;
  }
  memset(&a6.s6_addr[8], 0, 8);
  inet_ntop(AF_INET6, &a6, text, sizeof text);
  return std::string(text) + "/64";
}

void TokenBucket::refill(int rate, int burst, long long nowMs) {
  const long long top = 1000LL * burst;
  if (!used) {
    used = true;
    milliTokens = top;
  } else if (nowMs > lastMs) {
    // Rate tokens a second are rate thousandths a millisecond.
    milliTokens = std::min(top, milliTokens + (nowMs - lastMs) * rate);
  }
  lastMs = std::max(lastMs, nowMs);
}

bool TokenBucket::take(int rate, int burst, long long nowMs) {
  return takeAbove(rate, burst, 0, nowMs);
}

bool TokenBucket::takeAbove(int rate, int burst, int keep, long long nowMs) {
  refill(rate, burst, nowMs);
  if (milliTokens < 1000LL * (keep + 1)) return false;
  milliTokens -= 1000;
  return true;
}

void TokenBucket::charge(int rate, int burst, long long nowMs) {
  refill(rate, burst, nowMs);
  milliTokens = std::max(-1000LL * burst, milliTokens - 1000);
}

bool TokenBucket::full(int rate, int burst, long long nowMs) {
  refill(rate, burst, nowMs);
  return milliTokens >= 1000LL * burst;
}

ConnectionLimits::Entry &ConnectionLimits::entryLocked(const std::string &key, long long nowMs,
                                                       bool *quiet) {
  auto it = entries_.find(key);
  if (quiet != nullptr) *quiet = it == entries_.end() || nowMs - it->second.lastMs >= kQuietMs;
  if (it == entries_.end()) {
    if (entries_.size() >= kMaxAddresses) {
      // Something to forget: an entry that remembers nothing, else the
      // idle one seen longest ago. Open connections are never forgotten
      // (there are far fewer of them than entries).
      auto victim = entries_.end();
      for (auto e = entries_.begin(); e != entries_.end(); ++e) {
        if (e->second.open > 0) continue;
        if (e->second.bucket.full(kAddressRate, kAddressBurst, nowMs)) {
          victim = e;
          break;
        }
        if (victim == entries_.end() || e->second.lastMs < victim->second.lastMs) victim = e;
      }
      if (victim != entries_.end()) entries_.erase(victim);
    }
    it = entries_.emplace(key, Entry()).first;
  }
  it->second.lastMs = nowMs;
  return it->second;
}

Admission ConnectionLimits::admit(const std::string &key, bool workerFree, long long nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  bool quiet = false;
  Entry &e = entryLocked(key, nowMs, &quiet);
  // Every attempt counts against its own address; only those that pass it
  // count against everybody's, so one noisy address cannot use up the rate
  // of all others.
  if (!e.bucket.take(kAddressRate, kAddressBurst, nowMs)) return Admission::kAddressRate;
  if (e.open >= kMaxPerAddress) return Admission::kAddressFull;
  if (!trustedLocked(key, nowMs) &&
      !total_.takeAbove(kTotalRate, kTotalBurst, quiet ? 0 : kQuietReserve, nowMs))
    return Admission::kTotalRate;
  if (!workerFree) return Admission::kBusy;
  ++e.open;
  return Admission::kServe;
}

bool ConnectionLimits::trustedLocked(const std::string &key, long long nowMs) {
  auto it = trusted_.find(key);
  if (it == trusted_.end()) return false;
  if (nowMs - it->second < kTrustedAddressMs) return true;
  trusted_.erase(it);
  return false;
}

bool ConnectionLimits::trusted(const std::string &key, long long nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  return trustedLocked(key, nowMs);
}

void ConnectionLimits::trust(const std::string &key, long long nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (trusted_.count(key) == 0 && trusted_.size() >= kMaxTrustedAddresses)
    trusted_.erase(std::min_element(trusted_.begin(), trusted_.end(),
                                    [](auto &a, auto &b) { return a.second < b.second; }));
  trusted_[key] = nowMs;
}

void ConnectionLimits::closed(const std::string &key) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(key);
  if (it != entries_.end() && it->second.open > 0) --it->second.open;
}

void ConnectionLimits::handshakeFailed(const std::string &key, long long nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  entryLocked(key, nowMs).bucket.charge(kAddressRate, kAddressBurst, nowMs);
}

int ConnectionLimits::open(const std::string &key) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(key);
  return it == entries_.end() ? 0 : it->second.open;
}

size_t ConnectionLimits::addresses() {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}
