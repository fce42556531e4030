#include "remote/admission.h"

#include <cstdio>

#include "platform/log.h"
#include "platform/platform.h"

namespace {

constexpr size_t kMaxFileBytes = 16 * 1024;  // 32 short lines, never more

}  // namespace

std::string LinkAdmission::key(const std::string &address, bool known) {
  // The owner's address pauses apart from strangers' failures at it.
  return known ? "known:" + address : address;
}

bool LinkAdmission::known(const std::string &address, long long nowSec) {
  return known_.contains(address, nowSec);
}

long long LinkAdmission::pausedMs(const std::string &address, long long nowMs, long long nowSec) {
  return pauses_.remainingMs(key(address, known(address, nowSec)), nowMs);
}

GuessVerdict LinkAdmission::admit(const std::string &address, bool known, long long nowMs) {
  return AdmitGuess(&pauses_, budget_, key(address, known), known, nowMs);
}

long long LinkAdmission::record(const std::string &address, bool known, bool ok, long long nowMs,
                                long long nowSec, bool *rewrite) {
  *rewrite = ok && known_.remember(address, nowSec);
  return RecordGuess(&pauses_, budget_, key(address, known), known, ok, nowMs);
}

void LoadKnownPeers(LinkAdmission *admission, long long nowSec) {
  FILE *f = fopen(MapPath(kKnownPeersFile).c_str(), "r");
  if (f == nullptr) return;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0 && text.size() < kMaxFileBytes) text.append(buf, n);
  fclose(f);
  if (text.size() > kMaxFileBytes) text.resize(kMaxFileBytes);
  admission->load(text, nowSec);
}

void SaveKnownPeers(LinkAdmission *admission) {
  if (WriteSetFile(kKnownPeersFile, admission->text()) != 0)
    LogErr("%s not written: known addresses are remembered until the restart", kKnownPeersFile);
}
