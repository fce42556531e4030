// The menu tables: entries, key labels of every screen state, value texts.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "config/config.h"
#include "core/process_globals.h"
#include "errors/errors.h"
#include "network/lan.h"
#include "tuner/tuner.h"
#include "ui/menu.h"
#include "ui/plot.h"
#include "ui/ui.h"

MenuEntry menuPar[kMenuEntries];

const int32_t SaveScreen[5] = {5, 10, 20, 30, 60};
const char SaveScreenVal[5][8] = {"5min", "10min", "20min", "30min", "60min"};

At<At<uint8_t> *> LAN_vect{IP_v};
At<At<int> *> LAN_idx{&CntIP};

namespace {

struct EntryDef {
  int number;
  const char *title;
  const char *label;
  uint8_t useCursor;
};

const EntryDef kEntries[kMenuEntries] = {
    {1, "MAX BANK", " ", 0},
    {2, "FREQ", "Input Sens", 0},
    {3, "FREQ", "Period (ms)", 0},
    {4, "AUTO TUNE", "Enable NEB Tune", 0},
    {5, "AUTO TUNE", "Force Attenuator", 0},
    {6, "AUTO TUNE", "Target SWR (0=Off)", 0},
    {7, "AUTO TUNE", "AutoTune Timeout", 0},
    {8, "AUTO TUNE", "ATU Installed", 0},
    {9, "OMBRIX USE MODE", " ", 0},
    {10, "NETWORK LAN", "IP", 1},
    {11, "NETWORK LAN", "SUBNET", 1},
    {12, "NETWORK LAN", "GATEWAY", 1},
    {13, "NETWORK LAN", "DNS", 1},
    {14, "PLOT", "Ref Lev", 0},
    {15, "PLOT", "Ref Pos", 0},
    {16, "PLOT", "Point Div", 0},
    {17, "PLOT", "Offset", 0},
    {18, "FILTER SETTINGS", "View", 0},
    {50, "VIEW SCREEN", "DateTime", 0},
    {51, "TEMPERATURE UNITS", " ", 0},
    {52, "PEAK POWER METER", " ", 0},
    {53, "PEAK POWER METER", "Release Time (ms)", 0},
    {54, "1-TEMPERATURE ALARM", " SET POINT", 0},
    {55, "2-TEMPERATURE ALARM", " SET POINT", 0},
    {56, "SET POWER UNITS", " ", 0},
    {57, "SCREEN SAVER TIMEOUT", " ", 0},
    {58, "FACTORY DEFAULT", " ", 0},
    {59, "BUTTON TIME", "Long Press Time", 0},
    {96, "OFF HW", " ", 0},
    {97, "FW UPDATE", " ", 0},
    {98, "UI UPDATE", " ", 0},
    {99, "REMOTE SERVICE", " ", 0},
};

// First and second label lines of every state (rows 13-15 stay empty).
// A second line that shows a value is written by InitMenuLumo.
const char *const kLabels[13][kLumoKeys][2] = {
    {{"  MEM", ""},
     {" IN-ATT", ""},
     {"   ANT", ""},
     {"  TUNE", ""},
     {"   SET", ""},
     {"   VIEW ", " 1 "}},
    {{" BACK ", ""}, {"  ", ""}, {"    UP", ""}, {"  DOWN", ""}, {" ", ""}, {"  ENTER", ""}},
    {{" ", ""}, {" < ", ""}, {"   > ", ""}, {"      - ", ""}, {"     + ", ""}, {"  ENTER", ""}},
    {{" BACK ", ""},
     {" ", ""},
     {"TUNE F", "  Off"},
     {"  TUNE", ""},
     {"   ATU", "Off"},
     {"MANUAL", "Tune"}},
    {{" BACK ", ""},
     {" down L", ""},
     {"   up L", ""},
     {" down C", ""},
     {"   up C", ""},
     {"STARTTX", ""}},
    {{"  ", ""}, {"  ", ""}, {"    ", ""}, {"     ", ""}, {" Retry", ""}, {"Cancel", ""}},
    {{" BACK", ""},
     {" INTERF", ""},
     {"    UP", ""},
     {"  DOWN", ""},
     {"   UTIL", ""},
     {" ENTER", ""}},
    {{"BACK", ""}, {"  <", ""}, {"    >", ""}, {"  + ", ""}, {" - ", ""}, {"SAVE", ""}},
    {{"  ESC", ""}, {"  BANK", ""}, {"   ANT", ""}, {" ", ""}, {" ", ""}, {"   SAVE", ""}},
    {{"BACK", ""}, {"  COPY", ""}, {"   RESET", ""}, {"  ", ""}, {" ", ""}, {" ", ""}},
    {{"BACK", ""}, {" ORIGIN", ""}, {"  DEST", ""}, {"  ", ""}, {" ", ""}, {" START", "COPY"}},
    {{"BACK", ""}, {" BANK", ""}, {"  ", ""}, {"  ", ""}, {" ", ""}, {" START", "RESET"}},
    {{" ESC", ""}, {"    UP", ""}, {"  DOWN", ""}, {" ", ""}, {"Enable", ""}, {"Disable", ""}},
};

void copyText(char *dst, size_t size, const char *src) {
  const size_t n = strnlen(src, size - 1);
  memcpy(dst, src, n);
  dst[n] = 0;
}

const char *onOff(bool on) {
  return on ? "ON" : "OFF";
}

template <class T>
void splitAddr(char *text, const T vector[4]) {
  snprintf(text, 16, "%i.%i.%i.%i", static_cast<int>(static_cast<uint8_t>(vector[0])),
           static_cast<int>(static_cast<uint8_t>(vector[1])),
           static_cast<int>(static_cast<uint8_t>(vector[2])),
           static_cast<int>(static_cast<uint8_t>(vector[3])));
}

int clampIndex(int v, int n) {
  return v >= 0 && v < n ? v : 0;
}

}  // namespace

