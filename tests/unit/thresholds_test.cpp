// config.txt: rows, coefficients, the thresholds sent on a change of row.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "core/command_queue.h"
#include "table_fixture.h"

namespace {

// fmin fmax P1 R1 P2 R2 P3 R3 kReflFwd PWIN Corrente REFL FWD L0 C0 .. L4 C4 step
const char kThreeRows[] =
    "; calibration and thresholds\n"
    "0 1799999 100 4000 10 2000 100 1000 -0.007 100 12 20 80 1 2 3 4 5 6 7 8 9 10 5\n"
    "1800000 3499999 60 3000 10 1000 100 1000 0.0 5 20 100 100 11 12 13 14 15 16 17 18 19 20 3\n"
    "3500000 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n";

TEST(Thresholds, RowsAndCoefficients) {
  TableFixture f;
  Works *w = f.w();
  f.root.writeFile("/opt/set/config.txt", kThreeRows);
  EXPECT_EQ(ReadConfigFile(w), 3);
  ASSERT_EQ(w->numConfigRows, 3);
  const ConfigRow &r = w->tabConfig[1];
  EXPECT_EQ(r.fmin, 1800000u);
  EXPECT_FLOAT_EQ(r.kFwd, 60.0f / (3000.0f * 3000.0f));
  EXPECT_FLOAT_EQ(r.kRefl, 10.0f / 1e6f);
  EXPECT_FLOAT_EQ(r.kPwin, 1e-4f);
  EXPECT_EQ(r.L[0], 11);
  EXPECT_EQ(r.C[0], 12);
  EXPECT_EQ(r.L[4], 19);
  EXPECT_EQ(r.C[4], 20);
  EXPECT_EQ(r.step, 3);
  w->frequency = 2000000;
  EXPECT_FLOAT_EQ(SearchK(w, 2), 1e-4f);
  EXPECT_FLOAT_EQ(SearchK(w, 3), 0.0f);
  EXPECT_FLOAT_EQ(SearchK(w, 9), 1.0f);
  w->frequency = 3500000;  // the last row only closes the range
  EXPECT_FLOAT_EQ(SearchK(w, 0), 1.0f);
}

TEST(Thresholds, RowBoundaries) {
  TableFixture f;
  Works *w = f.w();
  f.root.writeFile("/opt/set/config.txt", kThreeRows);
  ReadConfigFile(w);
  EXPECT_EQ(SearchConfigRow(w, 0), 0);
  EXPECT_EQ(SearchConfigRow(w, 1800000), 1);
  EXPECT_EQ(SearchConfigRow(w, 3499999), 1);
  EXPECT_EQ(SearchConfigRow(w, 3500000), -1);
  w->configRowIdx = -1;
  w->frequency = 1800000;
  SearchCambioSoglie_TS(w);
  EXPECT_EQ(w->configRowIdx, 1);
  EXPECT_EQ(f.drain(), (std::vector<int>{LP_TS}));
  // PWIN 5 W at kPwin 1e-4: sqrt(50000) = 223; 20 A: 5830 capped; 100 W each side.
  EXPECT_EQ(w->tsPar[0], 223);
  EXPECT_EQ(w->tsPar[3], 4095);
  EXPECT_EQ(w->tsPar[1], static_cast<int>(std::sqrt(100.0 / (60.0 / 9e6))));
  EXPECT_EQ(w->tsPar[2], 3162);
  // Same row: nothing sent; a frequency no row holds: nothing changes.
  w->frequency = 3499999;
  SearchCambioSoglie_TS(w);
  w->frequency = 3500000;
  SearchCambioSoglie_TS(w);
  EXPECT_TRUE(f.drain().empty());
  EXPECT_EQ(w->configRowIdx, 1);
  // Another row: one command.
  w->frequency = 1000000;
  SearchCambioSoglie_TS(w);
  EXPECT_EQ(f.drain(), (std::vector<int>{LP_TS}));
  EXPECT_EQ(w->tsPar[0], 1000);  // PWIN 100 with 100 W at 1000 counts
  EXPECT_EQ(w->tsPar[3], 3498);  // 12 A

  // Overlapping rows (0 and 2 both hold 1.5 MHz): the last one gives the
  // thresholds, as it gives the coefficients.
  f.root.writeFile("/opt/set/config.txt",
                   "0 1799999 100 4000 10 2000 100 1000 -0.007 100 12 20 80 0 0 0 0 0 0 0 0 0 0 0\n"
                   "2000000 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n"
                   "1000000 3499999 60 3000 10 1000 100 1000 0.0 5 20 100 100 0 0 0 0 0 0 0 0 0 0 0\n"
                   "3500000 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n");
  ReadConfigFile(w);
  w->configRowIdx = -1;
  w->frequency = 1500000;
  SearchCambioSoglie_TS(w);
  EXPECT_EQ(w->configRowIdx, 2);
  EXPECT_EQ(w->tsPar[0], 223);
  EXPECT_FLOAT_EQ(SearchK(w, 2), 1e-4f);
}

TEST(Thresholds, WithoutATableTheDefaultsGoOutOnce) {
  TableFixture f;
  Works *w = f.w();
  testing::internal::CaptureStderr();
  EXPECT_EQ(ReadConfigFile(w), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Config File not FOUND!!"), std::string::npos);
  EXPECT_FLOAT_EQ(SearchK(w, 0), 5.156579e-6f);
  EXPECT_FLOAT_EQ(SearchK(w, 3), -0.007f);
  w->configRowIdx = -1;
  for (auto &t : w->tsPar) t = 1;
  SearchCambioSoglie_TS(w);
  SearchCambioSoglie_TS(w);
  EXPECT_EQ(f.drain(), (std::vector<int>{LP_TS}));
  EXPECT_EQ(w->tsPar[0], 4095);
  EXPECT_EQ(w->tsPar[1], 4095);
  EXPECT_EQ(w->tsPar[2], 1500);
  EXPECT_EQ(w->tsPar[3], 3700);
  EXPECT_EQ(w->configRowIdx, 0);
}

TEST(Thresholds, NumberFormsAndTheEmptyLine) {
  TableFixture f;
  Works *w = f.w();
  f.root.writeFile("/opt/set/config.txt",
                   "0x1B7740 0 60 3000 10 1000 5 1000 0 5 12 10 0 0 0 0 0 0 0 0 0 0 0 4\r\n"
                   "037777777\n"
                   "\n");
  ASSERT_EQ(ReadConfigFile(w), 3);
  EXPECT_EQ(w->tabConfig[0].fmin, 1800000u);
  EXPECT_EQ(w->tabConfig[0].step, 4);
  EXPECT_EQ(w->tabConfig[1].fmin, 8388607u);
  EXPECT_EQ(w->tabConfig[2].fmin, 0u);
  EXPECT_EQ(w->tabConfig[2].kFwd, 0.0f);
  w->configRowIdx = -1;
  w->frequency = 1900000;
  SearchCambioSoglie_TS(w);
  EXPECT_EQ(w->tsPar[0], 1000);
  EXPECT_EQ(w->tsPar[1], 0);  // a forward threshold of 0 W
}

TEST(Thresholds, NoCalibrationSwitchesTheThresholdOff) {
  TableFixture f;
  Works *w = f.w();
  f.root.writeFile("/opt/set/config.txt",
                   "0 0 0 0 0 0 0 0 0 5 12 10 80 0 0 0 0 0 0 0 0 0 0 1\n"
                   "30000000 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n");
  ReadConfigFile(w);
  w->configRowIdx = -1;
  w->frequency = 1900000;
  SearchCambioSoglie_TS(w);
  EXPECT_EQ(w->tsPar[0], 4095);
  EXPECT_EQ(w->tsPar[1], 4095);
  EXPECT_EQ(w->tsPar[2], 4095);
  EXPECT_EQ(w->tsPar[3], 3498);
}

}  // namespace

// At start-up the setup file is read after the controller's start-up sequence
// chose the row: the row's thresholds still go out. After that a bank load
// alone sends nothing while the row stays the same.
TEST(Thresholds, StartUpSendsTheRowAndBankLoadsDoNotRepeatIt) {
  TableFixture f;
  Works *w = f.w();
  f.root.writeFile("/opt/set/config.txt", kThreeRows);
  f.root.writeFile("/opt/set/antenna_b1.txt", "!Gen\n");  // no link thread to start
  ReadConfigFile(w);
  w->frequency = 1800000;
  SearchCambioSoglie_TS(w);
  readSetup(w);
  w->numBanco = 1;
  LoadAllBankTable(w, 1);
  w->frequency = 1800000;
  f.drain();
  SearchCambioSoglie_TS(w);
  EXPECT_EQ(f.drain(), (std::vector<int>{LP_TS}));
  EXPECT_EQ(w->tsPar[0], 223);
  LoadAllBankTable(w, 1);
  SearchCambioSoglie_TS(w);
  EXPECT_EQ(f.drain(), (std::vector<int>{LP_GS_SET})) << "no second TS for the same row";
}
