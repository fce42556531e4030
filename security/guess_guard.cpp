#include "security/guess_guard.h"

#include <algorithm>

bool GuessBudget::slowLocked(long long nowMs) {
  while (!failures_.empty() && nowMs - failures_.front() >= kBudgetWindowMs) failures_.pop_front();
  if (static_cast<int>(failures_.size()) >= kBudgetFailures) slow_ = true;
  if (slow_ && lastFailureMs_ >= 0 && nowMs - lastFailureMs_ >= kBudgetWindowMs) slow_ = false;
  return slow_;
}

bool GuessBudget::slow(long long nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  return slowLocked(nowMs);
}

bool GuessBudget::take(long long nowMs, long long *retryMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (slowLocked(nowMs) && lastCompareMs_ >= 0 && nowMs - lastCompareMs_ < kSlowCompareMs) {
    *retryMs = kSlowCompareMs - (nowMs - lastCompareMs_);
    return false;
  }
  lastCompareMs_ = nowMs;
  *retryMs = 0;
  return true;
}

void GuessBudget::record(bool ok, long long nowMs) {
  if (ok) return;
  std::lock_guard<std::mutex> lock(mutex_);
  failures_.push_back(nowMs);
  if (failures_.size() > static_cast<size_t>(kBudgetFailures)) failures_.pop_front();
  lastFailureMs_ = nowMs;
  slowLocked(nowMs);
}

GuessBudget &SharedGuessBudget() {
  static GuessBudget budget;
  return budget;
}

long long GuessPauses::remainingMs(const std::string &key, long long nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(key);
  return it == entries_.end() || nowMs >= it->second.untilMs ? 0 : it->second.untilMs - nowMs;
}

long long GuessPauses::failed(const std::string &key, long long nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = entries_.begin(); it != entries_.end();)
    it = nowMs - it->second.lastMs > kForgetMs ? entries_.erase(it) : std::next(it);
  auto it = entries_.find(key);
  if (it == entries_.end()) {
    if (entries_.size() >= kMaxKeys) {
      auto oldest = std::min_element(entries_.begin(), entries_.end(), [](auto &a, auto &b) {
        return a.second.lastMs < b.second.lastMs;
      });
      entries_.erase(oldest);
    }
    it = entries_.emplace(key, Entry()).first;
  }
  Entry &e = it->second;
  ++e.failures;
  long long pause = policy_.firstMs;
  for (int i = 1; i < e.failures && pause < policy_.maxMs; ++i) pause *= 2;
  pause = std::min(pause, policy_.maxMs);
  e.untilMs = nowMs + pause;
  e.lastMs = nowMs;
  return pause;
}

void GuessPauses::succeeded(const std::string &key) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.erase(key);
}

GuessVerdict AdmitGuess(GuessPauses *pauses, GuessBudget *budget, const std::string &key,
                        bool exempt, long long nowMs) {
  GuessVerdict v;
  v.retryMs = pauses->remainingMs(key, nowMs);
  if (v.retryMs > 0) return v;
  if (!exempt && !budget->take(nowMs, &v.retryMs)) return v;
  v.compare = true;
  return v;
}

long long RecordGuess(GuessPauses *pauses, GuessBudget *budget, const std::string &key, bool exempt,
                      bool ok, long long nowMs) {
  if (!exempt) budget->record(ok, nowMs);
  if (ok) {
    pauses->succeeded(key);
    return 0;
  }
  return pauses->failed(key, nowMs);
}