int MenuEntryNoEdit(int entry) {
  return entry >= 0 && entry < kMenuEntries ? menuPar[entry].items[0].noEdit : 0;
}

void SplitAddrInv(char *text, const uint8_t vector[4]) {
  splitAddr(text, vector);
}
void SplitAddrInv(char *text, const At<uint8_t> vector[4]) {
  uint8_t v[4] = {vector[0], vector[1], vector[2], vector[3]};
  splitAddr(text, v);
}

void InitMenuLumo(Works *works) {
  for (int i = 0; i < kMenuEntries; ++i) {
    MenuEntry &e = menuPar[i];
    memset(&e, 0, sizeof e);
    e.number = kEntries[i].number;
    copyText(e.title, sizeof e.title, kEntries[i].title);
    copyText(e.items[0].label, sizeof e.items[0].label, kEntries[i].label);
    e.items[0].noEdit = 0;
    e.items[0].useCursor = kEntries[i].useCursor;
    e.itemCount = 1;
  }
  {
    std::lock_guard<std::mutex> lock(Lumomenu.mutex);
    for (int s = 0; s < kLumoStates; ++s) {
      LumoRow &row = Lumomenu.row[s];
      memset(&row, 0, sizeof row);
      if (s >= 13) continue;
      for (int k = 0; k < kLumoKeys; ++k)
        for (int l = 0; l < 2; ++l)
          copyText(row.key[k].line[l], kLumoLabelLen + 1, kLabels[s][k][l]);
    }
    // Keys with a long-press function get a bar under them.
    Lumomenu.row[0].flags = 0x21;
    Lumomenu.row[4].flags = 0x01;
  }
  SetKeyLabelf(SS_MAIN, 1, 1, "BANK %i", works->numBanco.load());
  SetKeyLabelf(SS_MAIN, 2, 1, "%.7sdB", AttVectStr[clampIndex(works->attenuator, 5)]);
  SetKeyLabelf(SS_MAIN, 3, 1, "%d", works->antenna + 1);
  SetKeyLabelf(SS_SAVE_TUNE, 2, 1, "   %i", works->saveBank.load());
  SetKeyLabelf(SS_SAVE_TUNE, 3, 1, "     %i", works->saveAnt + 1);
  InitErrorTable(works);
  works->menuCount = kMenuEntries;
}

