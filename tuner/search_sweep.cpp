// The sweep search: from L = C = 0, runs up and trims down L and C of
// network B, then C of network A, then L again.
#include "core/key_labels.h"
#include "platform/log.h"
#include "tuner/search_common.h"

namespace {

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

// Network B: L up from 0 and trimmed, then C (states 0 to 6).
void sweepNetworkB(Works *w, int state) {
  switch (state) {
    case 0: w->tuneStato = 1; break;
    case 1:
      Clr_vTuneParam(w);
      network(w, kModeBitB);
      SetLumoLabel(w, SS_MAIN, 6, "Off");
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
    default: break;
  }
}

// Network A: C up from 0 and trimmed, then L again (states 7 to 12).
void sweepNetworkA(Works *w, int state) {
  switch (state) {
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

}  // namespace

void sweepStep(Works *w) {
  const int state = w->tuneStato;
  if (state <= 6)
    sweepNetworkB(w, state);
  else
    sweepNetworkA(w, state);
}
