// What every front-panel key does in every screen state: short and long
// presses of keys 1..6, the helpers of those actions, and the screen
// changes they make.
#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "config/config.h"
#include "core/command_queue.h"
#include "core/link_requests.h"
#include "core/process_globals.h"
#include "core/setup.h"
#include "core/threads.h"
#include "display/display.h"
#include "errors/errors.h"
#include "errors/recovery.h"
#include "platform/log.h"
#include "platform/platform.h"
#include "tuner/tuner.h"
#include "ui/menu.h"
#include "ui/menu_edit.h"
#include "ui/panel.h"
#include "ui/plot.h"
#include "ui/ui.h"

namespace {

constexpr int kFallbackMenuCount = 32;

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

// Asks the link, the one writer of the controller's and the tuner's fields,
// for a change; it is applied when this returns.
void askLink(Works *works, int kind, int a = 0, int b = 0) {
  LinkRequest r;
  r.kind = kind;
  r.a = a;
  r.b = b;
  PostLinkRequest(works, r);
}

// Manual tune: one step of L or C within 0..511.
void manualStep(Works *works, bool inductance, int delta) {
  askLink(works, LR_MANUAL_STEP, inductance ? 1 : 0, delta);
}

void cycleNetworkMode(Works *works) {
  askLink(works, LR_NETWORK_NEXT);
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
  askLink(works, LR_ATTENUATOR, sel);
  SaveToBank(works, works->numBanco, works->antenna);
}

void tuneCarrierToggle(Works *works) {
  uint8_t old = works->tuneCarrierFlags;
  if (old & kCarrierTransmit) {
    // Carrier on: ask for receive ("RX;").
    constexpr uint8_t kAll =
        kCarrierPending | kCarrierTransmit | kCarrierAntennaAsked | kCarrierAntennaSet;
    while (!works->tuneCarrierFlags.compare_exchange_weak(
        old, static_cast<uint8_t>((old & ~kAll) | kCarrierPending))) {
    }
    SetMenuKeyLabel(SS_MANUAL_TUNE, 6, 0, "StartTX");
    return;
  }
  if (works->stErr[0] & 1) {
    askLink(works, LR_AN_INPUT, 0);
    works->tuneCarrierFlags.fetch_or(kCarrierAntennaAsked);
  }
  works->tuneCarrierFlags.fetch_or(kCarrierTransmit | kCarrierPending);
  SetMenuKeyLabel(SS_MANUAL_TUNE, 6, 0, "StopTX");
}

void bypassToggle(Works *works) {
  works->uiFlags.fetch_and(static_cast<uint8_t>(~kUiTuneNotStored));
  LogStderr("xxxxx TUNE_ByPass %x\n", works->atuBypass.load());
  askLink(works, LR_TUNER_BYPASS, works->atuBypass ? 0 : 1);
  SaveToBank(works, works->numBanco, works->antenna);
}

void tuneKey(Works *works, int fine) {
  LogStderr("xxxxx AUTO TUNE_ByPass %x\n", works->atuBypass.load());
  if (works->atuBypass) return;
  works->uiFlags.fetch_and(static_cast<uint8_t>(~kUiTuneNotStored));
  askLink(works, LR_TUNE_KEY, fine);
}

void clearTuneFine(Works *works) {
  askLink(works, LR_TUNE_FINE, 0);
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
    works->uiFlags.fetch_or(
        kUiTuneNotStored);  // a bypass word (or one without a network) is no tune to store
  } else {
    // Into the chosen bank's file, the memory in use untouched; the current
    // bank is then read again, as the queued file has it.
    InsertTuneToBankFile(works, works->saveBank, works->saveAnt);
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
      if (works->statusView & kViewStatusB) {
        works->statusView.fetch_and(static_cast<uint8_t>(~kViewStatusB));
        SetWorkImg(works);
      } else if (!isLong) {
        ChangeBanco(works);
      } else {
        works->statusView.fetch_or(kViewStatusB);
        PostBackgroundImage(works, "statusB");
        showInterfaceLabel(works);
        works->screenState = SS_MEMORY_TABLE;
      }
      break;
    case SS_MENU_LIST:
    case SS_SAVE_TUNE: works->screenState = SS_MAIN; break;
    case SS_TUNE:
      clearTuneFine(works);
      works->uiFlags.fetch_and(static_cast<uint8_t>(~kUiTuneNotStored));
      if (works->autoTuneState == 0) works->screenState = SS_MAIN;
      break;
    case SS_MANUAL_TUNE:
      if (isLong) {
        cycleNetworkMode(works);
      } else {
        // Carrier off first, so the pending request never carries "on".
        works->tuneCarrierFlags.fetch_and(static_cast<uint8_t>(~kCarrierTransmit));
        works->tuneCarrierFlags.fetch_or(kCarrierPending);
        works->saveBank = works->numBanco.load();
        works->saveAnt = works->antenna.load();
        works->screenState = SS_SAVE_TUNE;
      }
      break;
    case SS_MEMORY_TABLE:
      works->statusView.fetch_and(static_cast<uint8_t>(~kViewStatusB));
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
      if (works->statusView & kViewFilterTable) {
        works->statusView.fetch_and(static_cast<uint8_t>(~kViewFilterTable));
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
    case SS_TUNE: works->uiFlags.fetch_and(static_cast<uint8_t>(~kUiTuneNotStored)); break;
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
      askLink(works, LR_ANTENNA, works->antenna >= 2 ? 0 : works->antenna + 1);
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
        works->statusView.fetch_or(kViewStatus);
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
      if (works->statusView & kViewStatusB)
        works->screenState = SS_MEMORY_TABLE;
      else if (works->statusView & kViewFilterTable)
        works->screenState = SS_FILTER_TABLE;
      else
        works->screenState = SS_MENU_LIST;
      break;
    case SS_TUNE:
      if (isLong) {
        resendControllerSettings(works);
        break;
      }
      clearTuneFine(works);
      works->uiFlags.fetch_and(static_cast<uint8_t>(~kUiTuneNotStored));
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

}  // namespace

int EscFromStatus(Works *works) {
  if (!(works->statusView & kViewStatus)) return 0;
  works->statusView.fetch_and(static_cast<uint8_t>(~kViewStatus));
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
  LinkView v;
  ReadLinkView(works, &v);
  char text[16];
  snprintf(text, sizeof text, "     %u", static_cast<unsigned>(v.tuneL));
  SetMenuKeyLabel(SS_MANUAL_TUNE, 3, 1, text);
  snprintf(text, sizeof text, "     %u", static_cast<unsigned>(v.tuneC));
  SetMenuKeyLabel(SS_MANUAL_TUNE, 5, 1, text);
  int mode = DecodeModoFromTuneval(v.tuneVal);
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
    works->uiFlags.fetch_and(static_cast<uint8_t>(~kUiKeyBusy));
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
        clearTuneFine(works);
        break;
      }
      key6(works, state, isLong);
      break;
    default: break;
  }
  works->uiFlags.fetch_and(static_cast<uint8_t>(~kUiKeyBusy));
  return result;
}
