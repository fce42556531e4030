// The front panel: the GPIO thread, the link to the panel's controller and
// the meaning of every key in every screen state.
#include "ui/panel.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/config.h"
#include "controller/link.h"
#include "core/globals.h"
#include "core/setup.h"
#include "core/startup.h"
#include "display/display.h"
#include "errors/errors.h"
#include "platform/log.h"
#include "platform/platform.h"
#include "tuner/tuner.h"
#include "ui/menu.h"
#include "ui/menu_edit.h"
#include "ui/plot.h"
#include "ui/ui.h"

namespace {

// Physical address of the GPIO block of the supported boards.
constexpr off_t kGpioPhysBase = 0x3F200000;
constexpr int kPassMs = 2;
constexpr int kLinkStepUs = 200;
constexpr int kPollSlots = 200;
constexpr int kDebouncePasses = 5;
// The notice "Entering second function..." shows this long before a long press.
constexpr double kLongNotice = 0.15;
constexpr int kFallbackMenuCount = 32;

// ---- Register access.

inline volatile uint32_t &reg(GpioBlock *g, int offset) {
  return g->regs[offset / 4];
}

void linkDelay(GpioBlock *g, int us) {
  if (g->delayUs != nullptr) {
    g->delayUs(g->ctx, us);
    return;
  }
  struct timespec ts = {0, static_cast<long>(us) * 1000};
  while (clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, &ts) == EINTR) {
  }
}

void pinInput(GpioBlock *g, int pin) {
  volatile uint32_t &r = reg(g, kRegFsel0 + 4 * (pin / 10));
  r = r & ~(7u << ((pin % 10) * 3));
}

void pinOutput(GpioBlock *g, int pin) {
  pinInput(g, pin);
  volatile uint32_t &r = reg(g, kRegFsel0 + 4 * (pin / 10));
  r = r | (1u << ((pin % 10) * 3));
}

void pinHigh(GpioBlock *g, int pin) {
  reg(g, kRegSet0) = 1u << pin;
}
void pinLow(GpioBlock *g, int pin) {
  reg(g, kRegClr0) = 1u << pin;
}
int pinLevel(GpioBlock *g, int pin) {
  return (reg(g, kRegLev0) >> pin) & 1;
}

// ---- Small helpers of the key actions.

int menuCount(Works *works) {
  int n = works->menuCount;
  return n > 0 ? n : kFallbackMenuCount;
}

void showInterfaceLabel(Works *works) {
  char name[16] = {0};
  GetLblInterface(works->modeWorkIdx, name);
  SetMenuKeyLabel(SS_MEMORY_TABLE, 2, 1, name);
}

// Queues the relay word unless a write of it is still waiting in the queue:
// that one sends the word as it is when it goes out, and a held L/C key
// would otherwise fill the queue and crowd out every other command.
void queueTuneWord(Works *works) {
  {
    std::lock_guard<std::mutex> lock(works->cmdQueueMutex);
    for (int i = works->cmdQueueOut; i != works->cmdQueueIn; i = (i + 1) % kCmdQueueSlots)
      if (works->cmdQueue[i] == LP_MT1) return;
  }
  IncPNTIn_CMDLinear(LP_MT1, works);
}

// Manual tune: one step of L or C within 0..511, under the tune-value lock.
void manualStep(Works *works, bool inductance, int delta) {
  WaitSemaforoTuneval(works);
  At<int32_t> &field = inductance ? works->tuneL : works->tuneC;
  int v = field + delta;
  if (v >= 0 && v <= 511) {
    field = v;
    if (inductance)
      SetI(works, v);
    else
      SetC(works, v);
    queueTuneWord(works);
  }
  StopSemaforoTuneval(works);
}

void cycleNetworkMode(Works *works) {
  if (works->autoTuneState != 0) return;
  WaitSemaforoTuneval(works);
  int mode = DecodeModoFromTuneval(works->tuneVal);
  SetMode(works, mode == 1 ? 2 : mode == 2 ? 3 : 1);
  IncPNTIn_CMDLinear(LP_MT1, works);
  StopSemaforoTuneval(works);
}

