// Automatic tuning: a state machine that takes one step per status reply of
// the controller. Each step judges the word written after the previous step
// (the status reply carries its SWR) and leaves the next word in tuneVal,
// which the link writes next. Four strategies: a sweep from L = C = 0, a
// fine search around the current word, a search from the presets of the
// frequency's row of config.txt, and a search that fits a model of the
// network to what it measures (match_search.cpp).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "config/config.h"
#include "controller/temperature.h"
#include "core/command_queue.h"
#include "core/key_labels.h"
#include "core/setup.h"
#include "errors/errors.h"
#include "platform/log.h"
#include "tuner/tuner.h"

namespace {

constexpr TuneParam kCleared = {999.0f, 0.0f, 0, 0, 0};

}  // namespace

// The best starts as "nothing measured", as after a clear: a fine search
// started before any tune then has no zero SWR to beat.
TuneParam tuneParam = kCleared;
TuneParam miglioretuneParam = kCleared;
TuneParam vTuneParam[10] = {kCleared, kCleared, kCleared, kCleared, kCleared,
                            kCleared, kCleared, kCleared, kCleared, kCleared};
int32_t cnttune = 0;
int32_t cnttunefine = 0;
const int32_t SWRTimeoutCICLI[5] = {600, 400, 300, 200, 100};
const char SWRTimeout[5][8] = {"25sec", "20sec", "15sec", "10sec", "5sec"};

namespace {

// The link thread steps the machine; the key handler and the refresh loop
// start and abort it.
std::recursive_mutex gTuneMutex;

// The presets of the row in force, copied when a preset search starts.
ConfigRow gPreset = {};

// Where the best measurement was taken: a fine search keeps it only at the
// same frequency and antenna.
int32_t gBestFreq = -1;
int32_t gBestAnt = -1;

uint32_t gMeasureCount = 0;

constexpr int kMaxLC = 510;

void sleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void setC(Works *w, int c) {
  w->tuneC = c;
  SetC(w, c);
}

void setL(Works *w, int l) {
  w->tuneL = l;
  SetI(w, l);
}

void network(Works *w, uint32_t bit) {
  w->tuneVal = (w->tuneVal.load() & ~kModeMask) | bit;
}

const char *networkText(uint32_t word) {
  if (word & kModeBitB) return " B ";
  if (word & kModeBitA) return " A ";
  return "";
}

double v0() {
  return vTuneParam[0].swr;
}
double v1() {
  return vTuneParam[1].swr;
}
bool notWorse() {
  return v0() <= v1() + 0.1;
}
bool betterOrEqual() {
  return v0() <= v1();
}

void setBest(Works *w, const TuneParam &p) {
  miglioretuneParam = p;
  gBestFreq = w->frequency;
  gBestAnt = w->antenna;
}

TuneParam measurement(Works *w) {
  return TuneParam{w->swr.load(), w->pwFwd.load(), w->tuneL.load(), w->tuneC.load(),
                   w->tuneVal.load()};
}

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
  ++gMeasureCount;
}

// Back off after a run upwards: the next state trims downwards one step at a time.
void backOffL(Works *w, int next) {
  w->tuneStato = next;
  cnttunefine = 0;
  if (w->tuneL >= 2) setL(w, w->tuneL - 1);
}

void backOffC(Works *w, int next) {
  w->tuneStato = next;
  cnttunefine = 0;
  if (w->tuneC >= 2) setC(w, w->tuneC - 1);
}

// Upward run of C in states 5 and 8.
void runC(Works *w, const char *text, int next) {
  if (notWorse()) {
    LogStderr(text, 8);
    if (w->tuneC + 8 <= kMaxLC)
      setC(w, w->tuneC + 8);
    else
      backOffC(w, next);
  } else {
    LogStderr("stato c ++\n ");
    backOffC(w, next);
  }
}

// Upward run of L in states 3 and 10.
void runL(Works *w, int inc, int next) {
  if (notWorse()) {
    LogStderr("inc induttanza  %d\n ", inc);
    if (w->tuneL + inc <= kMaxLC)
      setL(w, w->tuneL + inc);
    else
      backOffL(w, next);
  } else {
    LogStderr("stato++\n ");
    backOffL(w, next);
  }
}

