// Screens and labels: the key labels of each state, the parameter boxes of
// the main screen, the error row, and what a status page hides.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "display/display.h"
#include "support/screen_compare.h"
#include "support/screen_fonts.h"
#include "ui/menu.h"
#include "ui/ui.h"

namespace {

struct Screen {
  std::unique_ptr<Works> works = std::make_unique<Works>();
  FrameBuffer *fb = fbCreateMemory(800, 480, 4);
  FrameBuffer *ref = fbCreateMemory(800, 480, 4);
  Screen() {
    EXPECT_TRUE(LoadScreenFonts());
    works->fb = fb;
    works->numBanco = 1;
    works->maxBank = 3;
    works->modeWorkIdx = 1;
    InitMenuLumo(works.get());
  }
  ~Screen() {
    fbRelease(fb);
    fbRelease(ref);
  }
  void draw() {
    fbSetBack(fb);
    LoadButtons(works.get(), nullptr);
  }
  std::string label(int state, int key, int line) {
    LumoRow row;
    GetKeyRow(state, &row);
    return row.key[key - 1].line[line];
  }
  void addBand(const char *name, uint32_t fmin, uint32_t fmax) {
    int n = works->numBands;
    TabAntennaRow &row = works->tabAntenna[n];
    memset(&row, 0, sizeof row);
    memcpy(row.name, name, strnlen(name, 8));
    row.fmin = fmin;
    row.fmax = fmax;
    works->numBands = n + 1;
  }
  // The band box holds exactly the given text.
  bool bandBoxReads(const char *text) {
    FillBox(0, 0, 800, 480, 0, 0, 0, ref, FB_BACK);
    putString(8, 275, 298, text, 0, 200, 255, ref);
    return RegionEqual(fb, ref, 266, 279, 399, 302);
  }
};

TEST(Screens, KeyLabelsFollowTheStateTheyBelongTo) {
  Screen s;
  Works &w = *s.works;
  EXPECT_EQ(s.label(0, 1, 1), "BANK 1");
  EXPECT_EQ(s.label(0, 6, 0), "   VIEW ");

  w.numBanco = 2;
  w.antenna = 1;
  w.meterView = 3;
  w.ampBypass = 0;
  w.attenuator = 3;
  s.draw();
  EXPECT_EQ(s.label(0, 1, 1), "BANK2");
  EXPECT_EQ(s.label(0, 2, 1), "  5dB");
  EXPECT_EQ(s.label(0, 3, 1), "     2");
  EXPECT_EQ(s.label(0, 6, 1), "    3");
  w.ampBypass = 1;
  s.draw();
  EXPECT_EQ(s.label(0, 2, 1), "  StBy");

  // Tune screen: the key of the running kind of tuning, or "NotInst".
  w.screenState = 3;
  w.tuneFine = 1;
  w.autoTuneState = 1;
  s.draw();
  EXPECT_EQ(s.label(3, 3, 1), "    On");
  w.autoTuneState = 0;
  s.draw();
  EXPECT_EQ(s.label(3, 3, 1), "   Off");
  w.tuneFine = 0;
  w.autoTuneState = 1;
  w.atuBypass = 1;
  s.draw();
  EXPECT_EQ(s.label(3, 4, 1), "    On");
  EXPECT_EQ(s.label(3, 5, 1), "   Bpy");
  w.tuneEnabled = static_cast<int8_t>(0x80);
  s.draw();
  EXPECT_EQ(s.label(3, 4, 1), "NotInst");
  LabelByPassLumo(&w, "   Man");
  EXPECT_EQ(s.label(3, 5, 1), "   Man");

  // Manual tune: L, C and the network mode.
  w.screenState = 4;
  w.tuneL = 17;
  w.tuneC = 300;
  w.tuneVal = 0x00800000u;
  s.draw();
  EXPECT_EQ(s.label(4, 3, 1), "     17");
  EXPECT_EQ(s.label(4, 5, 1), "     300");
  EXPECT_EQ(s.label(4, 1, 1), "CL");
  w.tuneVal = 0x00040000u;
  s.draw();
  EXPECT_EQ(s.label(4, 1, 1), "LC");
  w.tuneVal = 0x00840000u;  // two mode bits: no valid network
  s.draw();
  EXPECT_EQ(s.label(4, 1, 1), "ByP");

  w.screenState = 6;
  s.draw();
  EXPECT_EQ(s.label(6, 2, 1), "KTLNEB");
  w.screenState = 8;
  w.saveBank = 4;
  w.saveAnt = 2;
  s.draw();
  EXPECT_EQ(s.label(8, 2, 1), "   4");
  EXPECT_EQ(s.label(8, 3, 1), "     3");
  w.screenState = 10;
  w.copyOrigin = 1;
  w.copyDest = 2;
  s.draw();
  EXPECT_EQ(s.label(10, 2, 1), "    1");
  EXPECT_EQ(s.label(10, 3, 1), "    2");
  w.screenState = 11;
  w.resetBank = 2;
  s.draw();
  EXPECT_EQ(s.label(11, 2, 1), "    2");
  w.resetBank = 3;  // equal to the number of banks: all of them
  s.draw();
  EXPECT_EQ(s.label(11, 2, 1), "  ALL");

  // A label function outside its state changes nothing.
  w.screenState = 0;
  w.resetBank = 1;
  LblRESET(&w);
  LabelSAVEATU(&w);
  EXPECT_EQ(s.label(11, 2, 1), "  ALL");
  EXPECT_EQ(s.label(8, 2, 1), "   4");
  // Labels are cut to twelve characters.
  SetKeyLabel(9, 4, 0, "0123456789ABCDEF");
  EXPECT_EQ(s.label(9, 4, 0), "0123456789AB");

  char name[8] = "x";
  GetLblInterface(2, name);
  EXPECT_STREQ(name, " FT-817");
  GetLblInterface(3, name);
  EXPECT_STREQ(name, " Hamlib");
  GetLblInterface(4, name);
  EXPECT_STREQ(name, " Hamlib");
  EXPECT_FLOAT_EQ(ConversionCelsius_to_Fahrenheit(100), 212);
  EXPECT_FLOAT_EQ(ConversionCelsius_to_Fahrenheit(-40), -40);
}

TEST(Screens, KeyBarAndItsDrawnLabels) {
  Screen s;
  s.draw();
  // Grey keys, orange long-press bars under keys 1 and 6 of the main screen.
  EXPECT_EQ(CountColour(s.fb, 0, 476, 129, 476, 40, 40, 40), 130);
  EXPECT_EQ(CountColour(s.fb, 2, 479, 127, 479, 250, 150, 0), 126);
  EXPECT_EQ(CountColour(s.fb, 667, 479, 796, 479, 250, 150, 0), 130);
  EXPECT_EQ(CountColour(s.fb, 135, 479, 260, 479, 250, 150, 0), 0);
  EXPECT_EQ(CountColour(s.fb, 130, 420, 130, 478, 120, 120, 120), 59);

  // Key 3's labels as drawn.
  FillBox(266, 421, 396, 480, 40, 40, 40, s.ref, FB_BACK);
  putString(0, 276, 445, "   ANT", 250, 150, 0, s.ref);
  putString(1, 286, 472, "     1", 250, 150, 0, s.ref);
  EXPECT_TRUE(RegionEqual(s.fb, s.ref, 267, 421, 395, 477));

  // With errors listed, key 6 offers the reset.
  s.works->errorList[0] = 1;
  s.works->errorCount = 1;
  s.draw();
  FillBox(665, 421, 799, 480, 40, 40, 40, s.ref, FB_BACK);
  putString(0, 690, 445, "RESET", 250, 150, 0, s.ref);
  putString(1, 695, 472, " Error ", 250, 150, 0, s.ref);
  EXPECT_TRUE(RegionEqual(s.fb, s.ref, 666, 421, 798, 477));
  s.works->errorCount = 0;

  // In the menu value state keys 2 and 3 are blank unless the entry uses a cursor.
  s.works->screenState = 2;
  s.works->menuIdx = 0;
  s.draw();
  EXPECT_EQ(CountColour(s.fb, 134, 421, 262, 477, 250, 150, 0), 0);
  s.works->menuIdx = 9;
  s.draw();
  EXPECT_GT(CountColour(s.fb, 134, 421, 262, 477, 250, 150, 0), 0);
}

TEST(Screens, BandBoxAndParameterBoxes) {
  Screen s;
  Works &w = *s.works;
  s.addBand("20m", 14000000, 14350000);
  s.addBand("20mB", 14050000, 14100000);
  s.addBand("10m", 26000000, 29700000);
  w.frequency = 14070000;  // in both rows: the later row wins
  s.draw();
  EXPECT_TRUE(s.bandBoxReads("Band:20mB"));
  w.frequency = 14200000;
  s.draw();
  EXPECT_TRUE(s.bandBoxReads("Band:20m"));
  w.frequency = 27500000;  // no amplification there, whatever the table says
  s.draw();
  EXPECT_TRUE(s.bandBoxReads("NOPA"));
  w.frequency = 3600000;
  s.draw();
  EXPECT_TRUE(s.bandBoxReads("Band:---"));
  // A full eight-character name without its NUL.
  s.addBand("ABCDEFGH", 3500000, 3800000);
  s.draw();
  EXPECT_TRUE(s.bandBoxReads("Band:ABCDEFGH"));

  // Frames of both rows and the remote box in red when its link closed.
  EXPECT_EQ(CountColour(s.fb, 1, 278, 1, 303, 200, 200, 200), 26);
  EXPECT_EQ(CountColour(s.fb, 405, 307, 405, 332, 100, 100, 100), 26);
  w.remoteGo = 1;
  w.catClosed = 1;
  s.draw();
  EXPECT_GT(CountColour(s.fb, 716, 279, 798, 302, 250, 0, 0), 10);
  w.catClosed = 0;
  s.draw();
  EXPECT_EQ(CountColour(s.fb, 716, 279, 798, 302, 250, 0, 0), 0);

  // The temperature line in the unit chosen.
  w.temp1 = 25;
  w.temp2 = 30.5f;
  w.cpuTemp = 45;
  w.tempMode = 1;
  s.draw();
  FillBox(0, 0, 800, 480, 0, 0, 0, s.ref, FB_BACK);
  putString(8, 10, 327, "PA1:77.0°F   P2:86.9°F    CPU:113.0°F", 0, 200, 0, s.ref);
  EXPECT_TRUE(RegionEqual(s.fb, s.ref, 2, 308, 399, 331));
  // Notices and the debug line.
  w.uiFlags = 0x02;
  w.enableDebug = 1;
  s.draw();
  putString(8, 5, 350, "ATU ByPass not saved!", 250, 250, 250, s.ref);
  EXPECT_TRUE(RegionEqual(s.fb, s.ref, 0, 334, 799, 360));
  EXPECT_GT(CountColour(s.fb, 0, 255, 799, 277, 250, 0, 0), 50);
}

TEST(Screens, ErrorRowShowsTheNewestSix) {
  Screen s;
  Works &w = *s.works;
  for (int code = 0; code < kErrorCodes; ++code) {
    snprintf(w.errorTable[code].line1, sizeof w.errorTable[code].line1, "E%d", code);
    snprintf(w.errorTable[code].line2, sizeof w.errorTable[code].line2, "second %d", code);
    w.errorTable[code].flags = code == 4 ? 1 : 4;
  }
  static const int kLeft[6] = {5, 133, 266, 399, 532, 665};
  static const int kRight[6] = {130, 263, 396, 529, 662, 795};
  auto slotShows = [&](int slot, int code) {
    const int l = kLeft[slot], r = kRight[slot];
    const bool alarm = code == 4;
    FillBox(0, 0, 800, 480, 0, 0, 0, s.ref, FB_BACK);
    FillBox(l, 370, r, 415, alarm ? 255 : 250, alarm ? 30 : 150, 0, s.ref, FB_BACK);
    char a[8], b[16];
    snprintf(a, sizeof a, "E%d", code);
    snprintf(b, sizeof b, "second %d", code);
    putString(10, l + 4, 390, a, 250, 250, 250, s.ref);
    putString(10, l + 4, 410, b, 250, 250, 250, s.ref);
    return RegionEqual(s.fb, s.ref, l + 1, 371, r - 1, 414) &&
           CountColour(s.fb, l, 370, l, 415, 255, 255, 255) == 46 &&
           CountColour(s.fb, l + 1, 415, r, 415, 255, 255, 255) == r - l;
  };
  for (int i = 0; i < 8; ++i) w.errorList[i] = i;
  w.errorCount = 8;
  s.draw();
  for (int slot = 0; slot < 6; ++slot) EXPECT_TRUE(slotShows(slot, slot + 2)) << slot;

  w.errorCount = 3;
  s.draw();
  for (int slot = 0; slot < 3; ++slot) EXPECT_TRUE(slotShows(slot, slot)) << slot;
  EXPECT_EQ(CountColour(s.fb, 399, 370, 795, 415, 250, 150, 0), 0);
  EXPECT_EQ(CountColour(s.fb, 399, 370, 795, 415, 255, 255, 255), 0);

  fbSetBack(s.fb);
  DrawTastoErrore(&w, 399, 529, 1);
  EXPECT_TRUE(slotShows(3, 1));

  w.errorList[0] = 4;  // an alarm is drawn red
  s.draw();
  EXPECT_TRUE(slotShows(0, 4));
}

TEST(Screens, StatusPageHidesTheErrorRowAndTheTxBox) {
  Screen s;
  Works &w = *s.works;
  w.errorTable[3].flags = 4;  // a warning: an orange box
  w.errorList[0] = 3;
  w.errorCount = 1;
  w.stErr[1] = 1;
  s.draw();
  EXPECT_GT(CountColour(s.fb, 375, 175, 429, 209, 250, 0, 0), 1500);
  EXPECT_EQ(CountColour(s.fb, 374, 175, 374, 209, 250, 0, 0), 0);
  EXPECT_GT(CountColour(s.fb, 6, 371, 129, 414, 250, 150, 0), 1000);

  w.statusView = 1;
  w.version.set("00.061");
  s.draw();
  EXPECT_EQ(CountColour(s.fb, 375, 175, 429, 209, 250, 0, 0), 0);
  EXPECT_EQ(CountColour(s.fb, 6, 371, 129, 414, 250, 150, 0), 0);
  EXPECT_EQ(CountColour(s.fb, 0, 476, 129, 476, 40, 40, 40), 130);
  FillBox(0, 0, 800, 480, 0, 0, 0, s.ref, FB_BACK);
  putString(8, 5, 110, "VERSION", 255, 255, 255, s.ref);
  putString(8, 180, 110, "SW ver. 00.061, FW ver. ", 255, 255, 255, s.ref);
  EXPECT_TRUE(RegionEqual(s.fb, s.ref, 0, 90, 799, 114));
  // The parameter boxes are not drawn under the status page.
  EXPECT_EQ(CountColour(s.fb, 1, 278, 1, 303, 200, 200, 200), 0);

  // The memory table page.
  w.statusView = 2;
  w.screenState = 6;
  s.draw();
  FillBox(0, 0, 800, 480, 0, 0, 0, s.ref, FB_BACK);
  putString(0, 100, 50, " Memory Table Bank 1 - Interface: KTLNEB", 250, 150, 0, s.ref);
  EXPECT_TRUE(RegionEqual(s.fb, s.ref, 0, 20, 799, 56));
  // A device error shows nothing of the pages.
  w.deviceError = 1;
  s.draw();
  EXPECT_EQ(CountColour(s.fb, 0, 20, 799, 56, 0, 0, 0), 800 * 37);
}

}  // namespace
