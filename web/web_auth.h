#pragma once
// Who may use the web panel: the owner's pass phrase, sessions of 128 random
// bits, and a pause before every refusal that grows with the failures from
// the same address, so guessing the pass phrase costs time.
#include <map>
#include <mutex>
#include <string>

// The session cookie's name.
constexpr char kSessionCookie[] = "ombrix_session";
// A session unused this long is forgotten.
constexpr long long kSessionIdleMs = 12LL * 3600 * 1000;
constexpr size_t kMaxSessions = 32;
// Pause before the first refusal, doubled for every further failure.
constexpr long long kLoginPauseFirstMs = 500;
constexpr long long kLoginPauseMaxMs = 8000;
// Addresses whose failures are remembered (oldest forgotten first), and how long.
constexpr size_t kMaxLoginAddresses = 256;
constexpr long long kLoginForgetMs = 3600 * 1000;

// Equal when both texts are equal; the time taken does not depend on where
// they differ or on their lengths.
bool PassPhraseEqual(const std::string &a, const std::string &b);

class WebAuth {
 public:
  explicit WebAuth(std::string passPhrase) : passPhrase_(std::move(passPhrase)) {}

  struct Login {
    bool ok = false;
    std::string session;    // the new session's token when ok
    long long pauseMs = 0;  // wait this long before answering (refusals)
  };
  // A login attempt from an address. While an earlier refusal's pause for
  // that address runs, the pass phrase is not even compared.
  Login login(const std::string &address, const std::string &passPhrase, long long nowMs);
  // True when the token names a live session; its idle time starts again.
  bool check(const std::string &token, long long nowMs);
  void logout(const std::string &token);

 private:
  struct Failures {
    int count = 0;
    long long lockedUntilMs = 0;
    long long lastMs = 0;
  };
  std::mutex mutex_;
  std::string passPhrase_;
  std::map<std::string, long long> sessions_;  // digest of the token -> last use
  std::map<std::string, Failures> failures_;   // address -> failures
};

// 32 lowercase hex digits of 128 random bits; "" when no randomness is to be had.
std::string NewSessionToken();
