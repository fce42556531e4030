// config.txt: per frequency range the calibration of the power detectors,
// the protection thresholds the controller enforces, and the presets of the
// preset tune search.
#include <cmath>
#include <cstdio>
#include <mutex>

#include "config/config.h"
#include "core/command_queue.h"
#include "platform/log.h"

namespace {

const char kConfigPath[] = "/opt/set/config.txt";
// Far more ranges than a band plan needs; a bigger file is not a table.
constexpr int kMaxConfigRows = 4096;

bool isComment(const char *line) {
  return line[0] == ';';
}

// power = k x reading^2, from one calibration pair. A pair that gives no
// finite coefficient (a zero reading) gives 0, which switches the threshold off.
float coefficient(float p, float r, bool *ok) {
  float k = p / (r * r);
  if (std::isfinite(k)) return k;
  *ok = false;
  return 0.0f;
}

void parseConfigRow(int lineNo, const char *line, ConfigRow &r) {
  const char *p = line;
  bool ok = ScanCUnsigned(&p, &r.fmin);
  ok = ScanCUnsigned(&p, &r.fmax) && ok;
  float cal[6];
  for (float &x : cal) ok = ScanFloat(&p, &x) && ok;
  ok = ScanFloat(&p, &r.kReflFwd) && ok;
  ok = ScanFloat(&p, &r.PWIN) && ok;
  ok = ScanFloat(&p, &r.Corrente) && ok;
  ok = ScanFloat(&p, &r.REFL) && ok;
  ok = ScanFloat(&p, &r.FWD) && ok;
  int64_t v;
  for (int k = 0; k < 5; ++k) {
    ok = ScanDecimal(&p, &v) && ok;
    r.L[k] = static_cast<int32_t>(v);
    ok = ScanDecimal(&p, &v) && ok;
    r.C[k] = static_cast<int32_t>(v);
  }
  ok = ScanDecimal(&p, &v) && ok;
  r.step = static_cast<int32_t>(v);
  bool kOk = true;
  r.kFwd = coefficient(cal[0], cal[1], &kOk);
  r.kRefl = coefficient(cal[2], cal[3], &kOk);
  r.kPwin = coefficient(cal[4], cal[5], &kOk);
  // An empty line is a row of zeros by definition; anything else short is worth a line.
  if (line[0] != 0 && !AtLineEnd(line)) {
    if (!ok) TableFault(lineNo, "config.txt line %d: missing or bad numbers read as 0", lineNo);
    // A zero reading switches the threshold off by design: logged, not a fault.
    if (!kOk) LogErr("config.txt line %d: calibration reading 0, coefficient 0", lineNo);
  }
  LogStderr(
      "->%u,%u,%02.07f,%02.07f,%02.07f,%02.07f (%02.02f,%02.02f) Soglie: PWIN %02.01f, Corrente: "
      "%02.01f, REFL: %02.01f, FWD: %02.01f\n",
      r.fmin, r.fmax, r.kFwd, r.kRefl, r.kPwin, r.kReflFwd, cal[4], cal[5], r.PWIN, r.Corrente,
      r.REFL, r.FWD);
  LogStderr("\ttunepar: %d %d, %d %d, %d %d, %d %d, %d %d, step:%d\n", r.L[0], r.C[0], r.L[1],
            r.C[1], r.L[2], r.C[2], r.L[3], r.C[3], r.L[4], r.C[4], r.step);
}

// Detector count for a threshold: truncated, 0..4095; what cannot be
// computed (no calibration) switches the threshold off.
int32_t toCount(double v) {
  if (std::isnan(v) || v >= 4095.0) return 4095;
  if (v <= 0.0) return 0;
  return static_cast<int32_t>(v);
}

}  // namespace

bool CheckConfigFileText(const std::string &text, int *line, std::string *error) {
  TableCheck check(text);
  int n = 0;
  ReadTableLines(kConfigPath, 255, [&](const char *row, int lineNo) {
    if (isComment(row)) return true;
    if (++n > kMaxConfigRows) {
      TableFault(lineNo, "config.txt: more than %d rows, the rest ignored", kMaxConfigRows);
      return false;
    }
    ConfigRow r = {};
    parseConfigRow(lineNo, row, r);
    return true;
  });
  return check.result(line, error);
}

