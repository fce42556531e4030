// Menu model: the tables InitMenuLumo builds, the value text of every entry,
// and the menu screen.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "core/process_globals.h"
#include "display/display.h"
#include "network/lan.h"
#include "support/screen_compare.h"
#include "support/screen_fonts.h"
#include "ui/menu.h"
#include "ui/plot.h"
#include "ui/ui.h"

namespace {

std::string value(Works *w, int entry, int item = 0) {
  char out[kMenuValueLen] = "untouched";
  LoadParameterMenu(w, out, entry, item);
  return out;
}

TEST(Menu, TablesBuiltAtStartUp) {
  Works w;
  w.numBanco = 2;
  w.attenuator = 1;
  w.antenna = 2;
  InitMenuLumo(&w);
  EXPECT_EQ(w.menuCount, 32);
  EXPECT_EQ(menuPar[0].number, 1);
  EXPECT_STREQ(menuPar[0].title, "MAX BANK");
  EXPECT_STREQ(menuPar[0].items[0].label, " ");
  EXPECT_EQ(menuPar[18].number, 50);
  EXPECT_STREQ(menuPar[18].items[0].label, "DateTime");
  EXPECT_EQ(menuPar[31].number, 99);
  EXPECT_STREQ(menuPar[31].title, "REMOTE SERVICE");
  EXPECT_STREQ(menuPar[25].title, "SCREEN SAVER TIMEOUT") << "the longest title, whole";
  for (int i = 0; i < kMenuEntries; ++i) {
    EXPECT_EQ(menuPar[i].itemCount, 1);
    EXPECT_EQ(menuPar[i].items[0].noEdit, 0);
    EXPECT_EQ(menuPar[i].items[0].useCursor, i >= 9 && i <= 12 ? 1 : 0) << i;
  }
  LumoRow row;
  GetKeyRow(0, &row);
  EXPECT_EQ(row.flags, 0x21);
  EXPECT_STREQ(row.key[0].line[1], "BANK 2");
  EXPECT_STREQ(row.key[1].line[1], "2dB");
  EXPECT_STREQ(row.key[2].line[1], "3");
  EXPECT_STREQ(row.key[5].line[1], " 1 ");
  GetKeyRow(4, &row);
  EXPECT_EQ(row.flags, 0x01);
  EXPECT_STREQ(row.key[5].line[0], "STARTTX");
  GetKeyRow(12, &row);
  EXPECT_STREQ(row.key[5].line[0], "Disable");
  EXPECT_EQ(row.flags, 0);
  GetKeyRow(13, &row);
  EXPECT_STREQ(row.key[0].line[0], "");
  GetKeyRow(99, &row);
  EXPECT_STREQ(row.key[0].line[0], "");
}

TEST(Menu, ValueTextOfEveryEntry) {
  Works w;
  InitMenuLumo(&w);
  InitGrid();
  w.maxBank = 3;
  w.freqSensIn = 1;
  w.freqPeriodTime = 10;
  w.autoTuneMode = 3;
  w.attenuatorTune = 2;
  w.swrEscAutoTune = 1.5f;
  w.autoTuneMaxCicli = 4;
  w.tuneEnabled = static_cast<int8_t>(0x80);
  w.remoteGo = 1;
  w.offsetPlot = 2.5;
  w.filterView = 1;
  w.viewTimeStr = 0;
  w.tempMode = 1;
  w.enablePwrPeak = 1;
  w.maxTemperature = 60;
  w.maxTemperature2 = 80.25f;
  w.powerUnits = 0;
  w.saveScreenIdx = 4;
  w.factoryArmed = 1;
  w.armedActions = 0x08;
  TimerPeakSec = 3000;
  TIME_LONG_PRESS = 0.5;
  IP_v[0] = 192;
  IP_v[1] = 168;
  IP_v[2] = 1;
  IP_v[3] = 20;
  NetMask_v[0] = NetMask_v[1] = NetMask_v[2] = 255;
  NetMask_v[3] = 0;
  const char *const expected[kMenuEntries] = {
      "3",       "FQ2",        "10",          "On",           "3dB",           "1.50",
      "5sec",    "No",         "Remote",      "192.168.1.20", "255.255.255.0", "0.0.0.0",
      "0.0.0.0", "-110",       "0",           "10",           "2.50",          "ON",
      "OFF",     "Fahrenheit", "ON",          "3000",         "60.00",         "80.25",
      "Watt",    "60min",      "Set Default", "0.5 sec",      "OFF",           "OFF",
      "ON",      "OFF"};
  for (int e = 0; e < kMenuEntries; ++e) EXPECT_EQ(value(&w, e), expected[e]) << "entry " << e;

  // Entries with a single state ignore a second item; the others do not.
  EXPECT_EQ(value(&w, 8, 1), "untouched");
  EXPECT_EQ(value(&w, 31, 2), "untouched");
  EXPECT_EQ(value(&w, 0, 1), "3");
  EXPECT_EQ(value(&w, 40), "");
  EXPECT_EQ(value(&w, -1), "");

  // Values out of their tables read as the first entry rather than past the end.
  w.autoTuneMaxCicli = 200;
  w.saveScreenIdx = 9;
  w.attenuatorTune = 7;
  EXPECT_EQ(value(&w, 6), "25sec");
  EXPECT_EQ(value(&w, 25), "5min");
  EXPECT_EQ(value(&w, 4), "0dB");

  // A LAN entry on screen becomes the one the octet editor works on.
  value(&w, 10);
  EXPECT_EQ(LAN_vect.load(), NetMask_v);
  EXPECT_EQ(LAN_idx.load(), &CntNetMask);
  value(&w, 9);
  EXPECT_EQ(LAN_vect.load(), IP_v);

  char text[16];
  const uint8_t octets[4] = {255, 0, 10, 7};
  SplitAddrInv(text, octets);
  EXPECT_STREQ(text, "255.0.10.7");
  for (auto &o : IP_v) o = 0;
  for (auto &o : NetMask_v) o = 0;
}

TEST(Menu, ScreenShowsTheEntryBetweenItsNeighbours) {
  ASSERT_TRUE(LoadScreenFonts());
  auto w = std::make_unique<Works>();
  FrameBuffer *fb = fbCreateMemory(800, 480, 4), *ref = fbCreateMemory(800, 480, 4);
  w->fb = fb;
  w->maxBank = 3;
  InitMenuLumo(w.get());
  w->screenState = 1;
  w->menuIdx = 0;
  fbSetBack(fb);
  DrawParameters(w.get());
  EXPECT_EQ(CountColour(fb, 1, 286, 798, 286, 40, 40, 40), 798);
  EXPECT_EQ(CountColour(fb, 1, 312, 10, 312, 80, 80, 80), 10);
  EXPECT_EQ(CountColour(fb, 0, 286, 0, 286, 40, 40, 40), 0);

  // The entry before the first is the last one.
  FillBox(0, 285, 800, 365, 40, 40, 40, ref, FB_BACK);
  putString(1, 20, 305, "99 -", 250, 150, 0, ref);
  putString(1, 70, 305, "REMOTE SERVICE", 250, 150, 0, ref);
  putString(11, 790 - getStringSpace(11, "OFF"), 305, "OFF", 250, 150, 0, ref);
  EXPECT_TRUE(RegionEqual(fb, ref, 1, 285, 798, 308));
  // The selected value ends at x 790.
  FillBox(0, 311, 800, 340, 80, 80, 80, ref, FB_BACK);
  putString(7, 20, 335, "1 -", 255, 255, 255, ref);
  putString(7, 70, 335, "MAX BANK", 255, 255, 255, ref);
  putString(0, 790 - getStringSpace(0, "3"), 335, "3", 255, 255, 255, ref);
  EXPECT_TRUE(RegionEqual(fb, ref, 1, 311, 798, 338));

  // Editing an address: the octet under the cursor stands out.
  w->screenState = 2;
  w->menuIdx = 9;
  IP_v[0] = 10;
  IP_v[1] = 0;
  IP_v[2] = 0;
  IP_v[3] = 42;
  CntIP = 3;
  fbSetBack(fb);
  DrawParameters(w.get());
  const int wPre = getStringSpace(7, "10.0.0."), wCur = getStringSpace(7, "42");
  FillBox(0, 311, 800, 340, 80, 80, 80, ref, FB_BACK);
  putString(7, 20, 335, "10 -", 255, 255, 255, ref);
  putString(7, 70, 335, "NETWORK LAN", 255, 255, 255, ref);
  putString(7, 350, 335, "IP", 255, 255, 255, ref);
  putString(7, 790 - wPre - wCur, 335, "10.0.0.", 250, 150, 0, ref);
  putString(7, 790 - wCur, 335, "42", 250, 250, 250, ref);
  EXPECT_TRUE(RegionEqual(fb, ref, 1, 311, 798, 338));

  // With the status page open the band sits 50 pixels lower.
  w->statusView = 1;
  fbSetBack(fb);
  DrawMenuScreen(w.get());
  EXPECT_EQ(CountColour(fb, 1, 336, 798, 336, 40, 40, 40), 798);
  EXPECT_EQ(CountColour(fb, 1, 362, 10, 362, 80, 80, 80), 10);
  EXPECT_EQ(CountColour(fb, 1, 389, 10, 389, 80, 80, 80), 10);
  for (auto &o : IP_v) o = 0;
  CntIP = 3;
  fbRelease(fb);
  fbRelease(ref);
}

}  // namespace
