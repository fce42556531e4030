// The menu's edit rules. Values change in memory at once; ENTER (and for a
// few entries the other keys) writes the setup file or runs the action.
#include "ui/menu_edit.h"

#include <cmath>

#include "config/config.h"
#include "core/command_queue.h"
#include "core/process_globals.h"
#include "core/setup.h"
#include "core/threads.h"
#include "display/display.h"
#include "display/keyboard.h"
#include "errors/errors.h"
#include "links/links.h"
#include "network/lan.h"
#include "platform/log.h"
#include "platform/platform.h"
#include "remote/audio.h"
#include "remote/remote.h"
#include "tuner/tuner.h"
#include "ui/plot.h"
#include "ui/ui.h"

namespace {

constexpr int kBanks = 20;

bool isOther(int type) {
  return type >= MK_MINUS && type <= MK_RIGHT;
}

// Rounds to a number of decimals so that repeated steps of 0.1 or 0.01 do
// not drift away from the values the screen shows.
double roundTo(double v, double scale) {
  return std::round(v * scale) / scale;
}

template <class T>
void toggle(At<T> &field) {
  field = static_cast<T>(field ? 0 : 1);
}

// "+"/"-" by one, anything outside 0..4 back to 0 (timeout and saver indexes).
void stepIndex04(At<uint8_t> &field, int type) {
  int v = field;
  if (type == MK_PLUS)
    ++v;
  else if (type == MK_MINUS)
    --v;
  if (v < 0 || v > 4) v = 0;
  field = static_cast<uint8_t>(v);
}

void stepTemperature(Works *works, At<float> &field, int type) {
  double v = field;
  if (type == MK_PLUS)
    v += 0.1;
  else if (type == MK_MINUS)
    v -= 0.1;
  else
    return;
  v = roundTo(v, 10);
  double top = works->maxTempAllowed;
  if (v > top) v = top;
  if (v < 20) v = 20;
  field = static_cast<float>(v);
}

// The LAN entries: the octets and cursor each edits.
struct LanEntry {
  At<uint8_t> *vector;
  At<int> *cursor;
  At<uint8_t> *none;
};

LanEntry lanEntry(int entry) {
  switch (entry) {
    case ME_LAN_IP: return {IP_v, &CntIP, nullptr};
    case ME_LAN_SUBNET: return {NetMask_v, &CntNetMask, nullptr};
    case ME_LAN_GATEWAY: return {Gateway_v, &CntGateway, &Gateway_none};
    default: return {DNS_v, &CntDNS, &DNS_none};
  }
}

}  // namespace

int ModifyIP(int type, int cursor, At<uint8_t> *vector) {
  if (cursor < 0 || cursor > 3) cursor = 0;
  switch (type) {
    case MK_MINUS: vector[cursor] = static_cast<uint8_t>(vector[cursor] - 1); break;
    case MK_PLUS: vector[cursor] = static_cast<uint8_t>(vector[cursor] + 1); break;
    case MK_LEFT: cursor = cursor == 0 ? 3 : cursor - 1; break;
    case MK_RIGHT: cursor = cursor == 3 ? 0 : cursor + 1; break;
    default: break;
  }
  return cursor;
}

void RemoteRequestToggle(Works *works) {
  if (works->remoteGo == 1) {
    works->remoteGo = 0;
    return;
  }
  if (SetupChar(works, SB_EnableFFT) != '0') {
    works->remoteGo = 1;
    return;
  }
  int settings = Find_Remote_Settings(works);
  int audio = Get_AudioNEB(works);
  char extIo = SetupChar(works, SB_enaser);
  LogStderr("j=%d i=%d enaser=%c\n", audio, settings, extIo);
  if (settings == 0 && extIo == '1' && audio != 0) {
    works->remoteGo = 1;
    works->catClosed = 0;
    LogStderr("Remote GO!\n");
    return;
  }
  works->catClosed = 1;
  if (settings == 1)
    AddErrore(works, ERR_REMOTE_USB);
  else if (settings == 2)
    AddErrore(works, ERR_REMOTE_CAT);
  else if (settings == 3)
    AddErrore(works, ERR_AUDIO_READ);
  if (audio == 0) AddErrore(works, ERR_AUDIO_NOT_FOUND);
  if (extIo != '1') AddErrore(works, ERR_NEB_MODE);
  LogStderr("Remote ERROR!\n");
}

void RemoteApply(Works *works) {
  if (works->remoteGo == 1) {
    if (SetupChar(works, SB_WebSocket) == '0') {
      SetSetupChar(works, SB_WebSocket, '1');
      StartThreadSoket(works);
    }
    StartThreadCommRemote(works);
  } else {
    ExitThreadRemote(works);
  }
}

