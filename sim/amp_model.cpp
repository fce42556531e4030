#include "sim/amp_model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {

// ---- The amplifier's physics, in one place.
constexpr double kGain = 10.0;               // small-signal power gain (10 dB)
constexpr double kHeadroom = 1.1;            // saturated output over the class
constexpr double kProtectionShare = 0.25;    // "MP1": output limit as share of the class
constexpr double kEfficiency = 0.55;         // RF out / DC in of the stage
constexpr double kBiasW = 10.0;              // stage bias while transmitting
constexpr double kRfSenseW = 0.5;            // drive that keys the amplifier
constexpr double kSinkRthNatural = 1.0;      // K/W heat sink to air, fan still
constexpr double kFanGain = 3.0;             // full fan makes Rth four times smaller
constexpr double kSinkTau = 180.0;           // s
constexpr double kBoardTau = 60.0;           // s
constexpr double kBoardCoupling = 0.4;       // share of the sink's rise felt on the board
constexpr double kBoardSelfHeat = 3.0;       // K of the board's own electronics
constexpr double kCurrentFullScale = 14.05;  // A at reading 4096

// Thermistor of both sensors (degrees C, kOhm), the part's datasheet curve.
constexpr double kCurve[][2] = {
    {-40, 347.808}, {-35, 248.591}, {-30, 179.973}, {-25, 131.832}, {-20, 97.679}, {-15, 73.119},
    {-10, 55.301},  {-5, 42.257},   {0, 32.582},    {5, 25.324},    {10, 19.847},  {15, 15.679},
    {20, 12.478},   {25, 10.0},     {30, 8.068},    {35, 6.552},    {40, 5.353},   {45, 4.399},
    {50, 3.635},    {55, 3.02},     {60, 2.521},    {65, 2.115},    {70, 1.783},   {75, 1.51},
    {80, 1.284},    {85, 1.096},    {90, 0.939},    {95, 0.808},    {100, 0.698},  {105, 0.605},
    {110, 0.527},   {115, 0.46},    {120, 0.403},   {125, 0.354},
};
constexpr int kCurvePoints = sizeof kCurve / sizeof kCurve[0];

// A 12-bit detector count: 0 .. 4095.
int counts(double value) {
  if (!(value > 0)) return 0;
  if (value >= 4095.0) return 4095;
  return static_cast<int>(std::lround(value));
}

double supplyV(const AmpModel &m) {
  return m.powerClass == 120 ? 27.6 : 13.8;
}

double loadSwr(const AmpModel &m) {
  double s = m.loadHook != nullptr ? m.loadHook(m.relayWord, m.loadCtx) : m.loadSwr;
  return std::isfinite(s) && s >= 1.0 ? s : 1.0;
}

bool digits(const char *p, int n) {
  for (int i = 0; i < n; ++i)
    if (p[i] < '0' || p[i] > '9') return false;
  return true;
}

int number(const char *p, int n) {
  int v = 0;
  for (int i = 0; i < n; ++i) v = v * 10 + (p[i] - '0');
  return v;
}

char hex(int v) {
  return "0123456789ABCDEF"[v & 15];
}

}  // namespace

void AmpInit(AmpModel *m, int powerClass) {
  *m = AmpModel{};
  m->powerClass = powerClass == 120 ? 120 : 60;
}

int AmpTempToReading(double c) {
  c = std::clamp(c, kCurve[0][0], kCurve[kCurvePoints - 1][0]);
  double r = kCurve[kCurvePoints - 1][1];
  for (int i = 0; i + 1 < kCurvePoints; ++i) {
    if (c > kCurve[i + 1][0]) continue;
    double f = (c - kCurve[i][0]) / (kCurve[i + 1][0] - kCurve[i][0]);
    r = kCurve[i][1] + f * (kCurve[i + 1][1] - kCurve[i][1]);
    break;
  }
  return counts(4095.0 * r / (r + 10.0));
}

AmpReadings AmpRead(const AmpModel &m) {
  AmpReadings o;
  o.inW = std::max(0.0, m.driveW);
  o.swr = loadSwr(m);
  o.transmitting = o.inW >= kRfSenseW;
  const double rho = (o.swr - 1.0) / (o.swr + 1.0);
  const bool operate = !m.bypass;
  o.muted = operate && (m.swrTrip || (m.faultLatched & 0x3F) != 0);

  double dcW = 0;
  if (!operate) {
    o.fwdW = o.inW;  // straight through the bypass relays
  } else if (!o.muted && o.transmitting) {
    const double padDb = ((m.pads & 2) != 0 ? 3.0 : 0.0) + ((m.pads & 1) != 0 ? 2.0 : 0.0);
    const double stageIn = o.inW * std::pow(10.0, -padDb / 10.0);
    double limit = m.powerClass * kHeadroom;
    if (m.protection) limit *= kProtectionShare;
    o.fwdW = limit * (1.0 - std::exp(-kGain * stageIn / limit));
    dcW = o.fwdW / kEfficiency + kBiasW;
  }
  o.reflW = o.fwdW * rho * rho;
  if (operate) o.dissW = std::max(0.0, dcW - o.fwdW) + o.reflW;
  o.currentA = dcW / supplyV(m);

  o.rawIn = counts(std::sqrt(o.inW / kAmpK2));
  o.rawFwd = counts(std::sqrt(o.fwdW / kAmpK0));
  o.rawRefl = counts(std::sqrt(std::max(0.0, o.reflW - kAmpK3 * o.fwdW) / kAmpK1));
  o.rawCurrent = counts(o.currentA / kCurrentFullScale * 4096.0);
  o.rawT1 = AmpTempToReading(m.boardC);
  o.rawT2 = AmpTempToReading(m.sinkC);

  o.state0 = static_cast<uint8_t>(((m.pads & 2) != 0 ? 8 : 0) | ((m.pads & 1) != 0 ? 4 : 0));
  o.state1 = static_cast<uint8_t>((o.transmitting ? 1 : 0) | (m.swrTrip ? 2 : 0) |
                                  (m.protection || o.muted ? 4 : 0) | (m.bypass ? 8 : 0));
  o.fault = static_cast<uint8_t>(m.faultInjected | m.faultLatched | (m.resetFlag ? 0x80 : 0));
  return o;
}

