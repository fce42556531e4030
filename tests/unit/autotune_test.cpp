// Automatic tuning, step by step: the four strategies against a modelled
// load, the cycle limit, the network vote, the trip and the abort.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>

#include "core/command_queue.h"
#include "core/event_log.h"
#include "errors/errors.h"
#include "sim/antenna_model.h"
#include "table_fixture.h"
#include "tuner/tuner.h"

namespace {

// Stands in for the controller link: before every status reply it sends what
// was queued, then hands TuneTask the SWR of the word written last.
struct TuneRig {
  TableFixture f;
  Works *w = f.w();
  std::function<double(uint32_t word)> swrOf;
  std::vector<uint32_t> measured;  // words whose SWR a step judged
  std::vector<int> sent;           // commands the link sent

  explicit TuneRig(std::function<double(uint32_t)> model) : swrOf(std::move(model)) {
    SetSetupChar(w, SB_AutoTuneTipo, '0');
    w->autoTuneMode = 1;
    w->txDetected = 1;
    w->frequency = 14200000;
    w->antenna = 0;
    w->numBanco = 1;
    w->atuBypass = 0;
    w->tuneFine = 0;
    w->tuneVal = kModeBitB;
    w->tuneC = 0;
    w->tuneL = 0;
    Clr_vTuneParam(w);
  }

