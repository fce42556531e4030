// The preset search: the five presets of the frequency's row of config.txt
// on both networks, the better network by a vote, its best preset, then
// passes of L and C in steps of the row's step, and a jump of L when the
// passes leave the SWR above 1.05.
#include <mutex>

#include "core/works.h"
#include "platform/log.h"
#include "tuner/search_common.h"

namespace {

// The presets of the row in force.
ConfigRow &gPreset = gSearch.preset;

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
// The presets on both networks and the choice among them (states 450 to 456).
void presetStart(Works *w, int state) {
  switch (state) {
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
    default: break;
  }
}

// Passes of L and C around the chosen preset (states 457 to 460).
void presetPasses(Works *w, int state) {
  const int step = gPreset.step;
  switch (state) {
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
    default: break;
  }
}

// A jump of L when the passes left the SWR high, then the end (states 461 to 463).
void presetJump(Works *w, int state) {
  const int step = gPreset.step;
  switch (state) {
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

void presetStep(Works *w) {
  const int state = w->tuneStato;
  if (state <= 456)
    presetStart(w, state);
  else if (state <= 460)
    presetPasses(w, state);
  else
    presetJump(w, state);
}

bool presetLoad(Works *works) {
  // The presets come from the row of config.txt that holds the frequency;
  // without one the search starts from nothing.
  std::lock_guard<std::recursive_mutex> tables(works->tablesMutex);
  int row = SearchConfigRow(works, static_cast<uint32_t>(works->frequency.load()));
  if (row < 0) {
    LogStderr("TUNE PRESET: no row of config.txt holds %ld Hz, match search\n",
              static_cast<long>(works->frequency.load()));
    return false;
  }
  gPreset = works->tabConfig[row];
  for (int k = 0; k < 5; ++k) {
    if (gPreset.L[k] < 0) gPreset.L[k] = 0;
    if (gPreset.C[k] < 0) gPreset.C[k] = 0;
  }
  // A step below 1 would leave the refinement standing or running away.
  if (gPreset.step < 1) gPreset.step = 1;
  if (gPreset.step > kMaxLC) gPreset.step = kMaxLC;
  return true;
}
