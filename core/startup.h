#pragma once
// Start-up, threads and shutdown.
#include "core/works.h"

void InitGlobalVar(Works *works);
void StartThreadLinear(Works *works);
void StartThreadSoket(Works *works);
void StartThreadNEB(Works *works);
void StartThreadCATserial(Works *works);
void StartThreadCAT(Works *works);
void StartThreadAudioRead(Works *works);
void StartThreadAudioWrite(Works *works);
void StartNebReadFFT(Works *works);
void StartThreadCommRemote(Works *works);
void ExitThreadRemote(Works *works);
void *LoadThread(void *works);
void *LANInfoThread(void *works);
void *AggFWThread(void *works);

// Posts a command byte to the front-panel mailbox. Waits (bounded) for the
// slot while the front-panel thread runs; without it the byte is dropped.
// Returns true when the byte was stored.
bool PostPanelCmd(Works *works, uint8_t cmd);

// Starts a thread body with works as its argument and remembers the handle,
// so that shutdown joins only threads that were started. The thread is named
// after its slot unless a name is given.
enum ThreadSlot : int {
  TH_GPIO, TH_LIN, TH_INIT, TH_DEBUG, TH_AGGFW, TH_KEY, TH_WSOCK, TH_SER,
  TH_SCRIVI, TH_LEGGI, TH_CAT, TH_FFT, TH_CATSER, TH_TIME, TH_WEB, TH_COUNT
};
bool StartThread(ThreadSlot slot, void *(*body)(void *), Works *works, const char *name = nullptr);
// Joins the thread of the slot if it was started; true when it was joined.
bool JoinThread(ThreadSlot slot);