  // One status reply and the step it drives. Returns false once idle.
  bool step() {
    for (int id : f.drain()) sent.push_back(id);
    w->cmdPriority = 0;
    if (w->autoTuneState == 0) return false;
    if (w->autoTuneState == 2) {  // the link clears the trip instead of a step
      sent.push_back(LP_CP);
      w->autoTuneState = 1;
      return true;
    }
    uint32_t word = w->tuneVal;
    w->swr = static_cast<float>(swrOf(word));
    w->pwFwd = 10.0f;
    uint32_t before = TuneMeasureCount();
    TuneTask(w);
    if (TuneMeasureCount() != before) measured.push_back(word);
    return true;
  }
  int run(int maxSteps = 5000) {
    int n = 0;
    while (n < maxSteps && step()) ++n;
    for (int id : f.drain()) sent.push_back(id);
    return n;
  }
  bool sentAll(std::vector<int> ids) const {
    auto it = sent.begin();
    for (int id : ids) {
      it = std::find(it, sent.end(), id);
      if (it == sent.end()) return false;
      ++it;
    }
    return true;
  }
};

// A load the network can match: 150 - j80 ohm at 14.2 MHz.
double modelSwr(uint32_t word) {
  return TunerSwr(word, 14.2e6, Impedance(150, -80));
}

int wordL(uint32_t w) {
  return DecodeInduttanzaFromTuneval(w);
}
int wordC(uint32_t w) {
  return DecodeCapacitaFromTuneval(w);
}

TEST(AutoTune, StartQueuesTheTuningSetUp) {
  TuneRig rig(modelSwr);
  Works *w = rig.w;
  w->stErr[0] = 1;
  w->anSel = 1;
  StartAutotune(w);
  EXPECT_EQ(rig.f.drain(), (std::vector<int>{LP_MP1, LP_AT_TUNE, LP_TS, LP_CP, LP_MP0, LP_AN}));
  EXPECT_EQ(w->tsPar[0], 4095);
  EXPECT_EQ(w->cmdPriority, 1);
  EXPECT_EQ(w->autoTuneState, 1);
  EXPECT_EQ(w->tuneStato, kTuneSweep);
  EXPECT_EQ(w->anSel, 0);
  // While the set-up is being sent, the machine does not step.
  TuneTask(w);
  EXPECT_EQ(w->tuneStato, kTuneSweep);
  // No tuning while the tuner is bypassed.
  EscAutoTune(w, 0);
  rig.f.drain();
  w->atuBypass = 1;
  StartAutotune(w);
  EXPECT_EQ(w->autoTuneState, 0);
  EXPECT_TRUE(rig.f.drain().empty());
}

TEST(AutoTune, SweepFindsAMatchAndStoresIt) {
  TuneRig rig(modelSwr);
  Works *w = rig.w;
  GoTune(w);
  int steps = rig.run();
  EXPECT_EQ(w->autoTuneState, 0);
  EXPECT_LT(steps, 600);
  EXPECT_LT(modelSwr(w->tuneVal), 1.5);
  EXPECT_FLOAT_EQ(miglioretuneParam.swr, static_cast<float>(modelSwr(w->tuneVal)));
  EXPECT_EQ(w->tuneFine, 1);
  EXPECT_EQ(rig.sent.back(), LP_AT);
  // Stored in the bank's file for the antenna, and in the memory.
  std::string file = rig.f.root.readFile("/opt/set/atu_ant1_b1.txt");
  char line[64];
  snprintf(line, sizeof line, "3130 14200000 1 %d %d %d\n", DecodeModoFromTuneval(w->tuneVal),
           wordL(w->tuneVal), wordC(w->tuneVal));
  EXPECT_EQ(file, line);
  // The next tune at this frequency is the fine search.
  GoTune(w);
  EXPECT_EQ(w->tuneStato, kTuneFine);
  rig.run();
  EXPECT_EQ(w->autoTuneState, 0);
  EXPECT_LE(modelSwr(w->tuneVal), miglioretuneParam.swr + 1e-6);
}

TEST(AutoTune, TargetEndsTheTuningAtOnce) {
  TuneRig rig([](uint32_t word) { return TunerSwr(word, 14.2e6, Impedance(50, 0)); });
  Works *w = rig.w;
  w->swrEscAutoTune = 1.5f;
  GoTune(w);
  rig.run();
  // The very first word (L = C = 0, network B) is 1.0: found and stored.
  EXPECT_EQ(rig.measured.size(), 1u);
  EXPECT_EQ(w->tuneVal, kModeBitB);
  EXPECT_EQ(w->tuneFine, 1);
  EXPECT_EQ(rig.f.root.readFile("/opt/set/atu_ant1_b1.txt"), "3130 14200000 1 1 0 0\n");
  EXPECT_EQ(ExistError(w, ERR_TUNE_MAX_SWR), 0);
}

TEST(AutoTune, CycleLimitCountsMeasuredSteps) {
  // Every word looks the same, so the sweep never stops climbing by itself.
  // The setting picks the limit: 600, 400, 300, 200 or 100 measured steps
  // (this sweep ends by itself after 561, before the first).
  const int limits[] = {600, 400, 300, 200, 100};
  for (int cicli = 1; cicli < 4; ++cicli) {
    TuneRig other([](uint32_t) { return 2.0; });
    other.w->autoTuneMaxCicli = cicli;
    GoTune(other.w);
    other.run();
    EXPECT_EQ(other.measured.size(), static_cast<size_t>(limits[cicli] + 1)) << cicli;
  }
  TuneRig rig([](uint32_t) { return 2.0; });
  Works *w = rig.w;
  w->autoTuneMaxCicli = 4;  // 100
  GoTune(w);
  int limitHit = -1;
  int measuredSteps = 0;
  for (int i = 0; i < 1000 && w->autoTuneState != 0; ++i) {
    size_t before = rig.measured.size();
    rig.step();
    if (w->autoTuneState == 0 && rig.measured.size() == before) limitHit = measuredSteps;
    measuredSteps = static_cast<int>(rig.measured.size());
  }
  rig.run();
  EXPECT_EQ(limitHit, limits[4] + 1);
  EXPECT_TRUE(rig.sentAll({LP_AT, LP_MP1, LP_AT_MAX}));
  EXPECT_EQ(ExistError(w, ERR_TUNE_TIMEOUT), 1);
  EXPECT_EQ(ExistError(w, ERR_TUNE_SWR), 0);
  EXPECT_FALSE(rig.f.root.exists("/opt/set/atu_ant1_b1.txt"));
  EXPECT_EQ(w->tuneFine, 0);
  // With a target set the error is the SWR warning.
  TuneRig rig2([](uint32_t) { return 2.0; });
  rig2.w->autoTuneMaxCicli = 4;
  rig2.w->swrEscAutoTune = 1.2f;
  GoTune(rig2.w);
  rig2.run();
  EXPECT_EQ(ExistError(rig2.w, ERR_TUNE_SWR), 1);
}

TEST(AutoTune, InductanceNearTheTopBacksOff) {
  double swr = 1.8;
  TuneRig rig([&](uint32_t) { return swr; });
  Works *w = rig.w;
  GoTune(w);
  rig.run(3);  // through states 0, 1 and 2
  ASSERT_EQ(w->tuneStato, 3);
  EXPECT_TRUE(rig.measured.empty());  // the reply that brought the carrier is not measured
  // L climbs 4 at a time while nothing gets worse.
  rig.step();
  EXPECT_EQ(w->tuneStato, 3);
  EXPECT_EQ(wordL(w->tuneVal), 4);
  w->tuneL = 509;
  SetI(w, 509);
  rig.step();
  EXPECT_EQ(w->tuneStato, 4);
  EXPECT_EQ(w->tuneL, 508);
  EXPECT_EQ(wordL(w->tuneVal), 508);
  // C runs up to the top itself and backs off only past it.
  w->tuneStato = 5;
  w->tuneC = 502;
  SetC(w, 502);
  rig.step();
  EXPECT_EQ(w->tuneStato, 5);
  EXPECT_EQ(wordC(w->tuneVal), 510);
  // Worse at C = 2: it backs off to 1.
  swr = 3.0;
  w->tuneC = 2;
  SetC(w, 2);
  rig.step();
  EXPECT_EQ(w->tuneStato, 6);
  EXPECT_EQ(wordC(w->tuneVal), 1);
  // The trim of C goes down 16 steps at most, then on to network A.
  swr = 1.8;
  w->tuneC = 40;
  SetC(w, 40);
  cnttunefine = 15;
  rig.step();
  EXPECT_EQ(w->tuneStato, 6);
  EXPECT_EQ(wordC(w->tuneVal), 39);
  rig.step();
  EXPECT_EQ(w->tuneStato, 7);
}

// A tune's event says whether its word was stored.
std::string lastTuneStored() {
  std::string stored = "none";
  for (const Event &e : StationEvents().After(0, 100000))
    if (e.kind == "tune")
      for (const EventField &f : e.fields)
        if (f.key == "stored") stored = f.value;
  return stored;
}

// The best of an earlier tune counts only where it was measured: at another
// frequency, above or below, or on another antenna the best starts cleared.
TEST(AutoTune, AnEarlierBestCountsOnlyAtItsFrequencyAndAntenna) {
  TuneRig rig(modelSwr);
  Works *w = rig.w;
  GoTune(w);
  rig.run();
  ASSERT_LT(miglioretuneParam.swr, 1.5f);
  EXPECT_EQ(lastTuneStored(), "true");
  const TuneParam best = miglioretuneParam;
  Clr_vTuneParam_fast(w);
  EXPECT_FLOAT_EQ(miglioretuneParam.swr, best.swr) << "same place: kept";
  for (int32_t freq : {14250000, 14150000}) {
    miglioretuneParam = best;
    w->frequency = freq;
    Clr_vTuneParam_fast(w);
    EXPECT_GT(miglioretuneParam.swr, 6.0f) << freq;
  }
  w->frequency = 14200000;
  miglioretuneParam = best;
  w->antenna = 1;
  Clr_vTuneParam_fast(w);
  EXPECT_GT(miglioretuneParam.swr, 6.0f) << "another antenna";
}

TEST(AutoTune, SweepAndPresetWaitForTheCarrier) {
  TuneRig rig(modelSwr);
  Works *w = rig.w;
  w->txDetected = 0;
  GoTune(w);
  rig.run(50);
  EXPECT_EQ(w->tuneStato, 2);
  EXPECT_EQ(cnttune, 0);
  EXPECT_EQ(w->autoTuneState, 1);
  // The tune key aborts; nothing stored. With nothing measured the best is
  // still the cleared one, above 6.
  GoTune(w);
  EXPECT_EQ(w->autoTuneState, 0);
  EXPECT_FALSE(rig.f.root.exists("/opt/set/atu_ant1_b1.txt"));
}

TEST(AutoTune, AbortStoresNothing) {
  TuneRig rig(modelSwr);
  Works *w = rig.w;
  GoTune(w);
  rig.run(40);
  ASSERT_EQ(w->autoTuneState, 1);
  ASSERT_LE(miglioretuneParam.swr, 6.0f);
  GoTune(w);
  EXPECT_EQ(w->autoTuneState, 0);
  EXPECT_EQ(ExistError(w, ERR_TUNE_MAX_SWR), 0);
  EXPECT_FALSE(rig.f.root.exists("/opt/set/atu_ant1_b1.txt"));
  EXPECT_EQ(lastTuneStored(), "false");
  EXPECT_EQ(w->tuneFine, 0);
  EXPECT_EQ(w->configRowIdx, -1);
  EXPECT_EQ(w->autoTuneMode & 4, 4);
}

TEST(AutoTune, HighSwrTripMeasuresAsHundred) {
  TuneRig rig(modelSwr);
  Works *w = rig.w;
  GoTune(w);
  rig.run(3);
  ASSERT_EQ(w->tuneStato, 3);
  w->stErr[1] = 2;
  rig.step();
  EXPECT_EQ(tuneParam.swr, 100.0f);
  EXPECT_EQ(w->autoTuneState, 2);
  w->stErr[1] = 0;
  rig.step();  // the link clears the trip
  EXPECT_EQ(rig.sent.back(), LP_CP);
  EXPECT_EQ(w->autoTuneState, 1);
  rig.run();
  EXPECT_EQ(w->autoTuneState, 0);
  EXPECT_LT(miglioretuneParam.swr, 100.0f);
}

TEST(AutoTune, FineSearchStopsItsUpwardRunAt512) {
  TuneRig rig([](uint32_t) { return 1.3; });
  Works *w = rig.w;
  w->tuneFine = 1;
  w->tuneVal = 0;
  SetMode(w, 1);
  SetC(w, 500);
  SetI(w, 100);
  w->tuneC = 500;
  w->tuneL = 100;
  GoTune(w);
  EXPECT_EQ(w->tuneStato, kTuneFine);
  std::vector<int> upC;
  while (w->autoTuneState != 0) {
    int state = w->tuneStato;
    int c = w->tuneC;
    rig.step();
    if (state == 202) upC.push_back(c);
  }
  // Measured in state 202: the start word, then C = 501 .. 512.
  std::vector<int> expect;
  for (int c = 500; c <= 512; ++c) expect.push_back(c);
  EXPECT_EQ(upC, expect);
  EXPECT_EQ(w->tuneVal & kModeMask, kModeBitB);  // the mode is kept
}

TEST(AutoTune, FineSearchImprovesOnTheStoredTune) {
  TuneRig rig(modelSwr);
  Works *w = rig.w;
  // Start a few steps off the best word of the sweep.
  GoTune(w);
  rig.run();
  uint32_t best = w->tuneVal;
  double bestSwr = modelSwr(best);
  w->tuneC = w->tuneC + 6;
  SetC(w, w->tuneC);
  w->tuneL = w->tuneL - 5;
  SetI(w, w->tuneL);
  unlink(rig.f.root.path("/opt/set/atu_ant1_b1.txt").c_str());
  GoTune(w);
  ASSERT_EQ(w->tuneStato, kTuneFine);
  rig.run();
  EXPECT_LE(modelSwr(w->tuneVal), bestSwr + 1e-6);
  // What the fine search ends on is stored again.
  char line[64];
  snprintf(line, sizeof line, "3130 14200000 1 %d %d %d\n", DecodeModoFromTuneval(w->tuneVal),
           wordL(w->tuneVal), wordC(w->tuneVal));
  EXPECT_EQ(rig.f.root.readFile("/opt/set/atu_ant1_b1.txt"), line);
}

TEST(AutoTune, FineSearchWithoutCarrierKeepsTheWord) {
  // No forward power: the controller reports SWR 0 for every word.
  TuneRig rig([](uint32_t) { return 0.0; });
  Works *w = rig.w;
  w->frequency = 7100000;
  w->tuneFine = 1;
  w->tuneVal = 0x00808002;
  w->tuneC = 1;
  w->tuneL = 1;
  GoTune(w);
  rig.run();
  EXPECT_EQ(w->autoTuneState, 0);
  EXPECT_EQ(w->tuneVal, 0x00808002u);
  EXPECT_EQ(ExistError(w, ERR_TUNE_MAX_SWR), 1);
  EXPECT_FALSE(rig.f.root.exists("/opt/set/atu_ant1_b1.txt"));
}

// Preset search: config.txt row with five presets and a step.
const char kPresetRow[] =
    "14000000 14350000 60 3400 10 1700 5 950 0 10 12 20 80 "
    "10 5 20 10 30 15 40 20 50 25 2\n"
    "14350000 0 60 3400 10 1700 5 950 0 10 12 20 80 0 0 0 0 0 0 0 0 0 0 1\n";

TEST(AutoTune, PresetVoteTiesGoToNetworkA) {
  // Both networks give the same SWR per preset; preset 2 (L 30) is the best.
  TuneRig rig([](uint32_t word) { return 1.5 + std::abs(wordL(word) - 30) / 10.0; });
  Works *w = rig.w;
  rig.f.root.writeFile("/opt/set/config.txt", kPresetRow);
  ReadConfigFile(w);
  SetSetupChar(w, SB_AutoTuneTipo, '1');
  GoTune(w);
  EXPECT_EQ(w->tuneStato, kTunePreset);
  while (w->autoTuneState != 0 && w->tuneStato != 457) rig.step();
  ASSERT_EQ(w->tuneStato, 457);
  EXPECT_EQ(w->tuneVal & kModeMask, kModeBitA);
  EXPECT_EQ(w->tuneL, 30);
  EXPECT_EQ(w->tuneC, 15);
  // Samples 0..4 were taken in network B, 5..9 in network A, preset by preset.
  ASSERT_GE(rig.measured.size(), 10u);
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(rig.measured[k] & kModeMask, kModeBitB) << k;
    EXPECT_EQ(wordL(rig.measured[k]), 10 * (k + 1)) << k;
    EXPECT_EQ(rig.measured[5 + k] & kModeMask, kModeBitA) << k;
    EXPECT_EQ(wordC(rig.measured[5 + k]), 5 * (k + 1)) << k;
  }
  rig.run();
  EXPECT_EQ(w->autoTuneState, 0);
}

