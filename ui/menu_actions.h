#pragma once
// What confirming a menu entry does (ENTER, for a few entries other keys).
#include <cstdint>

#include "core/works.h"

// Front-panel command that switches the hardware off.
constexpr uint8_t kPanelCmdPowerOff = 133;

enum MenuAction : uint8_t {
  MA_NONE = 0,
  MA_SAVE,             // writes the setup file
  MA_SAVE_FREQ_SENSE,  // sends the frequency sensing settings, then saves
  MA_FILTER_VIEW,      // opens or closes the filter table page
  MA_FACTORY_RESET,    // when armed
  MA_REMOTE_APPLY,     // starts or ends remote operation
  MA_SAVE_LAN,         // writes the network settings
  MA_FW_UPDATE,        // when armed: the controller's firmware update
  MA_UI_UPDATE,        // when armed: fetches the program's update
  MA_REMOTE_SERVICE,   // when armed: opens the remote service connection
  MA_POWER_OFF,        // switches the hardware off
};

void RunMenuAction(Works *works, MenuAction action);

// Entry 8: the request toggle of remote operation and its ENTER.
void RemoteRequestToggle(Works *works);
void RemoteApply(Works *works);
// Entry 17 ENTER: opens or closes the filter table page by works->filterView.
void FilterTableView(Works *works);
// Entry 26 ENTER: deletes every bank's files and starts a new setup file.
void FactoryReset(Works *works);
