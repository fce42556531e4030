// Everything below the meters: the key bar and its labels, the parameter
// boxes of the main screen, the memory and filter tables, the status page and
// the TX indicator.
#include <cstdio>
#include <cstring>
#include <mutex>

#include "config/config.h"
#include "controller/link.h"
#include "controller/temperature.h"
#include "core/link_requests.h"
#include "core/setup.h"
#include "core/threads.h"
#include "display/display.h"
#include "errors/errors.h"
#include "network/lan.h"
#include "ui/menu.h"
#include "ui/panel.h"
#include "ui/screens_common.h"
#include "ui/ui.h"

namespace {

// Key k (1..6): x of the first and of the second label line.
constexpr int kLabelX[kLumoKeys][2] = {{20, 30},   {143, 153}, {276, 286},
                                       {409, 419}, {542, 552}, {675, 695}};
// Key k: inclusive x range of its background and of its top edge.
constexpr int kKeyFill[kLumoKeys][2] = {{0, 129},   {133, 262}, {266, 395},
                                        {399, 528}, {532, 661}, {665, 798}};
constexpr int kKeyEdge[kLumoKeys][2] = {{1, 129},   {134, 262}, {267, 395},
                                        {400, 529}, {533, 662}, {666, 798}};
constexpr int kSeparators[kLumoKeys] = {130, 263, 396, 529, 662, 799};

void drawKeyBar(Works *works, int state, const LumoRow &row) {
  FrameBuffer *fb = works->fb;
  for (int y = 420; y <= 479; ++y)
    for (const auto &k : kKeyFill) DrawHorizontalLine(k[0], y, k[1] + 1, 40, 40, 40, fb, FB_BACK);
  (void)state;
  for (int y = 478; y <= 479; ++y) {
    if (row.flags & 0x01)
      DrawHorizontalLine(2, y, 128, kOrange.r, kOrange.g, kOrange.b, fb, FB_BACK);
    if (row.flags & 0x20)
      DrawHorizontalLine(667, y, 797, kOrange.r, kOrange.g, kOrange.b, fb, FB_BACK);
  }
  for (const auto &k : kKeyEdge)
    DrawHorizontalLine(k[0], 420, k[1] + 1, 120, 120, 120, fb, FB_BACK);
  for (int x : kSeparators) DrawLine(x, 420, x, 479, 120, 120, 120, fb, FB_BACK);
}

// The label lines that show values, brought up to date before drawing.
void refreshLabels(Works *works, int state) {
  LinkView v;
  ReadLinkView(works, &v);
  if (state == 3) {
    const int key = v.tuneFine == 1 ? 3 : 4;
    if (works->tuneEnabled & 0x80)
      SetKeyLabel(SS_TUNE, 4, 1, "NotInst");
    else if (v.autoTuneState != 0)
      SetKeyLabel(SS_TUNE, key, 1, "    On");
    else
      SetKeyLabel(SS_TUNE, key, 1, "   Off");
  }
  if (state == 0) {
    SetKeyLabelf(SS_MAIN, 3, 1, "     %d", v.antenna + 1);
    SetKeyLabelf(SS_MAIN, 6, 1, "    %d", works->meterView.load());
    SetAttenuatorLabel(works);
    SetModeWorkLabel(works);
  }
  LblCOPY(works);
  LblRESET(works);
  LabelSAVEATU(works);
  ImpostaLblManuale(works);
  LabelByPassATU(works);
  LblMenuAntenna(works);
}

void drawKeyLabels(Works *works, int state, const LumoRow &row) {
  FrameBuffer *fb = works->fb;
  const int menuIdx = MenuIndex(works);
  const MenuItem &item = menuPar[menuIdx].items[0];
  for (int k = 0; k < kLumoKeys; ++k) {
    const char *first = row.key[k].line[0];
    const char *second = row.key[k].line[1];
    int x1 = kLabelX[k][0], x2 = kLabelX[k][1];
    if (state == 2 && (k == 1 || k == 2) && !item.useCursor) first = second = " ";
    if (k == 5) {
      if (VerifyError(works)) {
        first = "RESET";
        second = " Error ";
        x1 = 690;
        x2 = 695;
      } else if (state == 1 && item.noEdit) {
        first = second = " ";
        x1 = 685;
        x2 = 715;
      }
    }
    putString(0, x1, 445, first, kOrange.r, kOrange.g, kOrange.b, fb);
    putString(1, x2, 472, second, kOrange.r, kOrange.g, kOrange.b, fb);
  }
}

// The band box: "NOPA" across the band the amplifier must not be used on,
// else the last band row that holds the frequency.
void bandText(Works *works, char *out, size_t size) {
  const int32_t f = works->frequency;
  if (f >= 26000000 && f <= 28000000) {
    snprintf(out, size, "NOPA");
    return;
  }
  char name[9] = "---";
  {
    std::lock_guard<std::recursive_mutex> lock(works->tablesMutex);
    int n = works->numBands;
    if (n > 11) n = 11;
    for (int r = 0; r < n; ++r) {
      const TabAntennaRow &row = works->tabAntenna[r];
      if (static_cast<uint32_t>(f) >= row.fmin && static_cast<uint32_t>(f) <= row.fmax && f >= 0)
        BandName(row, name);
    }
  }
  snprintf(out, size, "Band:%s", name);
}

void drawMainBoxes(Works *works) {
  LinkView v;
  ReadLinkView(works, &v);
  FrameBuffer *fb = works->fb;
  char text[128];
  if (works->enableDebug) {
    snprintf(text, sizeof text, "PW %04d FWD %04d REFL %04d SWR %03.02f (%X)",
             static_cast<int>(v.rawPw), static_cast<int>(v.rawFwd), static_cast<int>(v.rawRefl),
             static_cast<double>(v.swr), static_cast<unsigned>(works->panelVampAdc));
    putString(8, 5, 275, text, 250, 0, 0, fb);
    snprintf(text, sizeof text, "freq %lu L%i,C%i,%s",
             static_cast<unsigned long>(static_cast<uint32_t>(v.freqMeasured)), v.tuneL, v.tuneC,
             NetworkModeText(v.tuneVal));
    putString(8, 500, 275, text, 250, 0, 0, fb);
  }
  const uint8_t flags = works->uiFlags;
  if (flags & 0x01)
    putString(8, 5, 350, "Entering second function...", 250, 250, 250, fb);
  else if (flags & 0x02)
    putString(8, 5, 350, "ATU ByPass not saved!", 250, 250, 250, fb);

  static const int kRow1[7][2] = {{1, 110},   {115, 260}, {265, 400}, {405, 520},
                                  {525, 600}, {605, 710}, {715, 799}};
  for (const auto &b : kRow1) DrawRect(works, b[0], 278, b[1], 303, 200, 200, 200);
  const Rgb blue = {0, 200, 255};
  char mode[9] = "";
  GetLblInterface(works->modeWorkIdx, mode);
  putString(8, 10, 298, mode, blue.r, blue.g, blue.b, fb);
  putString(8, 125, 298, (v.stErr[0] & 1) ? "Coax:RX+TX" : "  Coax:RTX", blue.r, blue.g, blue.b,
            fb);
  bandText(works, text, sizeof text);
  putString(8, 275, 298, text, blue.r, blue.g, blue.b, fb);
  if (v.ampBypass == 1)
    snprintf(text, sizeof text, "Att %s", "StBy");
  else
    snprintf(text, sizeof text, "Att %sdB", AttText(v.attenuator));
  putString(8, 415, 298, text, blue.r, blue.g, blue.b, fb);
  snprintf(text, sizeof text, "Ant %d", v.antenna + 1);
  putString(8, 535, 298, text, blue.r, blue.g, blue.b, fb);
  putString(8, 615, 298, v.atuBypass ? "Atu: Bpy" : "Atu: On", blue.r, blue.g, blue.b, fb);
  const bool remote = works->remoteGo == 1;
  const bool broken = remote && works->catClosed == 1;
  putString(8, 725, 298, remote ? "Remote" : "Local", broken ? 250 : blue.r, broken ? 0 : blue.g,
            broken ? 0 : blue.b, fb);

  DrawRect(works, 1, 307, 400, 332, 100, 100, 100);
  DrawRect(works, 405, 307, 799, 332, 100, 100, 100);
  const float t1 = v.temp1, t2 = v.temp2, cpu = works->cpuTemp;
  if (works->tempMode)
    snprintf(text, sizeof text, "PA1:%04.01f°F   P2:%04.01f°F    CPU:%04.01f°F",
             static_cast<double>(ConversionCelsius_to_Fahrenheit(t1)),
             static_cast<double>(ConversionCelsius_to_Fahrenheit(t2)),
             static_cast<double>(ConversionCelsius_to_Fahrenheit(cpu)));
  else
    snprintf(text, sizeof text, "PA1:%04.01f°C   P2:%04.01f°C    CPU:%04.01f°C",
             static_cast<double>(t1), static_cast<double>(t2), static_cast<double>(cpu));
  putString(8, 10, 327, text, 0, 200, 0, fb);
  const float volts = CalvTensVadcAmp(works, works->panelVampAdc);
  const double amps = v.iAdc / 4096.0 * 14.05;
  if (v.powerClass != '1' && volts > 20)
    snprintf(text, sizeof text, "PA Voltage: -----       Current: %04.01fA", amps);
  else
    snprintf(text, sizeof text, "PA Voltage: %04.01fV       Current: %04.01fA",
             static_cast<double>(volts), amps);
  putString(8, 415, 327, text, 0, 200, 0, fb);
}

void drawMemoryTable(Works *works) {
  FrameBuffer *fb = works->fb;
  char text[128], mode[9] = "";
  GetLblInterface(works->modeWorkIdx, mode);
  snprintf(text, sizeof text, " Memory Table Bank %i - Interface: %s", works->numBanco.load(),
           mode);
  putString(0, 100, 50, text, kOrange.r, kOrange.g, kOrange.b, fb);
  putString(8, 50, 100, "N     Band     Pwr    Att(dB)  AmpEnable    Ant       Atu", 250, 250, 250,
            fb);
  const int selRow = works->tabAntennaRowSel, selCol = works->tabAntennaColSel;
  std::lock_guard<std::recursive_mutex> lock(works->tablesMutex);
  int n = works->numBands;
  if (n > 11) n = 11;
  for (int r = 0; r < n; ++r) {
    const TabAntennaRow &row = works->tabAntenna[r];
    const int y = 130 + 22 * r;
    const Rgb c = r == selRow ? kOrange : Rgb{250, 250, 250};
    // Columns 0..4 of the editor are Pwr, Att, AmpEnable, Ant, Atu.
    auto cell = [&](int column, int x, const char *value) {
      if (r == selRow && column == selCol)
        putString(7, x, y, value, 255, 0, 0, fb);
      else
        putString(8, x, y, value, c.r, c.g, c.b, fb);
    };
    snprintf(text, sizeof text, "%i", r + 1);
    cell(-2, 50, text);
    char name[9];
    BandName(row, name);
    cell(-2, 90, name);
    snprintf(text, sizeof text, "%2.1f", static_cast<double>(row.pwr));
    cell(0, 170, text);
    cell(1, 250, AttText(row.att));
    cell(2, 350, row.ampEnable ? "On" : "Off");
    snprintf(text, sizeof text, "%x", static_cast<unsigned>(row.ant));
    cell(3, 470, text);
    cell(4, 540, row.atuBypass == 1 ? "Off" : "On");
  }
}

void drawFilterTable(Works *works) {
  FrameBuffer *fb = works->fb;
  putString(0, 250, 50, "FILTER SETTINGS", kOrange.r, kOrange.g, kOrange.b, fb);
  putString(8, 50, 100, "N    Start (Hz)                 Stop(Hz)                   Enabled", 250,
            250, 250, fb);
  const int sel = works->filterRowSel;
  char text[32];
  std::lock_guard<std::recursive_mutex> lock(works->tablesMutex);
  for (int r = 0; r < 8; ++r) {
    const FilterRow &row = works->tabFiltri[r];
    const int y = 130 + 22 * r;
    const Rgb c = r == sel ? kOrange : Rgb{250, 250, 250};
    snprintf(text, sizeof text, "%i", r + 1);
    putString(8, 50, y, text, c.r, c.g, c.b, fb);
    snprintf(text, sizeof text, "%d", static_cast<int>(row.fstart));
    putString(8, 90, y, text, c.r, c.g, c.b, fb);
    snprintf(text, sizeof text, "%d", static_cast<int>(row.fstop));
    putString(8, 290, y, text, c.r, c.g, c.b, fb);
    putString(8, 490, y, row.enabled ? "On" : "Off", c.r, c.g, c.b, fb);
  }
}

}  // namespace

