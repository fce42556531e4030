// The spectrum of the USB receiver's I/Q samples: Blackman-Harris window,
// radix-2 FFT, dB levels and the bins that go to the remote peer.
#include <cmath>
#include <cstdlib>

#include "core/peer_outbound.h"
#include "core/setup.h"
#include "links/links.h"
#include "platform/log.h"

namespace {

FftWork gFft;

}  // namespace

bool FftAllocate(FftWork *w) {
  struct {
    void **p;
    size_t bytes;
    const char *msg;
  } const bufs[] = {
      {reinterpret_cast<void **>(&w->fftr), kFftMaxPoints * sizeof(double),
       "error allocating fftr buffer"},
      {reinterpret_cast<void **>(&w->ffti), kFftMaxPoints * sizeof(double),
       "error allocating ffti buffer"},
      {reinterpret_cast<void **>(&w->fftout), kFftMaxPoints, "error allocating fftout buffer"},
      {reinterpret_cast<void **>(&w->fftoutdec), kFftMaxPoints,
       "error allocating fftoutdec buffer"},
      {reinterpret_cast<void **>(&w->co), kFftMaxPoints / 2 * sizeof(double),
       "error allocating co buffer"},
      {reinterpret_cast<void **>(&w->si), kFftMaxPoints / 2 * sizeof(double),
       "error allocating si buffer"},
      {reinterpret_cast<void **>(&w->coeff), kFftMaxPoints * sizeof(double),
       "error allocating coeff buffer"},
  };
  for (const auto &b : bufs) {
    if (*b.p != nullptr) continue;
    *b.p = calloc(1, b.bytes);
    if (*b.p == nullptr) {
      LogErr("%s", b.msg);
      return false;
    }
  }
  return true;
}

void FftFree(FftWork *w) {
  free(w->fftr);
  free(w->ffti);
  free(w->co);
  free(w->si);
  free(w->coeff);
  free(w->fftout);
  free(w->fftoutdec);
  *w = FftWork();
}

void FftTables(FftWork *w, int m) {
  if (w->tablesFor == m) return;
  // 4-term Blackman-Harris window.
  w->coeff[0] = 0;
  for (int i = 1; i < m; ++i) {
    double x = M_PI * i / (m - 1);
    w->coeff[i] = 0.35875 - 0.48829 * cos(2 * x) + 0.14128 * cos(4 * x) - 0.01168 * cos(6 * x);
  }
  // Twiddles by rotation: co[k] = cos(2 pi k / m), si[k] = -sin(2 pi k / m).
  const double c = cos(M_PI / (m / 2)), s = -sin(M_PI / (m / 2));
  w->co[0] = 1;
  w->si[0] = 0;
  for (int k = 1; k < m / 2; ++k) {
    w->co[k] = w->co[k - 1] * c - w->si[k - 1] * s;
    w->si[k] = w->co[k - 1] * s + w->si[k - 1] * c;
  }
  w->tablesFor = m;
}

void FftWindow(FftWork *w, const float *samples, int m) {
  for (int i = 0; i < m; ++i) {
    w->fftr[i] = samples[2 * i] * w->coeff[i];
    w->ffti[i] = samples[2 * i + 1] * w->coeff[i];
  }
}

void FftTransform(FftWork *w, int m) {
  double *xr = w->fftr, *xi = w->ffti;
  int bits = 0;
  while ((1 << bits) < m) ++bits;
  int span = m / 2, groups = 1;
  for (int stage = 0; stage < bits; ++stage) {
    for (int g = 0; g < groups; ++g) {
      int base = g * 2 * span;
      int t = 0;
      for (int j = 0; j < span; ++j, t += groups) {
        int p = base + j, q = p + span;
        double ar = xr[p], ai = xi[p], br = xr[q], bi = xi[q];
        xr[p] = ar + br;
        xi[p] = ai + bi;
        double dr = ar - br, di = ai - bi;
        xr[q] = dr * w->co[t] - di * w->si[t];
        xi[q] = dr * w->si[t] + di * w->co[t];
      }
    }
    span /= 2;
    groups *= 2;
  }
  for (int i = 0; i < m; ++i) {
    int r = 0;
    for (int b = 0; b < bits; ++b) r |= ((i >> b) & 1) << (bits - 1 - b);
    if (i < r) {
      double tr = xr[i], ti = xi[i];
      xr[i] = xr[r];
      xi[i] = xi[r];
      xr[r] = tr;
      xi[r] = ti;
    }
  }
}

void FftLevels(FftWork *w, int m) {
  const int half = m / 2;
  for (int i = 0; i < m; ++i) {
    double re = w->fftr[i] / half, im = w->ffti[i] / half;
    double mag = sqrt(re * re + im * im);
    // log10(0) is -inf and NaN compares false: both end at the bottom.
    double db = mag > 0 ? 20 * log10(mag) : -192;
    if (!(db >= -192)) db = -192;
    if (db > 50) db = 50;
    int level = static_cast<int>(db);
    int pos = i < half ? i + half : i - half;
    w->fftout[pos] = static_cast<uint8_t>(level + 192);
  }
}

int FftSpectrum(FftWork *w, const float *samples, int count, bool enable1600) {
  int m = enable1600 ? count / 2 : count / 4;
  if (m < 2 || m > kFftMaxPoints || (m & (m - 1)) != 0) return -1;
  const int first = enable1600 ? 341 : 170;
  const int n = enable1600 ? 1706 : 854;
  if (first + 2 * (n - 1) >= m) return -1;
  FftTables(w, m);
  FftWindow(w, samples, m);
  FftTransform(w, m);
  FftLevels(w, m);
  for (int k = 0; k < n; ++k) w->fftoutdec[k] = w->fftout[first + 2 * k];
  return n;
}

void fftCalc(const float *samples, int count, Works *works) {
  if (!FftAllocate(&gFft)) {
    SetSetupChar(works, SB_EnableFFT, '0');
    return;
  }
  int n = FftSpectrum(&gFft, samples, count, SetupChar(works, SB_Enable1600) == '1');
  if (n > 0 && works->remoteConnected.load()) PeerSendSpectrum(works, gFft.fftoutdec, n);
}
