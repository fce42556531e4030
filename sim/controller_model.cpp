#include "sim/controller_model.h"

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
  int st0 = (m.pad3dB ? 8 : 0) | (m.pad2dB ? 4 : 0);
  int st1 =
      (m.transmitting ? 1 : 0) | (m.highSwr ? 2 : 0) | (m.stateBit2 ? 4 : 0) | (m.bypass ? 8 : 0);
  char buf[64];
  snprintf(buf, sizeof buf, "ST%X%X%04d%04d%04d%04d%04d%04d%X%X00%04d;", st0, st1,
           clampReading(m.rawPw), clampReading(m.rawFwd), clampReading(m.rawRefl),
           clampReading(m.current), clampReading(m.temp1), clampReading(m.temp2), m.fault & 15,
           (m.fault >> 4) & 15, clampReading(m.peak));
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
  if (l == "MT") {
    if (cmd == "MT;") {
      snprintf(buf, sizeof buf, "MT1%08X;", static_cast<unsigned>(m->tuneVal));
      return buf;
    }
    m->tuneVal = static_cast<uint32_t>(strtoul(cmd.substr(3, 8).c_str(), nullptr, 16));
    return cmd;
  }
  if (l == "SA") m->antenna = cmd[2] - '0';
  if (l == "AN") m->anSel = cmd[2] - '0';
  if (l == "AT") {
    m->pad3dB = cmd[2] == '1';
    m->pad2dB = cmd[3] == '1';
  }
  if (l == "AB") m->bypass = cmd[2] == '1';
  if (l == "MP") m->protection = cmd[2] == '1';
  if (l == "FN") m->fanPercent = num(cmd, 3, 3);
  if (l == "FA") m->frequencyHz = strtoll(cmd.substr(2, 11).c_str(), nullptr, 10);
  if (l == "FS") {
    m->freqSensIn = cmd[2] - '0';
    m->freqPeriod = num(cmd, 3, 4);
  }
  if (l == "TS" || l == "PS") {
    int *v = l == "TS" ? m->thresholds : m->protections;
    for (int i = 0; i < 4; ++i) v[i] = num(cmd, 2 + 4 * static_cast<size_t>(i), 4);
  }
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
  return "pwin fwd refl current temp1 temp2 peak (readings 0..9999), fault (byte, 0x.. or "
         "decimal), "
         "tx swr bit2 bypass (0/1), fm (Hz), powerclass model (0/1 or a character), version (text)";
}

bool ControllerSetValue(ControllerModel *m, const std::string &name, const std::string &value) {
  if (value.empty()) return false;
  if (name == "version") {
    m->version = (value + "       ").substr(0, 7);
    return true;
  }
  char *end = nullptr;
  long long v = strtoll(value.c_str(), &end, 0);
  bool number = end != value.c_str() && *end == 0;
  if ((name == "powerclass" || name == "model") && !number) {
    if (value.size() != 1) return false;
    (name == "model" ? m->model : m->powerClass) = static_cast<unsigned char>(value[0]);
    return true;
  }
  if (!number) return false;
  int reading = clampReading(static_cast<long>(v < 0 ? 0 : (v > 9999 ? 9999 : v)));
  if (name == "pwin")
    m->rawPw = reading;
  else if (name == "fwd")
    m->rawFwd = reading;
  else if (name == "refl")
    m->rawRefl = reading;
  else if (name == "current")
    m->current = reading;
  else if (name == "temp1")
    m->temp1 = reading;
  else if (name == "temp2")
    m->temp2 = reading;
  else if (name == "peak")
    m->peak = reading;
  else if (name == "fault")
    m->fault = static_cast<int>(v & 255);
  else if (name == "tx")
    m->transmitting = v != 0;
  else if (name == "swr")
    m->highSwr = v != 0;
  else if (name == "bit2")
    m->stateBit2 = v != 0;
  else if (name == "bypass")
    m->bypass = v != 0;
  else if (name == "fm")
    m->measuredHz = v < 0 ? 0 : v;
  // A digit sets the ASCII character the controller reports ('0' or '1').
  else if (name == "powerclass")
    m->powerClass = v >= 0 && v <= 9 ? '0' + static_cast<int>(v) : static_cast<int>(v & 255);
  else if (name == "model")
    m->model = v >= 0 && v <= 9 ? '0' + static_cast<int>(v) : static_cast<int>(v & 255);
  else
    return false;
  return true;
}

}  // namespace sim
