// The match search's model of the L network and its fit to measurements
// (see match_model.h).
#include "tuner/match_model.h"

#include <algorithm>
#include <cmath>
#include <complex>

namespace {

using Cplx = std::complex<double>;

constexpr double kZ0 = 50.0;
constexpr int kMaxSamples = 160;
// The fit uses at most this many samples, those nearest a match: they say
// the most, and the fit's cost stays within a status cycle.
constexpr int kFitSamples = 32;
// Parameters of the fit: ln g, b, kL, kC, input stray in pF.
constexpr int kParams = 5;
// How strongly the hardware terms are held at their nominal values: an
// error of 20 % in a step, or 30 pF of stray, weighs about as much as a
// 10 % error in one measured |reflection| near a match.
constexpr double kPriorWeight = 0.5;
constexpr double kStepSpread = 0.2;
constexpr double kStraySpreadPf = 30.0;

struct Hardware {
  double kL, kC, cIn;
};

double rhoOf(Cplx y, const Hardware &hw, double omega, int network, int l, int c) {
  double xl = omega * hw.kL * l * kMatchLStepHenry / kZ0;
  double bc = omega * hw.kC * c * kMatchCStepFarad * kZ0;
  double bs = omega * hw.cIn * kZ0;
  Cplx yin;
  if (network == 1) {
    Cplx z = 1.0 / (y + Cplx(0, bc)) + Cplx(0, xl);
    yin = 1.0 / z + Cplx(0, bs);
  } else {
    Cplx z = 1.0 / y + Cplx(0, xl);
    yin = 1.0 / z + Cplx(0, bc + bs);
  }
  double rho = std::abs((1.0 - yin) / (1.0 + yin));
  return std::isfinite(rho) ? std::min(rho, 1.0) : 1.0;
}

// Measurements near a match say the most about where it is.
double weightOf(double rho) {
  return 1.0 / (0.05 + rho);
}

struct Problem {
  const MatchSample *s;
  int n;
  double omega;
};

Cplx loadOf(const double *p) {
  return Cplx(std::exp(p[0]), p[1]);
}
Hardware hardwareOf(const double *p) {
  return Hardware{p[2], p[3], p[4] * 1e-12};
}

// Weighted residuals of the samples, then the three hardware priors.
int residuals(const Problem &pb, const double *p, double *r) {
  Cplx y = loadOf(p);
  Hardware hw = hardwareOf(p);
  int m = 0;
  for (int i = 0; i < pb.n; ++i) {
    const MatchSample &s = pb.s[i];
    double d = rhoOf(y, hw, pb.omega, s.network, s.l, s.c) - s.rho;
    if (s.atLeast && d > 0) d = 0;
    r[m++] = weightOf(s.rho) * d;
  }
  r[m++] = kPriorWeight * (p[2] - 1.0) / kStepSpread;
  r[m++] = kPriorWeight * (p[3] - 1.0) / kStepSpread;
  r[m++] = kPriorWeight * p[4] / kStraySpreadPf;
  return m;
}

double costOf(const Problem &pb, const double *p) {
  double r[kMaxSamples + 3];
  int m = residuals(pb, p, r);
  double sum = 0;
  for (int i = 0; i < m; ++i) sum += r[i] * r[i];
  return sum;
}

void clampParams(double *p) {
  p[0] = std::clamp(p[0], -9.0, 7.0);  // g from 1e-4 to 1000 times 1/50 ohm
  p[1] = std::clamp(p[1], -1000.0, 1000.0);
  p[2] = std::clamp(p[2], 0.5, 2.0);
  p[3] = std::clamp(p[3], 0.5, 2.0);
  p[4] = std::clamp(p[4], 0.0, 150.0);
}

// Solves a x = v for a small symmetric system; false when it is singular.
bool solve(double a[kParams][kParams], double *v, int n) {
  for (int col = 0; col < n; ++col) {
    int piv = col;
    for (int row = col + 1; row < n; ++row)
      if (std::abs(a[row][col]) > std::abs(a[piv][col])) piv = row;
    if (std::abs(a[piv][col]) < 1e-300) return false;
    for (int k = 0; k < n; ++k) std::swap(a[col][k], a[piv][k]);
    std::swap(v[col], v[piv]);
    for (int row = col + 1; row < n; ++row) {
      double f = a[row][col] / a[col][col];
      for (int k = col; k < n; ++k) a[row][k] -= f * a[col][k];
      v[row] -= f * v[col];
    }
  }
  for (int col = n - 1; col >= 0; --col) {
    for (int k = col + 1; k < n; ++k) v[col] -= a[col][k] * v[k];
    v[col] /= a[col][col];
  }
  return true;
}

// Levenberg-Marquardt over the first `nFree` parameters; returns the cost.
double levenberg(const Problem &pb, double *p, int nFree) {
  double r[kMaxSamples + 3], rh[kMaxSamples + 3];
  double jac[kParams][kMaxSamples + 3];
  int m = residuals(pb, p, r);
  double cost = 0;
  for (int i = 0; i < m; ++i) cost += r[i] * r[i];
  double lambda = 1e-3;
  for (int iter = 0; iter < 40; ++iter) {
    for (int k = 0; k < nFree; ++k) {
      double q[kParams];
      std::copy(p, p + kParams, q);
      double h = 1e-6 * std::max(1.0, std::abs(p[k]));
      q[k] += h;
      residuals(pb, q, rh);
      for (int i = 0; i < m; ++i) jac[k][i] = (rh[i] - r[i]) / h;
    }
    double a[kParams][kParams] = {}, g[kParams] = {};
    for (int j = 0; j < nFree; ++j) {
      for (int k = 0; k < nFree; ++k)
        for (int i = 0; i < m; ++i) a[j][k] += jac[j][i] * jac[k][i];
      for (int i = 0; i < m; ++i) g[j] += jac[j][i] * r[i];
    }
    bool accepted = false;
    while (!accepted && lambda < 1e10) {
      double aa[kParams][kParams], d[kParams];
      for (int j = 0; j < nFree; ++j) {
        for (int k = 0; k < nFree; ++k) aa[j][k] = a[j][k];
        aa[j][j] += lambda * (a[j][j] + 1e-12);
        d[j] = -g[j];
      }
      if (!solve(aa, d, nFree)) {
        lambda *= 10;
        continue;
      }
      double q[kParams];
      std::copy(p, p + kParams, q);
      for (int j = 0; j < nFree; ++j) q[j] += d[j];
      clampParams(q);
      double c = costOf(pb, q);
      if (c < cost) {
        bool small = cost - c < 1e-12 * (1 + cost);
        std::copy(q, q + kParams, p);
        cost = c;
        m = residuals(pb, p, r);
        lambda = std::max(lambda / 5, 1e-9);
        accepted = true;
        if (small) return cost;
      } else {
        lambda *= 5;
      }
    }
    if (!accepted) break;
  }
  return cost;
}

void paramsOf(const MatchFit &f, double *p) {
  p[0] = std::log(std::max(f.g, 1e-4));
  p[1] = f.b;
  p[2] = f.kL;
  p[3] = f.kC;
  p[4] = f.cIn * 1e12;
  clampParams(p);
}

MatchFit fitOf(const double *p, double cost) {
  MatchFit f;
  f.g = std::exp(p[0]);
  f.b = p[1];
  f.kL = p[2];
  f.kC = p[3];
  f.cIn = p[4] * 1e-12;
  f.cost = cost;
  return f;
}

// Step counts on a roughly logarithmic grid.
constexpr int kCoarse[] = {0,  1,  2,  3,  4,   6,   8,   11,  16, 23,
                           32, 45, 64, 90, 128, 181, 256, 362, 511};

}  // namespace

