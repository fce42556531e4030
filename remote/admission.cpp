#include "remote/admission.h"

#include <cstdio>

#include "core/file_writer.h"
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
  std::string text;
  if (ReadSetFileText(kKnownPeersFile, kMaxFileBytes, &text)) admission->load(text, nowSec);
}

void SaveKnownPeers(LinkAdmission *admission) {
  if (QueueSetFile(kKnownPeersFile, admission->text()) != 0)
    LogErr("%s not written: known addresses are remembered until the restart", kKnownPeersFile);
}
