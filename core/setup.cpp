#include "core/setup.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "core/file_writer.h"
#include "core/process_globals.h"
#include "core/start_values.h"
#include "platform/log.h"

namespace {

const char kSetupPath[] = "/opt/set/setup.txt";
const char kDefaultPassword[] = "lamparillosa";

enum Kind { CHAR, TEXT, NUM, PORT16, DIVIDE };

// Working copies a line feeds and writeSetup refreshes the record from.
enum Work {
  W_NONE,
  W_ANTENNA,
  W_PWRPEAK,
  W_TEMPMODE,
  W_FREQSENS,
  W_ATT,
  W_ATTTUNE,
  W_VIEWTIME,
  W_VIEWTEMP,
  W_MAXCICLI,
  W_UNITS,
  W_SAVESCREEN,
  W_AUTOTUNEMODE,
  W_ISTERESI1,
  W_ISTERESI2,
  W_DEBUG,
  W_LOGTEMP,
  W_AUDIOCOMPRESS,
  W_MULTIPLIER,
  W_SERVER,
  W_FREQPERIOD,
  W_SWRESC,
  W_MAXTEMP,
  W_MAXTEMP2,
  W_MAXTEMPALLOWED,
  W_PS1,
  W_PS2,
  W_PS3,
  W_PS4,
  W_OFFSETPLOT,
  W_TUNEENABLED,
  W_NUMBANCO,
  W_GM1,
  W_GM2,
  W_PEAKMEDIA,
  W_PEAKVALDEC,
  W_PEAKTIMEDEC,
  W_PEAKTIME,
  W_MAXBANK,
  W_LONGPRESS,
  W_AUDIOBUFFERS,
  W_CPUTEMP,
  W_CPUPERC,
  W_ENABLEFFT,
  W_ENABLE1600,
};

struct Key {
  const char *name;
  Kind kind;
  int offset;  // record byte; -1 when not in the record
  int width;   // bytes of a text or number field, NUL included
  Work work;
};

// The file's whole vocabulary, in the order the file is written.
const Key kKeys[] = {
    {"EnableKeyb", CHAR, 0, 1, W_NONE},
    {"EnableSpi", CHAR, 1, 1, W_NONE},
    {"EnableTouch", CHAR, 2, 1, W_NONE},
    {"DelayedTouch", CHAR, 3, 1, W_NONE},
    {"EnableGPIO", CHAR, 10, 1, W_NONE},
    {"EnableRead", CHAR, 4, 1, W_NONE},
    {"EnableWrite", CHAR, 5, 1, W_NONE},
    {"EnableCAT", CHAR, 6, 1, W_NONE},
    {"EnableLinear", CHAR, 8, 1, W_NONE},
    {"EnableTime", CHAR, 9, 1, W_NONE},
    {"WebSocket", CHAR, 11, 1, W_NONE},
    {"Pitch", TEXT, 12, 10, W_NONE},
    {"Quality", TEXT, 22, 4, W_NONE},
    {"AudioIn", TEXT, 26, 20, W_NONE},
    {"InChannels", TEXT, 52, 2, W_NONE},
    {"AudioCompress", NUM, 54, 10, W_AUDIOCOMPRESS},
    {"Multiplier", NUM, 64, 3, W_MULTIPLIER},
    {"AudioOut", TEXT, 67, 20, W_NONE},
    {"Server", TEXT, 87, 16, W_SERVER},
    {"TcpPort", PORT16, -1, 0, W_NONE},
    {"CatPort", TEXT, 103, 13, W_NONE},
    {"SerPort", TEXT, 116, 13, W_NONE},
    {"LinPort", TEXT, 129, 13, W_NONE},
    {"NumAntenna", CHAR, 142, 1, W_ANTENNA},
    {"EnablePwrPeak", CHAR, 143, 1, W_PWRPEAK},
    {"TempMode", CHAR, 144, 1, W_TEMPMODE},
    {"FreqSensIn", CHAR, 145, 1, W_FREQSENS},
    {"FreqPeriodTime", NUM, 146, 5, W_FREQPERIOD},
    {"Attenuator", CHAR, 151, 1, W_ATT},
    {"AttenuatorTune", CHAR, 152, 1, W_ATTTUNE},
    {"SWRescAutoTune", NUM, 153, 6, W_SWRESC},
    {"ViewTimeStr", CHAR, 159, 1, W_VIEWTIME},
    {"ViewTemp", CHAR, 160, 1, W_VIEWTEMP},
    {"MaxTemperature", NUM, 161, 6, W_MAXTEMP},
    {"MaxTemperature2", NUM, 167, 6, W_MAXTEMP2},
    {"AutoTuneMaxCicli", CHAR, 173, 1, W_MAXCICLI},
    {"PowerUnits", CHAR, 174, 1, W_UNITS},
    {"SaveScreenIdx", CHAR, 175, 1, W_SAVESCREEN},
    {"AutoTuneMode", CHAR, 176, 1, W_AUTOTUNEMODE},
    {"EnableFFT", CHAR, 46, 1, W_ENABLEFFT},
    {"Divide", DIVIDE, 49, 3, W_NONE},
    {"MaxTempAllowed", NUM, 177, 6, W_MAXTEMPALLOWED},
    {"PSpar1", NUM, 183, 6, W_PS1},
    {"PSpar2", NUM, 189, 6, W_PS2},
    {"Isteresi1", CHAR, 207, 1, W_ISTERESI1},
    {"Isteresi2", CHAR, 208, 1, W_ISTERESI2},
    {"PSpar3", NUM, 195, 6, W_PS3},
    {"PSpar4", NUM, 201, 6, W_PS4},
    {"OffsetPlot", NUM, 209, 6, W_OFFSETPLOT},
    {"CatSerialPort", TEXT, 216, 13, W_NONE},
    {"TUNEenabled", NUM, 229, 4, W_TUNEENABLED},
    {"NumBanco", NUM, 233, 4, W_NUMBANCO},
    {"GMpar1", NUM, 237, 6, W_GM1},
    {"GMpar2", NUM, 243, 6, W_GM2},
    {"Peak_media", NUM, 249, 6, W_PEAKMEDIA},
    {"Peak_ValDec", NUM, 255, 6, W_PEAKVALDEC},
    {"Peak_TimeDec", NUM, 261, 6, W_PEAKTIMEDEC},
    {"Peak_Time", NUM, 267, 6, W_PEAKTIME},
    {"MAXbank", NUM, 273, 4, W_MAXBANK},
    {"BTN_longpress_Time", NUM, 277, 6, W_LONGPRESS},
    {"EnableDebug", CHAR, 283, 1, W_DEBUG},
    {"Enable1600", CHAR, 48, 1, W_ENABLE1600},
    {"EnableLOGTemp", CHAR, 284, 1, W_LOGTEMP},
    {"AudioBuffers", NUM, 285, 6, W_AUDIOBUFFERS},
    {"AutoTuneTipo", CHAR, 291, 1, W_NONE},
    {"CPUTempVentola", NUM, 292, 6, W_CPUTEMP},
    {"CPUPercVentola", NUM, 298, 5, W_CPUPERC},
};
static_assert(sizeof kKeys / sizeof kKeys[0] == 67, "the setup file has 67 keys");

// Scans a whole signed decimal number; false leaves *out unchanged.
bool scanInt(const char *text, long long *out) {
  errno = 0;
  char *end = nullptr;
  long long v = strtoll(text, &end, 10);
  if (end == text || errno == ERANGE) return false;
  *out = v;
  return true;
}

int clampInt(long long v) {
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int>(v);
}

// Applies a digit setting; a byte that is not a digit leaves the value as it is.
template <class T>
void digitTo(At<T> &field, char c) {
  if (c >= '0' && c <= '9') field = static_cast<T>(c - '0');
}

void applyChar(Works *w, Work work, char c) {
  switch (work) {
    case W_ANTENNA:
      // Only antennas 1..3 exist; anything else would index past the tables.
      if (c >= '1' && c <= '3') w->antenna = c - '1';
      break;
    case W_PWRPEAK: digitTo(w->enablePwrPeak, c); break;
    case W_TEMPMODE: digitTo(w->tempMode, c); break;
    case W_FREQSENS: digitTo(w->freqSensIn, c); break;
    case W_ATT: digitTo(w->attenuator, c); break;
    case W_ATTTUNE: digitTo(w->attenuatorTune, c); break;
    case W_VIEWTIME: digitTo(w->viewTimeStr, c); break;
    case W_VIEWTEMP: digitTo(w->viewTemp, c); break;
    case W_MAXCICLI: digitTo(w->autoTuneMaxCicli, c); break;
    case W_UNITS: digitTo(w->powerUnits, c); break;
    case W_SAVESCREEN: digitTo(w->saveScreenIdx, c); break;
    case W_AUTOTUNEMODE: digitTo(w->autoTuneMode, c); break;
    case W_ISTERESI1: digitTo(w->isteresi1, c); break;
    case W_ISTERESI2: digitTo(w->isteresi2, c); break;
    case W_DEBUG: digitTo(w->enableDebug, c); break;
    case W_LOGTEMP: digitTo(w->enableLogTemp, c); break;
    case W_ENABLEFFT: SetSetupChar(w, SB_EnableFFTCopy, c); break;
    case W_ENABLE1600: SetSetupChar(w, SB_EnableFFTCopy, '1'); break;
    default: break;
  }
}

void applyNum(Works *w, Work work, long long v) {
  int i = clampInt(v);
  switch (work) {
    case W_AUDIOCOMPRESS: w->audioCompress = i; break;
    case W_MULTIPLIER: w->audioFrames = clampInt(v * 240); break;
    case W_FREQPERIOD: w->freqPeriodTime = i; break;
    case W_SWRESC: w->swrEscAutoTune = static_cast<float>(i / 100.0); break;
    case W_MAXTEMP: w->maxTemperature = static_cast<float>(i / 10.0); break;
    case W_MAXTEMP2: w->maxTemperature2 = static_cast<float>(i / 10.0); break;
    case W_MAXTEMPALLOWED: w->maxTempAllowed = i; break;
    case W_PS1: w->psPar[0] = i; break;
    case W_PS2: w->psPar[1] = i; break;
    case W_PS3: w->psPar[2] = i; break;
    case W_PS4: w->psPar[3] = i; break;
    case W_OFFSETPLOT: w->offsetPlot = static_cast<double>(i / 10); break;
    case W_TUNEENABLED: w->tuneEnabled = static_cast<int8_t>(i); break;
    case W_NUMBANCO: w->numBanco = i; break;
    case W_GM1: w->gmPar1 = i; break;
    case W_GM2: w->gmPar2 = i; break;
    case W_PEAKMEDIA: fattoremedia = i; break;
    case W_PEAKVALDEC: PeakDecrement = i / 10.0; break;
    case W_PEAKTIMEDEC: PeakDecrementTime = i; break;
    case W_PEAKTIME: TimerPeakSec = i; break;
    case W_MAXBANK: w->maxBank = i; break;
    case W_LONGPRESS: TIME_LONG_PRESS = i / 10.0; break;
    case W_AUDIOBUFFERS: w->audioBuffers = i; break;
    case W_CPUTEMP: w->fanCpuTemp = i; break;
    case W_CPUPERC: w->fanCpuPercent = i; break;
    default: break;
  }
}

// The working value a numeric field is written back from. Scaled values are
// rounded, not truncated: 60.1 degrees is 600.99.. after the float division,
// and truncating would turn a stored 601 into 600 on every rewrite.
bool workingNum(Works *w, Work work, long long *out) {
  switch (work) {
    case W_FREQPERIOD: *out = w->freqPeriodTime; return true;
    case W_SWRESC: *out = std::llround(w->swrEscAutoTune * 100.0); return true;
    case W_MAXTEMP: *out = std::llround(w->maxTemperature * 10.0); return true;
    case W_MAXTEMP2: *out = std::llround(w->maxTemperature2 * 10.0); return true;
    case W_MAXTEMPALLOWED: *out = w->maxTempAllowed; return true;
    case W_PS1: *out = w->psPar[0]; return true;
    case W_PS2: *out = w->psPar[1]; return true;
    case W_PS3: *out = w->psPar[2]; return true;
    case W_PS4: *out = w->psPar[3]; return true;
    case W_OFFSETPLOT: *out = std::llround(w->offsetPlot * 10.0); return true;
    case W_TUNEENABLED: *out = w->tuneEnabled; return true;
    case W_NUMBANCO: *out = w->numBanco; return true;
    case W_GM1: *out = w->gmPar1; return true;
    case W_GM2: *out = w->gmPar2; return true;
    case W_PEAKMEDIA: *out = fattoremedia; return true;
    case W_PEAKVALDEC: *out = std::llround(PeakDecrement * 10.0); return true;
    case W_PEAKTIMEDEC: *out = PeakDecrementTime; return true;
    case W_PEAKTIME: *out = TimerPeakSec; return true;
    case W_MAXBANK: *out = w->maxBank; return true;
    case W_LONGPRESS: *out = std::llround(TIME_LONG_PRESS * 10.0); return true;
    case W_AUDIOBUFFERS: *out = w->audioBuffers; return true;
    case W_CPUTEMP: *out = w->fanCpuTemp; return true;
    case W_CPUPERC: *out = w->fanCpuPercent; return true;
    default: return false;
  }
}

bool workingChar(Works *w, Work work, char *out) {
  int v;
  switch (work) {
    case W_ANTENNA: v = w->antenna + 1; break;
    case W_PWRPEAK: v = w->enablePwrPeak; break;
    case W_TEMPMODE: v = w->tempMode; break;
    case W_FREQSENS: v = w->freqSensIn; break;
    case W_ATT: v = w->attenuator; break;
    case W_ATTTUNE: v = w->attenuatorTune; break;
    case W_VIEWTIME: v = w->viewTimeStr; break;
    case W_VIEWTEMP: v = w->viewTemp; break;
    case W_MAXCICLI: v = w->autoTuneMaxCicli; break;
    case W_UNITS: v = w->powerUnits; break;
    case W_SAVESCREEN: v = w->saveScreenIdx; break;
    case W_AUTOTUNEMODE: v = w->autoTuneMode & kAutoTuneOn; break;
    case W_ISTERESI1: v = w->isteresi1; break;
    case W_ISTERESI2: v = w->isteresi2; break;
    case W_DEBUG: v = w->enableDebug; break;
    case W_LOGTEMP: v = w->enableLogTemp; break;
    default: return false;
  }
  *out = static_cast<char>('0' + v);
  return true;
}

void refreshRecord(Works *w) {
  for (const Key &k : kKeys) {
    if (k.kind == CHAR) {
      char c;
      if (workingChar(w, k.work, &c)) SetSetupChar(w, k.offset, c);
    } else if (k.kind == NUM) {
      long long v;
      if (!workingNum(w, k.work, &v)) continue;
      char buf[32];
      snprintf(buf, sizeof buf, "%lld", v);
      SetSetupText(w, k.offset, buf);
    }
  }
}

void logSettings(Works *w) {
  for (const Key &k : kKeys) {
    switch (k.kind) {
      case CHAR: LogInfo("%s: -%c-", k.name, SetupChar(w, k.offset)); break;
      case TEXT: LogInfo("%s: -%s-", k.name, SetupText(w, k.offset).c_str()); break;
      case PORT16: LogInfo("%s: -%d-", k.name, static_cast<int>(w->tcpPort)); break;
      case DIVIDE:
        LogInfo("%s: -%s- -%d-", k.name, SetupText(w, k.offset).c_str(), w->divide.load());
        break;
      case NUM: {
        long long v = 0;
        if (k.work == W_AUDIOCOMPRESS)
          v = w->audioCompress;
        else if (k.work == W_MULTIPLIER)
          v = w->audioFrames / 240;
        else
          workingNum(w, k.work, &v);
        LogInfo("%s: -%lld-", k.name, v);
        break;
      }
    }
  }
}

// The key a line of n bytes names ("Key: value"), or nullptr.
const Key *keyOf(const char *line, size_t n) {
  for (const Key &k : kKeys) {
    const size_t kl = strlen(k.name);
    if (n >= kl + 2 && strncmp(line, k.name, kl) == 0 && line[kl] == ':' && line[kl + 1] == ' ')
      return &k;
  }
  return nullptr;
}

// A record only asked whether a key has a working value, never changed.
Works *probe() {
  static const std::unique_ptr<Works> works = std::make_unique<Works>();
  return works.get();
}

// Whether a number read into a working value is written back as the same
// number: the scaled and narrow ones lose some.
bool keepsNum(Work work, long long v) {
  if (v != clampInt(v)) return false;
  switch (work) {
    case W_TUNEENABLED: return v >= INT8_MIN && v <= INT8_MAX;
    case W_OFFSETPLOT: return v % 10 == 0;
    case W_SWRESC: return std::llround(static_cast<float>(v / 100.0) * 100.0) == v;
    case W_MAXTEMP:
    case W_MAXTEMP2: return std::llround(static_cast<float>(v / 10.0) * 10.0) == v;
    default: return true;
  }
}

// Whether a one-byte value is written back as it was read.
bool keepsChar(Work work, const std::string &value) {
  if (value.size() > 1) return false;
  char unused;
  if (!workingChar(probe(), work, &unused)) return true;
  if (value.size() != 1 || value[0] < '0' || value[0] > '9') return false;
  const int d = value[0] - '0';
  if (work == W_ANTENNA) return d >= 1 && d <= 3;
  if (work == W_AUTOTUNEMODE) return (d & kAutoTuneOn) == d;
  return true;
}

const Key *fieldAt(int index) {
  for (const Key &k : kKeys)
    if (k.offset == index && k.kind != CHAR) return &k;
  return nullptr;
}

}  // namespace