void AmpAdvance(AmpModel *m, double seconds) {
  AmpReadings r = AmpRead(*m);
  const double dt = std::max(0.0, seconds) * std::max(0.0, m->timeScale);
  if (dt > 0) {
    const double rth =
        kSinkRthNatural / (1.0 + kFanGain * std::clamp(m->fanPercent, 0, 100) / 100.0);
    const double sinkEq = m->ambientC + r.dissW * rth;
    m->sinkC += (sinkEq - m->sinkC) * (1.0 - std::exp(-dt / kSinkTau));
    const double boardEq = m->ambientC + kBoardCoupling * (m->sinkC - m->ambientC) + kBoardSelfHeat;
    m->boardC += (boardEq - m->boardC) * (1.0 - std::exp(-dt / kBoardTau));
  }

  // The controller's own protection: a threshold of 0 is not set.
  if (m->bypass || !r.transmitting || r.muted) return;
  auto over = [](int reading, int limit) { return limit > 0 && reading > limit; };
  if (over(r.rawRefl, m->ts[2])) m->swrTrip = true;
  if (over(r.rawIn, m->ts[0])) m->faultLatched |= 0x20;
  if (over(r.rawFwd, m->ts[1])) m->faultLatched |= 0x04;
  if (over(r.rawCurrent, m->ts[3])) m->faultLatched |= 0x01;
}

void AmpControllerReset(AmpModel *m) {
  AmpModel fresh;
  m->pads = fresh.pads;
  m->bypass = fresh.bypass;
  m->protection = fresh.protection;
  m->fanPercent = fresh.fanPercent;
  std::copy(fresh.ts, fresh.ts + 4, m->ts);
  m->relayWord = fresh.relayWord;
  m->swrTrip = false;
  m->faultLatched = 0;
  m->resetFlag = true;
  ++m->resets;
}

bool AmpCommand(AmpModel *m, const char *t) {
  const size_t n = strnlen(t, 64);
  if (n < 3 || t[n - 1] != ';') return false;
  auto is = [&](const char *cmd) { return strncmp(t, cmd, 2) == 0; };
  if (is("AT") && n == 5 && (t[2] == '0' || t[2] == '1') && (t[3] == '0' || t[3] == '1')) {
    m->pads = (t[2] == '1' ? 2 : 0) | (t[3] == '1' ? 1 : 0);
    return true;
  }
  if (is("AB") && n == 4 && (t[2] == '0' || t[2] == '1')) {
    m->bypass = t[2] == '1';
    return true;
  }
  if (is("MP") && n == 4 && (t[2] == '0' || t[2] == '1')) {
    m->protection = t[2] == '1';
    return true;
  }
  if (is("FN") && n == 7 && t[2] == '1' && digits(t + 3, 3)) {
    m->fanPercent = std::min(100, number(t + 3, 3));
    return true;
  }
  if (is("TS") && n == 19 && digits(t + 2, 16)) {
    for (int i = 0; i < 4; ++i) m->ts[i] = number(t + 2 + 4 * i, 4);
    return true;
  }
  if (strcmp(t, "CPFFFF;") == 0) {
    m->swrTrip = false;
    m->faultLatched = 0;
    m->resetFlag = false;
    return true;
  }
  if (is("MT") && n == 12 && t[2] == '1') {
    unsigned v = 0;
    for (int i = 3; i < 11; ++i) {
      char c = t[i];
      int d = c >= '0' && c <= '9'   ? c - '0'
              : c >= 'A' && c <= 'F' ? c - 'A' + 10
              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                     : -1;
      if (d < 0) return false;
      v = v * 16 + static_cast<unsigned>(d);
    }
    m->relayWord = v;
    return true;
  }
  if (strcmp(t, "MR1;") == 0) {
    AmpControllerReset(m);
    return true;
  }
  return false;
}

int AmpStatusFrame(const AmpModel &m, char *out, size_t size) {
  AmpReadings r = AmpRead(m);
  char text[64];
  int n = snprintf(text, sizeof text, "ST%c%c%04d%04d%04d%04d%04d%04d%c%c00%04d;", hex(r.state0),
                   hex(r.state1), r.rawIn, r.rawFwd, r.rawRefl, r.rawCurrent, r.rawT1, r.rawT2,
                   hex(r.fault & 15), hex(r.fault >> 4), r.rawFwd);
  if (n < 0 || static_cast<size_t>(n) >= size) return 0;
  memcpy(out, text, static_cast<size_t>(n) + 1);
  return n;
}

}  // namespace sim
