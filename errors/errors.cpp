// The error list and its recovery. The list, its count and its flags are one
// unit under works->errorMutex; the lock is held for the list operation only,
// never while commands are queued, threads started or lines logged.
#include "errors/errors.h"

#include <cstdio>

#include "core/event_log.h"
#include "core/setup.h"
#include "platform/log.h"

namespace {

struct ErrorText {
  uint8_t flags;
  const char *line1;
  const char *line2;
};

const ErrorText kErrorTexts[kErrorCodes] = {
    {2, "1-High", "temperature"},      // 0  ERR_TEMP1_LATCHED
    {3, "HI SWR", "error"},            // 1  ERR_HI_SWR
    {1, "1-High", "temperature"},      // 2  ERR_TEMP1_ALARM
    {3, "PWR IN", "error"},            // 3  ERR_PWR_IN
    {4, "Comm", "warn "},              // 4  ERR_COMM
    {4, "Remote warn", "Usb"},         // 5  ERR_REMOTE_USB
    {4, "Audio", "not found"},         // 6  ERR_AUDIO_NOT_FOUND
    {4, "NEB mode", "not activated"},  // 7  ERR_NEB_MODE
    {4, "NEB EXTIO", "warning"},       // 8  ERR_NEB_EXTIO
    {0, "Audio read", "warning"},      // 9  ERR_AUDIO_READ
    {0, "Audio write", "warning"},     // 10 ERR_AUDIO_WRITE
    {0, "Web socket", "warning"},      // 11 ERR_WEBSOCKET
    {4, "Auto Tune", "timeout"},       // 12 ERR_TUNE_TIMEOUT
    {4, "Auto Tune", "SWR warning"},   // 13 ERR_TUNE_SWR
    {4, "Auto Tune", "NEB aborts"},    // 14 ERR_TUNE_NEB_ABORT
    {3, "Error", "---"},               // 15 ERR_AMP_FAULT
    {4, "Micro Reset", "warning"},     // 16 ERR_MICRO_RESET
    {4, "CMD not", "available"},       // 17 ERR_CMD_NOT_AVAILABLE
    {4, "Auto Tune", "Max SWR"},       // 18 ERR_TUNE_MAX_SWR
    {6, "Band warn", "StBy"},          // 19 ERR_BAND_STBY
    {4, "Remote warn", "Cat"},         // 20 ERR_REMOTE_CAT
    {2, "2-High", "temperature"},      // 21 ERR_TEMP2_LATCHED
    {1, "2-High", "temperature"},      // 22 ERR_TEMP2_ALARM
    {2, "1-Warning", "temperature"},   // 23 ERR_TEMP1_WARN
    {2, "2-Warning", "temperature"},   // 24 ERR_TEMP2_WARN
    {4, "Hamlib", "no answer"},        // 25 ERR_HAMLIB
};

bool validCode(int code) {
  return code >= 0 && code < kErrorCodes;
}

// Fills the descriptors; the caller holds errorMutex.
void fillTableLocked(Works *works) {
  for (int c = 0; c < kErrorCodes; ++c) {
    ErrorDesc &d = works->errorTable[c];
    d.flags = kErrorTexts[c].flags;
    snprintf(d.line1, sizeof d.line1, "%s", kErrorTexts[c].line1);
    snprintf(d.line2, sizeof d.line2, "%s", kErrorTexts[c].line2);
  }
}

// The table is filled by the menu set-up, some seconds after the controller
// link has started and may already report faults: a code added before that
// must still carry its latch and temporary flags.
void ensureTableLocked(Works *works) {
  if (works->errorTable[0].line1[0] == 0) fillTableLocked(works);
}

// Removes list entry i; the caller holds errorMutex. Returns the new count.
int removeAtLocked(Works *works, int i) {
  int n = works->errorCount;
  for (int j = i; j + 1 < n; ++j) works->errorList[j] = works->errorList[j + 1].load();
  works->errorList[n - 1] = 0;
  works->errorCount = n - 1;
  return n - 1;
}

int findLocked(Works *works, int code) {
  int n = works->errorCount;
  for (int i = 0; i < n; ++i)
    if (works->errorList[i] == code) return i;
  return -1;
}

// One removal made by a bulk pass, logged once the lock is released.
struct Removed {
  int code, pos, countBefore, countAfter;
};

// Removes every listed code that qualifies in one hold of the lock, so no
// code added meanwhile by another thread can slip between the steps.
template <class Pred>
int removeWhere(Works *works, Pred qualifies, Removed *out) {
  int k = 0;
  std::lock_guard<std::mutex> lock(works->errorMutex);
  int i = 0;
  while (i < works->errorCount) {
    int code = works->errorList[i];
    if (!qualifies(works, code)) {
      ++i;
      continue;
    }
    int before = works->errorCount;
    out[k++] = {code, i, before, removeAtLocked(works, i)};
  }
  return k;
}

// A code no longer listed, for the event log.
void recordClear(Works *works, int code) {
  char line1[sizeof works->errorTable[0].line1];
  char line2[sizeof works->errorTable[0].line2];
  {
    std::lock_guard<std::mutex> lock(works->errorMutex);
    snprintf(line1, sizeof line1, "%s", works->errorTable[code].line1);
    snprintf(line2, sizeof line2, "%s", works->errorTable[code].line2);
  }
  StationEvents().Record("clear", {EventField("code", code), EventField("line1", line1),
                                   EventField("line2", line2)});
}

void logRemovals(Works *works, const Removed *r, int n) {
  for (int i = 0; i < n; ++i) {
    recordClear(works, r[i].code);
    LogStderr("Del temp err: %i (%i , %i)\n", r[i].code, r[i].pos, r[i].countBefore);
    LogStderr("Del ERROR: N: %i err:%i\n", r[i].countAfter, r[i].code);
  }
}

char hexDigit(int v) {
  return "0123456789ABCDEF"[v & 15];
}

}  // namespace

