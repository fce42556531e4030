#pragma once
// Who may use the web panel: the owner's pass phrase, sessions of 128 random
// bits, and the guessing rules shared with the unit link (security/
// guess_guard.h). An attempt is answered at once: refused without being
// compared while its address (or device) pauses or the shared budget is
// spent, else compared; a failure starts a pause that doubles with each
// failure (0.5 s up to 8 s). A browser that logged in once holds a device
// cookie (random, one year); the owner's devices are remembered by the
// cookie's digest (at most kMaxTrusted), and a device presenting its cookie
// is held neither by the shared budget nor by its address's pause, only by
// a pause of its own.
#include <map>
#include <mutex>
#include <string>

#include "security/guess_guard.h"
#include "security/trust_list.h"

// The cookies' names.
constexpr char kSessionCookie[] = "ombrix_session";
constexpr char kDeviceCookie[] = "ombrix_device";
// A session unused this long is forgotten.
constexpr long long kSessionIdleMs = 12LL * 3600 * 1000;
constexpr size_t kMaxSessions = 32;

// Equal when both texts are equal; the time taken does not depend on where
// they differ or on their lengths.
bool PassPhraseEqual(const std::string &a, const std::string &b);

class WebAuth {
 public:
  // budget: shared with the unit link in the program, a test's own in tests.
  explicit WebAuth(std::string passPhrase, GuessBudget *budget = &SharedGuessBudget())
      : passPhrase_(std::move(passPhrase)),
        budget_(budget),
        pauses_(kWebPausePolicy),
        devices_(kMaxTrusted, kDeviceCookieSeconds) {}

  struct Login {
    bool ok = false;
    bool compared = false;        // false: refused without comparing (429), retry after pauseMs
    std::string session;          // ok: the new session's token
    std::string device;           // ok: the device cookie to set (new, or the one presented)
    bool devicesChanged = false;  // ok: the list of devices should be stored again
    long long pauseMs = 0;        // not ok: the time until this address or device may try again
  };
  // A login attempt from an address, with the device cookie it presented
  // ("" for none). nowMs: monotonic; wallSeconds: the calendar clock, for
  // the devices' one year.
  Login login(const std::string &address, const std::string &passPhrase, long long nowMs,
              const std::string &deviceCookie = std::string(), long long wallSeconds = 0);
  // True when the token names a live session; its idle time starts again.
  bool check(const std::string &token, long long nowMs);
  void logout(const std::string &token);

  // The owner's devices as the text of their file, and read back from it.
  std::string devicesText() { return devices_.text(); }
  void loadDevices(const std::string &text, long long wallSeconds) {
    devices_.load(text, wallSeconds);
  }

 private:
  std::mutex mutex_;
  std::string passPhrase_;
  GuessBudget *budget_;
  GuessPauses pauses_;
  TrustList devices_;
  std::map<std::string, long long> sessions_;  // digest of the token -> last use
};

// 32 lowercase hex digits of 128 random bits; "" when no randomness is to be had.
std::string NewSessionToken();
