// Tune memory: the channel index, the recall of the nearest stored match of
// a segment, and the memory files.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "config/config.h"
#include "core/command_queue.h"
#include "table_fixture.h"
#include "tuner/tuner.h"

namespace {

int idx(uint32_t f) {
  return AtuIdxSearch(f, nullptr, nullptr, nullptr, nullptr);
}

TuneMemEntry entry(int mode, int l, int c) {
  TuneMemEntry e = {};
  e.valid = 1;
  e.mode = static_cast<uint8_t>(mode);
  e.l = static_cast<int16_t>(l);
  e.c = static_cast<int16_t>(c);
  return e;
}

TEST(ChannelIndex, Examples) {
  EXPECT_EQ(idx(0), 0);
  EXPECT_EQ(idx(1800000), 900);
  EXPECT_EQ(idx(1840000), 920);
  EXPECT_EQ(idx(7100000), 2120);
  EXPECT_EQ(idx(14200000), 3130);
  EXPECT_EQ(idx(28500000), 4115);
  EXPECT_EQ(idx(50100000), 4571);
  EXPECT_EQ(idx(54000000), 4649);
  EXPECT_EQ(idx(54000001), 4650);
  // Half a step below a segment's end rounds into the next segment.
  EXPECT_EQ(idx(5327500), 1766);
  EXPECT_EQ(idx(5327499), 1765);
  uint32_t s = 0, e = 0;
  int first = 0, last = 0;
  EXPECT_EQ(AtuIdxSearch(14200000, &s, &e, &first, &last), 3130);
  EXPECT_EQ(s, 14000000u);
  EXPECT_EQ(e, 14350000u);
  EXPECT_EQ(first, 3110);
  EXPECT_EQ(last, 3145);
  // Everything from 50 MHz up is the last segment.
  AtuIdxSearch(300000000, &s, &e, &first, &last);
  EXPECT_EQ(s, 50000000u);
  EXPECT_EQ(first, 4569);
  EXPECT_EQ(last, 4649);
}

TEST(ChannelIndex, BothDirectionsForEveryChannel) {
  uint32_t prev = 0;
  for (int i = 0; i < kAtuChannels; ++i) {
    uint32_t f = AtuFreqfromIdx(i);
    ASSERT_EQ(idx(f), i) << "channel " << i << " at " << f << " Hz";
    ASSERT_EQ(f % 1000, 0u) << "channels fall on whole kHz: channel " << i;
    if (i > 0) {
      ASSERT_GT(f, prev) << "channel " << i;
    }
    prev = f;
  }
  EXPECT_EQ(AtuFreqfromIdx(4649), 54000000u);
}

TEST(ChannelIndex, AboveFiftyFourMegahertzTheWalkGoesOn) {
  // The slots past 54 MHz hold 50 kHz channels; their frequency column is
  // the channel their frequencies round to.
  for (int i = 4651; i < kTuneMemSlots; ++i) {
    uint32_t f = AtuFreqfromIdx(i);
    EXPECT_EQ(f, 50000000u + static_cast<uint32_t>(i - 4570) * 50000u);
    EXPECT_EQ(idx(f), i);
  }
  EXPECT_EQ(idx(54024999), 4650);
  EXPECT_EQ(idx(54025000), 4651);
  EXPECT_EQ(AtuFreqfromIdx(4650), 54000000u);
  EXPECT_GE(idx(4000000000u), kTuneMemSlots);
}

TEST(TuneMemory, EmptyTableRecallsNothing) {
  TableFixture f;
  Works *w = f.w();
  w->frequency = 14200000;
  EXPECT_EQ(EsisteTuneValInTabRam(w, 3130, 3110, 3145, 0), 1);
  GestioneLoadTuneVal(w, 1);
  GestioneLoadTuneVal(w, 0);
  EXPECT_EQ(f.drain(), (std::vector<int>{LP_MT1_CLEAR, LP_MT1_BYPASS}));
  // Nothing is queued while a tuning runs.
  w->autoTuneState = 1;
  GestioneLoadTuneVal(w, 1);
  EXPECT_TRUE(f.drain().empty());
}

TEST(TuneMemory, RecallTakesTheNearestFilledSlotOfTheSegment) {
  TableFixture f;
  Works *w = f.w();
  w->frequency = 14200000;  // slot 3130
  SaveTuneValsuTabRam(w, entry(1, 30, 300), 3125, 0);
  SaveTuneValsuTabRam(w, entry(2, 35, 350), 3135, 0);
  EXPECT_EQ(SearchBestTune(w, 3130, 3110, 3145, 0), 3125);  // tie: the lower index
  GestioneLoadTuneVal(w, 1);
  EXPECT_EQ(f.drain(), (std::vector<int>{LP_MT1_MEM}));
  w->tuneVal = kModeBitBypass;
  LoadTuneFromMEM(w, 0);
  EXPECT_EQ(DecodeModoFromTuneval(w->tuneVal), 1);
  EXPECT_EQ(w->tuneL, 30);
  EXPECT_EQ(w->tuneC, 300);
  EXPECT_EQ(w->atuBypass, 0);
  // The slot of the frequency itself wins over its neighbours.
  SaveTuneValsuTabRam(w, entry(2, 40, 400), 3130, 0);
  LoadTuneFromMEM(w, 0);
  EXPECT_EQ(w->tuneL, 40);
  EXPECT_EQ(DecodeModoFromTuneval(w->tuneVal), 2);
  // Other antennas have their own tables.
  w->tuneVal = kModeBitBypass;
  LoadTuneFromMEM(w, 1);
  EXPECT_EQ(w->tuneVal, kModeBitBypass);
}

TEST(TuneMemory, NeverRecallsFromAnotherSegment) {
  TableFixture f;
  Works *w = f.w();
  w->frequency = 14200000;                            // segment 3110..3144
  SaveTuneValsuTabRam(w, entry(1, 10, 10), 3109, 0);  // last slot of the segment below
  SaveTuneValsuTabRam(w, entry(1, 10, 10), 3145, 0);  // first slot of the one above
  EXPECT_EQ(SearchBestTune(w, 3130, 3110, 3145, 0), -1);
  GestioneLoadTuneVal(w, 1);
  EXPECT_EQ(f.drain(), (std::vector<int>{LP_MT1_CLEAR}));
  w->tuneVal = 0x00808002;
  LoadTuneFromMEM(w, 0);
  EXPECT_EQ(w->tuneVal, 0x00808002u);
}

TEST(TuneMemory, StoredBypassComesBackAsNetworkB) {
  TableFixture f;
  Works *w = f.w();
  w->frequency = 7100000;
  SaveTuneValsuTabRam(w, entry(3, 12, 34), idx(7100000), 2);
  EXPECT_EQ(LoadTuneValFromTabRam(w, idx(7100000), 2).mode, 1);
  w->tuneVal = 0;
  LoadTuneFromMEM(w, 2);
  EXPECT_EQ(DecodeModoFromTuneval(w->tuneVal), 1);
  EXPECT_EQ(w->tuneL, 12);
  EXPECT_EQ(w->tuneC, 34);
  // An antenna index other than 0 and 1 is antenna 3.
  EXPECT_EQ(LoadTuneValFromTabRam(w, idx(7100000), 7).l, 12);
}

TEST(TuneMemory, RecallingTheWordInUseChangesNothing) {
  TableFixture f;
  Works *w = f.w();
  w->frequency = 7100000;
  SaveTuneValsuTabRam(w, entry(1, 1, 1), idx(7100000), 0);
  w->tuneVal = 0x00808002;
  testing::internal::CaptureStderr();
  LoadTuneFromMEM(w, 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(w->tuneVal, 0x00808002u);
  EXPECT_EQ(err.find("MEMTUNE"), std::string::npos);
  // The same L and C on the other network is another word: recalled.
  SaveTuneValsuTabRam(w, entry(2, 1, 1), idx(7100000), 0);
  testing::internal::CaptureStderr();
  LoadTuneFromMEM(w, 0);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(DecodeModoFromTuneval(w->tuneVal), 2);
  EXPECT_EQ(w->tuneL, 1);
  EXPECT_EQ(w->tuneC, 1);
  // And so is another C with the same L.
  SaveTuneValsuTabRam(w, entry(2, 1, 2), idx(7100000), 0);
  testing::internal::CaptureStderr();
  LoadTuneFromMEM(w, 0);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(w->tuneC, 2);
}

TEST(TuneMemory, SlotsBeyondTheTableStoreNothing) {
  TableFixture f;
  Works *w = f.w();
  EXPECT_EQ(LoadTuneValFromTabRam(w, -1, 0).valid, 0);
  EXPECT_EQ(LoadTuneValFromTabRam(w, 5000, 0).valid, 0);
  SaveTuneValsuTabRam(w, entry(1, 1, 1), 5000, 0);
  SaveTuneValsuTabRam(w, entry(1, 1, 1), -3, 0);
  // 54000001 Hz is slot 4650, which exists.
  w->frequency = 54000001;
  w->tuneVal = 0x00808002;
  InsertTuneToMem(w, 0, 0);
  EXPECT_EQ(LoadTuneValFromTabRam(w, 4650, 0).valid, 1);
  EXPECT_NE(f.root.readFile("/opt/set/atu_ant1.txt").find("4650 54000000 1 1 1 1\n"),
            std::string::npos);
  // A frequency whose index is 5000 or more: nothing stored, nothing recalled.
  w->frequency = 300000000;
  InsertTuneToMem(w, 0, 1);
  EXPECT_EQ(f.root.readFile("/opt/set/atu_ant2.txt"), "");
  w->tuneVal = kModeBitBypass;
  LoadTuneFromMEM(w, 1);
  EXPECT_EQ(w->tuneVal, kModeBitBypass);
}

TEST(TuneMemory, StoreWritesTheFileAndKeepsTheTenthRelay) {
  TableFixture f;
  Works *w = f.w();
  w->frequency = 14200000;
  w->tuneVal = 0;
  SetC(w, 512);
  SetI(w, 37);
  SetMode(w, 2);
  InsertTuneToMem(w, 7, 0);
  EXPECT_EQ(f.root.readFile("/opt/set/atu_ant1_b7.txt"), "3130 14200000 1 2 37 512\n");
  // Recalled, the word holds the same relays again.
  uint32_t stored = w->tuneVal;
  w->tuneVal = kModeBitBypass;
  LoadTuneFromMEM(w, 0);
  EXPECT_EQ(w->tuneVal, stored);
}

TEST(MemoryFile, LoadsInAnyOrderAndSavesInSlotOrder) {
  TableFixture f;
  Works *w = f.w();
  f.root.writeFile("/opt/set/atu_ant2_b3.txt",
                   "; a comment\r\n3130 14200000 1 1 37 112\r\n3125 14150000 1 2 5 6\r\n");
  EXPECT_EQ(LoadTabAtu(w, 3, 1), 2);
  EXPECT_EQ(LoadTuneValFromTabRam(w, 3130, 1).c, 112);
  EXPECT_EQ(LoadTuneValFromTabRam(w, 3125, 1).mode, 2);
  EXPECT_EQ(SaveTabAtu(w, 3, 1), 0);
  EXPECT_EQ(f.root.readFile("/opt/set/atu_ant2_b3.txt"),
            "3125 14150000 1 2 5 6\n3130 14200000 1 1 37 112\n");
}

TEST(MemoryFile, NamesByBankAndAntenna) {
  char name[64];
  AtuFileName(0, 2, name, sizeof name);
  EXPECT_STREQ(name, "/opt/set/atu_ant3.txt");
  AtuFileName(7, 0, name, sizeof name);
  EXPECT_STREQ(name, "/opt/set/atu_ant1_b7.txt");
  AtuFileName(19, 1, name, sizeof name);
  EXPECT_STREQ(name, "/opt/set/atu_ant2_b19.txt");
  AtuFileName(20, 5, name, sizeof name);
  EXPECT_STREQ(name, "/opt/set/atu_ant3.txt");
  AtuFileName(-1, 0, name, sizeof name);
  EXPECT_STREQ(name, "/opt/set/atu_ant1.txt");
}

TEST(MemoryFile, SlotIndexOutOfRangeIsRejected) {
  TableFixture f;
  Works *w = f.w();
  // Slots past either end, then modes 0 and 4 (no network): only slot 4999 loads.
  f.root.writeFile("/opt/set/atu_ant1.txt",
                   "5000 0 1 1 2 3\n-4 0 1 1 2 3\n4999 0 1 1 2 3\n10 0 1 0 2 3\n11 0 1 4 2 3\n");
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(LoadTabAtu(w, 0, 0), 1);
  std::string out = testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("LoadTabAtu Errore idx"), std::string::npos);
  EXPECT_NE(err.find("LoadTabAtu Errore idx\n"), std::string::npos);
  EXPECT_EQ(LoadTuneValFromTabRam(w, 4999, 0).l, 2);
  EXPECT_EQ(LoadTuneValFromTabRam(w, 10, 0).valid, 0);
  EXPECT_EQ(LoadTuneValFromTabRam(w, 11, 0).valid, 0);
}

TEST(MemoryFile, LoadingClearsWhatWasThere) {
  TableFixture f;
  Works *w = f.w();
  SaveTuneValsuTabRam(w, entry(1, 1, 1), 100, 0);
  EXPECT_EQ(LoadTabAtu(w, 0, 0), -1);  // no file
  EXPECT_EQ(LoadTuneValFromTabRam(w, 100, 0).valid, 0);
  // A valid field of 0 leaves the slot empty.
  f.root.writeFile("/opt/set/atu_ant1.txt", "100 0 0 1 5 5\n");
  EXPECT_EQ(LoadTabAtu(w, 0, 0), 0);
  EXPECT_EQ(LoadTuneValFromTabRam(w, 100, 0).valid, 0);
}

TEST(MemoryFile, EmptyTableStillWritesTheFile) {
  TableFixture f;
  Works *w = f.w();
  f.root.writeFile("/opt/set/atu_ant3_b2.txt", "1 0 1 1 1 1\n");
  ResetTabTune(w, 2, 2);
  EXPECT_TRUE(f.root.exists("/opt/set/atu_ant3_b2.txt"));
  EXPECT_EQ(f.root.readFile("/opt/set/atu_ant3_b2.txt"), "");
}

TEST(MemoryFile, AFailedRemountWritesNothing) {
  TableFixture f;
  Works *w = f.w();
  f.root.writeScript("mount", "exit 1\n");
  SaveTuneValsuTabRam(w, entry(1, 1, 1), 10, 0);
  EXPECT_EQ(SaveTabAtu(w, 0, 0), -2);  // the remount failed
  EXPECT_FALSE(f.root.exists("/opt/set/atu_ant1.txt"));
  EXPECT_EQ(LoadTuneValFromTabRam(w, 10, 0).valid, 1);
}

TEST(MemoryFile, DeleteRemovesOneFileOfTheBank) {
  TableFixture f;
  Works *w = f.w();
  for (const char *p : {"/opt/set/atu_ant1_b4.txt", "/opt/set/atu_ant2_b4.txt",
                        "/opt/set/antenna_b4.txt", "/opt/set/antenna.txt"})
    f.root.writeFile(p, "x\n");
  EXPECT_EQ(DeleteFileConf(w, 4, 0), 0);
  EXPECT_FALSE(f.root.exists("/opt/set/atu_ant1_b4.txt"));
  EXPECT_TRUE(f.root.exists("/opt/set/atu_ant2_b4.txt"));
  EXPECT_EQ(DeleteFileConf(w, 4, 3), 0);
  EXPECT_FALSE(f.root.exists("/opt/set/antenna_b4.txt"));
  EXPECT_EQ(DeleteFileConf(w, 4, 2), 0);  // not there: nothing to do
  EXPECT_EQ(DeleteFileConf(w, 20, 3), -1);
  EXPECT_EQ(DeleteFileConf(w, 0, 4), -1);
  EXPECT_TRUE(f.root.exists("/opt/set/antenna.txt"));
}

}  // namespace

