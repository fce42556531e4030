// The refresh loop's control steps: frequency source per mode of work, the
// evaluation on a change, the NEB handshake and the counters.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "core/command_queue.h"
#include "errors/errors.h"
#include "support/wait.h"
#include "table_fixture.h"
#include "tuner/tuner.h"
#include "ui/ui.h"

namespace {

struct TimerFixture : TableFixture {
  NebParam param = {};
  TimerHandshake hs;
  TimerFixture() {
    root.writeFile("/opt/set/antenna_b1.txt",
                   "!Gen\n40m 7000000 7300000 1 2 0 1 0.0\n20m 14000000 14350000 1 1 0 0 0.0\n");
    root.writeFile("/opt/set/filter.txt", "7000000 7300000 1\n14000000 14350000 1\n");
    root.writeFile("/opt/set/config.txt",
                   "0 0 60 3400 10 1700 5 950 0 10 12 20 80 0 0 0 0 0 0 0 0 0 0 1\n"
                   "10000000 0 60 3400 10 1700 5 950 0 10 12 20 80 0 0 0 0 0 0 0 0 0 0 1\n"
                   "30000000 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n");
    ReadConfigFile(w());
    LoadTabFiltri(w());
    SetSetupChar(w(), SB_enaser, '0');
    SetSetupChar(w(), SB_CatSerialEnable, '0');
    LoadAllBankTable(w(), 1);
    w()->configRowIdx = -1;
    drain();
  }
};

TEST(TimerControl, GenericModeFollowsTheMeasuredFrequency) {
  TimerFixture f;
  Works *w = f.w();
  ASSERT_EQ(w->modeWorkIdx, 0);
  w->freqMeasured = 7100000;
  w->anSel = 1;
  w->ampBypass = 1;
  w->tuneFine = 1;
  TimerControlFrequency(w, &f.param);
  EXPECT_EQ(w->frequency, 7100000);
  EXPECT_EQ(w->lastFrequency, 7100000);
  EXPECT_EQ(w->bandIdx, 0);
  EXPECT_EQ(w->tuneFine, 0);
  // No "FA" in Generic mode: antenna input, filter, thresholds, band.
  EXPECT_EQ(f.drain(),
            (std::vector<int>{LP_AN, LP_SF_SET, LP_TS, LP_SA, LP_MT1_CLEAR, LP_AB0, LP_AT}));
  // Nothing more while the frequency stays.
  TimerControlFrequency(w, &f.param);
  EXPECT_TRUE(f.drain().empty());
  // Another band: filter, thresholds and the band again; a stored tune is recalled.
  TuneMemEntry e = {1, 2, 30, 40};
  SaveTuneValsuTabRam(w, e, AtuIdxSearch(14200000, nullptr, nullptr, nullptr, nullptr), 0);
  w->ampBypass = 0;
  w->freqMeasured = 14200000;
  TimerControlFrequency(w, &f.param);
  EXPECT_EQ(f.drain(), (std::vector<int>{LP_SF_SET, LP_TS, LP_SA, LP_MT1_MEM, LP_AT}));
  // A re-evaluation is forced by bandIdx -1.
  w->bandIdx = -1;
  TimerControlFrequency(w, &f.param);
  EXPECT_EQ(w->bandIdx, 1);
}

TEST(TimerControl, TransceiverModesTakeTheirFrequency) {
  TimerFixture f;
  Works *w = f.w();
  w->modeWorkIdx = 1;
  f.param.freq = 7050000;
  TimerControlFrequency(w, &f.param);
  EXPECT_EQ(w->frequency, 7050000);
  std::vector<int> ids = f.drain();
  ASSERT_FALSE(ids.empty());
  EXPECT_EQ(ids.front(), LP_FA);
  // While the amplifier transmits the frequency is held.
  w->stErr[1] = 1;
  f.param.freq = 14100000;
  TimerControlFrequency(w, &f.param);
  EXPECT_EQ(w->frequency, 7050000);
  w->stErr[1] = 0;
  // FT-817: the CAT reader's frequency; the antenna input is switched off.
  w->modeWorkIdx = 2;
  w->catFrequency = 14100000;
  w->anSel = 1;
  TimerControlFrequency(w, &f.param);
  EXPECT_EQ(w->frequency, 14100000);
  ids = f.drain();
  ASSERT_GE(ids.size(), 2u);
  EXPECT_EQ(ids[0], LP_AN);
  EXPECT_EQ(ids[1], LP_FA);
  // Hamlib: the same, from the rigctld reader's frequency.
  w->modeWorkIdx = 3;
  w->rigFrequency = 7100000;
  w->anSel = 1;
  TimerControlFrequency(w, &f.param);
  EXPECT_EQ(w->frequency, 7100000);
  EXPECT_EQ(w->bandIdx, 0);
  ids = f.drain();
  ASSERT_GE(ids.size(), 2u);
  EXPECT_EQ(ids[0], LP_AN);
  EXPECT_EQ(ids[1], LP_FA);
  // The input off once; nothing more while the frequency stays.
  TimerControlFrequency(w, &f.param);
  EXPECT_TRUE(f.drain().empty());
}

TEST(TimerControl, NebTransmitAndAntennaInput) {
  TimerFixture f;
  Works *w = f.w();
  w->modeWorkIdx = 1;
  w->autoTuneMode = 0;
  f.param.modeBits6 = 1;
  f.param.sqBit5 = 1;
  w->anSel = 0;
  TimerControlNeb(w, &f.param, &f.hs);
  EXPECT_EQ(w->txDetected, 1);
  EXPECT_TRUE(f.drain().empty());  // not while the transceiver transmits
  f.param.modeBits6 = 0;
  TimerControlNeb(w, &f.param, &f.hs);
  EXPECT_EQ(w->txDetected, 0);
  EXPECT_EQ(w->anSel, 1);
  EXPECT_EQ(f.drain(), (std::vector<int>{LP_AN}));
  // Other modes of work leave it alone.
  w->modeWorkIdx = 0;
  f.param.modeBits6 = 1;
  TimerControlNeb(w, &f.param, &f.hs);
  EXPECT_EQ(w->txDetected, 0);
}

TEST(TimerControl, TransceiverCarrierStartsTheTuning) {
  TimerFixture f;
  Works *w = f.w();
  w->modeWorkIdx = 1;
  w->autoTuneMode = 1;
  w->atuBypass = 0;
  f.param.modeBits6 = 1;
  TimerControlNeb(w, &f.param, &f.hs);
  EXPECT_EQ(w->autoTuneState, 1);
  EXPECT_EQ(w->autoTuneMode & 2, 2);
  TimerControlNeb(w, &f.param, &f.hs);  // no second start
  EscAutoTune(w, 0);
  EXPECT_EQ(w->autoTuneMode & 4, 4);
  // The EXT IO link sends "RX;" and sets bit 3; about ten passes later the
  // marks are cleared.
  w->autoTuneMode = 1 | 2 | 8;
  f.param.modeBits6 = 0;
  int passes = 0;
  while ((w->autoTuneMode & 8) && passes < 100) {
    TimerControlNeb(w, &f.param, &f.hs);
    ++passes;
  }
  EXPECT_EQ(w->autoTuneMode, 1);
  EXPECT_GE(passes, 11);
  EXPECT_LE(passes, 13);
}

TEST(TimerControl, UnansweredCarrierRequestAbortsTheTuning) {
  TimerFixture f;
  Works *w = f.w();
  w->modeWorkIdx = 1;
  w->autoTuneMode = 1;
  w->tuneFine = 1;
  w->atuBypass = 0;
  f.param.modeBits6 = 0;
  GoTune(w);  // from the key: bit 4
  ASSERT_EQ(w->autoTuneMode & 0x10, 0x10);
  // The carrier is wanted once the controller queue is empty.
  TimerControlNeb(w, &f.param, &f.hs);
  EXPECT_EQ(w->autoTuneMode & 0x20, 0);
  f.drain();
  TimerControlNeb(w, &f.param, &f.hs);
  EXPECT_EQ(w->autoTuneMode & 0x20, 0x20);
  // The EXT IO link has sent the request; the transceiver never transmits.
  w->autoTuneMode = (w->autoTuneMode & ~0x20) | 0x40;
  int passes = 0;
  while (w->autoTuneState != 0 && passes < 100) {
    TimerControlNeb(w, &f.param, &f.hs);
    ++passes;
  }
  EXPECT_EQ(passes, 32);
  EXPECT_EQ(ExistError(w, ERR_TUNE_NEB_ABORT), 1);
  EXPECT_EQ(w->autoTuneMode & (0x10 | 0x40), 0);
}

TEST(TimerControl, CountersRunOnElapsedTime) {
  TimerFixture f;
  Works *w = f.w();
  w->extIoTimeout = 2000;
  TimerControlCounters(w, 60.4);
  EXPECT_EQ(w->extIoTimeout, 1940);
  TimerControlCounters(w, 5000);
  EXPECT_EQ(w->extIoTimeout, 0);
  w->enableLogTemp = 1;
  w->logRemoved = 1;
  for (int i = 0; i < 83; ++i) TimerControlCounters(w, 60);
  EXPECT_DOUBLE_EQ(w->logTempElapsed, 4980);
  TimerControlCounters(w, 60);
  EXPECT_DOUBLE_EQ(w->logTempElapsed, 0);
  w->logRemoved = 0;
  TimerControlCounters(w, 60);
  EXPECT_DOUBLE_EQ(w->logTempElapsed, 0);
}

TEST(TimerControl, DeviceErrorScreen) {
  TimerFixture f;
  Works *w = f.w();
  w->deviceError = 2;
  TimerControlDeviceError(w);
  EXPECT_EQ(w->screenState, 5);
  w->deviceError = -1;
  TimerControlDeviceError(w);
  EXPECT_EQ(w->screenState, 0);
  EXPECT_EQ(w->deviceError, 0);
}

TEST(TimerControl, ThreadRunsWithoutADisplayAndStops) {
  TimerFixture f;
  Works *w = f.w();
  w->freqMeasured = 7100000;
  w->bandIdx = -1;
  std::thread t([w] { timer(w); });
  EXPECT_TRUE(WaitUntil([w] { return w->bandIdx == 0; }, 10000));
  EXPECT_EQ(w->frequency, 7100000);
  w->running = 0;
  t.join();
}

}  // namespace
