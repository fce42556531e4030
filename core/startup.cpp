#include "core/startup.h"

#include <unistd.h>

#include <cerrno>

#include <chrono>
#include <cstdio>
#include <thread>

#include "controller/link.h"
#include "core/globals.h"
#include "core/setup.h"
#include "display/display.h"
#include "errors/errors.h"
#include "links/links.h"
#include "network/lan.h"
#include "platform/log.h"
#include "platform/platform.h"
#include "remote/audio.h"
#include "remote/remote.h"

namespace {

pthread_t thrWeb;
pthread_t *const kHandles[TH_COUNT] = {&thrGPIO, &thrLin,   &thInit,   &thDebug, &thAggFw,
                                       &thrKey,  &thrWsock, &thrSer,   &thrScrivi, &thrLeggi,
                                       &thrCat,  &thrFFT,   &thrCatSer, &thrTime, &thrWeb};
At<bool> started[TH_COUNT];

// Thread names as top -H, the journal and a debugger show them (at most 15
// characters); the remote slot's client thread is named by its starter. A
// slot without a name here keeps the program's name.
const char *const kThreadNames[TH_COUNT] = {
    "gpio",  "link",      "load",     "lan", "update",   "keyb",      "wsock",
    "extio", "audio-out", "audio-in", "cat", "spectrum", "catserial", "timer", "web"};

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

namespace {

At<bool> alive[TH_COUNT];

struct ThreadStart {
  ThreadSlot slot;
  void *(*body)(void *);
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

bool StartThread(ThreadSlot slot, void *(*body)(void *), Works *works, const char *name) {
  // One thread per slot: a second start while the first still runs (the
  // bank load starts the EXT IO link, and so does main) would open the same
  // device twice. Taken in one step: the callers run on several threads.
  if (alive[slot].exchange(true)) return false;
  // A slot restarted after its thread ended by itself: let the old handle go.
  if (started[slot].exchange(false)) pthread_detach(*kHandles[slot]);
  auto *start = new ThreadStart{slot, body, works, name != nullptr ? name : kThreadNames[slot]};
  // A thread that cannot be created leaves its handle unset; nothing is retried.
  if (pthread_create(kHandles[slot], nullptr, runThread, start) != 0) {
    alive[slot] = false;
    delete start;
    return false;
  }
  started[slot] = true;
  return true;
}

bool JoinThread(ThreadSlot slot) {
  if (!started[slot].exchange(false)) return false;
  pthread_join(*kHandles[slot], nullptr);
  return true;
}

void InitGlobalVar(Works *w) {
  w->running = 1;
  w->deviceError = 0;
  w->tuState = 0;
  w->ampBypass = 1;
  w->atuBypass = 0;
  w->frequency = 14070000;
  w->lastFrequency = 14070000;
  w->antenna = 0;
  w->anSel = 0;
  w->freqPeriodTime = 10;
  w->tuneVal = 0;
  w->cmdPriority = 0;
  w->tsPar[0] = 4095;
  w->tsPar[1] = 4095;
  w->tsPar[2] = 1500;
  w->tsPar[3] = 3700;
  // The thresholds above are no row's: the next evaluation sends the row's.
  // At start-up this undoes nothing the controller has been told, since
  // reading the setup file runs this after the start-up sequence chose a row.
  w->configRowIdx = -1;
  w->panelCmdOut = 176;
  w->maxTemperature = 60.0f;
  w->maxTemperature2 = 80.0f;
  w->maxTempAllowed = 60;
  w->psPar[0] = 1;
  w->psPar[1] = 1000;
  w->gmPar1 = 2;
  w->gmPar2 = 100;
  w->isteresi1 = 1;
  w->isteresi2 = 1;
  w->cpPending = 1;
  w->retryTotal = 0;
  w->numBanco = 1;
  w->maxBank = 3;
  w->errorRecovery = 0;
  w->eeModel = 255;
  w->powerClass = 255;
  w->enableDebug = 0;
  w->playbackReady = 0;
  w->catClosed = 0;
  w->enableLogTemp = 0;
  w->logRemoved = 0;
  w->audioFrames = 240;
  w->audioFormat = 2;
  w->audioRate = 48000;
  w->tcpPort = 6666;
  w->audioBuffers = 20;
  w->fanCpuPercent = 70;
  w->fanCpuTemp = 80;
  w->fanPercentReq = -1;
  w->fanPercentCpu = 0;
  w->fanPercentCpuSent = 0;
  if (w->setup != nullptr) SetSetupChar(w, SB_AutoTuneTipo, '0');
  TIME_LONG_PRESS = 0.5;
  number_ofStep_meter_FWD = 60;
  number_ofStep_meter_REFL = 60;
  number_ofStep_meter_SWR = 60;
  number_ofStep_meter_PW = 60;
  fattoremedia = 2;
  PeakDecrement = 1.0;
  PeakDecrementTime = 1;
  TimerPeakSec = 3000;
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
  if (SetupChar(works, SB_EnableLinear) == '1') StartThread(TH_LIN, Linear, works);
}

void StartThreadSoket(Works *works) {
  char ws = SetupChar(works, SB_WebSocket);
  if (ws == '1') {
    LogStderr(">>>>>>>>>> SOCKET SERVER start\n");
    StartThread(TH_WSOCK, Wsocket, works);
  } else if (ws == '2') {
    LogStderr(">>>>>>>>>> SOCKET CLIENT start\n");
    StartThread(TH_WSOCK, Wclient, works, "wclient");
  }
}

void StartThreadNEB(Works *works) {
  if (SetupChar(works, SB_enaser) == '1') {
    LogStderr("NEBread start\n");
    StartThread(TH_SER, Serial, works);
  }
}

void StartThreadCATserial(Works *works) {
  if (SetupChar(works, SB_CatSerialEnable) == '1') StartThread(TH_CATSER, CatSerial, works);
}

void StartThreadCAT(Works *works) {
  if (SetupChar(works, SB_EnableCAT) == '1') {
    LogStderr("Cat.c start\n");
    StartThread(TH_CAT, Cat, works);
  }
}

void StartThreadAudioRead(Works *works) {
  if (SetupChar(works, SB_EnableRead) == '1') {
    LogStderr("Th_leggi start\n");
    StartThread(TH_LEGGI, th_leggi, works);
  }
}

void StartThreadAudioWrite(Works *works) {
  if (SetupChar(works, SB_EnableWrite) == '1') {
    LogStderr("Th_scrivi start\n");
    StartThread(TH_SCRIVI, th_scrivi, works);
  }
}

void StartNebReadFFT(Works *works) {
  if (SetupChar(works, SB_EnableFFT) == '1') StartThread(TH_FFT, NEBRead, works);
}

void StartThreadCommRemote(Works *works) {
  works->catClosed = 0;
  struct {
    int byte;
    void (*start)(Works *);
  } const flags[] = {{SB_EnableWrite, StartThreadAudioWrite},
                     {SB_EnableRead, StartThreadAudioRead},
                     {SB_EnableCAT, StartThreadCAT},
                     {SB_EnableFFT, StartNebReadFFT}};
  for (const auto &f : flags) {
    if (SetupChar(works, f.byte) != '0') continue;  // already running
    SetSetupChar(works, f.byte, '1');
    f.start(works);
  }
  writeSetup(works);
  PostPanelCmd(works, 149);
}

void ExitThreadRemote(Works *works) {
  SetSetupChar(works, SB_EnableWrite, '0');
  SetSetupChar(works, SB_EnableRead, '0');
  SetSetupChar(works, SB_EnableCAT, '0');
  SetSetupChar(works, SB_EnableFFT, '0');
  sleepMs(500);
  DeleteErrore(works, ERR_AUDIO_READ);
  DeleteErrore(works, ERR_AUDIO_WRITE);
  DeleteErrore(works, ERR_REMOTE_USB);
  DeleteErrore(works, ERR_REMOTE_CAT);
  writeSetup(works);
  PostPanelCmd(works, 165);
  LogStderr(">>>>>>>>>>>>>>>>>>>>>>>>> REMOTE STOP \n");
}

void *LoadThread(void *arg) {
  Works *works = static_cast<Works *>(arg);
  int n = waitNEB;
  bool posted = false;
  while (startInitThread) {
    fbSetBack(works->fb);
    sleepMs(1000);
    char text[32];
    snprintf(text, sizeof text, "Loading ...%2d", n);
    if (n <= 4 && !posted) {
      PostPanelCmd(works, 181);
      posted = true;
    }
    putString(9, 300, 400, text, 255, 255, 255, works->fb);
    --n;
    fbRealize(works->fb);
    LogStderr("Time %s..\n", text);
  }
  PostPanelCmd(works, 181);
  works->startupDone = 1;
  return nullptr;
}

void *LANInfoThread(void *arg) {
  ReadLANconnection(static_cast<Works *>(arg));
  return nullptr;
}

void *AggFWThread(void *arg) {
  Works *works = static_cast<Works *>(arg);
  for (int i = 0; i < 30 && works->running; ++i) sleepMs(1000);
  if (!works->running) return nullptr;
  if (!RemountRW()) return nullptr;
  if (RemoveFile("/opt/good") != 0 && errno != ENOENT) {
    LogErr("can't :rm -f /opt/good >/dev/null 2>&1  ->error %d", errno);
    RemountRO();  // /opt/set must not stay writable
    return nullptr;
  }
  RemountRO();
  LogStderr("--------- END THREAD AGG FW!!!\n");
  return nullptr;
}
