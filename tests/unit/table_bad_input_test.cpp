// Table files with garbage: every loader keeps within its tables, logs what
// it could not read and goes on.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "table_fixture.h"
#include "tuner/tuner.h"

namespace {

std::string randomBytes(unsigned seed, size_t n) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char &c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

const char *const kGarbage[] = {
    "",
    "\n\n\n",
    "!\n!N\n!Ne\n",
    "160m\n",
    "160m 1800000\n",
    "x -1 -2 -3 -4 -5 -6 -7\n",
    "y 99999999999999999999 18446744073709551616 300 300 300 300 1e999\n",
    "z 0x 0xZZ 08 09 nan inf -inf\n",
    "q 1800000 2000000 1 7 1 9 nan\n",
    "\t\t \t\n",
    "abcdefghijklmnopqrstuvwxyz 1 2 3 4 5 6 7\n",
    "-5 1 1 1 1 1\n-2147483649 0 1 1 1 1\n",
    "4999 0 1 9 1 1\n4998 0 1 1 70000 1\n4997 0 1 1 1 -1\n",
    "1000 0 1 1 1\n",
    "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 26 27 28 29 30\n",
};

// Every loader on one text.
void loadAll(TableFixture &f, const std::string &text) {
  Works *w = f.w();
  for (const char *p : {"/opt/set/antenna.txt", "/opt/set/config.txt", "/opt/set/filter.txt",
                        "/opt/set/atu_ant1.txt"})
    f.root.writeFile(p, text);
  int mode = LoadTabConfig(w, 0);
  EXPECT_GE(mode, 0);
  EXPECT_LE(mode, 2);
  EXPECT_GE(w->numBands, 0);
  EXPECT_LE(w->numBands, 11);
  for (int i = 0; i < w->numBands; ++i) {
    const TabAntennaRow &r = w->tabAntenna[i];
    EXPECT_LT(strnlen(r.name, sizeof r.name), sizeof r.name);
    EXPECT_LE(r.ant, 3);
    EXPECT_LE(r.att, 3);
    EXPECT_NE(r.fmin, 0u);
    EXPECT_NE(r.fmax, 0u);
  }
  ReadConfigFile(w);
  EXPECT_GE(w->numConfigRows, 0);
  LoadTabFiltri(w);
  LoadTabAtu(w, 0, 0);
  for (int i = 0; i < kTuneMemSlots; ++i) {
    const TuneMemEntry &e = w->tabTuneRam[0][i];
    if (!e.valid) continue;
    EXPECT_GE(e.mode, 1);
    EXPECT_LE(e.mode, 3);
    EXPECT_GE(e.l, 0);
    EXPECT_GE(e.c, 0);
  }
  // And the table logic on what was loaded.
  for (uint32_t freq : {0u, 1800000u, 14200000u, 54000000u, 4000000000u}) {
    w->frequency = static_cast<int32_t>(freq);
    w->configRowIdx = -1;
    SetFilterFromfreq(w);
    SearchCambioSoglie_TS(w);
    for (int t = 0; t < 4; ++t) {
      EXPECT_GE(w->tsPar[t], 0);
      EXPECT_LE(w->tsPar[t], 4095);
    }
    GestioneAntennaAutomatica(w);
    EXPECT_GE(w->antenna, 0);
    EXPECT_LE(w->antenna, 2);
    EXPECT_LE(w->attenuator, 3);
    LoadTuneFromMEM(w, w->antenna);
    SearchK(w, 0);
    f.drain();
  }
  EXPECT_EQ(SaveTabConfig(w, 0), 0);
  EXPECT_EQ(SaveTabFiltri(w), 0);
  EXPECT_EQ(SaveTabAtu(w, 0, 0), 0);
}

TEST(TableBadInput, GarbageLinesAreSurvived) {
  TableFixture f;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  for (const char *g : kGarbage) loadAll(f, g);
  std::string all;
  for (const char *g : kGarbage) all += g;
  loadAll(f, all);
  testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("missing or bad"), std::string::npos);
  EXPECT_NE(err.find("LoadTabAtu Errore idx"), std::string::npos);
}

TEST(TableBadInput, BinaryBytesAndLongLines) {
  TableFixture f;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  for (unsigned seed = 1; seed <= 12; ++seed) loadAll(f, randomBytes(seed, 3000));
  loadAll(f, std::string(100000, 'A') + "\n" + std::string(5000, '9') + " 1 2\n");
  testing::internal::GetCapturedStdout();
  EXPECT_NE(testing::internal::GetCapturedStderr().find("characters, cut"), std::string::npos);
}

TEST(TableBadInput, ThousandsOfLines) {
  TableFixture f;
  Works *w = f.w();
  std::string text;
  for (int i = 0; i < 6000; ++i)
    text += std::to_string(i) + " " + std::to_string(1800000 + i * 1000) + " 1 1 2 3\n";
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  loadAll(f, text);
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(w->numBands, 11);
  EXPECT_EQ(w->numConfigRows, 4096);
  // The memory file: at most 5000 lines, so slots 0..4999, each valid.
  EXPECT_EQ(w->tabTuneRam[0][4999].valid, 1);
  EXPECT_EQ(w->tabTuneRam[0][4999].c, 3);
}

}  // namespace
