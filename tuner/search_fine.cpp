// The fine search: from the word in use, C up and down, then L up and down,
// a step at a time, keeping the best word.
#include "core/key_labels.h"
#include "platform/log.h"
#include "tuner/search_common.h"

namespace {

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

}  // namespace

void fineStep(Works *w) {
  switch (w->tuneStato) {
    case 200:
      w->tuneStato = 201;
      Clr_vTuneParam_fast(w);
      w->stepC = 20;
      w->stepL = 20;
      SetLumoLabel(w, SS_MAIN, 6, "Off");
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
