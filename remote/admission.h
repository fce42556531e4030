#pragma once
// Who may try the unit link's pass phrase, and when. A refused address waits
// 1, 2, 4 ... up to 60 s before it is served again (its connections are
// closed at once meanwhile), and every address shares the guessing budget of
// both ports (security/guess_guard.h). An address that authenticated within
// the last 30 days is the owner's: it is held by neither, and keeps a pause
// of its own when it fails. Those addresses are kept in /opt/set/remote-peers.txt.
//
// Times are passed in (monotonic ms for pauses, wall-clock seconds for the
// 30 days), so tests drive them.
#include <string>

#include "security/guess_guard.h"
#include "security/trust_list.h"

constexpr char kKnownPeersFile[] = "/opt/set/remote-peers.txt";

class LinkAdmission {
 public:
  explicit LinkAdmission(GuessBudget *budget) : budget_(budget) {}

  bool known(const std::string &address, long long nowSec);
  // Milliseconds until the address may be served (0: now).
  long long pausedMs(const std::string &address, long long nowMs, long long nowSec);
  // A pass phrase from the address: compare it now, or close the connection
  // without comparing.
  GuessVerdict admit(const std::string &address, bool known, long long nowMs);
  // The comparison's result. Returns the pause that starts (0 when it
  // matched); *rewrite tells when the file of known addresses is due.
  long long record(const std::string &address, bool known, bool ok, long long nowMs,
                   long long nowSec, bool *rewrite);

  // The file's text, and reading it back.
  std::string text() { return known_.text(); }
  void load(const std::string &text, long long nowSec) { known_.load(text, nowSec); }

 private:
  static std::string key(const std::string &address, bool known);
  GuessPauses pauses_{kLinkPausePolicy};
  TrustList known_{kMaxTrusted, kKnownPeerSeconds};
  GuessBudget *budget_;
};

// The file of known addresses, read at the link's start and written when an
// address is new or its time is renewed.
void LoadKnownPeers(LinkAdmission *admission, long long nowSec);
void SaveKnownPeers(LinkAdmission *admission);