void attenuatorKey(Works *works) {
  int sel = works->attenuatorSel;
  if (works->stErr[1] & 1) {
    // Transmitting: the amplifier cannot leave bypass now, and StBy is not offered.
    if (works->ampBypass == 1) {
      AddErrore(works, ERR_CMD_NOT_AVAILABLE);
      return;
    }
    sel = sel >= 3 ? 0 : sel + 1;
  } else {
    sel = sel >= 4 ? 0 : sel + 1;
  }
  works->attenuatorSel = static_cast<uint8_t>(sel);
  if (sel <= 3) {
    works->attenuator = static_cast<uint8_t>(sel);
    IncPNTIn_CMDLinear(LP_AT, works);
    if (works->ampBypass == 1) IncPNTIn_CMDLinear(LP_AB0, works);
  } else if (works->ampBypass != 1) {
    IncPNTIn_CMDLinear(LP_AB1, works);
  }
  SaveToBank(works, works->numBanco, works->antenna);
}

void tuneCarrierToggle(Works *works) {
  uint8_t old = works->tuneCarrierFlags;
  if (old & 2) {
    // Carrier on: ask for receive ("RX;").
    while (!works->tuneCarrierFlags.compare_exchange_weak(
        old, static_cast<uint8_t>((old & ~0x33) | 1))) {
    }
    SetMenuKeyLabel(SS_MANUAL_TUNE, 6, 0, "StartTX");
    return;
  }
  if (works->stErr[0] & 1) {
    works->anSel = 0;
    IncPNTIn_CMDLinear(LP_AN, works);
    works->tuneCarrierFlags.fetch_or(0x10);
  }
  works->tuneCarrierFlags.fetch_or(3);  // carrier wanted, request pending
  SetMenuKeyLabel(SS_MANUAL_TUNE, 6, 0, "StopTX");
}

void bypassToggle(Works *works) {
  works->tuneFine = 0;
  works->uiFlags.fetch_and(static_cast<uint8_t>(~2));
  LogStderr("xxxxx TUNE_ByPass %x\n", works->atuBypass.load());
  if (works->atuBypass) {
    works->atuBypass = 0;
    GestioneLoadTuneVal(works, 1);
  } else {
    works->atuBypass = 1;
    IncPNTIn_CMDLinear(LP_MT1_BYPASS, works);
  }
  SaveToBank(works, works->numBanco, works->antenna);
}

void tuneKey(Works *works, int fine) {
  LogStderr("xxxxx AUTO TUNE_ByPass %x\n", works->atuBypass.load());
  if (works->atuBypass) return;
  works->uiFlags.fetch_and(static_cast<uint8_t>(~2));
  works->tuneFine = fine;
  GoTune(works);
}

void retryDevice(Works *works) {
  switch (works->deviceError) {
    case 1:
      works->deviceError = -1;
      StartThreadLinear(works);
      break;
    case 2:
      works->deviceError = -1;
      StartThreadCAT(works);
      break;
    case 3:
      works->deviceError = -1;
      StartThreadNEB(works);
      break;
    case 5:
      works->deviceError = -1;
      StartNebReadFFT(works);
      break;
    default: break;
  }
}

void cancelDevice(Works *works) {
  switch (works->deviceError) {
    case 1:
      works->deviceError = -1;
      StartThreadLinear(works);
      break;
    case 2:
      SetSetupChar(works, SB_EnableCAT, '0');
      works->deviceError = -1;
      break;
    case 3:
      SetSetupChar(works, SB_enaser, '0');
      works->deviceError = -1;
      break;
    case 5:
      SetSetupChar(works, SB_EnableFFT, '0');
      works->deviceError = -1;
      break;
    default: break;
  }
}

void resendControllerSettings(Works *works) {
  IncPNTIn_CMDLinear(LP_MP0, works);
  IncPNTIn_CMDLinear(LP_CP, works);
  if (works->modeWorkIdx != 0) IncPNTIn_CMDLinear(LP_FA, works);
  IncPNTIn_CMDLinear(LP_TS, works);
  IncPNTIn_CMDLinear(LP_AB0, works);
  IncPNTIn_CMDLinear(LP_AN, works);
  IncPNTIn_CMDLinear(LP_SA, works);
  IncPNTIn_CMDLinear(LP_AT, works);
}