void sweepStep(Works *w) {
  switch (w->tuneStato) {
    case 0: w->tuneStato = 1; break;
    case 1:
      Clr_vTuneParam(w);
      network(w, kModeBitB);
      SetLumoLabel(w, 0, 6, "Off");
      setC(w, 0);
      setL(w, 0);
      cnttune = 0;
      w->tuneStato = 2;
      break;
    case 2:
      if (w->txDetected != 1) break;
      sleepMs(3);
      w->tuneStato = 3;
      break;
    case 3:
      if (TuneStep(w)) break;
      runL(w, 4, 4);
      break;
    case 4:
      if (TuneStep(w)) break;
      if (notWorse() && w->tuneL >= 1 && cnttunefine <= 7) {
        ++cnttunefine;
        setL(w, w->tuneL - 1);
      } else {
        w->tuneStato = 5;
        cnttunefine = 0;
        setC(w, w->tuneC + 8);
      }
      break;
    case 5:
      if (TuneStep(w)) break;
      runC(w, "inc capacita B(dx) %d \n ", 6);
      break;
    case 6:
      if (TuneStep(w)) break;
      if (notWorse() && w->tuneC >= 1 && cnttunefine <= 15) {
        ++cnttunefine;
        setC(w, w->tuneC - 1);
      } else {
        w->tuneStato = 7;
        cnttunefine = 0;
        network(w, kModeBitA);
        setC(w, 0);
      }
      break;
    case 7:
      if (TuneStep(w)) break;
      if (w->tuneC + 8 <= kMaxLC) setC(w, w->tuneC + 8);
      w->tuneStato = 8;
      break;
    case 8:
      if (TuneStep(w)) break;
      runC(w, "inc capacita A(sx) %d \n ", 9);
      break;
    case 9:
      if (TuneStep(w)) break;
      if (notWorse() && w->tuneC >= 1 && cnttunefine <= 15) {
        ++cnttunefine;
        setC(w, w->tuneC - 1);
      } else {
        bool up = notWorse();
        w->tuneStato = 10;
        cnttunefine = 0;
        TuneEnd(w);
        if (up && w->tuneL + 2 <= kMaxLC) setL(w, w->tuneL + 2);
      }
      break;
    case 10:
      if (TuneStep(w)) break;
      runL(w, 2, 11);
      break;
    case 11:
      if (TuneStep(w)) break;
      if (notWorse() && w->tuneL >= 1 && cnttunefine <= 5) {
        ++cnttunefine;
        setL(w, w->tuneL - 1);
      } else {
        w->tuneStato = 12;
        TuneEnd(w);
      }
      break;
    case 12:
      if (TuneStep(w)) break;
      EscAutoTune(w, 1);
      break;
    default: break;
  }
}

// One move of the fine search: value + dir, tried while it stays in
// 0..512; counter counts the moves left. Returns true when the run is over.
bool fineMove(Works *w, bool isC, int dir, At<int32_t> &counter) {
  TuneStepComplete(w);
  int v = (isC ? w->tuneC : w->tuneL) + dir;
  if (v >= 0 && v <= 512) {
    if (isC)
      setC(w, v);
    else
      setL(w, v);
  } else {
    counter = 0;
  }
  counter = counter - 1;
  return counter < 0;
}