void FreeConfigTable(Works *works) {
  std::lock_guard<std::recursive_mutex> lock(works->tablesMutex);
  delete[] works->tabConfig;
  works->tabConfig = nullptr;
  works->numConfigRows = 0;
}

int ReadConfigFile(Works *works) {
  FreeConfigTable(works);
  int count = 0;
  int rc = ReadTableLines(kConfigPath, 255, [&](const char *line, int) {
    if (!isComment(line)) ++count;
    return true;
  });
  if (rc < 0) {
    LogStderr("Config File not FOUND!!");
    LogErr("can't open /opt/set/config.txt");
    return 0;
  }
  LogStderr("N row Config File %d \n", count);
  if (count > kMaxConfigRows) {
    LogErr("config.txt: %d rows, only the first %d read", count, kMaxConfigRows);
    count = kMaxConfigRows;
  }
  if (count == 0) return 0;
  ConfigRow *rows = new ConfigRow[count]();
  int n = 0;
  ReadTableLines(kConfigPath, 255, [&](const char *line, int lineNo) {
    if (isComment(line)) return true;
    if (n == count) return false;
    parseConfigRow(lineNo, line, rows[n++]);
    return true;
  });
  std::lock_guard<std::recursive_mutex> lock(works->tablesMutex);
  works->tabConfig = rows;
  works->numConfigRows = n;
  return n;
}

void SearchCambioSoglie_TS(Works *works) {
  std::lock_guard<std::recursive_mutex> lock(works->tablesMutex);
  uint32_t f = static_cast<uint32_t>(works->frequency.load());
  if (works->numConfigRows <= 0 || works->tabConfig == nullptr || f == 0) {
    if (works->configRowIdx >= 0) return;
    works->tsPar[0] = 4095;
    works->tsPar[1] = 4095;
    works->tsPar[2] = 1500;
    works->tsPar[3] = 3700;
    works->configRowIdx = 0;
    IncPNTIn_CMDLinear(LP_TS, works);
    return;
  }
  LogStderr("Soglia TS (freq %ld):\n", static_cast<long>(f));
  int i = SearchConfigRow(works, f);
  if (i < 0 || i == works->configRowIdx) return;
  const ConfigRow &r = works->tabConfig[i];
  works->tsPar[0] = toCount(std::sqrt(static_cast<double>(r.PWIN) / r.kPwin));
  works->tsPar[3] = toCount(static_cast<double>(r.Corrente) * 4096.0 / 14.05);
  works->tsPar[1] = toCount(std::sqrt(static_cast<double>(r.FWD) / r.kFwd));
  works->tsPar[2] = toCount(std::sqrt(static_cast<double>(r.REFL) / r.kRefl));
  works->configRowIdx = i;
  IncPNTIn_CMDLinear(LP_TS, works);
}

float SearchK(Works *works, int type) {
  std::lock_guard<std::recursive_mutex> lock(works->tablesMutex);
  int n = works->numConfigRows;
  if (n <= 0 || works->tabConfig == nullptr) {
    switch (type) {
      case 0: return 5.156579e-6f;
      case 1: return 3.3262754e-6f;
      case 2: return 5.5078103e-6f;
      case 3: return -0.007f;
      default: return 1.0f;
    }
  }
  uint32_t f = static_cast<uint32_t>(works->frequency.load());
  float k = 1.0f;
  for (int i = 0; i + 1 < n; ++i) {
    const ConfigRow &r = works->tabConfig[i];
    if (f < r.fmin || f >= works->tabConfig[i + 1].fmin) continue;
    switch (type) {
      case 0: k = r.kFwd; break;
      case 1: k = r.kRefl; break;
      case 2: k = r.kPwin; break;
      case 3: k = r.kReflFwd; break;
      default: k = 1.0f; break;
    }
  }
  return k;
}