void saveTune(Works *works) {
  const int mode = DecodeModoFromTuneval(works->tuneVal);
  if (mode == 3 || mode == 0) {
    works->uiFlags.fetch_or(2);  // a bypass word (or one without a network) is no tune to store
  } else {
    LoadTabAtu(works, works->saveBank, works->saveAnt);
    InsertTuneToMem(works, works->saveBank, works->saveAnt);
    LoadAllBankTable(works, works->numBanco);
  }
  works->screenState = SS_TUNE;
}

void copyBank(Works *works) {
  CopyBank(works, works->copyOrigin, works->copyDest);
  works->screenState = SS_MEMORY_TABLE;
}

void resetBank(Works *works) {
  ResetBank(works, works->resetBank);
  works->screenState = SS_MEMORY_TABLE;
}

int stepWrap(int v, int delta, int count) {
  if (count <= 0) return 0;
  v += delta;
  if (v < 0) return count - 1;
  if (v >= count) return 0;
  return v;
}

// ---- The keys, by screen state.

void key1(Works *works, int state, bool isLong) {
  switch (state) {
    case SS_MAIN:
      if (EscFromStatus(works)) return;
      if (works->statusView & 2) {
        works->statusView.fetch_and(static_cast<uint8_t>(~2));
        SetWorkImg(works);
      } else if (!isLong) {
        ChangeBanco(works);
      } else {
        works->statusView.fetch_or(2);
        PostBackgroundImage(works, "statusB");
        showInterfaceLabel(works);
        works->screenState = SS_MEMORY_TABLE;
      }
      break;
    case SS_MENU_LIST:
    case SS_SAVE_TUNE: works->screenState = SS_MAIN; break;
    case SS_TUNE:
      works->tuneFine = 0;
      works->uiFlags.fetch_and(static_cast<uint8_t>(~2));
      if (works->autoTuneState == 0) works->screenState = SS_MAIN;
      break;
    case SS_MANUAL_TUNE:
      if (isLong) {
        cycleNetworkMode(works);
      } else {
        // Carrier off first, so the pending request never carries "on".
        works->tuneCarrierFlags.fetch_and(static_cast<uint8_t>(~2));
        works->tuneCarrierFlags.fetch_or(1);
        works->saveBank = works->numBanco.load();
        works->saveAnt = works->antenna.load();
        works->screenState = SS_SAVE_TUNE;
      }
      break;
    case SS_MEMORY_TABLE:
      works->statusView.fetch_and(static_cast<uint8_t>(~2));
      SetWorkImg(works);
      works->screenState = SS_MAIN;
      break;
    case SS_BAND_EDIT:
      LoadTabConfig(works, works->numBanco);
      showInterfaceLabel(works);
      works->tabAntennaColSel = -1;
      works->screenState = SS_MEMORY_TABLE;
      break;
    case SS_UTILITIES:
      showInterfaceLabel(works);
      works->screenState = SS_MEMORY_TABLE;
      break;
    case SS_COPY_BANK:
    case SS_RESET_BANK: works->screenState = SS_MEMORY_TABLE; break;
    case SS_FILTER_TABLE:
      if (works->statusView & 4) {
        works->statusView.fetch_and(static_cast<uint8_t>(~4));
        SetWorkImg(works);
        works->screenState = SS_MAIN;
      }
      break;
    default: break;
  }
}

int key2(Works *works, int state, bool isLong, int longFlags) {
  switch (state) {
    case SS_MAIN:
      if (isLong) break;
      if (EscFromStatus(works)) break;
      attenuatorKey(works);
      break;
    case SS_MENU_VALUE: ModifyParameter(works, MK_LEFT); break;
    case SS_TUNE: works->uiFlags.fetch_and(static_cast<uint8_t>(~2)); break;
    case SS_MANUAL_TUNE: manualStep(works, true, -1); return longFlags;
    case SS_MEMORY_TABLE: ChangeInterfaceBanco(works); break;
    case SS_BAND_EDIT:
      works->tabAntennaColSel = works->tabAntennaColSel <= 0 ? 4 : works->tabAntennaColSel - 1;
      break;
    case SS_SAVE_TUNE:
      works->saveBank = works->saveBank + 1 >= works->maxBank ? 0 : works->saveBank + 1;
      break;
    case SS_UTILITIES:
      works->copyOrigin = works->numBanco.load();
      works->screenState = SS_COPY_BANK;
      break;
    case SS_COPY_BANK: works->copyOrigin = stepWrap(works->copyOrigin, 1, works->maxBank); break;
    case SS_RESET_BANK:
      // One past the last bank stands for all banks.
      works->resetBank = works->resetBank + 1 > works->maxBank ? 0 : works->resetBank + 1;
      break;
    case SS_FILTER_TABLE: works->filterRowSel = stepWrap(works->filterRowSel, -1, 8); break;
    default: break;
  }
  return 0;
}