void fineStep(Works *w) {
  switch (w->tuneStato) {
    case 200:
      w->tuneStato = 201;
      Clr_vTuneParam_fast(w);
      w->stepC = 20;
      w->stepL = 20;
      SetLumoLabel(w, 0, 6, "Off");
      setC(w, w->tuneC);
      setL(w, w->tuneL);
      break;
    case 201:
      w->tuneStato = 202;
      sleepMs(10);
      cnttune = 0;
      break;
    case 202:
      if (fineMove(w, true, +1, w->stepC)) {
        w->stepC = 20;
        TuneEnd(w);
        setC(w, w->tuneC);
        w->tuneStato = 203;
      }
      break;
    case 203:
      if (fineMove(w, true, -1, w->stepC)) {
        TuneEnd(w);
        setC(w, w->tuneC);
        w->stepC = 20;
        w->stepL = 20;
        w->tuneStato = 204;
      }
      break;
    case 204:
      if (fineMove(w, false, +1, w->stepL)) {
        w->stepL = 20;
        TuneEnd(w);
        setL(w, w->tuneL);
        w->tuneStato = 205;
      }
      break;
    case 205:
      if (fineMove(w, false, -1, w->stepL)) {
        w->tuneStato = 206;
        TuneEnd(w);
        setL(w, w->tuneL);
        setC(w, w->tuneC);
      }
      break;
    case 206:
      if (TuneStep(w)) break;
      EscAutoTune(w, 1);
      break;
    default: break;
  }
}

// Preset trial of one network (states 453 and 455): sample k+1 is taken
// with preset k; a preset of 512 or more ends the trial of the network.
void presetTrial(Works *w, int next) {
  int k = cnttune;
  if (k <= 4 && gPreset.C[k] < 512 && gPreset.L[k] < 512) {
    setC(w, gPreset.C[k]);
    setL(w, gPreset.L[k]);
    if (k > 3) w->tuneStato = next;
  } else {
    w->tuneStato = next;
  }
}

float sample(Works *w, int i) {
  return i >= 0 && i < kTuneSamples ? w->tuneSamples[i].load() : 100.0f;
}

// State 456: network by a vote over the pairs of samples, then the preset
// with the lowest SWR of that network.
void presetChoose(Works *w) {
  int cnt = w->tuneSampleCnt;
  if (cnt > kTuneSamples) cnt = kTuneSamples;
  int n = cnt / 2;
  int aBetter = 0, aWorse = 0;
  for (int i = 0; i < n; ++i) {
    if (sample(w, n + i) <= sample(w, i))
      ++aBetter;
    else
      ++aWorse;
  }
  bool useB = aWorse > aBetter;
  int from = useB ? 0 : n;
  int to = useB ? n : cnt;
  int idx = 0;
  float least = 100.0f;
  for (int i = from; i < to; ++i) {
    if (sample(w, i) < least) {
      least = sample(w, i);
      idx = i - from;
    }
  }
  if (idx > 4) idx = 0;
  network(w, useB ? kModeBitB : kModeBitA);
  setC(w, gPreset.C[idx]);
  setL(w, gPreset.L[idx]);
  LogStderr("%s\n", useB ? " B " : " A ");
  setBest(w, measurement(w));
  w->tuneSampling = 0;
  w->tuneSampleCnt = 0;
  w->tuneFinePasses = 0;
}