// Whatever the store puts in memory comes back from the file the same: every
// slot with every network and the L and C extremes, and stores of words with
// any mode bits (none, one, several) at random channels.
TEST(MemoryFile, WhatIsStoredReadsBackTheSame) {
  TableFixture f;
  Works *w = f.w();
  auto sameAsFile = [&](int bank, int antenna) {
    std::vector<TuneMemEntry> before(w->tabTuneRam[antenna],
                                     w->tabTuneRam[antenna] + kTuneMemSlots);
    LoadTabAtu(w, bank, antenna);
    for (int i = 0; i < kTuneMemSlots; ++i) {
      const TuneMemEntry &a = before[i], &b = w->tabTuneRam[antenna][i];
      if (a.valid == 0 && b.valid == 0) continue;
      ASSERT_TRUE(a.valid == b.valid && a.mode == b.mode && a.l == b.l && a.c == b.c)
          << "slot " << i << ": mode " << int(a.mode) << " L " << a.l << " C " << a.c;
    }
  };
  for (int i = 0; i < kTuneMemSlots; ++i) {
    const int16_t steps[] = {0, 1, 511, 512, 1023};
    SaveTuneValsuTabRam(w, entry(1 + i % 3, steps[i % 5], steps[(i / 5) % 5]), i, 2);
  }
  ASSERT_EQ(SaveTabAtu(w, 5, 2), 0);
  sameAsFile(5, 2);

  std::mt19937 rng(12);
  const uint32_t modeWords[] = {
      0, kModeBitB, kModeBitA, kModeBitBypass, kModeMask, kModeBitA | kModeBitB};
  for (int n = 0; n < 18; ++n) {
    w->frequency = static_cast<int32_t>(rng() % 54000000);
    w->tuneVal = modeWords[n % 6];
    SetC(w, static_cast<int>(rng() % 1024));
    SetI(w, static_cast<int>(rng() % 1024));
    InsertTuneToMem(w, 4, 1);
  }
  sameAsFile(4, 1);
}