int key3(Works *works, int state, int longFlags) {
  switch (state) {
    case SS_MAIN:
      if (EscFromStatus(works)) break;
      works->antenna = works->antenna >= 2 ? 0 : works->antenna + 1;
      IncPNTIn_CMDLinear(LP_SA, works);
      SaveToBank(works, works->numBanco, works->antenna);
      break;
    case SS_MENU_LIST:
      works->menuIdx = stepWrap(works->menuIdx, -1, menuCount(works));
      works->menuItemIdx = 0;
      break;
    case SS_MENU_VALUE: ModifyParameter(works, MK_RIGHT); break;
    case SS_TUNE: tuneKey(works, 1); break;
    case SS_MANUAL_TUNE: manualStep(works, true, +1); return longFlags;
    case SS_MEMORY_TABLE:
      works->tabAntennaRowSel = stepWrap(works->tabAntennaRowSel, -1, works->numBands);
      break;
    case SS_BAND_EDIT:
      works->tabAntennaColSel = works->tabAntennaColSel >= 4 ? 0 : works->tabAntennaColSel + 1;
      break;
    case SS_SAVE_TUNE: works->saveAnt = works->saveAnt >= 2 ? 0 : works->saveAnt + 1; break;
    case SS_UTILITIES:
      works->resetBank = works->numBanco.load();
      works->screenState = SS_RESET_BANK;
      break;
    case SS_COPY_BANK: works->copyDest = stepWrap(works->copyDest, 1, works->maxBank); break;
    case SS_FILTER_TABLE: works->filterRowSel = stepWrap(works->filterRowSel, 1, 8); break;
    default: break;
  }
  return 0;
}

int key4(Works *works, int state, int longFlags) {
  switch (state) {
    case SS_MAIN:
      if (EscFromStatus(works)) break;
      works->screenState = SS_TUNE;
      break;
    case SS_MENU_LIST:
      works->menuIdx = stepWrap(works->menuIdx, 1, menuCount(works));
      works->menuItemIdx = 0;
      break;
    case SS_MENU_VALUE: ModifyParameter(works, MK_MINUS); break;
    case SS_TUNE: tuneKey(works, 0); break;
    case SS_MANUAL_TUNE: manualStep(works, false, -1); return longFlags;
    case SS_MEMORY_TABLE:
      works->tabAntennaRowSel = stepWrap(works->tabAntennaRowSel, 1, works->numBands);
      break;
    case SS_BAND_EDIT: ModifytabAntenna(works, 0); break;
    default: break;
  }
  return 0;
}

int key5(Works *works, int state, int longFlags) {
  switch (state) {
    case SS_MAIN:
      if (EscFromStatus(works)) break;
      works->screenState = SS_MENU_LIST;
      break;
    case SS_MENU_VALUE: ModifyParameter(works, MK_PLUS); break;
    case SS_TUNE: bypassToggle(works); break;
    case SS_MANUAL_TUNE: manualStep(works, false, +1); return longFlags;
    case SS_DEVICE_ERROR: retryDevice(works); break;
    case SS_MEMORY_TABLE: works->screenState = SS_UTILITIES; break;
    case SS_BAND_EDIT: ModifytabAntenna(works, 1); break;
    case SS_FILTER_TABLE: EnDisFilter(works, 1); break;
    default: break;
  }
  return 0;
}