int SetupFieldWidth(int index) {
  const Key *k = fieldAt(index);
  return k ? k->width : 0;
}

std::string SetupText(const Works *works, int index) {
  std::string s;
  if (works->setup == nullptr || index < 0) return s;
  int width = SetupFieldWidth(index);
  if (width == 0) width = kSetupSize - index;
  std::lock_guard<std::mutex> lock(const_cast<Works *>(works)->setupTextMutex);
  for (int i = index; i < index + width && i < kSetupSize; ++i) {
    char c = works->setup->b[i].load(std::memory_order_relaxed);
    if (c == 0) break;
    s.push_back(c);
  }
  return s;
}

void SetSetupText(Works *works, int index, const char *text) {
  if (works->setup == nullptr || index < 0 || index >= kSetupSize - 1) return;
  int width = SetupFieldWidth(index);
  if (width == 0) width = 1;
  if (index + width > kSetupSize - 1) width = kSetupSize - 1 - index;
  std::lock_guard<std::mutex> lock(works->setupTextMutex);
  int i = 0;
  for (; i < width - 1 && text[i] != 0; ++i)
    works->setup->b[index + i].store(text[i], std::memory_order_relaxed);
  works->setup->b[index + i].store(0, std::memory_order_relaxed);
}

namespace {

// The record's bytes as a new setup has them.
void initRecord(Works *works) {
  Lumosetup *s = works->setup;
  for (int i = 0; i < kSetupSize; ++i) s->b[i] = 0;
  for (int i = 0; i < kSetupSize - 1; ++i) s->b[i] = '1';
  auto put = [&](int at, const char *t) {
    int i = 0;
    for (; t[i] != 0; ++i) s->b[at + i] = t[i];
    s->b[at + i] = 0;
  };
  put(12, "2500");
  put(22, "100");
  put(26, "hw:1");
  put(52, "1");
  put(54, "64000");
  put(64, "2");
  put(67, "hw:1");
  put(87, "127.0.0.1");
  put(103, "/dev/ttyUSB0");
  put(116, "/dev/ttyUSB1");
  put(216, "/dev/ttyUSB1");
  put(129, "/dev/ttyAMA0");
  for (int b : {1, 2, 3, 4, 5, 6, 46, 143, 144, 145, 151, 152, 159, 160, 173, 174, 175, 176, 291})
    s->b[b] = '0';
  s->b[11] = '1';
  s->b[142] = '1';
  put(146, "10");
  put(153, "0");
  put(161, "600");
  put(177, "700");
  put(183, "3");
  put(189, "150");
  put(195, "900");
  put(201, "100");
  s->b[207] = '3';
  s->b[208] = '3';
  put(209, "0");
  put(229, "0");
  put(233, "1");
  put(237, "2");
  put(243, "100");
  put(249, "2");
  put(255, "10");
  put(261, "1");
  put(267, "3000");
  put(273, "20");
  put(277, "5");
  put(285, "10");
  put(292, "75");
  put(298, "70");
}

// Reads the setup file into the record and the working values. Without
// linkFields the link's own fields (antenna, attenuator) are left to it.
void readFile(Works *works, bool linkFields) {
  std::string pending;
  FILE *f = OpenSetFile(kSetupPath, &pending);
  if (f == nullptr) {
    LogStderr("Init Setup! ");
    writeSetup(works);
    LogErr("can't open /opt/set/setup.txt");
    return;
  }
  char line[100];
  while (fgets(line, sizeof line, f) != nullptr) {
    // Longer than the buffer: the rest of it is skipped below rather than
    // read as a line of its own.
    bool cut = strchr(line, '\n') == nullptr && strlen(line) == sizeof line - 1;
    // A carriage return ends the value like a line feed does, so no value
    // holds one: it could not be written back and read the same.
    size_t n = strcspn(line, "\r\n");
    line[n] = 0;
    if (const Key *key = keyOf(line, n)) {
      const Key &k = *key;
      const char *value = line + strlen(k.name) + 2;
      long long v;
      switch (k.kind) {
        case CHAR:
          SetSetupChar(works, k.offset, value[0]);
          if (linkFields || (k.work != W_ANTENNA && k.work != W_ATT))
            applyChar(works, k.work, value[0]);
          break;
        case TEXT:
          SetSetupText(works, k.offset, value);
          if (k.work == W_SERVER) works->serverHost.set(SetupText(works, k.offset).c_str());
          break;
        case NUM:
          SetSetupText(works, k.offset, value);
          if (scanInt(value, &v)) applyNum(works, k.work, v);
          break;
        case PORT16:
          // A TCP port: 1..65535; anything else keeps the working value.
          if (scanInt(value, &v) && v >= 1 && v <= 65535) works->tcpPort = static_cast<uint16_t>(v);
          break;
        case DIVIDE:
          SetSetupText(works, k.offset, value);
          if (scanInt(value, &v)) works->divide = clampInt(v);
          break;
      }
    }
    if (cut) {
      int c;
      while ((c = fgetc(f)) != EOF && c != '\n') {
      }
    }
  }
  fclose(f);
  logSettings(works);
}

}  // namespace

