#pragma once
// The error list: codes shown on the error row, their descriptors and the
// recovery actions. The list, its count and its flags change together under
// works->errorMutex, held only for the list operation.
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
};

// Fills the descriptor table (flags and two text lines per code).
void InitErrorTable(Works *works);
int AddErrore(Works *works, int code);
int DeleteErrore(Works *works, int code);
int ExistError(Works *works, int code);
int ExistAnError(Works *works);
void GestErroreSerial(Works *works);
// 1 when a code other than 2, 22, 23 and 24 is listed.
int VerifyError(Works *works);