void LoadParameterMenu(Works *works, char *out, int entry, int itemIdx) {
  const size_t n = kMenuValueLen;
  switch (entry) {
    case 8:
    case 19:
    case 20:
    case 24:
    case 25:
    case 26:
    case 28:
    case 29:
    case 30:
    case 31:
      if (itemIdx != 0) return;
      break;
    default: break;
  }
  switch (entry) {
    case 0: snprintf(out, n, "%d", works->maxBank.load()); break;
    case 1: copyText(out, n, works->freqSensIn ? "FQ2" : "FQ1"); break;
    case 2: snprintf(out, n, "%d", works->freqPeriodTime.load()); break;
    case 3: copyText(out, n, (works->autoTuneMode & kAutoTuneOn) ? "On" : "Off"); break;
    case 4: snprintf(out, n, "%.7sdB", AttVectStr[clampIndex(works->attenuatorTune, 5)]); break;
    case 5: snprintf(out, n, "%02.02f", static_cast<double>(works->swrEscAutoTune)); break;
    case 6: copyText(out, n, SWRTimeout[clampIndex(works->autoTuneMaxCicli, 5)]); break;
    case 7: copyText(out, n, (works->tuneEnabled & 0x80) ? "No" : "Yes"); break;
    case 8: copyText(out, n, works->remoteGo == 1 ? "Remote" : "Local"); break;
    case 9:
    case 10:
    case 11:
    case 12: {
      static At<uint8_t> *const vectors[4] = {IP_v, NetMask_v, Gateway_v, DNS_v};
      static At<int> *const cursors[4] = {&CntIP, &CntNetMask, &CntGateway, &CntDNS};
      LAN_vect = vectors[entry - 9];
      LAN_idx = cursors[entry - 9];
      SplitAddrInv(out, vectors[entry - 9]);
      break;
    }
    case 13: snprintf(out, n, "%d", RefLevel.load()); break;
    case 14: snprintf(out, n, "%d", RefPos.load()); break;
    case 15: snprintf(out, n, "%d", PointDiv.load()); break;
    case 16: snprintf(out, n, "%3.02f", works->offsetPlot.load()); break;
    case 17: copyText(out, n, onOff(works->filterView != 0)); break;
    case 18: copyText(out, n, onOff(works->viewTimeStr != 0)); break;
    case 19: copyText(out, n, works->tempMode ? "Fahrenheit" : "Celsius"); break;
    case 20: copyText(out, n, onOff(works->enablePwrPeak != 0)); break;
    case 21: snprintf(out, n, "%i", TimerPeakSec.load()); break;
    case 22: snprintf(out, n, "%02.02f", static_cast<double>(works->maxTemperature)); break;
    case 23: snprintf(out, n, "%02.02f", static_cast<double>(works->maxTemperature2)); break;
    case 24: copyText(out, n, works->powerUnits ? "dBm" : "Watt"); break;
    case 25: copyText(out, n, SaveScreenVal[clampIndex(works->saveScreenIdx, 5)]); break;
    case 26: copyText(out, n, works->factoryArmed ? "Set Default" : "No Default"); break;
    case 27: snprintf(out, n, "%01.01f sec", TIME_LONG_PRESS.load()); break;
    case 28: copyText(out, n, "OFF"); break;
    case 29: copyText(out, n, onOff(works->armedActions & kArmedFwUpdate)); break;
    case 30: copyText(out, n, onOff(works->armedActions & kArmedUiUpdate)); break;
    case 31: copyText(out, n, onOff(works->armedActions & kArmedRemoteService)); break;
    default: out[0] = 0; break;
  }
}
