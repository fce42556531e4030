#include "sim/controller_model.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

// Command shapes: 'd' a decimal digit, 'H' an upper-case hex digit, 'x' a
// lower-case hex digit, '*' any character but ';'; other characters stand
// for themselves.
const char *const kShapes[] = {
    "VSM;",
    "ST;",
    "TU1;",
    "TU0;",
    "TU;",
    "SAd;",
    "FM;",
    "FAddddddddddd;",
    "MT;",
    "MT1HHHHHHHH;",
    "FSddddd;",
    "CPFFFF;",
    "ATdd;",
    "MPd;",
    "ABd;",
    "ANd;",
    "TSdddddddddddddddd;",
    "FN1ddd;",
    "PSdddddddddddddddd;",
    "SF;",
    "SF30000xx;",
    "SE58027;",
    "MRd;",
    "GMdddddddd;",
    "GS;",
    "GS**********;",
    "ER000d;",
};

bool fits(const std::string &cmd, const char *shape) {
  size_t n = strlen(shape);
  if (cmd.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = cmd[i];
    switch (shape[i]) {
      case 'd':
        if (c < '0' || c > '9') return false;
        break;
      case 'H':
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
        break;
      case 'x':
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
        break;
      case '*':
        if (c == ';') return false;
        break;
      default:
        if (c != shape[i]) return false;
    }
  }
  return true;
}

bool wellFormed(const std::string &cmd) {
  for (const char *shape : kShapes)
    if (fits(cmd, shape)) return true;
  return false;
}

int num(const std::string &s, size_t pos, size_t n) {
  return static_cast<int>(strtol(s.substr(pos, n).c_str(), nullptr, 10));
}

std::string hexPage(const std::string &text) {
  std::string out;
  char pair[3];
  for (size_t i = 0; i < 32; ++i) {
    unsigned char c = i < text.size() ? static_cast<unsigned char>(text[i]) : ' ';
    snprintf(pair, sizeof pair, "%02X", c);
    out += pair;
  }
  return out;
}

int clampReading(long v) {
  return v < 0 ? 0 : (v > 9999 ? 9999 : static_cast<int>(v));
}

}  // namespace

std::string ControllerStatusFrame(const ControllerModel &m) {
  const AmpReadings r = AmpRead(m.amp);
  auto pick = [](int forced, int model) { return forced >= 0 ? forced : model; };
  int st1 = r.state1;
  if (m.transmitting >= 0) st1 = (st1 & ~1) | (m.transmitting != 0 ? 1 : 0);
  if (m.highSwr >= 0) st1 = (st1 & ~2) | (m.highSwr != 0 ? 2 : 0);
  if (m.stateBit2 >= 0) st1 = (st1 & ~4) | (m.stateBit2 != 0 ? 4 : 0);
  char buf[64];
  snprintf(buf, sizeof buf, "ST%X%X%04d%04d%04d%04d%04d%04d%X%X00%04d;", r.state0 & 15, st1 & 15,
           clampReading(pick(m.rawPw, r.rawIn)), clampReading(pick(m.rawFwd, r.rawFwd)),
           clampReading(pick(m.rawRefl, r.rawRefl)), clampReading(pick(m.current, r.rawCurrent)),
           clampReading(pick(m.temp1, r.rawT1)), clampReading(pick(m.temp2, r.rawT2)), r.fault & 15,
           (r.fault >> 4) & 15, clampReading(pick(m.peak, pick(m.rawFwd, r.rawFwd))));
  return buf;
}