TEST(AutoTune, PresetVoteForNetworkB) {
  TuneRig rig([](uint32_t word) {
    double base = (word & kModeBitB) ? 1.2 : 2.0;
    return base + std::abs(wordC(word) - 20) / 20.0 + std::abs(wordL(word) - 40) / 40.0;
  });
  Works *w = rig.w;
  rig.f.root.writeFile("/opt/set/config.txt", kPresetRow);
  ReadConfigFile(w);
  SetSetupChar(w, SB_AutoTuneTipo, '1');
  GoTune(w);
  while (w->autoTuneState != 0 && w->tuneStato != 457) rig.step();
  EXPECT_EQ(w->tuneVal & kModeMask, kModeBitB);
  EXPECT_EQ(w->tuneC, 20);
  EXPECT_EQ(w->tuneL, 40);
  rig.run();
  EXPECT_EQ(w->autoTuneState, 0);
  EXPECT_TRUE(rig.f.root.exists("/opt/set/atu_ant1_b1.txt"));
}

TEST(AutoTune, PresetSearchMatchesARealLoad) {
  TuneRig rig(modelSwr);
  Works *w = rig.w;
  rig.f.root.writeFile("/opt/set/config.txt", kPresetRow);
  ReadConfigFile(w);
  SetSetupChar(w, SB_AutoTuneTipo, '1');
  GoTune(w);
  // Every pass of the refinement runs (L down, L up, C down, C up), and each
  // of its steps judges the word the step before set.
  std::set<int> states;
  int steps = 0;
  while (steps < 5000 && w->autoTuneState != 0) {
    const int state = w->tuneStato;
    const size_t before = rig.measured.size();
    rig.step();
    ++steps;
    states.insert(state);
    if (state >= 458 && state <= 460 && w->autoTuneState == 1)
      EXPECT_EQ(rig.measured.size(), before + 1) << "state " << state;
  }
  rig.run();
  for (int state : {457, 458, 459, 460}) EXPECT_EQ(states.count(state), 1u) << state;
  EXPECT_EQ(w->autoTuneState, 0);
  EXPECT_LT(steps, 600);
  EXPECT_FLOAT_EQ(static_cast<float>(modelSwr(w->tuneVal)), miglioretuneParam.swr);
}