double MatchRhoOfSwr(double swr) {
  if (!(swr >= 1.0)) return 0.0;
  return (swr - 1.0) / (swr + 1.0);
}

double MatchModelRho(const MatchFit &fit, double freqHz, int network, int l, int c) {
  return rhoOf(Cplx(fit.g, fit.b), Hardware{fit.kL, fit.kC, fit.cIn}, 2 * M_PI * freqHz, network, l,
               c);
}

MatchFit MatchFitSamples(const MatchSample *samples, int n, double freqHz, const MatchFit &start) {
  MatchSample chosen[kFitSamples];
  if (n > kFitSamples) {
    n = std::min(n, kMaxSamples);
    MatchSample all[kMaxSamples];
    std::copy(samples, samples + n, all);
    std::partial_sort(all, all + kFitSamples, all + n,
                      [](const MatchSample &a, const MatchSample &b) { return a.rho < b.rho; });
    std::copy(all, all + kFitSamples, chosen);
    samples = chosen;
    n = kFitSamples;
  }
  Problem pb{samples, n, 2 * M_PI * freqHz};
  double p0[kParams];
  paramsOf(start, p0);
  // Starting loads: the last fit, and the best few of a grid of reflections.
  constexpr int kStarts = 3;
  double starts[kStarts + 1][kParams];
  double startCost[kStarts + 1];
  for (int k = 0; k < kStarts; ++k) startCost[k] = 1e300;
  for (double mag : {0.05, 0.2, 0.4, 0.6, 0.75, 0.85, 0.92, 0.96, 0.98, 0.99, 0.995}) {
    for (int ph = 0; ph < 36; ++ph) {
      Cplx gamma = std::polar(mag, 2 * M_PI * (ph + 0.5) / 36);
      Cplx y = (1.0 - gamma) / (1.0 + gamma);
      double p[kParams];
      std::copy(p0, p0 + kParams, p);
      p[0] = std::log(std::max(y.real(), 1e-4));
      p[1] = y.imag();
      clampParams(p);
      double c = costOf(pb, p);
      for (int k = 0; k < kStarts; ++k) {
        if (c < startCost[k]) {
          for (int j = kStarts - 1; j > k; --j) {
            startCost[j] = startCost[j - 1];
            std::copy(starts[j - 1], starts[j - 1] + kParams, starts[j]);
          }
          startCost[k] = c;
          std::copy(p, p + kParams, starts[k]);
          break;
        }
      }
    }
  }
  std::copy(p0, p0 + kParams, starts[kStarts]);
  double best[kParams];
  std::copy(p0, p0 + kParams, best);
  double bestCost = 1e300;
  for (auto &s : starts) {
    double p[kParams];
    std::copy(s, s + kParams, p);
    double c = levenberg(pb, p, 2);  // the load alone first
    if (n >= 4) c = levenberg(pb, p, kParams);
    if (c < bestCost) {
      bestCost = c;
      std::copy(p, p + kParams, best);
    }
  }
  return fitOf(best, bestCost);
}

