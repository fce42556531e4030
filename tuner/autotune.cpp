// Automatic tuning: a state machine that takes one step per status reply of
// the controller. Each step judges the word written after the previous step
// (the status reply carries its SWR) and leaves the next word in tuneVal,
// which the link writes next. Four strategies: a sweep from L = C = 0, a
// fine search around the current word, a search from the presets of the
// frequency's row of config.txt, and a search that fits a model of the
// network to what it measures. The searches live in search_*.cpp.
#include <cstdio>
#include <cstring>

#include "core/command_queue.h"
#include "core/key_labels.h"
#include "core/setup.h"
#include "errors/errors.h"
#include "platform/log.h"
#include "tuner/search_common.h"
#include "tuner/tuner.h"

const int32_t SWRTimeoutCICLI[5] = {600, 400, 300, 200, 100};
const char SWRTimeout[5][8] = {"25sec", "20sec", "15sec", "10sec", "5sec"};

void StartAutotune(Works *works) {
  if (works->atuBypass == 1) return;
  int first;
  if (works->tuneFine == 1) {
    LogStderr("TUNE FINE------------!!!!!!!!!!!!!!!!!!!!!!!!!!\n ");
    first = kTuneFine;
  } else {
    char tipo = SetupChar(works, SB_AutoTuneTipo);
    LogStderr("TUNE COMPLETE------------ TIPO: %c !!!!!!!!!!!!!!!!!!!!!!!!!!\n ",
              tipo ? tipo : '?');
    first = tipo == '0' ? kTuneSweep : tipo == '2' ? kTuneMatch : kTunePreset;
  }
  if (first == kTunePreset && !presetLoad(works)) first = kTuneMatch;
  IncPNTIn_CMDLinear(LP_MP1, works);
  IncPNTIn_CMDLinear(LP_AT_TUNE, works);
  works->tsPar[0] = 4095;
  IncPNTIn_CMDLinear(LP_TS, works);
  works->atuBypass = 0;
  IncPNTIn_CMDLinear(LP_CP, works);
  IncPNTIn_CMDLinear(LP_MP0, works);
  works->cmdPriority = 1;
  works->tuneStato = first;
  works->autoTuneState = 1;
  if (works->stErr[0] & 1) {
    works->anSel = 0;
    IncPNTIn_CMDLinear(LP_AN, works);
  }
  LogStderr("--------- START AUTO TUNE (%x) %i\n", works->autoTuneMode.load(), first);
}

void GoTune(Works *works) {
  if (works->tuneEnabled < 0) return;
  if (works->autoTuneState != 0) {
    LogStderr("esc tune TUNEMENU\n");
    EscAutoTune(works, 0);
    return;
  }
  LogStderr("c-START TUNE (%x)!!\n", works->autoTuneMode.load());
  if (!(works->autoTuneMode & kAutoTuneOn) || (works->autoTuneMode & kAutoTuneRxSent)) return;
  StartAutotune(works);
  LogStderr("b-START TUNE %i!!\n", works->tuneStato.load());
  if (works->modeWorkIdx == 1) {
    works->autoTuneMode.fetch_and(static_cast<uint8_t>(~kAutoTuneCarrierSent));
    works->autoTuneMode.fetch_or(kAutoTuneKeyStarted);
    LogStderr("a-START TUNE!!\n");
  }
}

void TuneTask(Works *works) {
  // An abort may have come in between the status reply and this step.
  if (works->autoTuneState != 1) return;
  if (works->cmdPriority == 1) return;
  int cicli = works->autoTuneMaxCicli;
  if (cicli < 0 || cicli > 4) cicli = 0;
  if (cnttune > SWRTimeoutCICLI[cicli]) {
    LogStderr("%d max cicli-> esco\n", cnttune);
    TuneEnd(works);
    EscAutoTune(works, 0);
    AddErrore(works, works->swrEscAutoTune == 0 ? ERR_TUNE_TIMEOUT : ERR_TUNE_SWR);
    AttivaDisattivaProtezione(works, 1);
    return;
  }
  int state = works->tuneStato;
  if (state <= 12)
    sweepStep(works);
  else if (state >= 200 && state <= 206)
    fineStep(works);
  else if (state >= 450 && state <= 463)
    presetStep(works);
  else if (state >= kTuneMatch && state <= kTuneMatch + 1)
    MatchSearchStep(works);
}