void key6(Works *works, int state, bool isLong) {
  switch (state) {
    case SS_MAIN:
      if (isLong) {
        works->statusView.fetch_or(1);
        PostBackgroundImage(works, "status");
        break;
      }
      if (EscFromStatus(works)) break;
      works->meterView = works->meterView >= 5 ? 1 : works->meterView + 1;
      works->statusView = 0;
      works->needlePeakRight = 0;
      SetWorkImg(works);
      LogInfo("type to %d\n", works->meterView.load());
      break;
    case SS_MENU_LIST:
      if (!MenuEntryNoEdit(works->menuIdx)) works->screenState = SS_MENU_VALUE;
      break;
    case SS_MENU_VALUE:
      ModifyParameter(works, MK_ENTER);
      if (works->statusView & 2)
        works->screenState = SS_MEMORY_TABLE;
      else if (works->statusView & 4)
        works->screenState = SS_FILTER_TABLE;
      else
        works->screenState = SS_MENU_LIST;
      break;
    case SS_TUNE:
      if (isLong) {
        resendControllerSettings(works);
        break;
      }
      works->tuneFine = 0;
      works->uiFlags.fetch_and(static_cast<uint8_t>(~2));
      if (works->manualTune) {
        works->manualTune = 0;
      } else {
        works->manualTune = 1;
        IncPNTIn_CMDLinear(LP_MT, works);
        works->screenState = SS_MANUAL_TUNE;
        ImpostaLblManuale(works);
      }
      break;
    case SS_MANUAL_TUNE: tuneCarrierToggle(works); break;
    case SS_DEVICE_ERROR: cancelDevice(works); break;
    case SS_MEMORY_TABLE:
      works->tabAntennaColSel = 0;
      works->screenState = SS_BAND_EDIT;
      break;
    case SS_BAND_EDIT: SaveTabConfig(works, works->numBanco); break;
    case SS_SAVE_TUNE: saveTune(works); break;
    case SS_COPY_BANK: copyBank(works); break;
    case SS_RESET_BANK: resetBank(works); break;
    case SS_FILTER_TABLE: EnDisFilter(works, 0); break;
    default: break;
  }
}

// ---- Board detection.

bool fileExists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// The device tree's compatible list (NUL-separated strings), "" when absent.
std::string readCompatible() {
  for (const char *p :
       {"/proc/device-tree/compatible", "/sys/firmware/devicetree/base/compatible"}) {
    FILE *f = fopen(MapPath(p).c_str(), "rb");
    if (f == nullptr) continue;
    char buf[512];
    size_t n = fread(buf, 1, sizeof buf, f);
    fclose(f);
    return std::string(buf, n);
  }
  return std::string();
}

}  // namespace

// ---- Public operations.

int EscFromStatus(Works *works) {
  if (!(works->statusView & 1)) return 0;
  works->statusView.fetch_and(static_cast<uint8_t>(~1));
  SetWorkImg(works);
  return 1;
}

void SetWorkImg(Works *works) {
  char name[16];
  const char *suffix = works->powerClass == '1' ? "b" : "";
  switch (works->meterView) {
    case 2: snprintf(name, sizeof name, "img3%s", suffix); break;
    case 4:
      snprintf(name, sizeof name, "m5a");
      divX = 16;
      works->plotSpan = 160000;
      xRangeEnd = 854;
      break;
    case 5:
      snprintf(name, sizeof name, "m5a");
      divX = 8;
      works->plotSpan = 80000;
      xRangeEnd = 427;
      break;
    default: snprintf(name, sizeof name, "img1%s", suffix); break;
  }
  PostBackgroundImage(works, name);
  if (works->modeWorkIdx != 1) SetSetupChar(works, SB_enaser, '0');
}

void ModifytabAntenna(Works *works, int decrease) {
  std::lock_guard<std::recursive_mutex> lock(works->tablesMutex);
  int row = works->tabAntennaRowSel;
  if (row < 0 || row >= works->numBands || row >= 11) return;
  TabAntennaRow &r = works->tabAntenna[row];
  const int d = decrease ? -1 : 1;
  switch (works->tabAntennaColSel) {
    case 0:
      r.pwr = static_cast<float>((std::lround(r.pwr * 10.0) + d) / 10.0);
      if (r.att > 5) r.att = 5;
      break;
    case 1: {
      int v = r.att + d;
      r.att = static_cast<uint8_t>(v < 0 || v > 3 ? 0 : v);
      break;
    }
    case 2: r.ampEnable = r.ampEnable ? 0 : 1; break;
    case 3: {
      int v = r.ant + d;
      if (v <= 0) v = 3;
      if (v > 3) v = 1;
      r.ant = static_cast<uint8_t>(v);
      break;
    }
    case 4: r.atuBypass = r.atuBypass ? 0 : 1; break;
    default: break;
  }
}