// A preset below zero in config.txt is tried as zero.
TEST(AutoTune, PresetsBelowZeroAreTriedAsZero) {
  TuneRig rig([](uint32_t) { return 2.0; });
  Works *w = rig.w;
  rig.f.root.writeFile("/opt/set/config.txt",
                       "14000000 14350000 60 3400 10 1700 5 950 0 10 12 20 80 "
                       "-10 -5 20 10 30 15 40 20 50 25 2\n"
                       "14350000 0 60 3400 10 1700 5 950 0 10 12 20 80 0 0 0 0 0 0 0 0 0 0 1\n");
  ReadConfigFile(w);
  SetSetupChar(w, SB_AutoTuneTipo, '1');
  GoTune(w);
  ASSERT_EQ(w->tuneStato, kTunePreset);
  while (w->autoTuneState != 0 && rig.measured.size() < 6) rig.step();
  ASSERT_GE(rig.measured.size(), 6u);
  EXPECT_EQ(wordL(rig.measured[0]), 0);
  EXPECT_EQ(wordC(rig.measured[5]), 0);
}

TEST(AutoTune, PresetSearchWithoutARowFallsBackToTheMatchSearch) {
  TuneRig rig(modelSwr);
  Works *w = rig.w;
  rig.f.root.writeFile("/opt/set/config.txt", kPresetRow);
  ReadConfigFile(w);
  SetSetupChar(w, SB_AutoTuneTipo, '1');
  w->frequency = 7100000;
  testing::internal::CaptureStderr();
  GoTune(w);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(w->tuneStato, kTuneMatch);
  EXPECT_NE(err.find("no row of config.txt holds 7100000 Hz, match search"), std::string::npos);
  EscAutoTune(w, 0);
}