float ConversionCelsius_to_Fahrenheit(float c) {
  return c * 9 / 5 + 32;
}

void LoadButtons(Works *works, const NebParam *param) {
  int state = works->screenState;
  if (state < 0 || state >= kLumoStates) state = 0;
  refreshLabels(works, state);
  if (works->fb == nullptr) return;
  LumoRow row;
  GetKeyRow(state, &row);
  drawKeyBar(works, state, row);
  drawKeyLabels(works, state, row);
  DrawParameters(works);
  DrawError(works);
  ViewStatusInfo(works, param);
  ViewStatusTX(works);
}

void DrawParameters(Works *works) {
  if (works->deviceError > 0) return;
  const int state = works->screenState;
  const uint8_t view = works->statusView;
  if (state == 1 || state == 2) {
    DrawMenuScreen(works);
  } else if (works->armedActions & kArmedFwNotice) {
    putString(8, 100, 400, "FW UPDATE: please update fw with FlashMagic and then Reset HW", 250,
              250, 250, works->fb);
  } else if (view & 0x02) {
    drawMemoryTable(works);
  } else if (view & 0x04) {
    drawFilterTable(works);
  } else if (view == 1) {
    // The status page is ViewStatusInfo's.
  } else {
    drawMainBoxes(works);
  }
}

