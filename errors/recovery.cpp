// Recovery from listed errors: the error key, the end of a reset cycle and
// the restart of the remote threads. The controller's reset commands are the
// link's to send: recovery asks for them through the link's requests.
#include "errors/recovery.h"

#include "core/link_requests.h"
#include "core/setup.h"
#include "core/threads.h"
#include "errors/errors.h"
#include "platform/log.h"

namespace {

// The controller's reset sequence (ResetBiasCmd on the link); with priority
// the link sends it before polling again and finishes the cycle after.
void askProtectionReset(Works *works, bool priority) {
  LinkRequest r;
  r.kind = LR_PROTECTION_RESET;
  r.a = priority ? 1 : 0;
  PostLinkRequest(works, r);
}

}  // namespace

void VerificaEsistonoErrori(Works *works) {
  int oldest = ExistAnError(works);
  if (oldest < 0) return;
  LogStderr("FOUND ERR: %d \n", oldest);
  askProtectionReset(works, false);
  VerifyWarningTemporaneiDopoResetBias(works);
}

void GestErrore(Works *works) {
  LogStderr(">>> ERRORI: GestErrore\n");
  uint8_t flags;
  int count;
  {
    std::lock_guard<std::mutex> lock(works->errorMutex);
    flags = works->errorFlags;
    count = works->errorCount;
  }
  if ((flags & kFlagResetRequested) != 0) {
    LogStderr(">>> ERRORI: ResetBiasCmd\n");
    askProtectionReset(works, true);
  } else if ((flags & kFlagTemporary) != 0) {
    VerifyWarningTemporanei(works);
    ClearErrorFlags(works, kFlagTemporary);
  } else if (count > 0) {
    LogStderr(">>> ERRORI2: VerificaEsistonoErrori\n");
    VerificaEsistonoErrori(works);
  }
  GestErroreRemote(works);
}

void GestErroreRemote(Works *works) {
  LogStderr(">>> RESTART REMOTE: %i %i audio %x %x\n", works->remoteGo.load(),
            works->catClosed.load(), SetupChar(works, SB_EnableWrite),
            SetupChar(works, SB_EnableRead));
  if (works->remoteGo != 1 || works->catClosed != 1) return;
  LogStderr(">>> RESTART REMOTE!\n");
  works->catClosed = 0;
  if (SetupChar(works, SB_EnableWrite) == '0') {
    SetSetupChar(works, SB_EnableWrite, '1');
    LogStderr("start audio write\n");
    StartThreadAudioWrite(works);
  }
  if (SetupChar(works, SB_EnableRead) == '0') {
    SetSetupChar(works, SB_EnableRead, '1');
    LogStderr("start audio read\n");
    StartThreadAudioRead(works);
  }
  if (SetupChar(works, SB_EnableCAT) == '0') {
    SetSetupChar(works, SB_EnableCAT, '1');
    StartThreadCAT(works);
  }
  if (SetupChar(works, SB_EnableFFT) == '0') {
    SetSetupChar(works, SB_EnableFFT, '1');
    StartNebReadFFT(works);
  }
}

int GPIO_Errori(Works *works) {
  uint8_t flags;
  int count;
  {
    std::lock_guard<std::mutex> lock(works->errorMutex);
    flags = works->errorFlags;
    count = works->errorCount;
  }
  if (flags != 0) {
    LogStderr("----------> 1- ERRORI!!\n");
    GestErrore(works);
    return 1;
  }
  if (count == 0) return 0;
  LogStderr("----------> 2- ERRORI!!\n");
  GestErroreRemote(works);
  if (ExistAnError(works) == ERR_TEMP1_ALARM) return 0;
  VerificaEsistonoErrori(works);
  return 1;
}

void GestErroreSerial(Works *works) {
  ClearDisplayError(works);
  if ((works->errorFlags & kFlagResetRequested) != 0) VerifyWarningTemporaneiDopoResetBias(works);
  if ((works->errorFlags & kFlagTemporary) != 0) {
    VerifyWarningTemporanei(works);
    ClearErrorFlags(works, kFlagTemporary);
  }
  if (ExistAnError(works) >= 0) VerificaEsistonoErrori(works);
}
