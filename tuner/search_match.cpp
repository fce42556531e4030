// The match search: the fourth strategy of automatic tuning, for a cold
// start (no presets for the antenna, nothing in memory).
//
// Every status reply gives |reflection| for a known word. A few probe words
// spread over both networks pin down the load; the model of the L network
// (match_model.h), fitted to all measurements so far, then names the word
// that should match, and the search goes there. Each new measurement refits
// the model, and with it how far the real steps and strays are from nominal.
// When the model has nothing new to offer, or stops improving, the search
// checks the neighbours of the best word by measurement, in the order the
// model expects to be best, until none of them is better; a best still
// above SWR 1.5 gets a second ring of neighbours, since real relays are
// not evenly stepped.
#include <algorithm>
#include <cmath>

#include "core/key_labels.h"
#include "platform/log.h"
#include "tuner/match_model.h"
#include "tuner/search_common.h"
#include "tuner/tuner.h"

namespace {

// Model jumps in a row that did not improve the best before the search
// keeps to the neighbours of the best word.
constexpr int kMaxStale = 3;
constexpr float kGoodSwr = 1.5f;
// The highest SWR the status reply's readings give.
constexpr float kSwrReadMax = 100.0f;

MatchState &gMatch = gSearch.match;

int networkOf(uint32_t word) {
  return (word & kModeBitA) ? 2 : 1;
}

bool visited(int network, int l, int c) {
  for (int i = 0; i < gMatch.nVisits; ++i) {
    const MatchVisit &v = gMatch.visits[i];
    if (v.network == network && v.l == l && v.c == c) return true;
  }
  return false;
}

void setWord(Works *w, int network, int l, int c) {
  w->tuneVal = (w->tuneVal.load() & ~kModeMask) | (network == 2 ? kModeBitA : kModeBitB);
  w->tuneL = l;
  SetI(w, l);
  w->tuneC = c;
  SetC(w, c);
}

void addProbe(int network, int l, int c) {
  if (gMatch.nProbes < kMatchMaxProbes) gMatch.probes[gMatch.nProbes++] = {network, l, c};
}

int steps(double v) {
  return static_cast<int>(std::lround(std::clamp(v, 0.0, double(kMatchMaxStep))));
}

// Probes: the load as it is, then a shunt C of about 1/50 ohm of
// susceptance across it, a series L of about 50 ohm in front of it, and both.
// A load that leaves all of them at the end of the meter's range is far from
// 50 ohm and sharply tuned; the further probes double the L of network A each
// time (a low resistance in series with a large capacitance comes into range
// where the L cancels it), and walk network B along the resonance of its L
// with its C (a high impedance comes into range there).
void makeProbes(double freq) {
  const double omega = 2 * M_PI * freq;
  const double lUnit = omega * kMatchLStepHenry / 50.0;  // reactance of one L step, per 50 ohm
  const double cUnit = omega * kMatchCStepFarad * 50.0;  // susceptance of one C step, times 50 ohm
  const int l = std::max(steps(1.0 / lUnit), 1), c = std::max(steps(1.0 / cUnit), 1);
  addProbe(1, 0, 0);
  addProbe(1, 0, c);
  addProbe(2, l, 0);
  addProbe(1, l, c);
  for (double k = 2; k / lUnit < 2 * kMatchMaxStep; k *= 2) {
    addProbe(2, steps(k / lUnit), 0);
    if (1 / (k * cUnit) >= 1) addProbe(1, steps(k / lUnit), steps(1 / (k * cUnit)));
  }
}

// The unmeasured neighbour of the best word that the model rates best;
// false when every neighbour has been measured.
bool nextNeighbour(MatchVisit *out) {
  const TuneParam &b = miglioretuneParam;
  if (DecodeModoFromTuneval(b.word) == 0) return false;
  int net = networkOf(b.word);
  double best = 2.0;
  int rings = b.swr > kGoodSwr ? 2 : 1;
  for (int ring = 1; ring <= rings && best >= 2.0; ++ring)
    for (int dl = -ring; dl <= ring; ++dl)
      for (int dc = -ring; dc <= ring; ++dc) {
        int l = b.l + dl, c = b.c + dc;
        if (l < 0 || c < 0 || l > kMatchMaxStep || c > kMatchMaxStep || visited(net, l, c))
          continue;
        double r = MatchModelRho(gMatch.fit, gMatch.freq, net, l, c);
        if (r < best) {
          best = r;
          *out = {net, l, c};
        }
      }
  return best < 2.0;
}

// Takes the measurement of the word written last; then the next word, or the end.
void matchMeasure(Works *w) {
  const uint32_t word = w->tuneVal;
  const int net = networkOf(word), l = w->tuneL, c = w->tuneC;
  if (TuneStep(w)) return;
  const float swr = tuneParam.swr;
  // A trip or no forward power says nothing about the load; a reading at
  // the end of the meter's range only that the word is that bad or worse.
  const bool tripped = w->autoTuneState == 2;
  if (gMatch.nVisits < kMatchBudget) gMatch.visits[gMatch.nVisits++] = {net, l, c};
  if (!tripped && swr >= 1.0f && gMatch.nSamples < kMatchBudget) {
    const bool atEnd = swr >= kSwrReadMax;
    gMatch.samples[gMatch.nSamples++] = {net, l, c, MatchRhoOfSwr(atEnd ? kSwrReadMax : swr),
                                         atEnd};
    if (!atEnd) ++gMatch.nReadings;
  }
  if (miglioretuneParam.swr < gMatch.bestSwr) {
    gMatch.bestSwr = miglioretuneParam.swr;
    gMatch.stale = 0;
  } else if (gMatch.jumped) {
    ++gMatch.stale;
  }
  gMatch.jumped = false;

  MatchVisit next{};
  bool found = false;
  if (gMatch.nVisits >= kMatchBudget) {
    // the budget is spent: settle for the best
  } else if (gMatch.nVisits < kMatchProbes || gMatch.nReadings < 3) {
    for (int i = 0; i < gMatch.nProbes && !found; ++i) {
      const MatchVisit &p = gMatch.probes[i];
      if (!visited(p.network, p.l, p.c)) {
        next = p;
        found = true;
      }
    }
  }
  if (!found && gMatch.nVisits < kMatchBudget && gMatch.nReadings >= 1) {
    gMatch.fit = MatchFitSamples(gMatch.samples, gMatch.nSamples, gMatch.freq, gMatch.fit);
    MatchWord m = MatchBestWord(gMatch.fit, gMatch.freq);
    double zr = 0, zx = 0;
    double den = gMatch.fit.g * gMatch.fit.g + gMatch.fit.b * gMatch.fit.b;
    if (den > 0) {
      zr = 50.0 * gMatch.fit.g / den;
      zx = -50.0 * gMatch.fit.b / den;
    }
    LogStderr("TUNE MATCH: load %.1f%+.1fj L x%.2f C x%.2f Cin %.0fpF -> %s L %d C %d (%.2f)\n", zr,
              zx, gMatch.fit.kL, gMatch.fit.kC, gMatch.fit.cIn * 1e12, m.network == 2 ? "A" : "B",
              m.l, m.c, (1 + m.rho) / (1 - m.rho + 1e-9));
    if (gMatch.stale < kMaxStale && !visited(m.network, m.l, m.c)) {
      next = {m.network, m.l, m.c};
      found = gMatch.jumped = true;
    } else {
      found = nextNeighbour(&next);
    }
  }
  if (!found) {
    TuneEnd(w);
    EscAutoTune(w, 1);
    return;
  }
  setWord(w, next.network, next.l, next.c);
}

}  // namespace

void MatchSearchStep(Works *works) {
  switch (works->tuneStato) {
    case kTuneMatch:
      if (works->txDetected != 1) break;
      Clr_vTuneParam(works);
      SetLumoLabel(works, SS_MAIN, 6, "Off");
      gMatch = MatchState();
      gMatch.freq = std::clamp(static_cast<double>(works->frequency.load()), 1.5e6, 60e6);
      makeProbes(gMatch.freq);
      setWord(works, gMatch.probes[0].network, gMatch.probes[0].l, gMatch.probes[0].c);
      cnttune = 0;
      works->tuneStato = kTuneMatch + 1;
      break;
    case kTuneMatch + 1: matchMeasure(works); break;
    default: break;
  }
}
