// What confirming a menu entry does: saving the setup, the remote operation
// switch, the filter table page, the factory reset and the armed actions.
#include "ui/menu_actions.h"

#include "config/config.h"
#include "core/command_queue.h"
#include "core/link_requests.h"
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
#include "ui/ui.h"

namespace {

constexpr int kBanks = 20;

}  // namespace

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
  for (int bank = 0; bank < kBanks; ++bank) DeleteBankFiles(works, bank);
  // The setup defaults come with the start-up values of the link's fields;
  // what the controller and the relays report now is not a setting and
  // stays, or the error list stays closed ("CP" is not asked again) and the
  // band logic compares against relays that did not move. The run-time
  // fields of the other threads are theirs and are not touched.
  // The owner's pass phrase (remote.txt, read when the link started) is not
  // a setting of the setup file: the built-in one must not come back.
  const std::string passPhrase = works->remotePassword.str();
  ResetSetup(works);
  works->remotePassword.set(passPhrase.c_str());
  LinkRequest r;
  r.kind = LR_START_VALUES;
  r.a = 1;
  PostLinkRequest(works, r);
  // The tables in memory are the deleted ones: load the defaults now, so no
  // later save of the bank brings the old settings back.
  LoadAllBankTable(works, works->numBanco);
  works->bandIdx = -1;
  works->factoryArmed = 0;
}

void RunMenuAction(Works *works, MenuAction action) {
  switch (action) {
    case MA_NONE: break;
    case MA_SAVE: writeSetup(works); break;
    case MA_SAVE_FREQ_SENSE:
      IncPNTIn_CMDLinear(LP_FS, works);
      writeSetup(works);
      break;
    case MA_FILTER_VIEW: FilterTableView(works); break;
    case MA_FACTORY_RESET:
      if (works->factoryArmed) FactoryReset(works);
      break;
    case MA_REMOTE_APPLY: RemoteApply(works); break;
    case MA_SAVE_LAN: SaveLanParam(); break;
    case MA_FW_UPDATE:
      if (works->armedActions & kArmedFwUpdate) {
        IncPNTIn_CMDLinear(LP_MR1, works);
        LogStderr("Start AGGFW\n");
      }
      break;
    case MA_UI_UPDATE:
      if (works->armedActions & kArmedUiUpdate) {
        works->uiFlags.fetch_or(kUiUpdateRunning);
        LogStderr("Start AGG UI...\n");
        RunCommand({"/opt/Ombrix/getpack.sh"});
      }
      break;
    case MA_REMOTE_SERVICE:
      if (works->armedActions & kArmedRemoteService) {
        RemoteConnection();
        LogStderr("Start REMOTE SRV\n");
      }
      break;
    case MA_POWER_OFF: works->panelCmdOut = kPanelCmdPowerOff; break;
  }
}