void FilterTableView(Works *works) {
  if (works->filterView) {
    works->statusView.fetch_or(kViewFilterTable);
    PostBackgroundImage(works, "statusB");
  } else {
    works->statusView.fetch_and(static_cast<uint8_t>(~kViewFilterTable));
    SetWorkImg(works);
  }
}

void FactoryReset(Works *works) {
  for (int bank = 0; bank < kBanks; ++bank)
    for (int which = 0; which < 4; ++which) DeleteFileConf(works, bank, which);
  // The setup defaults come with the start-up values of the whole record;
  // what the controller and the relays report now is not a setting and must
  // survive, or the error list stays closed ("CP" is not asked again) and the
  // band logic compares against relays that did not move.
  const auto cpPending = works->cpPending.load(), eeModel = works->eeModel.load();
  const auto powerClass = works->powerClass.load(), ampBypass = works->ampBypass.load();
  const auto atuBypass = works->atuBypass.load(), attenuator = works->attenuator.load();
  const auto antenna = works->antenna.load(), anSel = works->anSel.load();
  const auto tuneVal = works->tuneVal.load();
  const auto catClosed = works->catClosed.load();
  const auto frequency = works->frequency.load(), lastFrequency = works->lastFrequency.load();
  const auto deviceError = works->deviceError.load(), retryTotal = works->retryTotal.load();
  const auto panelCmdOut = works->panelCmdOut.load();
  initSetup(works);
  writeSetup(works);
  readSetup(works);
  works->cpPending = cpPending;
  works->eeModel = eeModel;
  works->powerClass = powerClass;
  works->ampBypass = ampBypass;
  works->atuBypass = atuBypass;
  works->antenna = antenna;
  works->anSel = anSel;
  works->attenuator = attenuator;
  works->tuneVal = tuneVal;
  works->frequency = frequency;
  works->lastFrequency = lastFrequency;
  works->deviceError = deviceError;
  works->retryTotal = retryTotal;
  works->panelCmdOut = panelCmdOut;
  works->catClosed = catClosed;
  // The tables in memory are the deleted ones: load the defaults now, so no
  // later save of the bank brings the old settings back.
  LoadAllBankTable(works, works->numBanco);
  works->bandIdx = -1;
  works->factoryArmed = 0;
}