// The match search from a cold start: loads of every kind, each reached well
// within the cycle limit and stored.
struct MatchCase {
  double freq;
  Impedance z;
};
const MatchCase kMatchLoads[] = {
    {14.2e6, {150, -80}}, {7.1e6, {2000, 3000}}, {10.12e6, {4000, -1000}}, {3.6e6, {20, -400}},
    {1.9e6, {12, -150}},  {28.5e6, {600, 900}},  {50.5e6, {25, 40}},
};

void matchTune(TuneRig &rig, double freq) {
  rig.w->frequency = static_cast<int32_t>(freq);
  SetSetupChar(rig.w, SB_AutoTuneTipo, '2');
  GoTune(rig.w);
  EXPECT_EQ(rig.w->tuneStato, kTuneMatch);
  rig.run(1000);
}

TEST(AutoTune, MatchSearchReachesEveryKindOfLoad) {
  for (const MatchCase &m : kMatchLoads) {
    auto swr = [m](uint32_t word) { return TunerSwr(word, m.freq, m.z); };
    TuneRig rig(swr);
    matchTune(rig, m.freq);
    Works *w = rig.w;
    EXPECT_EQ(w->autoTuneState, 0);
    EXPECT_LT(swr(w->tuneVal), 1.5) << m.freq << " " << m.z;
    EXPECT_LE(rig.measured.size(), 120u) << m.freq << " " << m.z;
    EXPECT_EQ(w->tuneFine, 1);
    EXPECT_TRUE(rig.f.root.exists("/opt/set/atu_ant1_b1.txt"));
    // The word applied is the best one measured.
    EXPECT_NEAR(swr(w->tuneVal), miglioretuneParam.swr, 1e-3);
  }
}

