// Band tables and banks: the file, the band row applied on a frequency
// change, the learning of the user's settings and bank switching.
#include <gtest/gtest.h>

#include <string>

#include "core/command_queue.h"
#include "errors/errors.h"
#include "table_fixture.h"
#include "tuner/tuner.h"

namespace {

const char kFiveRows[] =
    "; bank for the FT-817\n"
    "!817\n"
    "160m 1800000 2000000 1 1 0 0 0.0\n"
    "80m 3500000 0x3D0900 1 2 0 1 1.5\n"
    "40m 7000000 7300000 0 3 1 2 0.0\n"
    "20m 14000000 14350000 1 0 0 3 0.0\n"
    "10m 28000000 29700000 1 1 1 0 10.5\n";

TEST(BandFile, MissingFileGivesTheDefaults) {
  TableFixture f;
  Works *w = f.w();
  w->bandIdx = 4;
  EXPECT_EQ(LoadTabConfig(w, 1), 1);
  EXPECT_EQ(w->bandIdx, -1);  // evaluated again on the next refresh
  EXPECT_EQ(w->numBands, 11);
  EXPECT_STREQ(w->tabAntenna[2].name, "60m");
  EXPECT_EQ(w->tabAntenna[2].fmin, 5330500u);
  EXPECT_EQ(w->tabAntenna[10].fmax, 54000000u);
  EXPECT_EQ(w->tabAntenna[10].ant, 1);
  EXPECT_EQ(w->tabAntenna[10].atuBypass, 1);
  EXPECT_EQ(w->tabAntenna[10].ampEnable, 0);
  EXPECT_FALSE(f.root.exists("/opt/set/antenna_b1.txt"));
}

TEST(BandFile, HeaderAndRows) {
  TableFixture f;
  Works *w = f.w();
  f.root.writeFile("/opt/set/antenna_b2.txt", kFiveRows);
  EXPECT_EQ(LoadTabConfig(w, 2), 2);
  EXPECT_EQ(w->numBands, 5);
  EXPECT_EQ(w->bandIdx, -1);
  const TabAntennaRow &r = w->tabAntenna[1];
  EXPECT_STREQ(r.name, "80m");
  EXPECT_EQ(r.fmax, 4000000u);  // C notation
  EXPECT_EQ(r.ant, 2);
  EXPECT_EQ(r.att, 1);
  EXPECT_FLOAT_EQ(r.pwr, 1.5f);
  EXPECT_EQ(w->tabAntenna[2].atuBypass, 1);
  EXPECT_EQ(w->tabAntenna[2].ampEnable, 0);
  // No name; antenna and attenuator 4 are out of range and read as 0.
  f.root.writeFile("/opt/set/antenna_b2.txt", "!Gen\n\t1800000 2000000 1 4 0 4 0.0\n");
  testing::internal::CaptureStderr();
  LoadTabConfig(w, 2);
  testing::internal::GetCapturedStderr();
  EXPECT_STREQ(w->tabAntenna[0].name, "");
  EXPECT_EQ(w->tabAntenna[0].fmin, 1800000u);
  EXPECT_EQ(w->tabAntenna[0].ant, 0);
  EXPECT_EQ(w->tabAntenna[0].att, 0);
}

TEST(BandFile, ModeHeaderRules) {
  TableFixture f;
  Works *w = f.w();
  f.root.writeFile("/opt/set/antenna.txt", "160m 1800000 2000000 1 1 0 0 0.0\n");
  EXPECT_EQ(LoadTabConfig(w, 0), 1);  // no header
  f.root.writeFile("/opt/set/antenna.txt", "!Gen\n!Xyz\n!Neb\n!817\n!Gen\n!Foo\n!rim\n");
  EXPECT_EQ(LoadTabConfig(w, 0), 0);  // the last known header wins
  f.root.writeFile("/opt/set/antenna.txt", "!Neb\r\n");
  EXPECT_EQ(LoadTabConfig(w, 0), 1);
  // Hamlib's header, read and written back.
  f.root.writeFile("/opt/set/antenna.txt", "!rig\n20m 14000000 14350000 1 1 0 0 0.0\n");
  w->modeWorkIdx = LoadTabConfig(w, 0);
  EXPECT_EQ(w->modeWorkIdx, 3);
  EXPECT_EQ(SaveTabConfig(w, 0), 0);
  EXPECT_EQ(f.root.readFile("/opt/set/antenna.txt"), "!rig\n20m 14000000 14350000 1 1 0 0 0.0\n");
}

TEST(BandFile, HeaderOnlyHoldsNoBand) {
  TableFixture f;
  Works *w = f.w();
  f.root.writeFile("/opt/set/antenna_b1.txt", "!Gen\n");
  w->modeWorkIdx = LoadTabConfig(w, 1);
  EXPECT_EQ(w->numBands, 0);
  w->frequency = 14100000;
  w->antenna = 2;
  GestioneAntennaAutomatica(w);
  EXPECT_EQ(w->bandIdx, 100);
  EXPECT_TRUE(f.drain().empty());
  EXPECT_EQ(SaveTabConfig(w, 1), 0);
  EXPECT_EQ(f.root.readFile("/opt/set/antenna_b1.txt"), "!Gen\n");
}

TEST(BandFile, ZeroLimitReinitialisesNamesAndLimits) {
  TableFixture f;
  Works *w = f.w();
  f.root.writeFile("/opt/set/antenna_b1.txt",
                   "!Neb\n"
                   "a 1 2 1 2 0 3 0.5\n"
                   "b 3 4 1 3 0 2 0.0\n"
                   "c 5 0 1 2 0 1 0.0\n"
                   "d 7 8 1 2 0 1 0.0\n");
  testing::internal::CaptureStderr();
  LoadTabConfig(w, 1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Error Reinit antenna\n"), std::string::npos);
  EXPECT_EQ(w->numBands, 11);
  for (int i = 0; i < 11; ++i) EXPECT_NE(w->tabAntenna[i].fmax, 0u) << i;
  EXPECT_STREQ(w->tabAntenna[0].name, "160m");
  EXPECT_EQ(w->tabAntenna[0].fmin, 1800000u);
  EXPECT_EQ(w->tabAntenna[0].att, 3);  // settings read from the file stay
  EXPECT_EQ(w->tabAntenna[1].ant, 3);
  EXPECT_EQ(w->tabAntenna[3].ampEnable, 1);
  EXPECT_EQ(w->tabAntenna[4].ampEnable, 0);  // rows the file did not have: defaults
  EXPECT_EQ(w->tabAntenna[4].ant, 1);
}

TEST(BandFile, TwelfthRowEndsTheReading) {
  TableFixture f;
  Works *w = f.w();
  std::string text;
  for (int i = 0; i < 12; ++i)
    text += "b" + std::to_string(i) + " " + std::to_string(1000000 * (i + 1)) + " " +
            std::to_string(1000000 * (i + 1) + 500000) + " 1 1 0 0 0.0\n";
  text += "!Gen\n";  // after the 12th row line: never read
  f.root.writeFile("/opt/set/antenna.txt", text);
  EXPECT_EQ(LoadTabConfig(w, 0), 1);
  EXPECT_EQ(w->numBands, 11);
  EXPECT_STREQ(w->tabAntenna[10].name, "b10");
}

TEST(BandFile, LongNamesAreCutToSeven) {
  TableFixture f;
  Works *w = f.w();
  f.root.writeFile("/opt/set/antenna.txt",
                   "abcdefgh 1800000 2000000 1 1 0 0 0.0\n"
                   "1234567 3500000 4000000 1 1 0 0 0.0\n");
  LoadTabConfig(w, 0);
  EXPECT_STREQ(w->tabAntenna[0].name, "abcdefg");
  EXPECT_EQ(w->tabAntenna[0].fmin, 1800000u);
  EXPECT_STREQ(w->tabAntenna[1].name, "1234567");
  EXPECT_EQ(w->tabAntenna[1].fmax, 4000000u);
}

TEST(BandFile, WrittenForm) {
  TableFixture f;
  Works *w = f.w();
  f.root.writeFile("/opt/set/antenna_b2.txt", kFiveRows);
  w->modeWorkIdx = LoadTabConfig(w, 2);
  ASSERT_EQ(SaveTabConfig(w, 2), 0);
  EXPECT_EQ(f.root.readFile("/opt/set/antenna_b2.txt"),
            "!817\n"
            "160m 1800000 2000000 1 1 0 0 0.0\n"
            "80m 3500000 4000000 1 2 0 1 1.5\n"
            "40m 7000000 7300000 0 3 1 2 0.0\n"
            "20m 14000000 14350000 1 0 0 3 0.0\n"
            "10m 28000000 29700000 1 1 1 0 10.5\n");
  w->modeWorkIdx = 1;
  SaveTabConfig(w, 2);
  EXPECT_EQ(f.root.readFile("/opt/set/antenna_b2.txt").substr(0, 5), "!Neb\n");
  w->modeWorkIdx = 7;
  SaveTabConfig(w, 2);
  EXPECT_EQ(f.root.readFile("/opt/set/antenna_b2.txt").substr(0, 5), "!Gen\n");
}

// A frequency change into a band: antenna, tuner, operate, attenuator, in that order.
TEST(BandRow, AppliesTheBandInOrder) {
  TableFixture f;
  Works *w = f.w();
  f.root.writeFile("/opt/set/antenna_b2.txt", kFiveRows);
  LoadTabConfig(w, 2);
  w->antenna = 0;
  w->ampBypass = 1;
  w->attenuator = 0;
  w->frequency = 3500000;  // band edge
  GestioneAntennaAutomatica(w);
  EXPECT_EQ(w->bandIdx, 1);
  EXPECT_EQ(w->antenna, 1);
  EXPECT_EQ(w->attenuator, 1);
  EXPECT_EQ(w->attenuatorSel, 1);
  EXPECT_EQ(f.drain(), (std::vector<int>{LP_SA, LP_MT1_CLEAR, LP_AB0, LP_AT}));
  // With a stored tune the word comes from the memory.
  TuneMemEntry e = {1, 1, 10, 20};
  SaveTuneValsuTabRam(w, e, AtuIdxSearch(4000000, nullptr, nullptr, nullptr, nullptr), 1);
  w->frequency = 4000000;  // the other edge
  w->ampBypass = 0;
  GestioneAntennaAutomatica(w);
  EXPECT_EQ(f.drain(), (std::vector<int>{LP_MT1_MEM}));
  // Tuner bypassed and amplifier off in 40 m.
  w->frequency = 7100000;
  GestioneAntennaAutomatica(w);
  EXPECT_EQ(w->antenna, 2);
  EXPECT_EQ(f.drain(), (std::vector<int>{LP_SA, LP_MT1_BYPASS, LP_AB1}));
  // Ant 0 leaves the antenna alone.
  w->frequency = 14000000;
  GestioneAntennaAutomatica(w);
  EXPECT_EQ(w->antenna, 2);
  EXPECT_EQ(f.drain(), (std::vector<int>{LP_MT1_CLEAR, LP_AT}));
  // Outside every band: nothing changes.
  w->frequency = 10100000;
  GestioneAntennaAutomatica(w);
  EXPECT_EQ(w->bandIdx, 100);
  EXPECT_TRUE(f.drain().empty());
  EXPECT_EQ(w->antenna, 2);
}

TEST(BandRow, OverlappingRowsTheFirstWins) {
  TableFixture f;
  Works *w = f.w();
  f.root.writeFile("/opt/set/antenna.txt",
                   "!Gen\nwide 1000000 30000000 1 1 0 0 0.0\nnarrow 7000000 7300000 1 3 0 0 0.0\n");
  w->modeWorkIdx = LoadTabConfig(w, 0);
  w->frequency = 7100000;
  w->antenna = 2;
  GestioneAntennaAutomatica(w);
  EXPECT_EQ(w->bandIdx, 0);
  EXPECT_EQ(w->antenna, 0);
  w->attenuatorSel = 2;
  w->attenuator = 2;
  SaveToBank(w, 0, 1);
  EXPECT_EQ(f.root.readFile("/opt/set/antenna.txt"),
            "!Gen\nwide 1000000 30000000 1 2 0 2 0.0\nnarrow 7000000 7300000 1 3 0 0 0.0\n");
}

TEST(SaveToBank, StoresTheSettingsOfTheBand) {
  TableFixture f;
  Works *w = f.w();
  f.root.writeFile("/opt/set/antenna_b1.txt", "!Neb\n20m 14000000 14350000 1 1 0 0 0.0\n");
  w->modeWorkIdx = LoadTabConfig(w, 1);
  w->frequency = 14200000;
  w->atuBypass = 1;
  w->attenuator = 3;
  w->attenuatorSel = 4;  // StBy: the amplifier is off in this band from now on
  SaveToBank(w, 1, 2);
  EXPECT_EQ(f.root.readFile("/opt/set/antenna_b1.txt"),
            "!Neb\n20m 14000000 14350000 0 3 1 3 0.0\n");
  w->ampBypass = 0;
  GestioneAntennaAutomatica(w);
  std::vector<int> ids = f.drain();
  ASSERT_FALSE(ids.empty());
  EXPECT_EQ(ids.back(), LP_AB1);
  // Outside every band the file is only written again.
  w->frequency = 10000;
  w->attenuatorSel = 0;
  SaveToBank(w, 1, 0);
  EXPECT_EQ(f.root.readFile("/opt/set/antenna_b1.txt"),
            "!Neb\n20m 14000000 14350000 0 3 1 3 0.0\n");
  // Both edges belong to the band.
  w->atuBypass = 0;
  w->frequency = 14000000;
  SaveToBank(w, 1, 0);
  EXPECT_EQ(f.root.readFile("/opt/set/antenna_b1.txt"),
            "!Neb\n20m 14000000 14350000 1 1 0 3 0.0\n");
  w->frequency = 14350000;
  SaveToBank(w, 1, 1);
  EXPECT_EQ(f.root.readFile("/opt/set/antenna_b1.txt"),
            "!Neb\n20m 14000000 14350000 1 2 0 3 0.0\n");
}

TEST(Banks, ChangeBancoWrapsToBankZero) {
  TableFixture f;
  Works *w = f.w();
  f.root.writeFile("/opt/set/antenna.txt", "!Gen\n40m 7000000 7300000 1 1 0 0 0.0\n");
  f.root.writeFile("/opt/set/atu_ant2.txt", "2120 7100000 1 1 3 4\n");
  f.root.writeFile("/opt/set/antenna_b1.txt", "!Gen\n");  // no link thread to start
  w->maxBank = 3;
  w->numBanco = 2;
  w->bandIdx = 5;
  ChangeBanco(w);
  EXPECT_EQ(w->numBanco, 0);
  EXPECT_EQ(w->modeWorkIdx, 0);
  EXPECT_EQ(w->numBands, 1);
  EXPECT_EQ(w->bandIdx, -1);
  EXPECT_EQ(LoadTuneValFromTabRam(w, 2120, 1).c, 4);
  EXPECT_NE(f.root.readFile("/opt/set/setup.txt").find("NumBanco: 0\n"), std::string::npos);
  ChangeBanco(w);
  EXPECT_EQ(w->numBanco, 1);
  EXPECT_EQ(LoadTuneValFromTabRam(w, 2120, 1).valid, 0);
}

TEST(Banks, ModeOfWorkStartsAndStopsTheLinks) {
  TableFixture f;
  Works *w = f.w();
  SetSetupChar(w, SB_enaser, '1');
  SetSetupChar(w, SB_CatSerialEnable, '1');
  AddErrore(w, ERR_NEB_EXTIO);
  w->modeWorkIdx = 0;
  SetModeWorkIDX(w);
  EXPECT_EQ(SetupChar(w, SB_enaser), '0');
  EXPECT_EQ(SetupChar(w, SB_CatSerialEnable), '0');
  EXPECT_EQ(ExistError(w, ERR_NEB_EXTIO), 0);
  EXPECT_EQ(f.drain(), (std::vector<int>{LP_GS_SET}));
  // The interface key steps 2 -> 3 -> 0 and stores the header in the bank;
  // Hamlib runs its reader alone, and leaving it stops the reader and drops
  // its warning.
  f.root.writeFile("/opt/set/antenna_b1.txt", "!817\n20m 14000000 14350000 1 1 0 0 0.0\n");
  w->modeWorkIdx = LoadTabConfig(w, 1);
  SetSetupChar(w, SB_CatSerialEnable, '1');
  w->numBanco = 1;
  ChangeInterfaceBanco(w);
  EXPECT_EQ(w->modeWorkIdx, 3);
  EXPECT_EQ(w->rigRun, 1);
  EXPECT_EQ(SetupChar(w, SB_CatSerialEnable), '0');
  EXPECT_EQ(SetupChar(w, SB_enaser), '0');
  EXPECT_EQ(f.root.readFile("/opt/set/antenna_b1.txt").substr(0, 5), "!rig\n");
  AddErrore(w, ERR_HAMLIB);
  ChangeInterfaceBanco(w);
  EXPECT_EQ(w->modeWorkIdx, 0);
  EXPECT_EQ(w->rigRun, 0);
  EXPECT_EQ(ExistError(w, ERR_HAMLIB), 0);
  EXPECT_EQ(f.root.readFile("/opt/set/antenna_b1.txt").substr(0, 5), "!Gen\n");
}

TEST(Banks, CopyAndReset) {
  TableFixture f;
  Works *w = f.w();
  f.root.writeFile("/opt/set/antenna_b1.txt", "!817\n20m 14000000 14350000 1 2 0 1 0.0\n");
  f.root.writeFile("/opt/set/atu_ant1_b1.txt", "3130 14200000 1 1 37 112\n");
  w->modeWorkIdx = 1;
  CopyBank(w, 1, 2);
  EXPECT_EQ(f.root.readFile("/opt/set/antenna_b2.txt"),
            "!817\n20m 14000000 14350000 1 2 0 1 0.0\n");
  EXPECT_EQ(f.root.readFile("/opt/set/atu_ant1_b2.txt"), "3130 14200000 1 1 37 112\n");
  EXPECT_EQ(f.root.readFile("/opt/set/atu_ant2_b2.txt"), "");
  // Resetting bank 2 deletes its four files; maxBank itself means every bank.
  w->numBanco = 2;
  w->maxBank = 3;
  ResetBank(w, 2);
  EXPECT_FALSE(f.root.exists("/opt/set/antenna_b2.txt"));
  EXPECT_FALSE(f.root.exists("/opt/set/atu_ant1_b2.txt"));
  EXPECT_TRUE(f.root.exists("/opt/set/antenna_b1.txt"));
  EXPECT_EQ(w->numBands, 11);  // the current bank reloaded: defaults
  EXPECT_EQ(w->bandIdx, -1);
  ResetBank(w, 3);
  EXPECT_FALSE(f.root.exists("/opt/set/antenna_b1.txt"));
  EXPECT_FALSE(f.root.exists("/opt/set/atu_ant1_b1.txt"));
}

}  // namespace
