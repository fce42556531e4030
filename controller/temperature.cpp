// Temperatures, fan rules and the over-temperature protection. Everything
// here runs on the controller link thread (inside the status decode), except
// the fan table load at start-up and log samples taken by the display loop.
// The temperature log is written by the file writer, never by the link.
#include "controller/temperature.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/command_queue.h"
#include "core/file_writer.h"
#include "core/table_file.h"
#include "errors/errors.h"
#include "platform/log.h"
#include "platform/platform.h"

const float K_T_R[kThermistorPairs * 2] = {
    -40, 347.808f, -35, 248.591f, -30, 179.973f, -25, 131.832f, -20, 97.679f, -15, 73.119f,
    -10, 55.301f,  -5,  42.257f,  0,   32.582f,  5,   25.324f,  10,  19.847f, 15,  15.679f,
    20,  12.478f,  25,  10.0f,    30,  8.068f,   35,  6.552f,   40,  5.353f,  45,  4.399f,
    50,  3.635f,   55,  3.02f,    60,  2.521f,   65,  2.115f,   70,  1.783f,  75,  1.51f,
    80,  1.284f,   85,  1.096f,   90,  0.939f,   95,  0.808f,   100, 0.698f,  105, 0.605f,
    110, 0.527f,   115, 0.46f,    120, 0.403f,   125, 0.354f,
};

namespace {

const char kVentolaPath[] = "/opt/set/ventola.txt";
const char kLogPath[] = "/opt/set/LOGtemp.txt";
constexpr float kTempMin = -10.0f;
constexpr float kTempMax = 80.0f;
constexpr int kVentolaLineMax = 255;
// A fan curve has a handful of rows; the bound only keeps a runaway file
// from eating the board's memory.
constexpr int kVentolaRowsMax = 1000;

// Fan tables live for the whole process: the link thread reads them without
// a lock, so a table once published is never freed.
std::mutex gVentolaMutex;
std::vector<std::unique_ptr<VentolaRow[]>> gVentolaTables;

// Reads one line of at most kVentolaLineMax characters into buf; the rest of
// a longer line is skipped. Trailing LF and then CR are removed. False at EOF.
bool readLine(FILE *f, char *buf, size_t size) {
  if (fgets(buf, static_cast<int>(size), f) == nullptr) return false;
  size_t n = strlen(buf);
  if (n > 0 && buf[n - 1] == '\n') {
    buf[--n] = 0;
  } else if (n + 1 == size) {
    int c;
    while ((c = fgetc(f)) != EOF && c != '\n') {
    }
  }
  if (n > 0 && buf[n - 1] == '\r') buf[--n] = 0;
  return true;
}

bool blankLine(const char *s) {
  for (; *s != 0; ++s)
    if (*s != ' ' && *s != '\t' && *s != '\r' && *s != '\v' && *s != '\f') return false;
  return true;
}

// "temperature percent": a decimal temperature, white space, a decimal
// percent whose fraction is dropped. Anything after it is ignored.
bool parseVentolaRow(const char *line, int lineNo, VentolaRow *row) {
  char *end = nullptr;
  errno = 0;
  float t = strtof(line, &end);
  if (end == line || errno == ERANGE || !std::isfinite(t)) return false;
  if (*end != ' ' && *end != '\t') return false;
  const char *p = end;
  errno = 0;
  long pct = strtol(p, &end, 10);
  if (end == p || errno == ERANGE) return false;
  row->temperature = t;
  if (pct < 0 || pct > 100)
    TableFault(lineNo, "ventola.txt line %d: fan %ld %% taken as %ld %%", lineNo, pct,
               std::clamp(pct, 0L, 100L));
  row->percent = static_cast<int32_t>(std::clamp(pct, 0L, 100L));
  return true;
}

float maxOf(float a, float b) {
  return a > b ? a : b;
}

uint32_t alarmBit(int code) {
  return code >= 0 && code < 32 ? (1u << static_cast<unsigned>(code)) : 0u;
}

}  // namespace

float CalcolaTemp(int reading) {
  // A reading at full scale would divide by zero: it stands for an open
  // sensor, i.e. the coldest end of the table.
  if (reading >= 4095) return kTempMin;
  if (reading < 0) reading = 0;
  float r = static_cast<float>(reading) * 10.0f / static_cast<float>(4095 - reading);
  float t = kTempMax;  // at or below the last resistance: hotter than the table
  for (int i = 0; i < kThermistorPairs; ++i) {
    float ri = K_T_R[i * 2 + 1];
    if (ri >= r) continue;
    if (i == 0) {
      t = K_T_R[0];
    } else {
      float t0 = K_T_R[(i - 1) * 2], r0 = K_T_R[(i - 1) * 2 + 1];
      float t1 = K_T_R[i * 2];
      t = (t1 - t0) / (ri - r0) * (r - r0) + t0;
    }
    break;
  }
  return std::clamp(t, kTempMin, kTempMax);
}