void ImpostaLblManuale(Works *works) {
  if (works->screenState != SS_MANUAL_TUNE) return;
  char text[16];
  snprintf(text, sizeof text, "     %u", static_cast<unsigned>(works->tuneL));
  SetMenuKeyLabel(SS_MANUAL_TUNE, 3, 1, text);
  snprintf(text, sizeof text, "     %u", static_cast<unsigned>(works->tuneC));
  SetMenuKeyLabel(SS_MANUAL_TUNE, 5, 1, text);
  int mode = DecodeModoFromTuneval(works->tuneVal);
  SetMenuKeyLabel(SS_MANUAL_TUNE, 1, 1, mode == 1 ? "CL" : mode == 2 ? "LC" : "ByP");
}

int DecodeTasto(Works *works, int key, int longFlags) {
  works->lastKeyTime = static_cast<int32_t>(time(nullptr));
  if (works->screenSaverOn) {
    // The work image is asked for first, so the loop never draws the live
    // screen over the saver's picture.
    SetWorkImg(works);
    works->screenSaverOn = 0;
    LogStderr("----------> DISATTIVO SAVE SCREEN\n");
    works->uiFlags.fetch_and(static_cast<uint8_t>(~1));
    return 0;
  }
  const int state = works->screenState;
  const bool isLong = longFlags != 0;
  int result = 0;
  switch (key) {
    case 1: key1(works, state, isLong); break;
    case 2: result = key2(works, state, isLong, longFlags); break;
    case 3: result = key3(works, state, longFlags); break;
    case 4: result = key4(works, state, longFlags); break;
    case 5: result = key5(works, state, longFlags); break;
    case 6:
      if (GPIO_Errori(works)) {
        works->tuneFine = 0;
        break;
      }
      key6(works, state, isLong);
      break;
    default: break;
  }
  works->uiFlags.fetch_and(static_cast<uint8_t>(~1));
  return result;
}

// ---- Key scanning.

void PanelKeysInit(PanelKeys *k) {
  for (int i = 0; i < kPanelKeys; ++i) {
    k->state[i] = 1;
    k->previous[i] = -1;
    k->diffs[i] = 0;
    k->pressStartMs[i] = 0;
    k->repeats[i] = 0;
    k->longDone[i] = false;
  }
}

double PanelLongThreshold(int repeats) {
  if (repeats == 0) return TIME_LONG_PRESS;
  if (repeats <= 14) return 0.1;
  return 0.02;
}

void PanelScanKeys(PanelKeys *k, Works *works, uint32_t level, long long nowMs,
                   KeyHandler handler) {
  for (int i = 0; i < kPanelKeys; ++i) {
    int raw = static_cast<int>((level >> (kKeyFirstGpio + i)) & 1u);
    if (raw == k->state[i]) continue;
    if (k->diffs[i] < kDebouncePasses) {
      ++k->diffs[i];
      continue;
    }
    bool othersReleased = true;
    for (int j = 0; j < kPanelKeys; ++j)
      if (j != i && k->state[j] != 1) othersReleased = false;
    if (!othersReleased) continue;  // one key at a time; the count waits
    k->diffs[i] = 0;
    int old = k->state[i];
    k->state[i] = raw;
    if (raw == 0) {
      k->pressStartMs[i] = nowMs;
      k->repeats[i] = 0;
      k->longDone[i] = false;
    } else {
      // A key that repeated has had its long presses: no extra step on release.
      if (k->previous[i] != -1 && !k->longDone[i] && k->repeats[i] == 0) handler(works, i + 1, 0);
      k->repeats[i] = 0;
      k->longDone[i] = false;
    }
    k->previous[i] = old;
  }
  for (int i = 0; i < kPanelKeys; ++i) {
    if (k->state[i] != 0 || k->longDone[i]) continue;
    double t = static_cast<double>(nowMs - k->pressStartMs[i]) / 1000.0;
    double threshold = PanelLongThreshold(k->repeats[i]);
    if (t > threshold - kLongNotice) works->uiFlags.fetch_or(1);
    if (t > threshold) {
      if (handler(works, i + 1, 1 << i) != 0) {
        k->pressStartMs[i] = nowMs;
        ++k->repeats[i];
      } else {
        k->longDone[i] = true;
      }
    }
  }
}

