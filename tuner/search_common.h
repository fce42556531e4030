#pragma once
// What the searches of automatic tuning share: their state, in one place, and
// the moves every search makes. Only the link thread runs a search (keys and
// the refresh loop start and abort one through the link's requests), so the
// state needs no lock.
#include <atomic>
#include <cstdint>

#include "core/works.h"
#include "tuner/match_model.h"
#include "tuner/tuner.h"

constexpr int kMaxLC = 510;
constexpr TuneParam kCleared = {999.0f, 0.0f, 0, 0, 0};

// Measurements one tuning may take before it settles for its best: about
// 5 s. A search normally ends far below it; the shortest cycle limit (100)
// ends it first.
constexpr int kMatchBudget = 118;
// Probes measured before the first fit, and the most there are, with the
// further probes for loads that the first ones leave at the end of
// the meter's range.
constexpr int kMatchProbes = 4;
constexpr int kMatchMaxProbes = 32;

struct MatchVisit {
  int network, l, c;
};

// The match search's measurements, probes and model.
struct MatchState {
  double freq = 14e6;
  MatchSample samples[kMatchBudget];
  int nSamples = 0;
  MatchVisit visits[kMatchBudget];
  int nVisits = 0;
  MatchVisit probes[kMatchMaxProbes];
  int nProbes = 0;
  MatchFit fit;
  bool jumped = false;  // the word measured last was the model's
  int stale = 0;
  float bestSwr = 999.0f;
  int nReadings = 0;  // samples within the meter's range
};

struct TuneSearch {
  // The best starts as "nothing measured", as after a clear: a fine search
  // started before any tune then has no zero SWR to beat.
  TuneParam tuneParam = kCleared;
  TuneParam miglioretuneParam = kCleared;
  TuneParam vTuneParam[10] = {kCleared, kCleared, kCleared, kCleared, kCleared,
                              kCleared, kCleared, kCleared, kCleared, kCleared};
  int32_t cnttune = 0;
  int32_t cnttunefine = 0;
  // The presets of the row in force, copied when a preset search starts.
  ConfigRow preset = {};
  // Where the best measurement was taken: a fine search keeps it only at the
  // same frequency and antenna.
  int32_t bestFreq = -1;
  int32_t bestAnt = -1;
  std::atomic<uint32_t> measureCount{0};
  MatchState match;
};
extern TuneSearch gSearch;

void sleepMs(int ms);
// C, L and network of the word in works->tuneVal, and the relays' bits.
void setC(Works *w, int c);
void setL(Works *w, int l);
void network(Works *w, uint32_t bit);
// " B ", " A " or "" by the word's network bit.
const char *networkText(uint32_t word);
// The swr of the step just measured (v0) and of the one before (v1).
double v0();
double v1();
bool notWorse();
bool betterOrEqual();
void setBest(Works *w, const TuneParam &p);
// The word in use and what the status reply measured for it.
TuneParam measurement(Works *w);

// One step of each search, for the state it is in.
void sweepStep(Works *w);
void fineStep(Works *w);
void presetStep(Works *w);
// Copies the presets of the row of config.txt that holds the frequency;
// false when there is none.
bool presetLoad(Works *works);
