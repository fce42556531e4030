#pragma once
// The controller command queue: the identifiers of the controller commands
// and the ring of works->cmdQueue that every thread queues them on. The link
// thread takes them off and sends them.
#include "core/works.h"

enum LinearCmd : int {
  LP_VSM = 0,
  LP_ST = 1,
  LP_TU1 = 4,
  LP_TU0 = 5,
  LP_TU = 6,
  LP_SA = 7,
  LP_FM = 8,
  LP_FA = 9,
  LP_MT = 10,
  LP_MT1 = 11,
  LP_FS = 12,
  LP_CP = 13,
  LP_AT = 14,
  LP_AT_TUNE = 15,
  LP_AT_MAX = 16,
  LP_MP0 = 17,
  LP_MP1 = 18,
  LP_AB0 = 19,
  LP_AB1 = 20,
  LP_AN = 21,
  LP_TS = 22,
  LP_FN = 23,
  LP_PS = 24,
  LP_SF = 26,
  LP_MT1_MEM = 27,
  LP_SF_SET = 28,
  LP_SE = 29,
  LP_MR1 = 30,
  LP_MR0 = 32,
  LP_GM = 33,
  LP_GS = 34,
  LP_GS_SET = 35,
  LP_ER0 = 36,
  LP_ER1 = 37,
  LP_ER2 = 38,
  LP_MT1_BYPASS = 39,
  LP_MT1_CLEAR = 40,
  LP_FN_CPU = 41,
};

// True for the identifiers of the command table.
bool IsLinearCmd(int id);
// The letters a command identifier is known by ("ST" for LP_ST), or nullptr.
const char *LinearCmdLetters(int id);
// Queues a command identifier; safe for several writer threads. Returns id,
// or -1 when the ring is full or id names no command (refused with a log line).
int IncPNTIn_CMDLinear(int id, Works *works);
// Takes the next queued identifier (slot cleared, read index advanced);
// -1 when the queue is empty.
int TakeCmdLinear(Works *works);
// Number of identifiers waiting in the queue.
int PendingCmdLinear(Works *works);
// True while id waits in the queue.
bool IsCmdQueued(Works *works, int id);
// Empties the queue (every slot and both indexes to 0).
void ClearCmdQueue(Works *works);
// on = 1: protection mode and both attenuator pads; on = 0: protection off.
void AttivaDisattivaProtezione(Works *works, int on);