// ---- GPIO block and front-panel link.

void GpioSetup(GpioBlock *g) {
  pinOutput(g, kPinData);
  pinOutput(g, kPinClock);
  pinOutput(g, kPinAlwaysHigh);
  pinHigh(g, kPinFwArmed);
  pinOutput(g, kPinFwArmed);
  for (int pin = kKeyFirstGpio; pin < kKeyFirstGpio + kPanelKeys; ++pin) pinInput(g, pin);
  // Pull-ups on the keys: control, then its clock into the key pins, then both off.
  reg(g, kRegPud) = 2;
  linkDelay(g, 10);
  reg(g, kRegPudClk0) = kKeyLevelMask;
  linkDelay(g, 10);
  reg(g, kRegPud) = 0;
  reg(g, kRegPudClk0) = 0;
}

void GpioOutputs(GpioBlock *g, Works *works) {
  bool armed = (works->armedActions & 1) != 0;
  reg(g, kRegSet0) = (1u << kPinAlwaysHigh) | (armed ? 0u : 1u << kPinFwArmed);
  if (armed) pinLow(g, kPinFwArmed);
}

void PanelPollStep(Works *works) {
  if (works->panelPollWait > 0) {
    --works->panelPollWait;
    return;
  }
  works->panelPollWait = kPollSlots;
  uint8_t cmd = works->panelCmd.exchange(0);
  if (cmd != 0) {
    LogStderr("CMD TINY %0x\n", cmd);
    works->panelCmdOut = cmd;
    return;
  }
  static const uint8_t kPolls[4] = {209, 210, 211, 208};
  int idx = works->panelPollIdx;
  if (idx >= 0 && idx < 4) {
    works->panelCmdOut = kPolls[idx];
    works->panelPollIdx = static_cast<int8_t>(idx + 1);
  } else {
    works->panelPollIdx = 0;  // every fifth slot stays empty
  }
}

uint8_t PanelTransfer(GpioBlock *g, uint8_t cmd) {
  for (int bit = 7; bit >= 0; --bit) {
    pinHigh(g, kPinClock);
    linkDelay(g, kLinkStepUs);
    if ((cmd >> bit) & 1)
      pinHigh(g, kPinData);
    else
      pinLow(g, kPinData);
    linkDelay(g, kLinkStepUs);
    pinLow(g, kPinClock);
    linkDelay(g, kLinkStepUs);
  }
  pinInput(g, kPinData);
  for (int i = 0; i < 3; ++i) linkDelay(g, kLinkStepUs);
  uint32_t result = 0;
  for (int i = 0; i < 12; ++i) {
    pinLow(g, kPinClock);
    linkDelay(g, kLinkStepUs);
    result = (result << 1) | static_cast<uint32_t>(pinLevel(g, kPinData));
    pinHigh(g, kPinClock);
    linkDelay(g, kLinkStepUs);
  }
  pinOutput(g, kPinData);
  reg(g, kRegSet0) = (1u << kPinData) | (1u << kPinClock);
  return static_cast<uint8_t>(result & 0xFF);
}

void PanelStoreReply(Works *works, uint8_t cmd, uint8_t reply) {
  switch (cmd & 3) {
    case 0: works->panelVersion = reply; break;
    case 1: works->panelV12Adc = reply; break;
    case 2: works->panelV15Adc = reply; break;
    default: works->panelVampAdc = reply; break;
  }
}

GpioSource ChooseGpioSource(bool underRoot, bool haveGpiomem, const std::string &compatible,
                            std::string *why) {
  if (underRoot) return GS_VIRTUAL;
  if (haveGpiomem) return GS_GPIOMEM;
  // The block sits at 0x3F200000 only on the BCM2836/2837 boards; on any
  // other machine that address is someone else's memory.
  bool pi = false;
  size_t start = 0;
  while (start < compatible.size()) {
    size_t end = compatible.find('\0', start);
    if (end == std::string::npos) end = compatible.size();
    std::string entry = compatible.substr(start, end - start);
    if (entry == "brcm,bcm2836" || entry == "brcm,bcm2837" || entry == "brcm,bcm2709" ||
        entry == "brcm,bcm2710")
      pi = true;
    start = end + 1;
  }
  if (pi) return GS_DEVMEM;
  if (why != nullptr) {
    *why =
        compatible.empty()
            ? "no device tree: not the amplifier's board, /dev/mem left alone"
            : "device tree names another machine: not the amplifier's board, /dev/mem left alone";
  }
  return GS_REFUSE;
}