TEST(AutoTune, MatchSearchOnANetworkOffItsNominalSteps) {
  // Relays up to 20 % off, strays at both ends: the search is not told.
  TunerHardware hw = NominalTunerHardware();
  const double off[10] = {1.2, 0.8, 1.15, 0.85, 1.1, 0.9, 1.18, 0.82, 1.05, 0.95};
  for (int i = 0; i < 10; ++i) {
    hw.lHenry[i] *= off[i];
    hw.cFarad[i] *= off[9 - i];
  }
  hw.strayIn = 30e-12;
  hw.strayOut = 10e-12;
  for (const MatchCase &m : {kMatchLoads[0], kMatchLoads[1], kMatchLoads[3], kMatchLoads[5]}) {
    auto swr = [m, hw](uint32_t word) { return TunerSwr(word, m.freq, m.z, hw); };
    TuneRig rig(swr);
    matchTune(rig, m.freq);
    EXPECT_EQ(rig.w->autoTuneState, 0);
    EXPECT_LT(swr(rig.w->tuneVal), 1.5) << m.freq << " " << m.z;
  }
}

TEST(AutoTune, MatchSearchWidensToASecondRingAroundAPoorBest) {
  // One probe word is fair, every word next to it is bad, and the match lies
  // two steps away: only the second ring of neighbours finds it.
  auto swr = [](uint32_t word) {
    const int net = DecodeModoFromTuneval(word), l = DecodeInduttanzaFromTuneval(word),
              c = DecodeCapacitaFromTuneval(word);
    if (net == 1 && l == 0 && c == 0) return 2.0;
    if (net == 1 && l == 2 && c == 2) return 1.2;
    return 5.0;
  };
  TuneRig rig(swr);
  matchTune(rig, 14.2e6);
  EXPECT_EQ(rig.w->autoTuneState, 0);
  EXPECT_DOUBLE_EQ(swr(rig.w->tuneVal), 1.2);
}