std::string ControllerAnswer(ControllerModel *m, const std::string &cmd) {
  if (cmd.size() < 3 || !wellFormed(cmd)) {
    std::string letters = cmd.size() >= 2 ? cmd.substr(0, 2) : std::string("??");
    return letters + "?;";
  }
  std::string l = cmd.substr(0, 2);
  char buf[128];
  if (l == "ST") return ControllerStatusFrame(*m);
  if (l == "VS") return "VSM" + m->version.substr(0, 7) + ";";
  if (l == "FM") {
    snprintf(buf, sizeof buf, "FM0%011lld;", m->measuredHz < 0 ? 0LL : m->measuredHz);
    return buf;
  }
  if (l == "ER") {
    char page = cmd[5];
    std::string data;
    if (page == '0') {
      data = hexPage(m->page0);
    } else if (page == '1') {
      data = hexPage(m->page1);
    } else if (page == '2') {
      snprintf(buf, sizeof buf, "%02X%02X", m->model & 255, m->powerClass & 255);
      data = buf + std::string(56, '0');
    } else {
      return "ER?;";
    }
    return cmd.substr(0, 6) + data + ";";
  }
  if (l == "GS") {
    if (cmd == "GS;") return "GS" + m->genSettings + ";";
    m->genSettings = cmd.substr(2, 10);
    return cmd;
  }
  if (l == "TU") {
    if (cmd == "TU;") {
      snprintf(buf, sizeof buf, "TU%d;", m->tuState);
      return buf;
    }
    m->tuState = cmd[2] - '0';
    return cmd;
  }
  if (cmd == "MT;") {
    snprintf(buf, sizeof buf, "MT1%08X;", static_cast<unsigned>(m->amp.relayWord));
    return buf;
  }
  // Pads, bypass, protection mode, fan, thresholds, fault clear, relay word
  // and reset act on the amplifier itself.
  AmpCommand(&m->amp, cmd.c_str());
  if (l == "SA") m->antenna = cmd[2] - '0';
  if (l == "AN") m->anSel = cmd[2] - '0';
  if (l == "FA") m->frequencyHz = strtoll(cmd.substr(2, 11).c_str(), nullptr, 10);
  if (l == "FS") {
    m->freqSensIn = cmd[2] - '0';
    m->freqPeriod = num(cmd, 3, 4);
  }
  if (l == "PS")
    for (int i = 0; i < 4; ++i) m->protections[i] = num(cmd, 2 + 4 * static_cast<size_t>(i), 4);
  if (l == "GM") {
    m->genericMode[0] = num(cmd, 2, 4);
    m->genericMode[1] = num(cmd, 6, 4);
  }
  if (l == "SF" && cmd.size() > 3)
    m->filterRelay = static_cast<int>(strtol(cmd.substr(7, 2).c_str(), nullptr, 16));
  if (l == "CP") m->startupAcked = true;
  if (cmd == "MR1;") m->resets += 1;
  // Everything else is acknowledged by its echo.
  return cmd;
}

const char *ControllerValueNames() {
  return "pwin fwd refl current temp1 temp2 peak (readings 0..9999, or auto for the "
         "amplifier's own), fault (injected fault bits, 0x.. or decimal), tx swr bit2 (state "
         "bits forced, 0/1, or auto), bypass (0/1), fm (Hz), powerclass model (0/1 or a "
         "character), version (text)";
}

bool ControllerSetValue(ControllerModel *m, const std::string &name, const std::string &value) {
  if (value.empty()) return false;
  if (name == "version") {
    m->version = (value + "       ").substr(0, 7);
    return true;
  }
  int *forced = name == "pwin"      ? &m->rawPw
                : name == "fwd"     ? &m->rawFwd
                : name == "refl"    ? &m->rawRefl
                : name == "current" ? &m->current
                : name == "temp1"   ? &m->temp1
                : name == "temp2"   ? &m->temp2
                : name == "peak"    ? &m->peak
                : name == "tx"      ? &m->transmitting
                : name == "swr"     ? &m->highSwr
                : name == "bit2"    ? &m->stateBit2
                                    : nullptr;
  if (forced != nullptr && value == "auto") {
    *forced = -1;
    return true;
  }
  char *end = nullptr;
  long long v = strtoll(value.c_str(), &end, 0);
  bool number = end != value.c_str() && *end == 0;
  if ((name == "powerclass" || name == "model") && !number) {
    if (value.size() != 1) return false;
    (name == "model" ? m->model : m->powerClass) = static_cast<unsigned char>(value[0]);
    m->amp.powerClass = m->powerClass == '1' ? 120 : 60;
    return true;
  }
  if (!number) return false;
  if (name == "tx" || name == "swr" || name == "bit2") {
    *forced = v != 0 ? 1 : 0;
    return true;
  }
  if (forced != nullptr) {
    *forced = clampReading(static_cast<long>(v < 0 ? 0 : (v > 9999 ? 9999 : v)));
    return true;
  }
  if (name == "fault")
    m->amp.faultInjected = static_cast<uint8_t>(v & 255);
  else if (name == "bypass")
    m->amp.bypass = v != 0;
  else if (name == "fm")
    m->measuredHz = v < 0 ? 0 : v;
  // A digit sets the ASCII character the controller reports ('0' or '1').
  else if (name == "powerclass")
    m->powerClass = v >= 0 && v <= 9 ? '0' + static_cast<int>(v) : static_cast<int>(v & 255);
  else if (name == "model")
    m->model = v >= 0 && v <= 9 ? '0' + static_cast<int>(v) : static_cast<int>(v & 255);
  else
    return false;
  m->amp.powerClass = m->powerClass == '1' ? 120 : 60;
  return true;
}

void ControllerAdvance(ControllerModel *m, double seconds) {
  AmpAdvance(&m->amp, seconds);
}

const char *ControllerAmpNames() {
  return "drive (W at the input), swr (of the load), ambient board sink (degrees C), "
         "timescale (> 1 heats and cools faster), fan (percent), fault (injected fault bits)";
}

