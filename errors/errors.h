#pragma once
// The error list: codes shown on the error row and their descriptors. The
// list, its count and its flags change together under works->errorMutex,
// held only for the list operation.
#include "core/works.h"

enum ErrorCode : int {
  ERR_TEMP1_LATCHED = 0,
  ERR_HI_SWR = 1,
  ERR_TEMP1_ALARM = 2,
  ERR_PWR_IN = 3,
  ERR_COMM = 4,
  ERR_REMOTE_USB = 5,
  ERR_AUDIO_NOT_FOUND = 6,
  ERR_NEB_MODE = 7,
  ERR_NEB_EXTIO = 8,
  ERR_AUDIO_READ = 9,
  ERR_AUDIO_WRITE = 10,
  ERR_WEBSOCKET = 11,
  ERR_TUNE_TIMEOUT = 12,
  ERR_TUNE_SWR = 13,
  ERR_TUNE_NEB_ABORT = 14,
  ERR_AMP_FAULT = 15,
  ERR_MICRO_RESET = 16,
  ERR_CMD_NOT_AVAILABLE = 17,
  ERR_TUNE_MAX_SWR = 18,
  ERR_BAND_STBY = 19,
  ERR_REMOTE_CAT = 20,
  ERR_TEMP2_LATCHED = 21,
  ERR_TEMP2_ALARM = 22,
  ERR_TEMP1_WARN = 23,
  ERR_TEMP2_WARN = 24,
  ERR_HAMLIB = 25,
};

// Flag bits of the descriptors and of works->errorFlags.
constexpr uint8_t kErrAlarm = 1;            // descriptor: drawn red
constexpr uint8_t kErrLatch = 2;            // descriptor: adding it requests a protection reset
constexpr uint8_t kErrTemporary = 4;        // descriptor: the error key removes it without a reset
constexpr uint8_t kFlagResetRequested = 1;  // errorFlags: a latching code was added
constexpr uint8_t kFlagResetDone = 2;       // errorFlags: a reset cycle completed
constexpr uint8_t kFlagTemporary = 4;       // errorFlags: a temporary code was added

// Fills the descriptor table (flags and two text lines per code).
void InitErrorTable(Works *works);
// Adds a code (no-op while the controller has not acknowledged "CPFFFF;" yet
// or when the code is listed). Returns 1 when it was added, 0 when not, -1
// for a code outside 0..25. Adding code 15 also takes works->errCause as its
// second text line, listed or not.
int AddErrore(Works *works, int code);
// Removes a listed code. Returns 1 when it was listed, else 0.
int DeleteErrore(Works *works, int code);
// 1 if the code is listed, else 0.
int ExistError(Works *works, int code);
// The oldest listed code, or -1 when the list is empty.
int ExistAnError(Works *works);
// The newest listed code, or -1 when the list is empty.
int NewestError(Works *works);
// Removes every listed code with the temporary flag.
void VerifyWarningTemporanei(Works *works);
// Removes every listed code.
void VerifyWarningTemporaneiDopoResetBias(Works *works);
// Marks the reset done and removes codes 12, 13 and 14.
void ClearDisplayError(Works *works);
// 1 if a code other than 2, 22, 23 and 24 is listed.
int VerifyError(Works *works);

// Sets the second text line of a code's descriptor under the list's lock,
// so a drawing copy never sees it half written.
void SetErrorLine2(Works *works, int code, const char *text);
// Clears bits of works->errorFlags under the list's lock.
void ClearErrorFlags(Works *works, uint8_t mask);
// After a completed reset cycle (bit 1 set) clears bits 0 and 1; the status
// decode calls it when the controller reports the fault gone. Returns 1 when
// it cleared them.
int ClearErrorFlagsAfterReset(Works *works);

// A consistent copy of the list for drawing: codes oldest first, with the
// descriptor of each listed code.
struct ErrorListCopy {
  int32_t count;
  uint8_t flags;
  int32_t list[kErrorCodes];
  ErrorDesc desc[kErrorCodes];  // desc[i] describes list[i]
};
void CopyErrorList(Works *works, ErrorListCopy *out);