void initSetup(Works *works) {
  InitGlobalVar(works);
  works->remotePassword.set(kDefaultPassword);
  initRecord(works);
}

void readSetup(Works *works) {
  initSetup(works);
  readFile(works, true);
}

void ResetSetup(Works *works) {
  InitSettingValues(works);
  works->remotePassword.set(kDefaultPassword);
  initRecord(works);
  writeSetup(works);
  readFile(works, false);
}

bool CheckSetupText(const std::string &text, int *line, std::string *error) {
  const size_t keyCount = sizeof kKeys / sizeof kKeys[0];
  std::vector<bool> seen(keyCount, false);
  size_t pos = 0;
  for (*line = 1; pos < text.size(); ++*line) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string l = text.substr(pos, end - pos);
    pos = end + 1;
    if (l.empty()) continue;
    // The reader's line buffer holds 99 bytes and a line feed.
    if (l.size() > 98 || l.find_first_of(std::string("\r\0", 2)) != std::string::npos) {
      *error = "line too long, or holds a carriage return or a NUL byte";
      return false;
    }
    const Key *key = keyOf(l.data(), l.size());
    if (key == nullptr) {
      *error = "not a key of the setup";
      return false;
    }
    const Key &k = *key;
    if (seen[key - kKeys]) {
      *error = std::string(k.name) + " a second time";
      return false;
    }
    seen[key - kKeys] = true;
    const std::string value = l.substr(strlen(k.name) + 2);
    long long v = 0;
    const bool whole = scanInt(value.c_str(), &v) && std::to_string(v) == value;
    bool ok = true;
    switch (k.kind) {
      case CHAR: ok = keepsChar(k.work, value); break;
      case TEXT: ok = static_cast<int>(value.size()) < k.width; break;
      case NUM: {
        long long unused;
        if (k.work == W_AUDIOCOMPRESS || workingNum(probe(), k.work, &unused))
          ok = whole && keepsNum(k.work, v);
        else
          ok = static_cast<int>(value.size()) < k.width;
        break;
      }
      case PORT16: ok = whole && v >= 1 && v <= 65535; break;
      case DIVIDE: ok = whole && v == clampInt(v); break;
    }
    if (!ok) {
      *error = std::string(k.name) + ": the value would be read as another";
      return false;
    }
  }
  return true;
}

