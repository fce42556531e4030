// Band tables per bank, bank switching and the mode of work. Whenever the
// frequency enters a band, the band's settings go out as controller commands
// and the tuner's stored match is recalled.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "config/config.h"
#include "core/command_queue.h"
#include "core/file_writer.h"
#include "core/key_labels.h"
#include "core/link_requests.h"
#include "core/setup.h"
#include "core/threads.h"
#include "errors/errors.h"
#include "platform/log.h"
#include "tuner/tuner.h"

namespace {

struct DefaultBand {
  const char *name;
  uint32_t fmin;
  uint32_t fmax;
};
const DefaultBand kDefaultBands[kBandRows] = {
    {"160m", 1800000, 2000000},  {"80m", 3500000, 4000000},   {"60m", 5330500, 5450000},
    {"40m", 7000000, 7300000},   {"30m", 10100000, 10150000}, {"20m", 14000000, 14350000},
    {"17m", 18068000, 18168000}, {"15m", 21000000, 21450000}, {"12m", 24890000, 24990000},
    {"10m", 28000000, 29700000}, {"6m", 50000000, 54000000},
};

struct BandTable {
  TabAntennaRow rows[kBandRows];
  int numBands;
};

void defaultLimits(TabAntennaRow &r, int i) {
  snprintf(r.name, sizeof r.name, "%s", kDefaultBands[i].name);
  r.fmin = kDefaultBands[i].fmin;
  r.fmax = kDefaultBands[i].fmax;
}

void defaultSettings(TabAntennaRow &r) {
  r.ampEnable = 0;
  r.ant = 1;
  r.atuBypass = 1;
  r.att = 0;
  r.pwr = 0.0f;
}

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

// One band row: name, fmin, fmax, ampEnable, ant, atuBypass, att, pwr.
void parseBandRow(const char *path, int lineNo, const char *line, TabAntennaRow &r) {
  int n = 0;
  while (n < 7 && line[n] && !isBlank(line[n])) ++n;
  memset(r.name, 0, sizeof r.name);
  for (int i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    r.name[i] = c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c);
  }
  // A name of seven characters or more: the eighth is passed over.
  const char *p = line + n;
  if (n == 7 && line[7]) p = line + 8;
  bool ok = ScanCUnsigned(&p, &r.fmin);
  ok = ScanCUnsigned(&p, &r.fmax) && ok;
  int64_t v[4];
  for (int64_t &x : v) ok = ScanDecimal(&p, &x) && ok;
  ok = ScanFloat(&p, &r.pwr) && ok;
  r.ampEnable = static_cast<uint8_t>(v[0]);
  r.ant = static_cast<uint8_t>(v[1]);
  r.atuBypass = static_cast<uint8_t>(v[2]);
  r.att = static_cast<uint8_t>(v[3]);
  if (!ok) TableFault(lineNo, "%s: line %d: missing or bad fields read as 0", path, lineNo);
  // Antenna and attenuator index tables and controller commands: keep them in range.
  if (r.ant > 3) {
    TableFault(lineNo, "%s: line %d: antenna %d out of range, antenna left as it is", path, lineNo,
               r.ant);
    r.ant = 0;
  }
  if (r.att > 3) {
    TableFault(lineNo, "%s: line %d: attenuator %d out of range, 0 dB", path, lineNo, r.att);
    r.att = 0;
  }
}

void snapshot(Works *works, BandTable *t) {
  std::lock_guard<std::recursive_mutex> lock(works->tablesMutex);
  memcpy(t->rows, works->tabAntenna, sizeof t->rows);
  t->numBands = works->numBands;
  if (t->numBands < 0) t->numBands = 0;
  if (t->numBands > kBandRows) t->numBands = kBandRows;
}

