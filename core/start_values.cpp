#include "core/start_values.h"

#include "core/link_requests.h"
#include "core/process_globals.h"

void InitSettingValues(Works *w) {
  w->freqPeriodTime = 10;
  w->maxTemperature = 60.0f;
  w->maxTemperature2 = 80.0f;
  w->maxTempAllowed = 60;
  w->psPar[0] = 1;
  w->psPar[1] = 1000;
  w->gmPar1 = 2;
  w->gmPar2 = 100;
  w->isteresi1 = 1;
  w->isteresi2 = 1;
  w->numBanco = 1;
  w->maxBank = 3;
  w->enableDebug = 0;
  w->enableLogTemp = 0;
  w->audioFrames = 240;
  w->audioFormat = 2;
  w->audioRate = 48000;
  w->tcpPort = 6666;
  w->audioBuffers = 20;
  w->fanCpuPercent = 70;
  w->fanCpuTemp = 80;
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

void InitLinkStartValues(Works *w, bool keepReported) {
  if (!keepReported) {
    w->ampBypass = 1;
    w->atuBypass = 0;
    w->antenna = 0;
    w->anSel = 0;
    w->tuneVal = 0;
    w->cpPending = 1;
    w->retryTotal = 0;
    w->eeModel = 255;
    w->powerClass = 255;
  }
  w->tuState = 0;
  w->cmdPriority = 0;
  w->tsPar[0] = 4095;
  w->tsPar[1] = 4095;
  w->tsPar[2] = 1500;
  w->tsPar[3] = 3700;
  // The thresholds above are no row's: the next evaluation sends the row's.
  // At start-up this undoes nothing the controller has been told, since
  // reading the setup file runs this after the start-up sequence chose a row.
  w->configRowIdx = -1;
  w->errorRecovery = 0;
  w->logRemoved = 0;
  w->fanPercentReq = -1;
  w->fanPercentCpu = 0;
  w->fanPercentCpuSent = 0;
}

void InitGlobalVar(Works *w) {
  w->running = 1;
  w->deviceError = 0;
  w->frequency = 14070000;
  w->lastFrequency = 14070000;
  w->panelCmdOut = 176;
  w->playbackReady = 0;
  w->catClosed = 0;
  InitSettingValues(w);
  LinkRequest r;
  r.kind = LR_START_VALUES;
  PostLinkRequest(w, r);
}