int ModifyParameter(Works *works, int type) {
  const bool plus = type == MK_PLUS;
  const bool minus = type == MK_MINUS;
  const bool enter = type == MK_ENTER;
  const bool other = isOther(type);
  int changed = 0;
  switch (works->menuIdx) {
    case ME_MAX_BANK: {
      int v = works->maxBank;
      if (plus) {
        ++v;
        if (v > 20 || v < 2) v = 2;
        works->maxBank = v;
      } else if (minus) {
        --v;
        if (v <= 1 || v > 20) v = 20;
        works->maxBank = v;
      } else {
        writeSetup(works);
      }
      break;
    }
    case ME_FREQ_SENS:
      if (other) toggle(works->freqSensIn);
      if (enter) {
        IncPNTIn_CMDLinear(LP_FS, works);
        writeSetup(works);
      }
      break;
    case ME_FREQ_PERIOD: {
      // The command carries the period in four digits, so it stays below 10000.
      int v = works->freqPeriodTime;
      if (plus) {
        if (v + 10 <= 9999) works->freqPeriodTime = v + 10;
        changed = 1;
      } else if (minus) {
        if (v > 10) works->freqPeriodTime = v - 10;
        changed = 1;
      } else if (enter) {
        IncPNTIn_CMDLinear(LP_FS, works);
        writeSetup(works);
      }
      break;
    }
    case ME_AUTOTUNE_ENABLE:
      if (other) works->autoTuneMode = (works->autoTuneMode & kAutoTuneOn) ? 0 : kAutoTuneOn;
      if (enter) writeSetup(works);
      break;
    case ME_AUTOTUNE_ATT:
      if (other) works->attenuatorTune = works->attenuatorTune >= 3 ? 0 : works->attenuatorTune + 1;
      if (enter) writeSetup(works);
      break;
    case ME_TARGET_SWR: {
      double v = works->swrEscAutoTune;
      if (plus) {
        v = roundTo(v + 0.01, 100);
        if (v < 1) v = 1;
      } else if (minus) {
        v = roundTo(v - 0.01, 100);
        if (v < 1) v = 0;
      }
      if (plus || minus) {
        if (v > 10) v = 10;
        if (v < 0) v = 0;
        works->swrEscAutoTune = static_cast<float>(v);
        changed = 1;
      }
      if (enter) writeSetup(works);
      break;
    }
    case ME_AUTOTUNE_TIMEOUT:
      stepIndex04(works->autoTuneMaxCicli, type);
      if (enter) writeSetup(works);
      break;
    case ME_ATU_INSTALLED:
      if (other) {
        int8_t v = static_cast<int8_t>(works->tuneEnabled ^ static_cast<int8_t>(0x80));
        works->tuneEnabled = v;
        LogStderr("----------> SAVE ATU: 0x%0X\n", static_cast<unsigned>(static_cast<uint8_t>(v)));
      }
      if (enter) writeSetup(works);
      break;
    case ME_USE_MODE:
      if (other) RemoteRequestToggle(works);
      if (enter) RemoteApply(works);
      break;
    case ME_LAN_IP:
    case ME_LAN_SUBNET:
    case ME_LAN_GATEWAY:
    case ME_LAN_DNS: {
      LanEntry e = lanEntry(works->menuIdx);
      if (other) {
        *e.cursor = ModifyIP(type, *e.cursor, e.vector);
        // An address the user sets is an address to save, even where the
        // file had none.
        if ((plus || minus) && e.none != nullptr) *e.none = 0;
      }
      if (enter) SaveLanParam();
      break;
    }
    case ME_PLOT_REF_LEV:
      if (plus)
        RefLevel += 10;
      else if (minus)
        RefLevel -= 10;
      break;
    case ME_PLOT_REF_POS:
      if (plus && RefPos < 10)
        ++RefPos;
      else if (minus && RefPos > 0)
        --RefPos;
      break;
    case ME_PLOT_POINT_DIV: {
      int v = PointDiv;
      if (plus && v <= 19) {
        v *= 2;
        if (v == 4) v = 5;
      } else if (minus && v > 1) {
        v /= 2;
      }
      PointDiv = v;
      break;
    }
    case ME_PLOT_OFFSET:
      if (plus || minus) {
        works->offsetPlot = roundTo(works->offsetPlot + (plus ? 0.1 : -0.1), 10);
        changed = 1;
      } else {
        writeSetup(works);
      }
      break;
    case ME_FILTER_VIEW:
      if (other) toggle(works->filterView);
      if (enter) FilterTableView(works);
      break;
    case ME_VIEW_DATETIME:
      if (other) toggle(works->viewTimeStr);
      if (enter) writeSetup(works);
      break;
    case ME_TEMP_UNITS:
      if (other) toggle(works->tempMode);
      if (enter) writeSetup(works);
      break;
    case ME_PEAK_METER:
      if (other) toggle(works->enablePwrPeak);
      if (enter) writeSetup(works);
      break;
    case ME_PEAK_RELEASE: {
      int v = TimerPeakSec;
      if (plus || minus) {
        v += plus ? 10 : -10;
        if (v > 5000) v = 5000;
        if (v < 0) v = 0;
        TimerPeakSec = v;
        changed = 1;
      } else {
        writeSetup(works);
      }
      break;
    }
    case ME_TEMP_ALARM1:
      stepTemperature(works, works->maxTemperature, type);
      if (enter) writeSetup(works);
      break;
    case ME_TEMP_ALARM2:
      stepTemperature(works, works->maxTemperature2, type);
      if (enter) writeSetup(works);
      break;
    case ME_POWER_UNITS:
      if (other) toggle(works->powerUnits);
      if (enter) writeSetup(works);
      break;
    case ME_SCREEN_SAVER:
      stepIndex04(works->saveScreenIdx, type);
      if (enter) writeSetup(works);
      break;
    case ME_FACTORY_DEFAULT:
      if (other) toggle(works->factoryArmed);
      if (enter && works->factoryArmed) FactoryReset(works);
      break;
    case ME_LONG_PRESS: {
      double v = TIME_LONG_PRESS;
      if (plus) {
        v = roundTo(v + 0.1, 10);
        if (v > 5.0) v = 5.0;
        TIME_LONG_PRESS = v;
      } else if (minus) {
        v = roundTo(v - 0.1, 10);
        if (v < 0.3) v = 0.3;
        TIME_LONG_PRESS = v;
      } else {
        writeSetup(works);
      }
      break;
    }
    case ME_OFF_HW: works->panelCmdOut = kPanelCmdPowerOff; break;
    case ME_FW_UPDATE:
      if (other) works->armedActions.fetch_xor(kArmedFwUpdate);
      if (enter && (works->armedActions & kArmedFwUpdate)) {
        IncPNTIn_CMDLinear(LP_MR1, works);
        LogStderr("Start AGGFW\n");
      }
      break;
    case ME_UI_UPDATE:
      if (other) works->armedActions.fetch_xor(kArmedUiUpdate);
      if (enter && (works->armedActions & kArmedUiUpdate)) {
        works->uiFlags.fetch_or(kUiUpdateRunning);
        LogStderr("Start AGG UI...\n");
        RunCommand({"/opt/Ombrix/getpack.sh"});
      }
      break;
    case ME_REMOTE_SERVICE:
      if (other) works->armedActions.fetch_xor(kArmedRemoteService);
      if (enter && (works->armedActions & kArmedRemoteService)) {
        RemoteConnection();
        LogStderr("Start REMOTE SRV\n");
      }
      break;
    default: break;
  }
  return changed;
}