void InitErrorTable(Works *works) {
  std::lock_guard<std::mutex> lock(works->errorMutex);
  fillTableLocked(works);
}

int AddErrore(Works *works, int code) {
  if (!validCode(code)) {
    LogErr("AddErrore: code %d out of range", code);
    return -1;
  }
  char cause[16] = {};
  if (code == ERR_AMP_FAULT) works->errCause.get(cause, sizeof cause);

  int count = 0;
  uint8_t latchFlags = 0, tempFlags = 0;
  char line1[sizeof works->errorTable[0].line1], line2[sizeof works->errorTable[0].line2];
  {
    std::lock_guard<std::mutex> lock(works->errorMutex);
    ensureTableLocked(works);
    ErrorDesc &d = works->errorTable[code];
    if (cause[0] != 0) snprintf(d.line2, sizeof d.line2, "%s", cause);
    // Faults are not reported before the controller's first acknowledgement.
    if ((works->cpPending & 1) != 0) return 0;
    if (findLocked(works, code) >= 0) return 0;
    count = works->errorCount;
    if (count >= kErrorCodes) return 0;  // cannot happen: a code is never listed twice
    works->errorList[count] = code;
    works->errorCount = ++count;
    if ((d.flags & kErrLatch) != 0 && (works->errorFlags & kFlagResetRequested) == 0)
      latchFlags = works->errorFlags.fetch_or(kFlagResetRequested) | kFlagResetRequested;
    if ((d.flags & kErrTemporary) != 0 && (works->errorFlags & kFlagTemporary) == 0)
      tempFlags = works->errorFlags.fetch_or(kFlagTemporary) | kFlagTemporary;
    snprintf(line1, sizeof line1, "%s", d.line1);
    snprintf(line2, sizeof line2, "%s", d.line2);
  }
  StationEvents().Record("error", {EventField("code", code), EventField("line1", line1),
                                   EventField("line2", line2)});
  LogStderr("Add: N: %i err:%i\n", count, code);
  if (latchFlags != 0) LogStderr(" -->set protezione 0x%x\n", latchFlags);
  if (tempFlags != 0) LogStderr(" -->tasto reset errore 0x%x\n", tempFlags);
  return 1;
}