std::string SetupFileText(Works *works) {
  refreshRecord(works);
  std::string out;
  char line[128];
  for (const Key &k : kKeys) {
    switch (k.kind) {
      case CHAR: {
        char c = SetupChar(works, k.offset);
        // An empty value is a NUL byte in the record; it is written as nothing.
        if (c == 0)
          snprintf(line, sizeof line, "%s: \n", k.name);
        else
          snprintf(line, sizeof line, "%s: %c\n", k.name, c);
        break;
      }
      case TEXT:
        snprintf(line, sizeof line, "%s: %s\n", k.name, SetupText(works, k.offset).c_str());
        break;
      case PORT16:
        snprintf(line, sizeof line, "%s: %d\n", k.name, static_cast<int>(works->tcpPort));
        break;
      case DIVIDE: snprintf(line, sizeof line, "%s: %d\n", k.name, works->divide.load()); break;
      case NUM: {
        // Written from the working value where there is one: a value wider
        // than its record field ("-128" in the 3-character TUNEenabled
        // field) would otherwise come back changed.
        long long v;
        if (k.work == W_AUDIOCOMPRESS)
          snprintf(line, sizeof line, "%s: %d\n", k.name, works->audioCompress.load());
        else if (workingNum(works, k.work, &v))
          snprintf(line, sizeof line, "%s: %lld\n", k.name, v);
        else
          snprintf(line, sizeof line, "%s: %s\n", k.name, SetupText(works, k.offset).c_str());
        break;
      }
    }
    out += line;
  }
  return out;
}

int writeSetup(Works *works) {
  std::lock_guard<std::mutex> lock(works->setupMutex);
  std::string text = SetupFileText(works);
  QueueSetFile(kSetupPath, std::move(text), kSetFileMode, [](int rc, int) {
    if (rc == -1) LogErr("can't open /opt/set/setup.txt for writing");
  });
  return 0;
}

const char *DefaultRemotePassword() {
  return kDefaultPassword;
}