std::string bandText(const BandTable &t, int mode) {
  std::string text = mode == 1 ? "!Neb\n" : mode == 2 ? "!817\n" : mode == 3 ? "!rig\n" : "!Gen\n";
  char line[96];
  for (int i = 0; i < t.numBands; ++i) {
    const TabAntennaRow &r = t.rows[i];
    char name[8];
    snprintf(name, sizeof name, "%s", r.name);
    snprintf(line, sizeof line, "%s %ld %ld %i %i %i %i %2.1f\n", name, static_cast<long>(r.fmin),
             static_cast<long>(r.fmax), r.ampEnable, r.ant, r.atuBypass, r.att, r.pwr);
    text += line;
  }
  return text;
}

int saveBandFile(Works *works, int bank, int mode) {
  BandTable t;
  snapshot(works, &t);
  char path[40];
  BandFileName(bank, path, sizeof path);
  return QueueSetFile(path, bandText(t, mode));
}

// Parses a bank's band file into t; returns the mode of work of its header,
// or -1 when the file cannot be opened (t then holds the default bands).
int readBandFile(int bank, BandTable *t) {
  char path[40];
  BandFileName(bank, path, sizeof path);
  // Rows the file does not fill must not keep another bank's settings.
  for (TabAntennaRow &r : t->rows) defaultSettings(r);
  t->numBands = 0;
  int mode = 1;
  bool full = false;
  int rowLine[kBandRows] = {};
  int rc = ReadTableLines(path, 511, [&](const char *line, int lineNo) {
    if (line[0] == ';') return true;
    if (line[0] == '!') {
      if (strncmp(line + 1, "Gen", 3) == 0)
        mode = 0;
      else if (strncmp(line + 1, "Neb", 3) == 0)
        mode = 1;
      else if (strncmp(line + 1, "817", 3) == 0)
        mode = 2;
      else if (strncmp(line + 1, "rig", 3) == 0)
        mode = 3;
      else
        TableFault(lineNo, "%s: line %d: unknown mode of work, the bank's last one kept", path,
                   lineNo);
      return true;
    }
    if (t->numBands == kBandRows) {
      full = true;
      TableFault(lineNo, "%s: more than %d bands, the rest ignored", path, kBandRows);
      return false;
    }
    rowLine[t->numBands] = lineNo;
    parseBandRow(path, lineNo, line, t->rows[t->numBands++]);
    return true;
  });
  if (rc < 0) {
    for (int i = 0; i < kBandRows; ++i) defaultLimits(t->rows[i], i);
    t->numBands = kBandRows;
    return -1;
  }
  (void)full;
  for (int i = 0; i < t->numBands; ++i) {
    if (t->rows[i].fmin != 0 && t->rows[i].fmax != 0) continue;
    TableFault(rowLine[i], "%s: line %d: a band without limits, every band set to its default",
               path, rowLine[i]);
    for (int j = 0; j < kBandRows; ++j) defaultLimits(t->rows[j], j);
    t->numBands = kBandRows;
    LogStderr("Error Reinit antenna\n");
    break;
  }
  return mode;
}

// Loads the band file into works; returns the mode of work of its header.
int loadBandFile(Works *works, int bank) {
  BandTable t;
  snapshot(works, &t);
  int mode = readBandFile(bank, &t);
  if (mode < 0) {
    InitTabAntenna(works, 0);
    works->bandIdx = -1;
    return 1;
  }
  {
    std::lock_guard<std::recursive_mutex> lock(works->tablesMutex);
    memcpy(works->tabAntenna, t.rows, sizeof t.rows);
    works->numBands = t.numBands;
  }
  works->bandIdx = -1;
  return mode;
}

}  // namespace

bool CheckBandFileText(const std::string &text, int *line, std::string *error) {
  TableCheck check(text);
  BandTable t;
  readBandFile(0, &t);
  return check.result(line, error);
}

void BandFileName(int bank, char *out, int outSize) {
  if (bank >= 1 && bank <= 19)
    snprintf(out, static_cast<size_t>(outSize), "/opt/set/antenna_b%d.txt", bank);
  else
    snprintf(out, static_cast<size_t>(outSize), "/opt/set/antenna.txt");
}

void InitTabAntenna(Works *works, int keepSettings) {
  std::lock_guard<std::recursive_mutex> lock(works->tablesMutex);
  for (int i = 0; i < kBandRows; ++i) {
    defaultLimits(works->tabAntenna[i], i);
    if (!keepSettings) defaultSettings(works->tabAntenna[i]);
  }
  works->numBands = kBandRows;
}