std::vector<VentolaRow> ParseVentolaFile(FILE *f) {
  std::vector<VentolaRow> rows;
  char line[kVentolaLineMax + 1];
  int lineNo = 0;
  while (readLine(f, line, sizeof line)) {
    ++lineNo;
    if (line[0] == ';') continue;
    // Blank and unreadable lines are not rows: a stray (0 C, 0 %) row would
    // turn the fan off at any temperature above the table.
    if (blankLine(line)) continue;
    VentolaRow row;
    if (!parseVentolaRow(line, lineNo, &row)) {
      TableFault(lineNo, "ventola.txt line %d ignored: %.40s", lineNo, line);
      continue;
    }
    if (static_cast<int>(rows.size()) >= kVentolaRowsMax) {
      TableFault(lineNo, "ventola.txt: more than %d rows, the rest ignored", kVentolaRowsMax);
      break;
    }
    rows.push_back(row);
  }

  // The rules scan for the row whose range holds the temperature, which only
  // works on an ascending table.
  auto byTemp = [](const VentolaRow &a, const VentolaRow &b) {
    return a.temperature < b.temperature;
  };
  if (!std::is_sorted(rows.begin(), rows.end(), byTemp)) {
    std::stable_sort(rows.begin(), rows.end(), byTemp);
    TableFault(0, "ventola.txt rows not in ascending temperature: sorted");
  }
  return rows;
}

bool CheckFanCurveText(const std::string &text, int *line, std::string *error) {
  TableCheck check(text);
  std::string copy = text + "\n";  // fmemopen wants a buffer of at least a byte
  FILE *f = fmemopen(copy.data(), copy.size(), "r");
  if (f == nullptr) return true;
  ParseVentolaFile(f);
  fclose(f);
  return check.result(line, error);
}

int ReadVentolaFile(Works *works) {
  FILE *f = fopen(MapPath(kVentolaPath).c_str(), "r");
  if (f == nullptr) {
    LogStderr("Ventola File not FOUND!!\n");
    LogErr("can't open %s", kVentolaPath);
    return 0;
  }
  std::vector<VentolaRow> rows = ParseVentolaFile(f);
  fclose(f);

  int n = static_cast<int>(rows.size());
  LogStderr("N row Ventola File %d \n", n);
  LogStderr("Setup3 \n");
  if (n == 0) return 0;
  std::unique_ptr<VentolaRow[]> table(new VentolaRow[n]);
  for (int i = 0; i < n; ++i) {
    table[i] = rows[i];
    LogStderr("->t:%.02f: %d \n", table[i].temperature, table[i].percent);
  }
  std::lock_guard<std::mutex> lock(gVentolaMutex);
  works->numVentola = 0;
  works->tabVentola = table.get();
  works->numVentola = n;
  gVentolaTables.push_back(std::move(table));
  return n;
}

float SearchTemperatureFromVentola(Works *works, int percent) {
  int n = works->numVentola;
  const VentolaRow *tab = works->tabVentola;
  if (tab == nullptr) return 0.0f;
  for (int i = 0; i < n; ++i)
    if (tab[i].percent == percent) return tab[i].temperature;
  return 0.0f;
}

void searchPercentVentola(Works *works) {
  float t = maxOf(works->temp1, works->temp2);
  if (works->startupDone == 0 || works->fanAck == 1) return;

  int n = works->numVentola;
  const VentolaRow *tab = works->tabVentola;
  if (n > 0 && tab != nullptr) {
    int pct = tab[0].percent;
    bool found = false;
    for (int i = 0; i + 1 < n; ++i) {
      if (tab[i].temperature <= t && t < tab[i + 1].temperature) {
        pct = tab[i].percent;
        found = true;
        break;
      }
    }
    if (!found && t >= tab[n - 1].temperature) pct = tab[n - 1].percent;
    works->fanPercent = pct;

    int req = works->fanPercentReq;
    if (pct != req) {
      bool send = pct > req || t < SearchTemperatureFromVentola(works, req) -
                                       static_cast<float>(works->isteresi2);
      if (send) {
        // fanAck stays clear when the queue refuses the command, so the
        // rule tries again at the next status frame instead of freezing.
        works->fanAck = 1;
        if (IncPNTIn_CMDLinear(LP_FN, works) < 0) {
          works->fanAck = 0;
        } else {
          works->fanPercentReq = pct;
          if (pct == 0) works->fanPercentCpuSent = 0;
          LogStderr("--->1 VENTOLA: %d (%02.02f°C)\n", pct, t);
        }
      }
    }
  }

  if (works->fanPercentReq != 0) return;
  float c = maxOf(works->cpuTemp, works->gpuTemp);
  float limit = static_cast<float>(works->fanCpuTemp);
  int cpu = c >= limit ? works->fanCpuPercent.load() : 0;
  works->fanPercentCpu = cpu;
  int sent = works->fanPercentCpuSent;
  if (cpu == sent) return;
  if (cpu > sent || c < limit - static_cast<float>(works->isteresi2)) {
    if (IncPNTIn_CMDLinear(LP_FN_CPU, works) < 0) return;
    works->fanPercentCpuSent = cpu;
    LogStderr("--->2 VENTOLA CPU: %d (%02.02f°C)\n", cpu, c);
  }
}