TEST(AutoTune, MatchSearchEndsAtTheCycleLimit) {
  // Every word measures a little better than the one before, so the search
  // never runs out of words to try.
  double next = 3.0;
  TuneRig rig([&next](uint32_t) { return next -= 0.001; });
  rig.w->autoTuneMaxCicli = 4;  // 100
  matchTune(rig, 7.1e6);
  EXPECT_EQ(rig.w->autoTuneState, 0);
  EXPECT_EQ(rig.measured.size(), 101u);
  EXPECT_EQ(ExistError(rig.w, ERR_TUNE_TIMEOUT), 1);
  EXPECT_TRUE(rig.sentAll({LP_AT, LP_MP1, LP_AT_MAX}));
  EXPECT_FALSE(rig.f.root.exists("/opt/set/atu_ant1_b1.txt"));
}

TEST(AutoTune, GoTuneRespectsTheSettings) {
  TuneRig rig(modelSwr);
  Works *w = rig.w;
  w->autoTuneMode = 0;  // automatic tuning not allowed
  GoTune(w);
  EXPECT_EQ(w->autoTuneState, 0);
  w->autoTuneMode = 1 | 8;
  GoTune(w);
  EXPECT_EQ(w->autoTuneState, 0);
  w->autoTuneMode = 1;
  w->tuneEnabled = -1;
  GoTune(w);
  EXPECT_EQ(w->autoTuneState, 0);
  // In the NEB mode of work the key asks for the tune carrier.
  w->tuneEnabled = 0;
  w->modeWorkIdx = 1;
  w->autoTuneMode = 1 | 0x40;
  GoTune(w);
  EXPECT_EQ(w->autoTuneState, 1);
  EXPECT_EQ(w->autoTuneMode, 1 | 0x10);
  GoTune(w);
  EXPECT_EQ(w->autoTuneState, 0);
}

}  // namespace
