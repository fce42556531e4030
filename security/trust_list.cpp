#include "security/trust_list.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr long long kRenewSeconds = 24 * 3600;
constexpr size_t kMaxKey = 128;

bool keyText(const std::string &key) {
  if (key.empty() || key.size() > kMaxKey) return false;
  for (unsigned char c : key)
    if (c <= ' ' || c > '~') return false;
  return true;
}

}  // namespace

void TrustList::expireLocked(long long nowSec) {
  for (auto it = keys_.begin(); it != keys_.end();)
    it = nowSec - it->second >= life_ ? keys_.erase(it) : std::next(it);
}

bool TrustList::contains(const std::string &key, long long nowSec) {
  std::lock_guard<std::mutex> lock(mutex_);
  expireLocked(nowSec);
  return keys_.count(key) != 0;
}

bool TrustList::remember(const std::string &key, long long nowSec) {
  if (!keyText(key)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  expireLocked(nowSec);
  auto it = keys_.find(key);
  if (it != keys_.end()) {
    bool stale = nowSec - it->second >= kRenewSeconds;
    if (stale) it->second = nowSec;
    return stale;
  }
  while (keys_.size() >= max_ && !keys_.empty())
    keys_.erase(std::min_element(keys_.begin(), keys_.end(),
                                 [](auto &a, auto &b) { return a.second < b.second; }));
  keys_[key] = nowSec;
  return true;
}

void TrustList::forget(const std::string &key) {
  std::lock_guard<std::mutex> lock(mutex_);
  keys_.erase(key);
}

std::string TrustList::text() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string out;
  for (const auto &[key, sec] : keys_) out += key + " " + std::to_string(sec) + "\n";
  return out;
}

void TrustList::load(const std::string &text, long long nowSec) {
  std::lock_guard<std::mutex> lock(mutex_);
  keys_.clear();
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    size_t blank = line.find(' ');
    if (blank == std::string::npos) continue;
    std::string key = line.substr(0, blank), num = line.substr(blank + 1);
    char *stop = nullptr;
    long long sec = strtoll(num.c_str(), &stop, 10);
    if (!keyText(key) || num.empty() || *stop != 0 || sec <= 0 || sec > nowSec + kRenewSeconds)
      continue;
    keys_[key] = sec;
  }
  expireLocked(nowSec);
  while (keys_.size() > max_)
    keys_.erase(std::min_element(keys_.begin(), keys_.end(),
                                 [](auto &a, auto &b) { return a.second < b.second; }));
}

size_t TrustList::size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return keys_.size();
}