bool ControllerSetAmp(ControllerModel *m, const std::string &name, const std::string &value) {
  char *end = nullptr;
  double v = strtod(value.c_str(), &end);
  if (value.empty() || end == value.c_str() || *end != 0 || !std::isfinite(v)) return false;
  AmpModel &a = m->amp;
  auto within = [v](double lo, double hi) { return v >= lo && v <= hi; };
  if (name == "drive" && within(0, 1000))
    a.driveW = v;
  else if (name == "swr" && within(1, 1000)) {
    // A load given by its SWR takes the tuner model out ("tuner on" puts it back).
    a.loadSwr = v;
    ControllerUseTuner(m, false);
  }
  else if (name == "ambient" && within(-40, 125))
    a.ambientC = v;
  else if (name == "board" && within(-40, 125))
    a.boardC = v;
  else if (name == "sink" && within(-40, 125))
    a.sinkC = v;
  else if (name == "timescale" && v > 0 && v <= 1e6)
    a.timeScale = v;
  else if (name == "fan" && within(0, 100))
    a.fanPercent = static_cast<int>(v);
  else if (name == "fault" && within(0, 255) && v == std::floor(v))
    a.faultInjected = static_cast<uint8_t>(v);
  else
    return false;
  return true;
}

namespace {

double tunerLoadSwr(uint32_t relayWord, void *ctx) {
  const ControllerModel &m = *static_cast<const ControllerModel *>(ctx);
  return TunerSwr(relayWord, ControllerFrequency(m), ControllerLoad(m));
}

}  // namespace

void ControllerUseTuner(ControllerModel *m, bool on) {
  m->amp.loadHook = on ? tunerLoadSwr : nullptr;
  m->amp.loadCtx = on ? m : nullptr;
}

double ControllerFrequency(const ControllerModel &m) {
  return static_cast<double>(m.measuredHz > 0 ? m.measuredHz : m.frequencyHz);
}

Impedance ControllerLoad(const ControllerModel &m) {
  int port = m.antenna >= 1 && m.antenna <= 3 ? m.antenna - 1 : 0;
  const ControllerModel::PortLoad &p = m.ports[port];
  return p.antenna != nullptr ? AntennaImpedance(*p.antenna, ControllerFrequency(m)) : p.z;
}

bool ControllerSetLoad(ControllerModel *m, const std::vector<std::string> &w) {
  if (w.size() == 2 && w[0] == "tuner" && (w[1] == "on" || w[1] == "off")) {
    ControllerUseTuner(m, w[1] == "on");
    return true;
  }
  if (w.size() < 3 || w[0] != "antenna" || w[1].size() != 1 || w[1][0] < '1' || w[1][0] > '3')
    return false;
  ControllerModel::PortLoad &p = m->ports[w[1][0] - '1'];
  if (w.size() == 3) {
    const AntennaModel *a = SimAntennaByName(w[2].c_str());
    if (a == nullptr) return false;
    p.antenna = a;
    return true;
  }
  if (w.size() != 4) return false;
  char *end1 = nullptr, *end2 = nullptr;
  double r = strtod(w[2].c_str(), &end1);
  double x = strtod(w[3].c_str(), &end2);
  if (*end1 != 0 || *end2 != 0 || !std::isfinite(r) || !std::isfinite(x) || r < 0 || r > 1e6 ||
      std::fabs(x) > 1e6)
    return false;
  p.antenna = nullptr;
  p.z = Impedance(r, x);
  return true;
}

std::string ControllerAmpState(const ControllerModel &m) {
  const AmpModel &a = m.amp;
  const AmpReadings r = AmpRead(a);
  const Impedance z = ControllerLoad(m);
  char buf[512];
  snprintf(buf, sizeof buf,
           "class=%d drive=%.2f fwd=%.2f refl=%.2f swr=%.2f current=%.2f diss=%.1f board=%.2f "
           "sink=%.2f ambient=%.1f fan=%d pads=%d bypass=%d mp=%d trip=%d fault=0x%02X "
           "ts=%d,%d,%d,%d relay=%08X timescale=%g resets=%d tuner=%d ant=%d load=%.1f%+.1fj",
           a.powerClass, a.driveW, r.fwdW, r.reflW, r.swr, r.currentA, r.dissW, a.boardC, a.sinkC,
           a.ambientC, a.fanPercent, a.pads, a.bypass ? 1 : 0, a.protection ? 1 : 0,
           a.swrTrip ? 1 : 0, r.fault, a.ts[0], a.ts[1], a.ts[2], a.ts[3],
           static_cast<unsigned>(a.relayWord), a.timeScale, a.resets, a.loadHook != nullptr ? 1 : 0,
           m.antenna, z.real(), z.imag());
  return buf;
}

}  // namespace sim