int DeleteErrore(Works *works, int code) {
  int count;
  {
    std::lock_guard<std::mutex> lock(works->errorMutex);
    int i = findLocked(works, code);
    if (i < 0) return 0;
    count = removeAtLocked(works, i);
  }
  LogStderr("Del ERROR: N: %i err:%i\n", count, code);
  recordClear(works, code);
  return 1;
}

int ExistError(Works *works, int code) {
  std::lock_guard<std::mutex> lock(works->errorMutex);
  return findLocked(works, code) >= 0 ? 1 : 0;
}

int ExistAnError(Works *works) {
  std::lock_guard<std::mutex> lock(works->errorMutex);
  return works->errorCount > 0 ? works->errorList[0].load() : -1;
}

int NewestError(Works *works) {
  std::lock_guard<std::mutex> lock(works->errorMutex);
  const int n = works->errorCount;
  return n > 0 && n <= kErrorCodes ? works->errorList[n - 1].load() : -1;
}

void VerifyWarningTemporanei(Works *works) {
  Removed r[kErrorCodes];
  int n = removeWhere(
      works, [](Works *w, int code) { return (w->errorTable[code].flags & kErrTemporary) != 0; },
      r);
  logRemovals(works, r, n);
}

void VerifyWarningTemporaneiDopoResetBias(Works *works) {
  Removed r[kErrorCodes];
  int n = removeWhere(
      works, [](Works *, int) { return true; }, r);
  logRemovals(works, r, n);
}

void ClearDisplayError(Works *works) {
  {
    std::lock_guard<std::mutex> lock(works->errorMutex);
    works->errorFlags.fetch_or(kFlagResetDone);
  }
  DeleteErrore(works, ERR_TUNE_TIMEOUT);
  DeleteErrore(works, ERR_TUNE_SWR);
  DeleteErrore(works, ERR_TUNE_NEB_ABORT);
  LogStderr(" -->reset protezione %c\n", hexDigit(works->stErr[1]));
}

int VerifyError(Works *works) {
  std::lock_guard<std::mutex> lock(works->errorMutex);
  for (int i = 0; i < works->errorCount; ++i) {
    int c = works->errorList[i];
    if (c != ERR_TEMP1_ALARM && c != ERR_TEMP2_ALARM && c != ERR_TEMP1_WARN && c != ERR_TEMP2_WARN)
      return 1;
  }
  return 0;
}

void SetErrorLine2(Works *works, int code, const char *text) {
  if (!validCode(code)) return;
  std::lock_guard<std::mutex> lock(works->errorMutex);
  ensureTableLocked(works);
  ErrorDesc &d = works->errorTable[code];
  snprintf(d.line2, sizeof d.line2, "%s", text != nullptr ? text : "");
}

void ClearErrorFlags(Works *works, uint8_t mask) {
  std::lock_guard<std::mutex> lock(works->errorMutex);
  works->errorFlags.fetch_and(static_cast<uint8_t>(~mask));
}

int ClearErrorFlagsAfterReset(Works *works) {
  std::lock_guard<std::mutex> lock(works->errorMutex);
  if ((works->errorFlags & kFlagResetDone) == 0) return 0;
  works->errorFlags.fetch_and(static_cast<uint8_t>(~(kFlagResetRequested | kFlagResetDone)));
  return 1;
}

void CopyErrorList(Works *works, ErrorListCopy *out) {
  std::lock_guard<std::mutex> lock(works->errorMutex);
  ensureTableLocked(works);
  int n = works->errorCount;
  out->count = n;
  out->flags = works->errorFlags;
  for (int i = 0; i < kErrorCodes; ++i) {
    int code = i < n ? works->errorList[i].load() : 0;
    out->list[i] = code;
    out->desc[i] = validCode(code) ? works->errorTable[code] : ErrorDesc{};
  }
}