void GestTemperatureFunction(Works *works, int alarmCode, int latchedCode, int warnCode,
                             float temperature, float setPoint) {
  const float h = static_cast<float>(works->isteresi1);
  const uint32_t bit = alarmBit(alarmCode);

  if (temperature > setPoint) {
    if (ExistError(works, alarmCode)) return;
    // Before the controller's first acknowledgement the list is muted, so
    // the alarm cannot be listed; without this the protection commands would
    // be queued again on every status frame until the queue overflowed.
    bool muted = (works->cpPending & 1) != 0;
    if (muted && (works->protMutedAlarms & bit) != 0) return;
    DeleteErrore(works, warnCode);
    DeleteErrore(works, latchedCode);
    AddErrore(works, alarmCode);
    AttivaDisattivaProtezione(works, 1);
    if (works->enableLogTemp == 1) {
      LogTempFunction(works, 1);
      works->logRemoved = 0;
    }
    if ((works->cpPending & 1) == 0) IncPNTIn_CMDLinear(LP_AB0, works);
    if (muted)
      works->protMutedAlarms.fetch_or(bit);
    else
      works->protMutedAlarms.fetch_and(~bit);
    LogStderr("!!!!  TEMP ALLARM: %02.02f (%i)\n", temperature, alarmCode);
    return;
  }

  if (temperature < setPoint - h) {
    if (ExistError(works, alarmCode)) {
      DeleteErrore(works, alarmCode);
      IncPNTIn_CMDLinear(LP_AB1, works);
      AddErrore(works, latchedCode);
      LogStderr("!!!! END TEMPERATURE ERROR (%i)\n", alarmCode);
    } else if ((works->protMutedAlarms.fetch_and(~bit) & bit) != 0) {
      // Cooled before the alarm could ever be listed: nothing for the user
      // to acknowledge, so lift the protection here.
      AttivaDisattivaProtezione(works, 0);
    }
    if (ExistError(works, warnCode)) {
      DeleteErrore(works, warnCode);
      LogStderr("!!!! WARNING: Warning Temperatura Rientrato!! (%i)\n", warnCode);
    }
    return;
  }

  if (!ExistError(works, alarmCode) && !ExistError(works, warnCode)) {
    AddErrore(works, warnCode);
    LogStderr("!!!! WARNING: Quasi in Temperatura!! (%i)\n", warnCode);
  }
}

float CalvTensVadcAmp(Works *works, int raw) {
  float f = works->powerClass == '1' ? 348.0f : 118.0f;
  return static_cast<float>(raw & 255) * 3.3f * f / 255.0f / 18.0f;
}

void LogTempFunction(Works *works, int mode) {
  if (mode == -1) {
    QueueRemoveSetFile(kLogPath,
                       [](int, int err) { LogErr("can't remove %s error %d", kLogPath, err); });
    return;
  }
  char line[256];
  char date[80];
  works->dateTimeText.get(date, sizeof date);
  int tx = (works->stErr[1] & 1) != 0 ? 1 : 0;
  float volts = CalvTensVadcAmp(works, works->panelVampAdc);
  float amps = works->iAdc / 4096.0f * 14.05f;
  snprintf(line, sizeof line, "%s , %d,%04.01f,%04.01f,%02.01fW,%03.02f,%04.01fV,%04.01fA%s", date,
           tx, works->temp1.load(), works->temp2.load(), works->pwFwd.load(), works->swr.load(),
           volts, amps, mode == 1 ? " -> protezione attiva\n" : "\n");
  QueueAppendSetFile(kLogPath, line, ";TX,Temp1,Temp2,FDD,SWR\n");
}
