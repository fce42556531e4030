#include "core/threads.h"

#include <pthread.h>

#include <chrono>
#include <thread>

#include "platform/log.h"

namespace {

pthread_t handles[TH_COUNT];
At<bool> started[TH_COUNT];
ThreadBodies bodies;

// Thread names as top -H, the journal and a debugger show them (at most 15
// characters); the remote slot's client thread is named by its starter. A
// slot without a name here keeps the program's name.
const char *const kThreadNames[TH_COUNT] = {
    "gpio",      "link",     "load", "lan",      "update",    "keyb",  "wsock", "extio",
    "audio-out", "audio-in", "cat",  "spectrum", "catserial", "timer", "web",   "rigctl"};

void sleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

At<bool> alive[TH_COUNT];

struct ThreadStart {
  ThreadSlot slot;
  ThreadBody body;
  Works *works;
  const char *name;
};

void *runThread(void *arg) {
  ThreadStart start = *static_cast<ThreadStart *>(arg);
  delete static_cast<ThreadStart *>(arg);
  if (start.name != nullptr) pthread_setname_np(pthread_self(), start.name);
  void *rc = start.body(start.works);
  alive[start.slot] = false;
  return rc;
}

}  // namespace

// The starts below run from the bodies' own threads too, so the table is
// written once, before the first thread starts, and only read afterwards.
void SetThreadBodies(const ThreadBodies &table) {
  bodies = table;
}

bool StartThread(ThreadSlot slot, ThreadBody body, Works *works, const char *name) {
  if (body == nullptr) return false;
  // One thread per slot: a second start while the first still runs (the
  // bank load starts the EXT IO link, and so does main) would open the same
  // device twice. Taken in one step: the callers run on several threads.
  if (alive[slot].exchange(true)) return false;
  // A slot restarted after its thread ended by itself: let the old handle go.
  if (started[slot].exchange(false)) pthread_detach(handles[slot]);
  auto *start = new ThreadStart{slot, body, works, name != nullptr ? name : kThreadNames[slot]};
  // A thread that cannot be created leaves its handle unset; nothing is retried.
  if (pthread_create(&handles[slot], nullptr, runThread, start) != 0) {
    alive[slot] = false;
    delete start;
    return false;
  }
  started[slot] = true;
  return true;
}

bool JoinThread(ThreadSlot slot) {
  if (!started[slot].exchange(false)) return false;
  pthread_join(handles[slot], nullptr);
  return true;
}

bool PostPanelCmd(Works *works, uint8_t cmd) {
  // Without the front-panel thread nobody empties the slot: drop the byte
  // rather than wait for ever.
  for (int waited = 0; works->gpioRunning && waited < 2000; ++waited) {
    uint8_t expected = 0;
    if (works->panelCmd.compare_exchange_strong(expected, cmd)) return true;
    sleepMs(1);
  }
  return false;
}

void StartThreadLinear(Works *works) {
  if (SetupChar(works, SB_EnableLinear) == '1') StartThread(TH_LIN, bodies.linear, works);
}

void StartThreadSoket(Works *works) {
  char ws = SetupChar(works, SB_WebSocket);
  if (ws == '1') {
    LogStderr(">>>>>>>>>> SOCKET SERVER start\n");
    StartThread(TH_WSOCK, bodies.wsServer, works);
  } else if (ws == '2') {
    LogStderr(">>>>>>>>>> SOCKET CLIENT start\n");
    StartThread(TH_WSOCK, bodies.wsClient, works, "wclient");
  }
}

void StartThreadNEB(Works *works) {
  if (SetupChar(works, SB_enaser) == '1') {
    LogStderr("NEBread start\n");
    StartThread(TH_SER, bodies.extIo, works);
  }
}

void StartThreadCATserial(Works *works) {
  if (SetupChar(works, SB_CatSerialEnable) == '1') StartThread(TH_CATSER, bodies.catSerial, works);
}

void StartThreadRig(Works *works) {
  if (works->rigRun.load() != 0) StartThread(TH_RIG, bodies.rig, works);
}

void StartThreadCAT(Works *works) {
  if (SetupChar(works, SB_EnableCAT) == '1') {
    LogStderr("Cat.c start\n");
    StartThread(TH_CAT, bodies.cat, works);
  }
}

void StartThreadAudioRead(Works *works) {
  if (SetupChar(works, SB_EnableRead) == '1') {
    LogStderr("Th_leggi start\n");
    StartThread(TH_LEGGI, bodies.audioIn, works);
  }
}

void StartThreadAudioWrite(Works *works) {
  if (SetupChar(works, SB_EnableWrite) == '1') {
    LogStderr("Th_scrivi start\n");
    StartThread(TH_SCRIVI, bodies.audioOut, works);
  }
}

void StartNebReadFFT(Works *works) {
  if (SetupChar(works, SB_EnableFFT) == '1') StartThread(TH_FFT, bodies.spectrum, works);
}