void ViewStatusInfo(Works *works, const NebParam *param) {
  if (works->statusView != kViewStatus) return;
  LinkView v;
  ReadLinkView(works, &v);
  if (SetupChar(works, SB_enaser) == '0') {
    SetSetupChar(works, SB_enaser, '1');
    StartThreadNEB(works);
  }
  FrameBuffer *fb = works->fb;
  const bool f = works->tempMode != 0;
  auto temp = [f](float c) {
    return static_cast<double>(f ? ConversionCelsius_to_Fahrenheit(c) : c);
  };
  char text[160], a[40], b[40];
  auto line = [&](int y, const char *caption, const char *value) {
    if (caption != nullptr) putString(8, 5, y, caption, 255, 255, 255, fb);
    putString(8, 180, y, value, 255, 255, 255, fb);
  };
  works->version.get(a, sizeof a);
  works->microVersion.get(b, sizeof b);
  snprintf(text, sizeof text, "SW ver. %s, FW ver. %s", a, b);
  line(110, "VERSION", text);
  works->eePage0.get(a, sizeof a);
  works->eePage1.get(b, sizeof b);
  snprintf(text, sizeof text, "%s (%s), TYPE: %s, MAXPOWER: %s", a, b,
           v.eeModel == '1' ? "USA" : "EU", v.powerClass == '1' ? "120W" : "60W");
  line(132, "SN", text);
  snprintf(text, sizeof text, "FWD:%02.01f, RFL:%02.01f , PW:%02.01f, SWR:%02.01f",
           static_cast<double>(v.pwFwd), static_cast<double>(v.pwRefl), static_cast<double>(v.pwIn),
           static_cast<double>(v.swr));
  line(154, "POWER", text);
  const long shown = SetupChar(works, SB_enaser) == '1' ? works->frequency.load() : v.freqMeasured;
  snprintf(text, sizeof text, "%ldHz(%ld)", shown,
           param != nullptr ? static_cast<long>(param->freq) : 0L);
  line(176, "FREQUENCY", text);
  const double iAdc = v.iAdc;
  snprintf(text, sizeof text,
           f ? "Current:%05.01fA (%05.01f), Tbrd:%04.02f°F, Thsk:%04.02f°F"
             : "Current:%05.01fA (%05.01f), Tbrd:%04.02f°C, Thsk:%04.02f°C",
           iAdc / 4096.0 * 14.05, iAdc, temp(v.temp1), temp(v.temp2));
  line(198, "TEMPERATURE", text);
  snprintf(text, sizeof text, f ? "CPU:%4.01f°F, GPU:%4.01f°F" : "CPU:%2.01f°C, GPU:%2.01f°C",
           temp(works->cpuTemp), temp(works->gpuTemp));
  line(220, nullptr, text);
  snprintf(text, sizeof text,
           f ? "Set Point Alarm %4.01f°F, FAN: %i%%" : "Set Point Alarm %04.02f°C, FAN: %i%%",
           temp(works->maxTemperature), v.fanPercentSent);
  line(242, nullptr, text);
  snprintf(text, sizeof text, "IP:%.31s, NetMask:%.31s ", IP, NetMask);
  line(264, "LAN", text);
  snprintf(text, sizeof text, "Gateway:%.31s, DNS:%.31s ", Gateway, DNS);
  line(286, nullptr, text);
  snprintf(text, sizeof text, "State 0x%02x 0x%02x,ES:%d,ER:%d", static_cast<unsigned>(v.stErr[0]),
           static_cast<unsigned>(v.stErr[1]), v.retryTotal, v.retryStops);
  line(308, "STATUS", text);
  line(330, nullptr, ExistError(works, ERR_NEB_EXTIO) ? "No EXT IO data" : "EXT IO connected");
  snprintf(text, sizeof text, "ver. %x, V12: %02.01fV, V15: %02.01fV, Vamp: %02.01fV",
           static_cast<unsigned>(works->panelVersion),
           static_cast<double>(CalvTensVadcAmp(works, works->panelV12Adc)),
           static_cast<double>(CalvTensVadcAmp(works, works->panelV15Adc)),
           static_cast<double>(CalvTensVadcAmp(works, works->panelVampAdc)));
  line(352, "AMPL", text);
  if (works->screenState == SS_MAIN) {
    works->dateTimeText.get(a, sizeof a);
    putString(8, 300, 400, a, 255, 255, 255, fb);
  }
}

void ViewStatusTX(Works *works) {
  LinkView v;
  ReadLinkView(works, &v);
  if (works->statusView == kViewStatus || !(v.stErr[1] & 0x01)) return;
  FillBox(375, 175, 430, 210, 250, 0, 0, works->fb, FB_BACK);
  putString(8, 390, 200, "TX", 255, 255, 255, works->fb);
}