int LoadTabConfig(Works *works, int bank) {
  return loadBandFile(works, bank);
}

int SaveTabConfig(Works *works, int bank) {
  return saveBandFile(works, bank, works->modeWorkIdx);
}

void BandFileText(Works *works, char *out, int outSize) {
  BandTable t;
  snapshot(works, &t);
  snprintf(out, static_cast<size_t>(outSize), "%s", bandText(t, works->modeWorkIdx).c_str());
}

void SaveToBank(Works *works, int bank, int antenna) {
  {
    std::lock_guard<std::recursive_mutex> lock(works->tablesMutex);
    uint32_t f = static_cast<uint32_t>(works->frequency.load());
    int n = works->numBands;
    for (int i = 0; i < n && i < kBandRows; ++i) {
      TabAntennaRow &r = works->tabAntenna[i];
      if (f < r.fmin || f > r.fmax) continue;
      r.ant = static_cast<uint8_t>(AtuAntennaRow(antenna) + 1);
      r.atuBypass = works->atuBypass;
      r.att = works->attenuator;
      r.ampEnable = works->attenuatorSel <= 3 ? 1 : 0;
      break;
    }
  }
  SaveTabConfig(works, bank);
}

int LoadAllBankTable(Works *works, int bank) {
  works->modeWorkIdx = LoadTabConfig(works, bank);
  for (int a = 0; a < 3; ++a) LoadTabAtu(works, bank, a);
  SetModeWorkIDX(works);
  return works->modeWorkIdx;
}

void ChangeBanco(Works *works) {
  int n = works->numBanco + 1;
  if (n >= works->maxBank || n < 0) n = 0;
  works->numBanco = n;
  writeSetup(works);
  LoadAllBankTable(works, n);
  works->bandIdx = -1;
}

void ChangeInterfaceBanco(Works *works) {
  int m = works->modeWorkIdx + 1;
  if (m > 3 || m < 0) m = 0;
  works->modeWorkIdx = m;
  SetModeWorkIDX(works);
  SaveToBank(works, works->numBanco, works->antenna);
}

namespace {

// Clears the Hamlib reader's run flag (the reader then ends by itself) and
// its warning.
void stopRigReader(Works *works) {
  if (works->rigRun.exchange(0) != 0) DeleteErrore(works, ERR_HAMLIB);
}

}  // namespace

void SetModeWorkIDX(Works *works) {
  if (works->modeWorkIdx != 3) stopRigReader(works);
  switch (works->modeWorkIdx) {
    case 1:
      if (SetupChar(works, SB_enaser) == '0') {
        SetSetupChar(works, SB_enaser, '1');
        StartThreadNEB(works);
      }
      if (SetupChar(works, SB_CatSerialEnable) == '1') SetSetupChar(works, SB_CatSerialEnable, '0');
      break;
    case 2:
      if (SetupChar(works, SB_CatSerialEnable) == '0') {
        SetSetupChar(works, SB_CatSerialEnable, '1');
        StartThreadCATserial(works);
      }
      if (SetupChar(works, SB_enaser) == '1') {
        SetSetupChar(works, SB_enaser, '0');
        DeleteErrore(works, ERR_NEB_EXTIO);
      }
      break;
    case 0:
      if (SetupChar(works, SB_enaser) == '1') {
        SetSetupChar(works, SB_enaser, '0');
        DeleteErrore(works, ERR_NEB_EXTIO);
      }
      if (SetupChar(works, SB_CatSerialEnable) == '1') SetSetupChar(works, SB_CatSerialEnable, '0');
      break;
    case 3:
      // A reader still running keeps its slot, so this starts one only when none runs.
      works->rigRun = 1;
      StartThreadRig(works);
      if (SetupChar(works, SB_enaser) == '1') {
        SetSetupChar(works, SB_enaser, '0');
        DeleteErrore(works, ERR_NEB_EXTIO);
      }
      if (SetupChar(works, SB_CatSerialEnable) == '1') SetSetupChar(works, SB_CatSerialEnable, '0');
      break;
    default: break;
  }
  IncPNTIn_CMDLinear(LP_GS_SET, works);
}