void presetStep(Works *w) {
  const int step = gPreset.step;
  switch (w->tuneStato) {
    case 450:
      if (w->txDetected != 1) break;
      w->tuneStato = 451;
      Clr_vTuneParam(w);
      network(w, kModeBitB);
      setC(w, gPreset.C[0]);
      setL(w, gPreset.L[0]);
      break;
    case 451:
      sleepMs(5);
      w->tuneStato = 452;
      break;
    case 452:
      network(w, kModeBitB);
      setC(w, gPreset.C[0]);
      setL(w, gPreset.L[0]);
      w->tuneStato = 453;
      cnttune = 0;
      w->tuneSampleCnt = 0;
      w->tuneSampling = 1;
      break;
    case 453:
      if (TuneStep(w)) break;
      presetTrial(w, 454);
      break;
    case 454:
      if (TuneStep(w)) break;
      network(w, kModeBitA);
      setC(w, gPreset.C[0]);
      setL(w, gPreset.L[0]);
      w->tuneStato = 455;
      cnttune = 0;
      break;
    case 455:
      if (TuneStep(w)) break;
      presetTrial(w, 456);
      break;
    case 456:
      if (TuneStep(w)) break;
      presetChoose(w);
      w->tuneStato = 457;
      break;
    case 457:
      if (TuneStep(w)) break;
      if (betterOrEqual()) {
        if (w->tuneL + step <= kMaxLC)
          setL(w, w->tuneL + step);
        else
          w->tuneStato = 458;
      } else {
        w->tuneStato = 458;
        if (w->tuneL - step >= 0) setL(w, w->tuneL - step);
      }
      break;
    case 458:
      if (TuneStep(w)) break;
      if (betterOrEqual()) {
        if (w->tuneL - step >= 0)
          setL(w, w->tuneL - step);
        else
          w->tuneStato = 459;
      } else {
        w->tuneStato = 459;
        setL(w, w->tuneL + step);
      }
      break;
    case 459:
      if (TuneStep(w)) break;
      if (betterOrEqual() && w->tuneC - step >= 0) {
        setC(w, w->tuneC - step);
      } else {
        w->tuneStato = 460;
        setC(w, w->tuneC + step);
      }
      break;
    case 460: {
      if (TuneStep(w)) break;
      bool endOfPass = true;
      if (betterOrEqual()) {
        if (w->tuneC + step <= kMaxLC) {
          setC(w, w->tuneC + step);
          endOfPass = false;
        }
      } else if (w->tuneC - step >= 0) {
        setC(w, w->tuneC - step);
      }
      if (endOfPass) {
        w->tuneFinePasses = w->tuneFinePasses + 1;
        w->tuneStato = miglioretuneParam.swr > 1.05 && w->tuneFinePasses < 3 ? 457 : 461;
      }
      break;
    }
    case 461:
      if (TuneStep(w)) break;
      if (miglioretuneParam.swr > 1.05 && w->tuneL + 10 * step <= kMaxLC) {
        // The jump may not leave the range the relay word and the memory hold.
        int l = w->tuneL + 20 * step;
        setL(w, l > kMaxLC ? kMaxLC : l);
        w->tuneSampleCnt = 0;
        w->tuneFinePasses = 0;
        w->tuneStato = 462;
      } else {
        w->tuneStato = 463;
      }
      break;
    case 462:
      if (TuneStep(w)) break;
      if (w->tuneSampleCnt < 20) {
        if (w->tuneL - step >= 0)
          setL(w, w->tuneL - step);
        else
          w->tuneStato = 463;
      } else {
        w->tuneStato = 463;
      }
      break;
    case 463:
      if (TuneStep(w)) break;
      TuneEnd(w);
      w->tuneSampling = 0;
      EscAutoTune(w, 1);
      break;
    default: break;
  }
}

}  // namespace

uint32_t TuneMeasureCount() {
  std::lock_guard<std::recursive_mutex> lock(gTuneMutex);
  return gMeasureCount;
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
  gBestFreq = -1;
  gBestAnt = -1;
}

void Clr_vTuneParam_fast(Works *works) {
  std::lock_guard<std::recursive_mutex> lock(gTuneMutex);
  LogStderr("TUNE CLEAR\n");
  tuneParam = measurement(works);
  // The best of an earlier tune only counts where it was measured; anywhere
  // else it would be applied and stored without ever being tried here.
  if (gBestFreq != works->frequency || gBestAnt != works->antenna) {
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
  if (first == kTunePreset) {
    // The presets come from the row of config.txt that holds the frequency;
    // without one the search starts from nothing.
    std::lock_guard<std::recursive_mutex> tables(works->tablesMutex);
    int row = SearchConfigRow(works, static_cast<uint32_t>(works->frequency.load()));
    if (row < 0) {
      LogStderr("TUNE PRESET: no row of config.txt holds %ld Hz, match search\n",
                static_cast<long>(works->frequency.load()));
      first = kTuneMatch;
    } else {
      gPreset = works->tabConfig[row];
      for (int k = 0; k < 5; ++k) {
        if (gPreset.L[k] < 0) gPreset.L[k] = 0;
        if (gPreset.C[k] < 0) gPreset.C[k] = 0;
      }
      // A step below 1 would leave the refinement standing or running away.
      if (gPreset.step < 1) gPreset.step = 1;
      if (gPreset.step > kMaxLC) gPreset.step = kMaxLC;
    }
  }
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
