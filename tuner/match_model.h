#pragma once
// The L network as the match search sees it: a model of what the transmitter
// sees through a relay word, fitted to |reflection| measurements.
//
// The model holds the load (as its admittance, with whatever stray sits
// across the antenna side) and the hardware's deviations from the nominal
// steps: a scale of the L steps, a scale of the C steps and a stray
// capacitance across the transmitter side. Everything in ohm and siemens is
// normalised to the 50 ohm line.
#include <cstdint>

// Nominal step values of the network; the fit finds how far the real relays are off.
constexpr double kMatchLStepHenry = 0.05e-6;
constexpr double kMatchCStepFarad = 5e-12;
constexpr int kMatchMaxStep = 511;

// One measured word. network 1: B (C across the antenna), 2: A (C across
// the transmitter).
struct MatchSample {
  int network;
  int l;
  int c;
  double rho;            // |reflection| measured
  bool atLeast = false;  // the reading was at the end of its range: rho or more
};

struct MatchFit {
  double g = 1.0, b = 0.0;  // load admittance
  double kL = 1.0, kC = 1.0;
  double cIn = 0.0;    // farad
  double cost = 1e30;  // weighted squared error of the last fit
};

struct MatchWord {
  int network;
  int l;
  int c;
  double rho;  // the model's
};

// |reflection| the model expects for a word at freqHz.
double MatchModelRho(const MatchFit &fit, double freqHz, int network, int l, int c);
// Fits the model to n samples, starting from `fit` (its hardware terms and
// load) and from a coarse grid of loads; returns the better of the two.
MatchFit MatchFitSamples(const MatchSample *samples, int n, double freqHz, const MatchFit &start);
// The word of either network with the lowest |reflection| in the model.
MatchWord MatchBestWord(const MatchFit &fit, double freqHz);
// SWR to |reflection|, and back.
double MatchRhoOfSwr(double swr);
