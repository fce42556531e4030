#pragma once
// The thread lifecycle: one slot per thread, started at most once at a time
// and joined at shutdown only when it was started, the front-panel mailbox,
// and the starts that follow the setup record's enable bytes. This unit
// knows the thread bodies only through the table main fills at start.
#include <cstdint>

#include "core/works.h"

using ThreadBody = void *(*)(void *);

enum ThreadSlot : int {
  TH_GPIO,
  TH_LIN,
  TH_INIT,
  TH_DEBUG,
  TH_AGGFW,
  TH_KEY,
  TH_WSOCK,
  TH_SER,
  TH_SCRIVI,
  TH_LEGGI,
  TH_CAT,
  TH_FFT,
  TH_CATSER,
  TH_TIME,
  TH_WEB,
  TH_RIG,
  TH_COUNT
};

// The bodies of the threads that are started again while the program runs
// (by keys, menus, error recovery and the remote link). A missing body
// leaves its thread unstarted.
struct ThreadBodies {
  ThreadBody linear = nullptr;     // controller link
  ThreadBody extIo = nullptr;      // EXT IO link
  ThreadBody catSerial = nullptr;  // FT-817 reader
  ThreadBody rig = nullptr;        // Hamlib reader
  ThreadBody cat = nullptr;        // CAT link
  ThreadBody spectrum = nullptr;   // USB spectrum reader
  ThreadBody audioIn = nullptr;    // th_leggi
  ThreadBody audioOut = nullptr;   // th_scrivi
  ThreadBody wsServer = nullptr;   // remote link, station side
  ThreadBody wsClient = nullptr;   // remote link, operator side
};
// Filled by main before the first thread starts.
void SetThreadBodies(const ThreadBodies &bodies);

// Starts a thread body with works as its argument and remembers the handle,
// so that shutdown joins only threads that were started. The thread is named
// after its slot unless a name is given. False when the slot's thread still
// runs or the thread cannot be created.
bool StartThread(ThreadSlot slot, ThreadBody body, Works *works, const char *name = nullptr);
// Joins the thread of the slot if it was started; true when it was joined.
bool JoinThread(ThreadSlot slot);

// Posts a command byte to the front-panel mailbox. Waits (bounded) for the
// slot while the front-panel thread runs; without it the byte is dropped.
// Returns true when the byte was stored.
bool PostPanelCmd(Works *works, uint8_t cmd);

// Each starts its thread when the setup record's enable byte is '1'.
void StartThreadLinear(Works *works);
void StartThreadSoket(Works *works);
void StartThreadNEB(Works *works);
void StartThreadCATserial(Works *works);
// Starts the Hamlib reader when works->rigRun is set.
void StartThreadRig(Works *works);
void StartThreadCAT(Works *works);
void StartThreadAudioRead(Works *works);
void StartThreadAudioWrite(Works *works);
void StartNebReadFFT(Works *works);