void GestioneAntennaAutomatica(Works *works) {
  works->bandIdx = 100;
  TabAntennaRow row;
  int found = -1;
  {
    std::lock_guard<std::recursive_mutex> lock(works->tablesMutex);
    uint32_t f = static_cast<uint32_t>(works->frequency.load());
    int n = works->numBands;
    for (int i = 0; i < n && i < kBandRows; ++i) {
      const TabAntennaRow &r = works->tabAntenna[i];
      if (f >= r.fmin && f <= r.fmax) {
        row = r;
        found = i;
        break;
      }
    }
  }
  if (found < 0) return;
  works->bandIdx = found;
  if (row.atuBypass == 1) LogStderr("TABLE CONFIG : BYPASS %i (%i)\n", row.atuBypass, found);
  // Antenna, tuner, amplifier and attenuator are the link's to change.
  LinkRequest r;
  r.kind = LR_BAND_ROW;
  r.a = row.ant;
  r.b = row.atuBypass;
  r.c = row.ampEnable;
  r.d = row.att;
  PostLinkRequest(works, r);
}

void ApplyBandRow(Works *works, int ant, int atuBypass, int ampEnable, int att) {
  if (ant != 0 && works->antenna != ant - 1) {
    works->antenna = ant - 1;
    if (works->screenState == SS_MAIN) {
      char text[24];
      snprintf(text, sizeof text, "Auto %d", ant);
      SetLumoLabel(works, SS_MAIN, 3, text);
    }
    IncPNTIn_CMDLinear(LP_SA, works);
  }
  if (atuBypass == 1)
    IncPNTIn_CMDLinear(LP_MT1_BYPASS, works);
  else
    GestioneLoadTuneVal(works, 1);
  if (ampEnable) {
    if (works->ampBypass == 1) {
      LabelByPassLumo(works, "Off");
      IncPNTIn_CMDLinear(LP_AB0, works);
    }
    works->attenuatorSel = static_cast<uint8_t>(att);
    if (works->attenuator != att) {
      works->attenuator = static_cast<uint8_t>(att);
      IncPNTIn_CMDLinear(LP_AT, works);
    }
  } else if (works->ampBypass == 0) {
    IncPNTIn_CMDLinear(LP_AB1, works);
    LabelByPassLumo(works, "On");
  }
  SetAttenuatorLabel(works);
}

void CopyBank(Works *works, int from, int to) {
  // File to file: the tables in memory and the mode of work in force stay
  // the current bank's while the copy is written, so the display loop never
  // applies the origin's bands.
  for (int a = 0; a < 3; ++a) CopyTabAtu(from, to, a);
  BandTable t = {};
  int mode = readBandFile(from, &t);
  char path[40];
  BandFileName(to, path, sizeof path);
  QueueSetFile(path, bandText(t, mode < 0 ? 1 : mode));
  if (to == works->numBanco) {
    LoadAllBankTable(works, to);
    works->bandIdx = -1;
  }
}

int DeleteFileConf(Works *, int bank, int which) {
  if (bank < 0 || bank > 19 || which < 0 || which > 3) return -1;
  char path[64];
  if (which == 3)
    BandFileName(bank, path, sizeof path);
  else
    AtuFileName(bank, which, path, sizeof path);
  return QueueRemoveSetFile(path, [bank](int, int) { LogErr("can't delete file bank %d", bank); });
}

void DeleteBankFiles(Works *works, int bank) {
  for (int which = 0; which < 4; ++which) DeleteFileConf(works, bank, which);
}

void ResetBank(Works *works, int bank) {
  int first = bank, last = bank;
  if (bank == works->maxBank) {
    first = 0;
    last = works->maxBank - 1;
  }
  for (int b = first; b <= last; ++b) DeleteBankFiles(works, b);
  LoadAllBankTable(works, works->numBanco);
  works->bandIdx = -1;
}
