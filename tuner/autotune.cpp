// Automatic tuning: a state machine that takes one step per status reply of
// the controller. Each step judges the word written after the previous step
// (the status reply carries its SWR) and leaves the next word in tuneVal,
// which the link writes next. Four strategies: a sweep from L = C = 0, a
// fine search around the current word, a search from the presets of the
// frequency's row of config.txt, and a search that fits a model of the
// network to what it measures. The searches live in search_*.cpp.
#include <cstdio>
#include <cstring>
#include <mutex>

#include "controller/temperature.h"
#include "core/command_queue.h"
#include "core/key_labels.h"
#include "core/setup.h"
#include "errors/errors.h"
#include "platform/log.h"
#include "tuner/search_common.h"
#include "tuner/tuner.h"

const int32_t SWRTimeoutCICLI[5] = {600, 400, 300, 200, 100};
const char SWRTimeout[5][8] = {"25sec", "20sec", "15sec", "10sec", "5sec"};

namespace {

// The link thread steps the machine; the key handler and the refresh loop
// start and abort it.
std::recursive_mutex gTuneMutex;

// Steps 1 to 3 of a measure; returns the log line's start in buf.
void takeMeasurement(Works *w, char *buf, size_t size) {
  bool trip = (w->stErr[1] & 2) != 0;
  if (trip) {
    w->swr = 100.0f;
    w->autoTuneState = 2;
  }
  tuneParam = measurement(w);
  snprintf(buf, size, "%d-%d) Err %sSWR %05.2f FWD %05.2f L %04d C %04d T %08x %s", cnttune,
           w->tuneStato.load(), trip ? "1 " : "0 ", tuneParam.swr, tuneParam.fwd, tuneParam.l,
           tuneParam.c, tuneParam.word, networkText(tuneParam.word));
  ++cnttune;
  ++gSearch.measureCount;
}

}  // namespace

uint32_t TuneMeasureCount() {
  std::lock_guard<std::recursive_mutex> lock(gTuneMutex);
  return gSearch.measureCount;
}

void TuneLock() {
  gTuneMutex.lock();
}
void TuneUnlock() {
  gTuneMutex.unlock();
}

void Clr_vTuneParam(Works *works) {
  std::lock_guard<std::recursive_mutex> lock(gTuneMutex);
  LogStderr("TUNE CLEAR\n");
  works->swrTuneEnd = 0;
  tuneParam = kCleared;
  miglioretuneParam = kCleared;
  for (TuneParam &p : vTuneParam) p = kCleared;
  gSearch.bestFreq = -1;
  gSearch.bestAnt = -1;
}

void Clr_vTuneParam_fast(Works *works) {
  std::lock_guard<std::recursive_mutex> lock(gTuneMutex);
  LogStderr("TUNE CLEAR\n");
  tuneParam = measurement(works);
  // The best of an earlier tune only counts where it was measured; anywhere
  // else it would be applied and stored without ever being tried here.
  if (gSearch.bestFreq != works->frequency || gSearch.bestAnt != works->antenna) {
    miglioretuneParam = kCleared;
    miglioretuneParam.l = works->tuneL;
    miglioretuneParam.c = works->tuneC;
    miglioretuneParam.word = works->tuneVal;
  }
}

void CtrlNuovoTune(Works *works) {
  std::lock_guard<std::recursive_mutex> lock(gTuneMutex);
  // SWR 0 means no forward power was measured, not a perfect match.
  if (tuneParam.swr > 0 && tuneParam.swr < miglioretuneParam.swr) setBest(works, tuneParam);
  for (int i = 9; i > 0; --i) vTuneParam[i] = vTuneParam[i - 1];
  vTuneParam[0] = tuneParam;
}

int TuneStep(Works *works) {
  std::lock_guard<std::recursive_mutex> lock(gTuneMutex);
  char line[256];
  takeMeasurement(works, line, sizeof line);
  CtrlNuovoTune(works);
  size_t used = strlen(line);
  snprintf(line + used, sizeof line - used, " SWResc  %05.2f SWR[1] %05.2f SWR[0] %05.2f\n",
           works->swrEscAutoTune.load(), vTuneParam[1].swr, vTuneParam[0].swr);
  LogStderr("%s", line);
  int n = works->tuneSampleCnt;
  if (works->tuneSampling > 0 && n >= 0 && n < kTuneSamples)
    works->tuneSamples[n] = works->swr.load();
  works->tuneSampleCnt = n + 1;
  if (tuneParam.swr > 0.01 && tuneParam.swr < works->swrEscAutoTune) {
    LogStderr("ESC AUTO TUNE TARGET FOUND! %05.2f ( %01.4f) FOUND!\n", tuneParam.swr,
              tuneParam.swr);
    TuneEnd(works);
    EscAutoTune(works, 1);
    return 1;
  }
  return 0;
}

void TuneStepComplete(Works *works) {
  std::lock_guard<std::recursive_mutex> lock(gTuneMutex);
  char line[256];
  takeMeasurement(works, line, sizeof line);
  LogStderr("%s\n", line);
  if (tuneParam.swr > 0 && tuneParam.swr < miglioretuneParam.swr) {
    setBest(works, tuneParam);
    LogStderr("MIGLIORE:SWR %05.2f L %04d C %04d\n", miglioretuneParam.swr, miglioretuneParam.l,
              miglioretuneParam.c);
  }
}

void TuneEnd(Works *works) {
  std::lock_guard<std::recursive_mutex> lock(gTuneMutex);
  const TuneParam &b = miglioretuneParam;
  LogStderr(
      "miglioretuneParam %d-%d) SWR %05.2f FRW %05.2f L%4d C%4d T %08x %s (==>SWR %05.2f) "
      "TuneEnd\n",
      cnttune, works->tuneStato.load(), b.swr, b.fwd, b.l, b.c, b.word, networkText(b.word), b.swr);
  // Nothing measured yet: the cleared best holds no word, keep the one in use.
  if (DecodeModoFromTuneval(b.word) == 0) return;
  tuneParam = b;
  works->swr = b.swr;
  works->pwFwd = b.fwd;
  works->tuneL = b.l;
  works->tuneC = b.c;
  works->tuneVal = b.word;
  works->swrTuneEnd = b.swr;
}

void EscAutoTune(Works *works, int store) {
  std::lock_guard<std::recursive_mutex> lock(gTuneMutex);
  if (miglioretuneParam.swr > 6.0) {
    AddErrore(works, ERR_TUNE_MAX_SWR);
    LogStderr("------- ERRORE MAX TUNE (%f)\n", tuneParam.swr);
  } else if (store == 1) {
    InsertTuneToMem(works, works->numBanco, works->antenna);
    works->tuneFine = 1;
  }
  IncPNTIn_CMDLinear(LP_AT, works);
  cnttune = 0;
  if (works->autoTuneMode & kAutoTuneOn) works->autoTuneMode.fetch_or(kAutoTuneRxWanted);
  works->configRowIdx = -1;
  works->autoTuneState = 0;
}

void StartAutotune(Works *works) {
  std::lock_guard<std::recursive_mutex> lock(gTuneMutex);
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
  std::lock_guard<std::recursive_mutex> lock(gTuneMutex);
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
  std::lock_guard<std::recursive_mutex> lock(gTuneMutex);
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
