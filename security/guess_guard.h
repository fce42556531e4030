#pragma once
// Guessing the pass phrase costs time from anywhere. The web panel and the
// unit link share one pass phrase, so they share one budget across every
// source address: after kBudgetFailures failures within a minute, at most
// one pass phrase is compared every kSlowCompareMs in all, until a minute
// passes without a failure. Each port also pauses an address (or a device of
// the owner's) that failed, for a time that doubles with each failure.
// Attempts that are not compared are answered at once, never slept out.
//
// The owner stays out of the lockout: a browser that logged in before (its
// device cookie) and an address that authenticated over the unit link
// lately are exempt from the shared budget and from the address pause, and
// keep a pause of their own when they fail.
//
// Times are monotonic milliseconds given by the caller, so tests drive them.
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <string>

constexpr int kBudgetFailures = 10;
constexpr long long kBudgetWindowMs = 60 * 1000;
constexpr long long kSlowCompareMs = 2000;

struct PausePolicy {
  long long firstMs;  // pause after the first failure
  long long maxMs;    // the doubling stops here
};
constexpr PausePolicy kWebPausePolicy{500, 8000};
constexpr PausePolicy kLinkPausePolicy{1000, 60000};

// The budget all addresses share.
class GuessBudget {
 public:
  // True when a pass phrase may be compared now; the comparison's slot is
  // taken. Otherwise false with the time until the next slot.
  bool take(long long nowMs, long long *retryMs);
  // The result of a comparison that take() allowed.
  void record(bool ok, long long nowMs);
  bool slow(long long nowMs);

 private:
  bool slowLocked(long long nowMs);
  std::mutex mutex_;
  std::deque<long long> failures_;  // within the last window
  long long lastFailureMs_ = -1;
  long long lastCompareMs_ = -1;
  bool slow_ = false;
};

// The budget of this process (both ports).
GuessBudget &SharedGuessBudget();

// Pauses of one port, by key: a source address, or a device of the owner's.
class GuessPauses {
 public:
  explicit GuessPauses(PausePolicy policy) : policy_(policy) {}
  // Milliseconds until key may try again (0: now).
  long long remainingMs(const std::string &key, long long nowMs);
  // A failure of key: returns the pause that starts now.
  long long failed(const std::string &key, long long nowMs);
  void succeeded(const std::string &key);

  static constexpr size_t kMaxKeys = 1024;
  static constexpr long long kForgetMs = 3600 * 1000;

 private:
  struct Entry {
    int failures = 0;
    long long untilMs = 0;
    long long lastMs = 0;
  };
  PausePolicy policy_;
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;
};

// What to do with one attempt.
struct GuessVerdict {
  bool compare = false;   // compare the pass phrase now
  long long retryMs = 0;  // otherwise: refuse at once, try again after this
};
// An attempt by key (exempt: the owner's device or a known peer, never held
// by the shared budget).
GuessVerdict AdmitGuess(GuessPauses *pauses, GuessBudget *budget, const std::string &key,
                        bool exempt, long long nowMs);
// The outcome of an admitted attempt; returns the pause that starts (0 when ok).
long long RecordGuess(GuessPauses *pauses, GuessBudget *budget, const std::string &key, bool exempt,
                      bool ok, long long nowMs);
