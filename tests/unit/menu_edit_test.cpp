// The menu's edit rules: limits and wraps of every entry, what ENTER writes
// or runs, the LAN octet editor and the band-row editor.
#include "ui/menu_edit.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "controller/temperature.h"
#include "core/command_queue.h"
#include "errors/errors.h"
#include "network/lan.h"
#include "ui/panel.h"
#include "unit/panel_fixture.h"

namespace {

using V = std::vector<int>;

int edit(Works *w, int entry, int type) {
  w->menuIdx = entry;
  return ModifyParameter(w, type);
}

bool fileHas(const PanelFixture &f, const char *line) {
  return f.setupFile().find(line) != std::string::npos;
}

TEST(MenuEdit, MaxBankWrapsBetween2And20AndEnterSaves) {
  PanelFixture f;
  f.w->maxBank = 2;
  edit(f.w, ME_MAX_BANK, MK_MINUS);
  EXPECT_EQ(f.w->maxBank, 20);
  edit(f.w, ME_MAX_BANK, MK_PLUS);
  EXPECT_EQ(f.w->maxBank, 2);
  EXPECT_FALSE(f.root.exists("/opt/set/setup.txt")) << "only ENTER, < and > write";
  edit(f.w, ME_MAX_BANK, MK_LEFT);
  EXPECT_TRUE(fileHas(f, "MAXbank: 2\n"));
}

TEST(MenuEdit, StepLimitsOfTheNumericEntries) {
  PanelFixture f;
  Works *w = f.w;
  // Point Div: 1, 2, 5, 10, 20 and back.
  PointDiv = 1;
  std::vector<int> up;
  for (int i = 0; i < 5; ++i) {
    edit(w, ME_PLOT_POINT_DIV, MK_PLUS);
    up.push_back(PointDiv);
  }
  EXPECT_EQ(up, (V{2, 5, 10, 20, 20}));
  std::vector<int> down;
  for (int i = 0; i < 5; ++i) {
    edit(w, ME_PLOT_POINT_DIV, MK_MINUS);
    down.push_back(PointDiv);
  }
  EXPECT_EQ(down, (V{10, 5, 2, 1, 1}));

  // Target SWR: below 1 is off.
  w->swrEscAutoTune = 1.0f;
  EXPECT_EQ(edit(w, ME_TARGET_SWR, MK_MINUS), 1);
  EXPECT_FLOAT_EQ(w->swrEscAutoTune, 0.0f);
  edit(w, ME_TARGET_SWR, MK_PLUS);
  EXPECT_FLOAT_EQ(w->swrEscAutoTune, 1.0f);
  edit(w, ME_TARGET_SWR, MK_PLUS);
  EXPECT_FLOAT_EQ(w->swrEscAutoTune, 1.01f);
  w->swrEscAutoTune = 9.995f;
  edit(w, ME_TARGET_SWR, MK_PLUS);
  EXPECT_FLOAT_EQ(w->swrEscAutoTune, 10.0f);

  // Long press time: 0.3 .. 5.0 s.
  TIME_LONG_PRESS = 5.0;
  edit(w, ME_LONG_PRESS, MK_PLUS);
  EXPECT_DOUBLE_EQ(TIME_LONG_PRESS, 5.0);
  TIME_LONG_PRESS = 0.3;
  edit(w, ME_LONG_PRESS, MK_MINUS);
  EXPECT_DOUBLE_EQ(TIME_LONG_PRESS, 0.3);
  for (int i = 0; i < 7; ++i) edit(w, ME_LONG_PRESS, MK_PLUS);
  EXPECT_DOUBLE_EQ(TIME_LONG_PRESS, 1.0) << "steps of 0.1 do not drift";
  edit(w, ME_LONG_PRESS, MK_ENTER);
  EXPECT_TRUE(fileHas(f, "BTN_longpress_Time: 10\n"));
  TIME_LONG_PRESS = 0.5;

  // Indexes 0..4 of the saver and the tune timeout.
  for (int entry : {ME_SCREEN_SAVER, ME_AUTOTUNE_TIMEOUT}) {
    At<uint8_t> &field = entry == ME_SCREEN_SAVER ? w->saveScreenIdx : w->autoTuneMaxCicli;
    field = 0;
    edit(w, entry, MK_MINUS);
    EXPECT_EQ(field, 0);
    field = 4;
    edit(w, entry, MK_PLUS);
    EXPECT_EQ(field, 0);
    edit(w, entry, MK_PLUS);
    EXPECT_EQ(field, 1);
  }

  // Period: 10 .. 9990 in steps of 10, always four digits for the command.
  w->freqPeriodTime = 10;
  EXPECT_EQ(edit(w, ME_FREQ_PERIOD, MK_MINUS), 1);
  EXPECT_EQ(w->freqPeriodTime, 10);
  w->freqPeriodTime = 9990;
  edit(w, ME_FREQ_PERIOD, MK_PLUS);
  EXPECT_EQ(w->freqPeriodTime, 9990);
  EXPECT_EQ(edit(w, ME_FREQ_PERIOD, MK_ENTER), 0);
  EXPECT_EQ(f.queued(), V{LP_FS});
  EXPECT_TRUE(fileHas(f, "FreqPeriodTime: 9990\n"));

  // Temperature alarms between 20 and the allowed maximum.
  w->maxTempAllowed = 60;
  w->maxTemperature = 20.0f;
  edit(w, ME_TEMP_ALARM1, MK_MINUS);
  EXPECT_FLOAT_EQ(w->maxTemperature, 20.0f);
  w->maxTemperature2 = 59.9f;
  edit(w, ME_TEMP_ALARM2, MK_PLUS);
  edit(w, ME_TEMP_ALARM2, MK_PLUS);
  EXPECT_FLOAT_EQ(w->maxTemperature2, 60.0f);

  // Peak release time 0..5000 ms.
  TimerPeakSec = 4995;
  EXPECT_EQ(edit(w, ME_PEAK_RELEASE, MK_PLUS), 1);
  EXPECT_EQ(TimerPeakSec, 5000);
  TimerPeakSec = 5;
  edit(w, ME_PEAK_RELEASE, MK_MINUS);
  EXPECT_EQ(TimerPeakSec, 0);
  TimerPeakSec = 3000;

  // Plot reference: level without limits, position 0..10.
  RefLevel = -110;
  edit(w, ME_PLOT_REF_LEV, MK_MINUS);
  EXPECT_EQ(RefLevel, -120);
  RefPos = 9;
  edit(w, ME_PLOT_REF_POS, MK_PLUS);
  EXPECT_EQ(RefPos, 10);  // the end itself is reached
  edit(w, ME_PLOT_REF_POS, MK_PLUS);
  EXPECT_EQ(RefPos, 10);
  RefPos = 1;
  edit(w, ME_PLOT_REF_POS, MK_MINUS);
  EXPECT_EQ(RefPos, 0);
  edit(w, ME_PLOT_REF_POS, MK_MINUS);
  EXPECT_EQ(RefPos, 0);

  w->offsetPlot = 0.0;
  EXPECT_EQ(edit(w, ME_PLOT_OFFSET, MK_PLUS), 1);
  EXPECT_DOUBLE_EQ(w->offsetPlot, 0.1);
  EXPECT_EQ(edit(w, ME_PLOT_OFFSET, MK_RIGHT), 0);

  w->attenuatorTune = 3;
  edit(w, ME_AUTOTUNE_ATT, MK_LEFT);
  EXPECT_EQ(w->attenuatorTune, 0);
}

TEST(MenuEdit, TogglesTakeAnyEditKeyAndEnterSaves) {
  PanelFixture f;
  Works *w = f.w;
  struct {
    int entry;
    At<uint8_t> *field;
    const char *saved;
  } const toggles[] = {
      {ME_VIEW_DATETIME, &w->viewTimeStr, "ViewTimeStr: 1\n"},
      {ME_TEMP_UNITS, &w->tempMode, "TempMode: 1\n"},
      {ME_PEAK_METER, &w->enablePwrPeak, "EnablePwrPeak: 1\n"},
      {ME_POWER_UNITS, &w->powerUnits, "PowerUnits: 1\n"},
      {ME_FREQ_SENS, &w->freqSensIn, "FreqSensIn: 1\n"},
  };
  for (const auto &t : toggles) {
    *t.field = 0;
    edit(w, t.entry, MK_LEFT);
    EXPECT_EQ(*t.field, 1) << t.entry;
    edit(w, t.entry, MK_MINUS);
    edit(w, t.entry, MK_PLUS);
    EXPECT_EQ(*t.field, 1) << t.entry;
    EXPECT_EQ(edit(w, t.entry, MK_ENTER), 0);
    EXPECT_TRUE(fileHas(f, t.saved)) << t.saved;
  }
  w->autoTuneMode = 0x11;
  edit(w, ME_AUTOTUNE_ENABLE, MK_PLUS);
  EXPECT_EQ(w->autoTuneMode, 0) << "the whole byte is replaced";
  edit(w, ME_AUTOTUNE_ENABLE, MK_PLUS);
  EXPECT_EQ(w->autoTuneMode, 1);

  w->tuneEnabled = 0;
  edit(w, ME_ATU_INSTALLED, MK_RIGHT);
  EXPECT_EQ(static_cast<uint8_t>(w->tuneEnabled), 0x80);
  edit(w, ME_ATU_INSTALLED, MK_RIGHT);
  EXPECT_EQ(w->tuneEnabled, 0);
}

TEST(MenuEdit, ArmedActionsNeedTheirSwitchBeforeEnter) {
  PanelFixture f;
  Works *w = f.w;
  edit(w, ME_FW_UPDATE, MK_ENTER);
  EXPECT_TRUE(f.queued().empty());
  edit(w, ME_FW_UPDATE, MK_PLUS);
  EXPECT_EQ(w->armedActions, 1);
  edit(w, ME_FW_UPDATE, MK_ENTER);
  EXPECT_EQ(f.queued(), V{LP_MR1});

  mkdir(f.root.path("/opt/Ombrix").c_str(), 0755);
  f.root.writeFile("/opt/Ombrix/getpack.sh", "#!/bin/sh\ntouch \"$OMBRIX_ROOT/tmp/getpack.ran\"\n");
  chmod(f.root.path("/opt/Ombrix/getpack.sh").c_str(), 0755);
  edit(w, ME_UI_UPDATE, MK_ENTER);
  EXPECT_FALSE(f.root.exists("/tmp/getpack.ran"));
  edit(w, ME_UI_UPDATE, MK_MINUS);
  edit(w, ME_UI_UPDATE, MK_ENTER);
  EXPECT_TRUE(f.root.exists("/tmp/getpack.ran"));
  EXPECT_EQ(w->uiFlags & 8, 8);

  f.root.writeFile("/opt/sshshell", "#!/bin/sh\ntouch \"$OMBRIX_ROOT/tmp/ssh.ran\"\n");
  chmod(f.root.path("/opt/sshshell").c_str(), 0755);
  edit(w, ME_REMOTE_SERVICE, MK_LEFT);
  EXPECT_EQ(w->armedActions & 2, 2);
  edit(w, ME_REMOTE_SERVICE, MK_ENTER);
  EXPECT_TRUE(f.root.exists("/tmp/ssh.ran"));

  w->panelCmdOut = 255;
  edit(w, ME_OFF_HW, MK_ENTER);
  EXPECT_EQ(w->panelCmdOut, kPanelCmdPowerOff);
  w->panelCmdOut = 255;
  edit(w, ME_OFF_HW, MK_PLUS);
  EXPECT_EQ(w->panelCmdOut, kPanelCmdPowerOff);
}

TEST(MenuEdit, FactoryResetDeletesEveryBankAndStartsANewSetup) {
  PanelFixture f;
  const char *files[] = {"/opt/set/antenna.txt", "/opt/set/antenna_b19.txt",
                         "/opt/set/atu_ant1.txt", "/opt/set/atu_ant3_b7.txt",
                         "/opt/set/atu_ant2_b19.txt"};
  for (const char *p : files) f.root.writeFile(p, "x\n");
  f.root.writeFile("/opt/set/filter.txt", "kept\n");
  f.w->maxBank = 7;
  f.w->bandIdx = 3;
  // What the controller reported is not a setting and survives the reset.
  f.w->eeModel = 3;
  f.w->powerClass = '1';
  f.w->ampBypass = 0;
  f.w->tuneVal = 0x2A0155;
  // The owner's pass phrase and web settings are not setup values either.
  const std::string remoteFile = "Password: the owners own phrase\nWebPort: 8443\nRemoteTls: 1\n";
  f.root.writeFile("/opt/set/remote.txt", remoteFile);
  f.w->remotePassword.set("the owners own phrase");
  writeSetup(f.w);
  edit(f.w, ME_FACTORY_DEFAULT, MK_ENTER);
  EXPECT_TRUE(f.root.exists("/opt/set/antenna.txt")) << "not armed: nothing happens";
  edit(f.w, ME_FACTORY_DEFAULT, MK_PLUS);
  EXPECT_EQ(f.w->factoryArmed, 1);
  edit(f.w, ME_FACTORY_DEFAULT, MK_ENTER);
  for (const char *p : files) EXPECT_FALSE(f.root.exists(p)) << p;
  EXPECT_TRUE(f.root.exists("/opt/set/filter.txt"));
  EXPECT_TRUE(fileHas(f, "MAXbank: 3\n"));
  EXPECT_EQ(f.w->maxBank, 3);
  EXPECT_EQ(f.w->factoryArmed, 0);
  EXPECT_EQ(f.w->bandIdx, -1) << "the bank's defaults are applied again";
  EXPECT_EQ(f.w->eeModel, 3);
  EXPECT_EQ(f.w->powerClass, '1');
  EXPECT_EQ(f.w->ampBypass, 0);
  EXPECT_EQ(f.w->tuneVal, 0x2A0155u);
  EXPECT_EQ(f.w->remotePassword.str(), "the owners own phrase");
  EXPECT_EQ(f.root.readFile("/opt/set/remote.txt"), remoteFile);
  // The error list stays open: an over-temperature is listed and bypasses the amplifier.
  f.queued();
  GestTemperatureFunction(f.w, ERR_TEMP1_ALARM, ERR_TEMP1_LATCHED, ERR_TEMP1_WARN, 90.0f, 60.0f);
  EXPECT_TRUE(ExistError(f.w, ERR_TEMP1_ALARM));
  const V sent = f.queued();
  EXPECT_NE(std::find(sent.begin(), sent.end(), LP_AB0), sent.end());
}

TEST(MenuEdit, RemoteRequestListsWhatIsMissing) {
  PanelFixture f;
  Works *w = f.w;
  w->remoteGo = 1;
  edit(w, ME_USE_MODE, MK_PLUS);
  EXPECT_EQ(w->remoteGo, 0);
  SetSetupChar(w, SB_EnableFFT, '1');
  edit(w, ME_USE_MODE, MK_PLUS);
  EXPECT_EQ(w->remoteGo, 1) << "remote already running: just switch back";
  w->remoteGo = 0;
  SetSetupChar(w, SB_EnableFFT, '0');
  SetSetupChar(w, SB_enaser, '0');
  edit(w, ME_USE_MODE, MK_PLUS);  // no transceiver here at all
  EXPECT_EQ(w->remoteGo, 0);
  EXPECT_EQ(w->catClosed, 1);
  EXPECT_EQ(ExistError(w, ERR_AUDIO_NOT_FOUND), 1);
  EXPECT_EQ(ExistError(w, ERR_NEB_MODE), 1);
  EXPECT_EQ(
      ExistError(w, ERR_REMOTE_USB) + ExistError(w, ERR_REMOTE_CAT) + ExistError(w, ERR_AUDIO_READ),
      1);
}

TEST(MenuEdit, LanOctetEditor) {
  At<uint8_t> v[4];
  v[0] = 192;
  v[1] = 168;
  v[2] = 1;
  v[3] = 255;
  EXPECT_EQ(ModifyIP(MK_PLUS, 3, v), 3);
  EXPECT_EQ(v[3], 0) << "255 + 1 wraps to 0";
  EXPECT_EQ(ModifyIP(MK_MINUS, 3, v), 3);
  EXPECT_EQ(v[3], 255);
  EXPECT_EQ(ModifyIP(MK_LEFT, 0, v), 3);
  EXPECT_EQ(ModifyIP(MK_RIGHT, 3, v), 0);
  EXPECT_EQ(ModifyIP(MK_RIGHT, 1, v), 2);
  EXPECT_EQ(ModifyIP(MK_PLUS, 9, v), 0) << "a cursor out of range is brought back";

  PanelFixture f;
  f.root.writeFile("/etc/network/interfaces", "gateway \n");
  ASSERT_EQ(ReadLanParam(), 0);
  ASSERT_EQ(Gateway_none, 1);
  f.root.writeScript("sudo", "exit 0\n");
  CntGateway = 0;
  edit(f.w, ME_LAN_GATEWAY, MK_RIGHT);
  EXPECT_EQ(CntGateway, 1);
  Gateway_v[1] = 9;
  edit(f.w, ME_LAN_GATEWAY, MK_PLUS);
  EXPECT_EQ(Gateway_v[1], 10);
  EXPECT_EQ(Gateway_none, 0) << "an edited gateway is a gateway to save";
  edit(f.w, ME_LAN_GATEWAY, MK_ENTER);
  EXPECT_EQ(f.root.readFile("/etc/network/interfaces").rfind("gateway ", 0), 0u);
  EXPECT_NE(f.root.readFile("/etc/network/interfaces").find(".10."), std::string::npos);
}

TEST(MenuEdit, BandRowEditor) {
  PanelFixture f;
  Works *w = f.w;
  TabAntennaRow &r = w->tabAntenna[3];
  r = TabAntennaRow{"40m", 7000000, 7300000, 1, 1, 0, 3, 0.0f};
  w->tabAntennaRowSel = 3;
  w->tabAntennaColSel = 0;
  ModifytabAntenna(w, 0);
  ModifytabAntenna(w, 0);
  EXPECT_FLOAT_EQ(r.pwr, 0.2f);
  ModifytabAntenna(w, 1);
  EXPECT_FLOAT_EQ(r.pwr, 0.1f);
  w->tabAntennaColSel = 1;
  ModifytabAntenna(w, 0);
  EXPECT_EQ(r.att, 0) << "above 3 back to 0";
  ModifytabAntenna(w, 1);
  EXPECT_EQ(r.att, 0) << "below 0 also 0";
  w->tabAntennaColSel = 2;
  ModifytabAntenna(w, 0);
  EXPECT_EQ(r.ampEnable, 0);
  w->tabAntennaColSel = 3;
  ModifytabAntenna(w, 1);
  EXPECT_EQ(r.ant, 3) << "0 becomes 3";
  ModifytabAntenna(w, 0);
  EXPECT_EQ(r.ant, 1) << "above 3 becomes 1";
  w->tabAntennaColSel = 4;
  ModifytabAntenna(w, 0);
  EXPECT_EQ(r.atuBypass, 1);

  // A cursor off the table changes nothing.
  TabAntennaRow before = r;
  w->tabAntennaColSel = -1;
  ModifytabAntenna(w, 0);
  w->tabAntennaRowSel = 11;
  w->tabAntennaColSel = 0;
  ModifytabAntenna(w, 0);
  w->tabAntennaRowSel = -3;
  ModifytabAntenna(w, 0);
  EXPECT_EQ(memcmp(&before, &r, sizeof r), 0);
}

}  // namespace
