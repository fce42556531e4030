// What the searches of automatic tuning share: their state, the moves every
// search makes, and the steps they take (measure, keep the best, end, leave).
#include "tuner/search_common.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "core/command_queue.h"
#include "core/event_log.h"
#include "core/station_record.h"
#include "errors/errors.h"
#include "platform/log.h"

TuneSearch gSearch;
TuneParam &tuneParam = gSearch.tuneParam;
TuneParam &miglioretuneParam = gSearch.miglioretuneParam;
TuneParam (&vTuneParam)[10] = gSearch.vTuneParam;
int32_t &cnttune = gSearch.cnttune;
int32_t &cnttunefine = gSearch.cnttunefine;

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
  gSearch.bestFreq = w->frequency;
  gSearch.bestAnt = w->antenna;
}

TuneParam measurement(Works *w) {
  return TuneParam{w->swr.load(), w->pwFwd.load(), w->tuneL.load(), w->tuneC.load(),
                   w->tuneVal.load()};
}

namespace {

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
  return gSearch.measureCount;
}

void Clr_vTuneParam(Works *works) {
  LogStderr("TUNE CLEAR\n");
  works->swrTuneEnd = 0;
  tuneParam = kCleared;
  miglioretuneParam = kCleared;
  for (TuneParam &p : vTuneParam) p = kCleared;
  gSearch.bestFreq = -1;
  gSearch.bestAnt = -1;
}

void Clr_vTuneParam_fast(Works *works) {
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
  // SWR 0 means no forward power was measured, not a perfect match.
  if (tuneParam.swr > 0 && tuneParam.swr < miglioretuneParam.swr) setBest(works, tuneParam);
  for (int i = 9; i > 0; --i) vTuneParam[i] = vTuneParam[i - 1];
  vTuneParam[0] = tuneParam;
}

int TuneStep(Works *works) {
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
  const bool tooHigh = miglioretuneParam.swr > 6.0;
  StationEvents().Record(
      "tune", {EventField("frequency", works->frequency.load()),
               EventField("band", BandNameOf(works)), EventField("antenna", works->antenna + 1),
               EventField("swr", static_cast<double>(miglioretuneParam.swr), 2),
               EventField("stored", !tooHigh && store == 1)});
  if (tooHigh) {
    AddErrore(works, ERR_TUNE_MAX_SWR);
    LogStderr("------- ERRORE MAX TUNE (%f)\n", tuneParam.swr);
  } else if (store == 1) {
    // Into the bank whose memory is in use: during a bank change numBanco
    // may already name the next one while the memory is still the last's.
    const int32_t loaded = works->tuneMemBank[AtuAntennaRow(works->antenna)];
    InsertTuneToMem(works, loaded >= 0 ? loaded : works->numBanco.load(), works->antenna);
    works->tuneFine = 1;
  }
  IncPNTIn_CMDLinear(LP_AT, works);
  cnttune = 0;
  if (works->autoTuneMode & kAutoTuneOn) works->autoTuneMode.fetch_or(kAutoTuneRxWanted);
  works->configRowIdx = -1;
  works->autoTuneState = 0;
}
