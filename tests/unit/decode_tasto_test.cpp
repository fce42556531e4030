// What each key does in each screen state.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "config/config.h"
#include "core/command_queue.h"
#include "errors/errors.h"
#include "tuner/tuner.h"
#include "ui/menu_edit.h"
#include "ui/panel.h"
#include "unit/panel_fixture.h"

namespace {

using V = std::vector<int>;

int shortPress(Works *w, int key) {
  return DecodeTasto(w, key, 0);
}
int longPress(Works *w, int key) {
  return DecodeTasto(w, key, 1 << (key - 1));
}

TEST(DecodeTasto, TheFirstPressDuringTheSaverOnlyEndsIt) {
  PanelFixture f;
  f.w->screenSaverOn = 1;
  f.w->lastKeyTime = 0;
  f.w->uiFlags = 1;
  shortPress(f.w, 5);
  EXPECT_EQ(f.w->screenSaverOn, 0);
  EXPECT_EQ(f.w->screenState, SS_MAIN) << "the press did not open the menu";
  EXPECT_GT(f.w->lastKeyTime, 0);
  EXPECT_EQ(f.w->uiFlags & 1, 0);
  shortPress(f.w, 5);
  EXPECT_EQ(f.w->screenState, SS_MENU_LIST);
}

TEST(DecodeTasto, Key1ShortChangesTheBankLongOpensTheMemoryTable) {
  PanelFixture f;
  f.w->numBanco = 1;
  f.w->maxBank = 3;
  shortPress(f.w, 1);
  EXPECT_EQ(f.w->numBanco, 2);
  EXPECT_NE(f.setupFile().find("NumBanco: 2\n"), std::string::npos);

  longPress(f.w, 1);
  EXPECT_EQ(f.w->numBanco, 2) << "a long press does not change the bank";
  EXPECT_EQ(f.w->statusView & 2, 2);
  EXPECT_EQ(f.w->screenState, SS_MEMORY_TABLE);
  EXPECT_EQ(f.w->imageName.str(), "statusB");

  shortPress(f.w, 1);  // BACK
  EXPECT_EQ(f.w->statusView, 0);
  EXPECT_EQ(f.w->screenState, SS_MAIN);
  EXPECT_EQ(f.w->imageName.str(), "img1");
}

TEST(DecodeTasto, TheStatusPageTakesThePressFirst) {
  PanelFixture f;
  f.w->statusView = 1;
  f.w->antenna = 0;
  shortPress(f.w, 3);
  EXPECT_EQ(f.w->statusView, 0);
  EXPECT_EQ(f.w->antenna, 0);
  EXPECT_TRUE(f.queued().empty());
  shortPress(f.w, 3);
  EXPECT_EQ(f.w->antenna, 1);
  EXPECT_EQ(f.queued(), V{LP_SA});
  f.w->antenna = 2;
  shortPress(f.w, 3);
  EXPECT_EQ(f.w->antenna, 0);

  longPress(f.w, 6);  // status page
  EXPECT_EQ(f.w->statusView, 1);
  EXPECT_EQ(f.w->imageName.str(), "status");
}

TEST(DecodeTasto, MainScreenViewKeyCyclesTheMeterViews) {
  PanelFixture f;
  f.w->meterView = 4;
  f.w->modeWorkIdx = 0;
  SetSetupChar(f.w, SB_enaser, '1');
  shortPress(f.w, 6);
  EXPECT_EQ(f.w->meterView, 5);
  EXPECT_EQ(divX, 8);
  EXPECT_EQ(xRangeEnd, 427);
  EXPECT_EQ(f.w->plotSpan, 80000);
  EXPECT_EQ(SetupChar(f.w, SB_enaser), '0') << "outside NEB mode the EXT IO link stops";
  f.w->powerClass = '1';
  shortPress(f.w, 6);
  EXPECT_EQ(f.w->meterView, 1);
  EXPECT_EQ(f.w->imageName.str(), "img1b");
}

TEST(DecodeTasto, MenuIsWalkedAndEditedWithTheKeys) {
  PanelFixture f;
  shortPress(f.w, 5);
  ASSERT_EQ(f.w->screenState, SS_MENU_LIST);
  shortPress(f.w, 3);  // UP from the first entry
  EXPECT_EQ(f.w->menuIdx, 31);
  shortPress(f.w, 4);  // DOWN from the last
  EXPECT_EQ(f.w->menuIdx, 0);
  f.w->maxBank = 20;
  shortPress(f.w, 6);
  ASSERT_EQ(f.w->screenState, SS_MENU_VALUE);
  shortPress(f.w, 5);  // "+"
  EXPECT_EQ(f.w->maxBank, 2);
  shortPress(f.w, 4);  // "-"
  EXPECT_EQ(f.w->maxBank, 20);
  shortPress(f.w, 4);
  EXPECT_EQ(f.w->maxBank, 19);
  shortPress(f.w, 6);  // ENTER
  EXPECT_EQ(f.w->screenState, SS_MENU_LIST);
  EXPECT_NE(f.setupFile().find("MAXbank: 19\n"), std::string::npos);
  shortPress(f.w, 1);
  EXPECT_EQ(f.w->screenState, SS_MAIN);
}

TEST(DecodeTasto, AttenuatorKeyCyclesAndRespectsTransmission) {
  PanelFixture f;
  f.w->ampBypass = 0;
  f.w->attenuatorSel = 0;
  for (int expect : {1, 2, 3}) {
    shortPress(f.w, 2);
    EXPECT_EQ(f.w->attenuatorSel, expect);
    EXPECT_EQ(f.w->attenuator, expect);
    EXPECT_EQ(f.queued(), V{LP_AT});
  }
  shortPress(f.w, 2);
  EXPECT_EQ(f.w->attenuatorSel, 4);
  EXPECT_EQ(f.queued(), V{LP_AB1}) << "StBy bypasses the amplifier";
  f.w->ampBypass = 1;
  shortPress(f.w, 2);
  EXPECT_EQ(f.w->attenuatorSel, 0);
  EXPECT_EQ(f.queued(), (V{LP_AT, LP_AB0}));
  longPress(f.w, 2);
  EXPECT_EQ(f.w->attenuatorSel, 0) << "a long press does nothing";

  f.w->stErr[1] = 1;  // transmitting while bypassed
  shortPress(f.w, 2);
  EXPECT_EQ(f.w->attenuatorSel, 0);
  EXPECT_TRUE(f.queued().empty());
  EXPECT_EQ(ExistError(f.w, ERR_CMD_NOT_AVAILABLE), 1);
  f.w->ampBypass = 0;
  f.w->attenuatorSel = 3;
  shortPress(f.w, 2);
  EXPECT_EQ(f.w->attenuatorSel, 0) << "StBy is not offered while transmitting";
}

TEST(DecodeTasto, ManualTuneStepsLAndCWithinTheirRangeAndRepeats) {
  PanelFixture f;
  f.w->screenState = SS_TUNE;
  shortPress(f.w, 6);
  EXPECT_EQ(f.w->manualTune, 1);
  EXPECT_EQ(f.w->screenState, SS_MANUAL_TUNE);
  EXPECT_EQ(f.queued(), V{LP_MT});

  f.w->tuneL = 510;
  EXPECT_EQ(longPress(f.w, 3), 1 << 2) << "the L key asks for repeats";
  EXPECT_EQ(f.w->tuneL, 511);
  EXPECT_EQ(longPress(f.w, 3), 1 << 2);
  EXPECT_EQ(f.w->tuneL, 511) << "511 is the top";
  EXPECT_EQ(f.queued(), V{LP_MT1}) << "one pending write of the word is enough";
  EXPECT_EQ(shortPress(f.w, 3), 0);

  f.w->tuneC = 0;
  longPress(f.w, 4);
  EXPECT_EQ(f.w->tuneC, 0);
  EXPECT_TRUE(f.queued().empty());
  longPress(f.w, 5);
  EXPECT_EQ(f.w->tuneC, 1);
  EXPECT_EQ(f.queued(), V{LP_MT1});

  // Long key 1: network mode 1 -> 2 -> 3 -> 1.
  SetMode(f.w, 1);
  longPress(f.w, 1);
  EXPECT_EQ(DecodeModoFromTuneval(f.w->tuneVal), 2);
  longPress(f.w, 1);
  EXPECT_EQ(DecodeModoFromTuneval(f.w->tuneVal), 3);
  longPress(f.w, 1);
  EXPECT_EQ(DecodeModoFromTuneval(f.w->tuneVal), 1);
  EXPECT_EQ(f.queued(), (V{LP_MT1, LP_MT1, LP_MT1}));

  // Short key 1: carrier off, on to the save screen with bank and antenna.
  f.w->tuneCarrierFlags = 2;
  f.w->numBanco = 2;
  f.w->antenna = 1;
  shortPress(f.w, 1);
  EXPECT_EQ(f.w->tuneCarrierFlags, 1);
  EXPECT_EQ(f.w->screenState, SS_SAVE_TUNE);
  EXPECT_EQ(f.w->saveBank, 2);
  EXPECT_EQ(f.w->saveAnt, 1);
}

TEST(DecodeTasto, TuneCarrierKeyTogglesTheRequest) {
  PanelFixture f;
  f.w->screenState = SS_MANUAL_TUNE;
  f.w->stErr[0] = 1;
  f.w->anSel = 2;
  shortPress(f.w, 6);
  EXPECT_EQ(f.w->tuneCarrierFlags, 0x13);
  EXPECT_EQ(f.w->anSel, 0);
  EXPECT_EQ(f.queued(), V{LP_AN});
  f.w->tuneCarrierFlags = 0x22;  // carrier on, reply seen
  shortPress(f.w, 6);
  EXPECT_EQ(f.w->tuneCarrierFlags, 0x01) << "RX requested, the other bits cleared";
}

TEST(DecodeTasto, DeviceErrorRetryAndCancel) {
  PanelFixture f;
  f.w->screenState = SS_DEVICE_ERROR;
  f.w->deviceError = 2;
  SetSetupChar(f.w, SB_EnableCAT, '1');
  shortPress(f.w, 6);  // Cancel
  EXPECT_EQ(f.w->deviceError, -1);
  EXPECT_EQ(SetupChar(f.w, SB_EnableCAT), '0');
  f.w->deviceError = 3;
  SetSetupChar(f.w, SB_enaser, '1');
  shortPress(f.w, 6);
  EXPECT_EQ(SetupChar(f.w, SB_enaser), '0');
  f.w->deviceError = 5;
  SetSetupChar(f.w, SB_EnableFFT, '1');
  shortPress(f.w, 6);
  EXPECT_EQ(SetupChar(f.w, SB_EnableFFT), '0');
  f.w->deviceError = 1;  // the link is disabled here, so nothing starts
  shortPress(f.w, 5);    // Retry
  EXPECT_EQ(f.w->deviceError, -1);
  f.w->deviceError = 4;
  shortPress(f.w, 5);
  EXPECT_EQ(f.w->deviceError, 4) << "no retry for an unknown device";
}

TEST(DecodeTasto, Key6WithAPendingAcknowledgementOnlyServesTheErrors) {
  PanelFixture f;
  f.w->meterView = 1;
  f.w->tuneFine = 1;
  InitErrorTable(f.w);
  AddErrore(f.w, ERR_TUNE_TIMEOUT);
  f.w->errorFlags = 4;  // a temporary warning is listed
  shortPress(f.w, 6);
  EXPECT_EQ(f.w->meterView, 1) << "the press went to the error list";
  EXPECT_EQ(f.w->tuneFine, 0);
  shortPress(f.w, 6);
  EXPECT_EQ(f.w->meterView, 2) << "with nothing to acknowledge the key is the view key again";
}

TEST(DecodeTasto, TuneScreenKeys) {
  PanelFixture f;
  f.w->screenState = SS_TUNE;
  f.w->atuBypass = 0;
  shortPress(f.w, 5);  // tuner bypass on
  EXPECT_EQ(f.w->atuBypass, 1);
  EXPECT_EQ(f.queued(), V{LP_MT1_BYPASS});
  f.w->tuneFine = 0;
  shortPress(f.w, 3);  // fine tune refused in bypass
  EXPECT_EQ(f.w->tuneFine, 0);
  shortPress(f.w, 5);
  EXPECT_EQ(f.w->atuBypass, 0);
  f.queued();
  shortPress(f.w, 3);
  EXPECT_EQ(f.w->tuneFine, 1);

  f.w->modeWorkIdx = 0;
  longPress(f.w, 6);
  EXPECT_EQ(f.queued(), (V{LP_MP0, LP_CP, LP_TS, LP_AB0, LP_AN, LP_SA, LP_AT}))
      << "Generic mode leaves the frequency out";
  f.w->modeWorkIdx = 1;
  longPress(f.w, 6);
  EXPECT_EQ(f.queued(), (V{LP_MP0, LP_CP, LP_FA, LP_TS, LP_AB0, LP_AN, LP_SA, LP_AT}));

  f.w->autoTuneState = 1;
  shortPress(f.w, 1);
  EXPECT_EQ(f.w->screenState, SS_TUNE) << "no way back while a tuning runs";
  f.w->autoTuneState = 0;
  shortPress(f.w, 1);
  EXPECT_EQ(f.w->screenState, SS_MAIN);
}

TEST(DecodeTasto, MemoryTableAndItsUtilities) {
  PanelFixture f;
  f.w->screenState = SS_MEMORY_TABLE;
  f.w->numBands = 11;
  f.w->tabAntennaRowSel = 0;
  shortPress(f.w, 3);
  EXPECT_EQ(f.w->tabAntennaRowSel, 10);
  shortPress(f.w, 4);
  EXPECT_EQ(f.w->tabAntennaRowSel, 0);
  shortPress(f.w, 6);
  EXPECT_EQ(f.w->screenState, SS_BAND_EDIT);
  EXPECT_EQ(f.w->tabAntennaColSel, 0);
  shortPress(f.w, 2);
  EXPECT_EQ(f.w->tabAntennaColSel, 4);
  shortPress(f.w, 3);
  EXPECT_EQ(f.w->tabAntennaColSel, 0);
  shortPress(f.w, 1);
  EXPECT_EQ(f.w->screenState, SS_MEMORY_TABLE);
  EXPECT_EQ(f.w->tabAntennaColSel, -1);

  f.w->numBanco = 1;
  f.w->maxBank = 3;
  shortPress(f.w, 5);
  ASSERT_EQ(f.w->screenState, SS_UTILITIES);
  shortPress(f.w, 3);
  ASSERT_EQ(f.w->screenState, SS_RESET_BANK);
  EXPECT_EQ(f.w->resetBank, 1);
  shortPress(f.w, 2);
  EXPECT_EQ(f.w->resetBank, 2);
  shortPress(f.w, 2);
  EXPECT_EQ(f.w->resetBank, 3) << "maxBank itself stands for all banks";
  shortPress(f.w, 2);
  EXPECT_EQ(f.w->resetBank, 0);
  f.w->bandIdx = 4;
  shortPress(f.w, 6);
  EXPECT_EQ(f.w->screenState, SS_MEMORY_TABLE);
  EXPECT_EQ(f.w->bandIdx, -1);

  shortPress(f.w, 5);
  shortPress(f.w, 2);
  ASSERT_EQ(f.w->screenState, SS_COPY_BANK);
  EXPECT_EQ(f.w->copyOrigin, 1);
  shortPress(f.w, 2);
  shortPress(f.w, 2);
  EXPECT_EQ(f.w->copyOrigin, 0);
  f.w->copyDest = 2;
  shortPress(f.w, 3);
  EXPECT_EQ(f.w->copyDest, 0);
  shortPress(f.w, 6);
  EXPECT_EQ(f.w->screenState, SS_MEMORY_TABLE);
}

// The copy goes file to file: while it writes, the display loop must go on
// seeing the mode of work, the band table and the band row in force.
TEST(DecodeTasto, BankCopyLeavesTheBankInForceAlone) {
  PanelFixture f;
  f.root.writeFile("/opt/set/antenna.txt", "!Gen\n40m 7000000 7300000 1 1 0 0 0.0\n");
  f.root.writeFile("/opt/set/antenna_b1.txt", "!817\n20m 14000000 14350000 1 2 0 1 0.0\n");
  f.root.writeFile("/opt/set/atu_ant1_b1.txt", "3130 14200000 1 1 37 112\n");
  f.w->numBanco = 0;
  LoadAllBankTable(f.w, 0);
  f.w->bandIdx = 0;
  f.queued();
  f.w->screenState = SS_COPY_BANK;
  f.w->copyOrigin = 1;
  f.w->copyDest = 2;
  std::atomic<bool> done{false}, moved{false};
  std::thread loop([&] {
    while (!done)
      if (f.w->modeWorkIdx != 0) moved = true;
  });
  shortPress(f.w, 6);
  done = true;
  loop.join();
  EXPECT_FALSE(moved) << "the mode of work in force changed during the copy";
  EXPECT_EQ(f.w->bandIdx, 0);
  EXPECT_EQ(f.w->numBands, 1);
  EXPECT_EQ(LoadTuneValFromTabRam(f.w, 3130, 0).valid, 0);
  EXPECT_EQ(f.queued(), V{});
  EXPECT_EQ(f.root.readFile("/opt/set/antenna_b2.txt"),
            "!817\n20m 14000000 14350000 1 2 0 1 0.0\n");
  EXPECT_EQ(f.root.readFile("/opt/set/atu_ant1_b2.txt"), "3130 14200000 1 1 37 112\n");
}

TEST(DecodeTasto, SaveTuneScreen) {
  PanelFixture f;
  f.w->screenState = SS_SAVE_TUNE;
  f.w->maxBank = 3;
  f.w->saveBank = 2;
  f.w->saveAnt = 2;
  shortPress(f.w, 2);
  EXPECT_EQ(f.w->saveBank, 0);
  shortPress(f.w, 3);
  EXPECT_EQ(f.w->saveAnt, 0);
  SetMode(f.w, 3);
  shortPress(f.w, 6);
  EXPECT_EQ(f.w->uiFlags & 2, 2) << "a bypass word is not stored";
  EXPECT_EQ(f.w->screenState, SS_TUNE);
}

TEST(DecodeTasto, FilterTablePage) {
  PanelFixture f;
  f.w->screenState = SS_MENU_LIST;
  f.w->menuIdx = ME_FILTER_VIEW;
  shortPress(f.w, 6);
  shortPress(f.w, 5);  // View ON
  EXPECT_EQ(f.w->filterView, 1);
  shortPress(f.w, 6);  // ENTER opens the page
  EXPECT_EQ(f.w->statusView & 4, 4);
  EXPECT_EQ(f.w->screenState, SS_FILTER_TABLE);
  f.w->filterRowSel = 0;
  shortPress(f.w, 2);
  EXPECT_EQ(f.w->filterRowSel, 7);
  shortPress(f.w, 3);
  EXPECT_EQ(f.w->filterRowSel, 0);
  shortPress(f.w, 5);
  EXPECT_EQ(f.w->tabFiltri[0].enabled, 1);
  shortPress(f.w, 6);
  EXPECT_EQ(f.w->tabFiltri[0].enabled, 0);
  shortPress(f.w, 1);
  EXPECT_EQ(f.w->statusView, 0);
  EXPECT_EQ(f.w->screenState, SS_MAIN);
}

TEST(DecodeTasto, EveryHandledPressClearsTheNoticeAndUnknownKeysDoNothing) {
  PanelFixture f;
  for (int state = 0; state <= 12; ++state) {
    f.w->screenState = state;
    f.w->uiFlags = 1;
    DecodeTasto(f.w, 7, 0);
    EXPECT_EQ(f.w->uiFlags & 1, 0);
    EXPECT_EQ(f.w->screenState, state);
  }
  f.w->screenState = SS_SAVE_TUNE;
  f.w->uiFlags = 1;
  shortPress(f.w, 4);  // no entry for key 4 in state 8
  EXPECT_EQ(f.w->screenState, SS_SAVE_TUNE);
  EXPECT_EQ(f.w->uiFlags, 0);
}

}  // namespace