volatile uint32_t *GpioMap(int *exitStatus) {
  bool underRoot = !RootDir().empty();
  bool haveGpiomem = !underRoot && fileExists(MapPath("/dev/gpiomem"));
  std::string why;
  GpioSource src =
      ChooseGpioSource(underRoot, haveGpiomem, underRoot ? std::string() : readCompatible(), &why);
  if (src == GS_REFUSE) {
    LogErr("can't open /dev/mem");
    LogErr("GPIO: %s", why.c_str());
    *exitStatus = 8;
    return nullptr;
  }
  std::string path = MapPath(src == GS_GPIOMEM ? "/dev/gpiomem" : "/dev/mem");
  int fd = open(path.c_str(), O_RDWR | O_SYNC | O_CLOEXEC);
  if (fd < 0) {
    LogErr("can't open /dev/mem");
    *exitStatus = 8;
    return nullptr;
  }
  if (src == GS_VIRTUAL) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < kGpioBlockBytes) {
      close(fd);
      LogErr("can't open /dev/mem");
      LogErr("GPIO: %s is not a GPIO block file of %d bytes", path.c_str(), kGpioBlockBytes);
      *exitStatus = 8;
      return nullptr;
    }
  }
  off_t offset = src == GS_DEVMEM ? kGpioPhysBase : 0;
  void *map = mmap(nullptr, kGpioBlockBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
  int e = errno;
  close(fd);
  if (map == MAP_FAILED) {
    LogErr("mmap error %d\n", e);
    *exitStatus = -1;
    return nullptr;
  }
  *exitStatus = 0;
  return static_cast<volatile uint32_t *>(map);
}

void GpioUnmap(volatile uint32_t *regs) {
  if (regs != nullptr) munmap(const_cast<uint32_t *>(regs), kGpioBlockBytes);
}

namespace {

void gpioRun(Works *works) {
  int status = 0;
  volatile uint32_t *regs = GpioMap(&status);
  if (regs == nullptr) exit(status);
  GpioBlock gpio;
  gpio.regs = regs;
  GpioSetup(&gpio);
  PanelKeys keys;
  PanelKeysInit(&keys);
  LogStderr(" t1 %d %d, t2 %d %d, t3 %d %d, t4 %d %d, t5 %d %d, t6 %d %d\n", keys.state[0],
            keys.previous[0], keys.state[1], keys.previous[1], keys.state[2], keys.previous[2],
            keys.state[3], keys.previous[3], keys.state[4], keys.previous[4], keys.state[5],
            keys.previous[5]);
  LogInfo("GPIO loop start\n");
  while (works->running) {
    GpioOutputs(&gpio, works);
    if (works->panelCmdOut == kPanelIdle) PanelPollStep(works);
    uint8_t cmd = works->panelCmdOut;
    if (cmd != kPanelIdle) {
      PanelStoreReply(works, cmd, PanelTransfer(&gpio, cmd));
      works->panelCmdOut = kPanelIdle;
    }
    long long now = MonotonicMs();
    PanelScanKeys(&keys, works, PanelInjectLevel(reg(&gpio, kRegLev0), &keys, now), now);
    struct timespec ts = {0, kPassMs * 1000000L};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, &ts) == EINTR) {
    }
  }
  PanelInjectReset();
  GpioUnmap(regs);
}

}  // namespace

void *GPIO(void *arg) {
  Works *works = static_cast<Works *>(arg);
  works->gpioRunning = 1;
  LogInfo("GPIO operations start\n");
  try {
    gpioRun(works);
  } catch (...) {
    LogErr("GPIO: unexpected failure, front panel stops");
  }
  LogInfo("GPIO operations end\n");
  works->gpioRunning = 0;
  return nullptr;
}