MatchWord MatchBestWord(const MatchFit &fit, double freqHz) {
  const double omega = 2 * M_PI * freqHz;
  auto rho = [&](int net, int l, int c) { return MatchModelRho(fit, freqHz, net, l, c); };
  MatchWord starts[8];
  int nStarts = 0;
  // The best of a coarse grid in each network.
  for (int net = 1; net <= 2; ++net) {
    MatchWord b{net, 0, 0, 2.0};
    for (int l : kCoarse)
      for (int c : kCoarse) {
        double r = rho(net, l, c);
        if (r < b.rho) b = {net, l, c, r};
      }
    starts[nStarts++] = b;
  }
  // The exact matches of each network, where the model has them.
  const double lUnit = omega * fit.kL * kMatchLStepHenry / kZ0;  // reactance of one L step
  const double cUnit = omega * fit.kC * kMatchCStepFarad * kZ0;  // susceptance of one C step
  const double bs = omega * fit.cIn * kZ0;
  auto addExact = [&](int net, double xl, double bc) {
    if (!(xl > -0.5 * lUnit && bc > -0.5 * cUnit)) return;
    int l = static_cast<int>(std::lround(std::clamp(xl / lUnit, 0.0, double(kMatchMaxStep))));
    int c = static_cast<int>(std::lround(std::clamp(bc / cUnit, 0.0, double(kMatchMaxStep))));
    starts[nStarts++] = {net, l, c, rho(net, l, c)};
  };
  const double g = fit.g, b = fit.b;
  {
    // B: C across the load brings its resistance to what the stray across
    // the input needs; L then takes out the reactance left.
    double rt = 1.0 / (1.0 + bs * bs), xt = bs / (1.0 + bs * bs);
    double d = g / rt - g * g;
    if (d >= 0)
      for (double bp : {std::sqrt(d), -std::sqrt(d)}) addExact(1, xt + bp * rt / g, bp - b);
  }
  {
    // A: L brings the load's conductance to 1/50 ohm; C takes out the rest.
    Cplx z = 1.0 / Cplx(g, b);
    double r = z.real(), x = z.imag();
    double d = r - r * r;
    if (d >= 0)
      for (double x1 : {std::sqrt(d), -std::sqrt(d)}) addExact(2, x1 - x, x1 / r - bs);
  }
  // Descent in the model from each start with shrinking steps.
  MatchWord best{1, 0, 0, 2.0};
  for (int i = 0; i < nStarts; ++i) {
    MatchWord cur = starts[i];
    for (int step = 16; step >= 1; step /= 2) {
      for (int guard = 0; guard < 200; ++guard) {
        MatchWord next = cur;
        for (int dl = -1; dl <= 1; ++dl)
          for (int dc = -1; dc <= 1; ++dc) {
            int l = cur.l + dl * step, c = cur.c + dc * step;
            if ((dl == 0 && dc == 0) || l < 0 || c < 0 || l > kMatchMaxStep || c > kMatchMaxStep)
              continue;
            double r = rho(cur.network, l, c);
            if (r < next.rho) next = {cur.network, l, c, r};
          }
        if (next.l == cur.l && next.c == cur.c) break;
        cur = next;
      }
    }
    if (cur.rho < best.rho) best = cur;
  }
  return best;
}
