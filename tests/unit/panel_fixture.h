#pragma once
// A Works with a setup record in a temporary root, as the front-panel code
// sees it after start-up, and a look at the commands it queued.
#include <memory>
#include <string>
#include <vector>

#include "core/process_globals.h"
#include "core/setup.h"
#include "core/threads.h"
#include "core/works.h"
#include "network/lan.h"
#include "support/command_queue.h"
#include "support/temp_root.h"
#include "ui/plot.h"

struct PanelFixture {
  TempRoot root;
  std::unique_ptr<Works> works = std::make_unique<Works>();
  std::unique_ptr<Lumosetup> setup = std::make_unique<Lumosetup>();
  Works *w = works.get();

  PanelFixture() {
    w->setup = setup.get();
    initSetup(w);
    // No thread of the device may start from a unit test.
    for (int b : {SB_EnableLinear, SB_EnableCAT, SB_enaser, SB_EnableFFT, SB_CatSerialEnable,
                  SB_EnableRead, SB_EnableWrite})
      SetSetupChar(w, b, '0');
    SetSetupChar(w, SB_WebSocket, '0');
    w->menuCount = 32;
    w->numBands = 11;
    w->modeWorkIdx = 1;
    w->cpPending = 0;
    w->panelCmdOut = 255;
    RefLevel = -110;
    RefPos = 0;
    PointDiv = 10;
    divX = 16;
    xRangeEnd = 854;
    CntIP = CntNetMask = CntGateway = CntDNS = 3;
  }

  // The process-wide values the front panel edits go back to their start
  // values, so no other test sees what this one did.
  ~PanelFixture() {
    // A bank load may have started a transceiver link (the mode of work of a
    // missing band table is NEB): stop and join whatever was started.
    w->running = 0;
    for (int b : {SB_enaser, SB_CatSerialEnable, SB_EnableCAT, SB_EnableFFT, SB_EnableRead,
                  SB_EnableWrite, SB_EnableLinear})
      SetSetupChar(w, b, '0');
    for (int slot = 0; slot < TH_COUNT; ++slot) JoinThread(static_cast<ThreadSlot>(slot));
    for (char *text : {IP, NetMask, Gateway, DNS, MAC}) text[0] = 0;
    for (At<uint8_t> *v : {IP_v, NetMask_v, Gateway_v, DNS_v})
      for (int i = 0; i < 4; ++i) v[i] = 0;
    Gateway_none = 0;
    DNS_none = 0;
    CntIP = CntNetMask = CntGateway = CntDNS = 3;
    TIME_LONG_PRESS = 0.5;
    TimerPeakSec = 3000;
    RefLevel = -110;
    RefPos = 0;
    PointDiv = 10;
    divX = 16;
    xRangeEnd = 854;
  }

  // Takes every queued command id, oldest first.
  std::vector<int> queued() { return DrainCommandQueue(w); }
  std::string setupFile() const { return root.readFile("/opt/set/setup.txt"); }
};
