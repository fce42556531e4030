// Thermistor conversion, fan table loading, the fan rules with their
// hysteresis, the alarm cycle of one sensor and the temperature log.
#include "controller/temperature.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "core/command_queue.h"
#include "core/works.h"
#include "errors/errors.h"
#include "errors/recovery.h"
#include "support/command_queue.h"
#include "support/temp_root.h"

namespace {

struct Fixture {
  TempRoot root;
  std::unique_ptr<Works> works = std::make_unique<Works>();
  Fixture() {
    InitErrorTable(works.get());
    works->cpPending = 0;
    works->startupDone = 1;
    works->fanPercentReq = -1;
    works->fanCpuTemp = 80;
    works->fanCpuPercent = 70;
  }
  Works *w() { return works.get(); }
  void fanTable(const std::string &text) {
    root.writeFile("/opt/set/ventola.txt", text);
    ReadVentolaFile(w());
  }
  // One status cycle of the fan rules at temperature t; the link then sends
  // whatever was queued, which clears the acknowledgement flag.
  std::vector<int> fanCycle(float t) {
    works->temp1 = t;
    works->temp2 = t - 5;
    searchPercentVentola(w());
    works->fanAck = 0;
    return DrainCommandQueue(w());
  }
};

const std::vector<int> kFan = {LP_FN};
const std::vector<int> kFanCpu = {LP_FN_CPU};
const std::vector<int> kNone = {};

TEST(Thermistor, ConversionStaysOnTheTableAndInRange) {
  EXPECT_NEAR(CalcolaTemp(2048), 24.99f, 0.01f);
  EXPECT_FLOAT_EQ(CalcolaTemp(0), 80.0f);      // zero resistance: past the hot end
  EXPECT_FLOAT_EQ(CalcolaTemp(4095), -10.0f);  // open sensor: no division by zero
  EXPECT_FLOAT_EQ(CalcolaTemp(-5), 80.0f);
  EXPECT_FLOAT_EQ(CalcolaTemp(9999), -10.0f);
  float prev = 100.0f;
  for (int r = 0; r <= 4095; ++r) {
    float t = CalcolaTemp(r);
    ASSERT_GE(t, -10.0f) << r;
    ASSERT_LE(t, 80.0f) << r;
    ASSERT_LE(t, prev + 1e-4f) << "temperature must fall as the reading rises, at " << r;
    prev = t;
  }
  EXPECT_NEAR(CalcolaTemp(1428), 40.0f, 0.05f);  // 5.354 kOhm
  // The table's points are 5 degrees apart from -40: inside the range each
  // reads as its temperature, and the middle of each step as the middle one.
  auto at = [](float kOhm) {
    return CalcolaTemp(static_cast<int>(std::lround(4095 * kOhm / (10 + kOhm))));
  };
  for (int i = 1; i < kThermistorPairs; ++i) {
    const float t0 = -45.0f + 5 * i, t1 = t0 + 5, r0 = K_T_R[2 * i - 1], r1 = K_T_R[2 * i + 1];
    if (t0 < -10.0f || t1 > 80.0f) continue;
    EXPECT_NEAR(at(r1), t1, 0.3f) << r1 << " kOhm";
    EXPECT_NEAR(at((r0 + r1) / 2), (t0 + t1) / 2, 0.3f) << (r0 + r1) / 2 << " kOhm";
  }
}

TEST(FanTable, MessyFileLoadsSortedWithoutJunkRows) {
  Fixture f;
  testing::internal::CaptureStderr();
  f.fanTable(
      "; fan curve\r\n"
      "60 100\r\n"
      "\r\n"
      "30\t0\n"
      "   \n"
      "garbage here\n"
      "45.5 50.9 trailing words\n"
      "70\n"
      "nan 20\n"
      "50 250\n" +
      std::string(600, '9') + " 10\n" + "40 -5");
  std::string log = testing::internal::GetCapturedStderr();
  Works &w = *f.works;
  // The overlong line is one unreadable line, not several rows; the last
  // line has no line feed; percents are held to 0..100.
  ASSERT_EQ(w.numVentola, 5) << log;
  const VentolaRow *t = w.tabVentola;
  const float temps[] = {30, 40, 45.5f, 50, 60};
  const int pcts[] = {0, 0, 50, 100, 100};
  for (int i = 0; i < 5; ++i) {
    EXPECT_FLOAT_EQ(t[i].temperature, temps[i]) << i;
    EXPECT_EQ(t[i].percent, pcts[i]) << i;
  }
  EXPECT_NE(log.find("N row Ventola File 5 \n"), std::string::npos);
  EXPECT_NE(log.find("->t:45.50: 50 \n"), std::string::npos);

  // Selection on the sorted table: hot means the last row, never 0 %.
  f.fanCycle(75);
  EXPECT_EQ(w.fanPercent, 100);
  EXPECT_FLOAT_EQ(SearchTemperatureFromVentola(&w, 50), 45.5f);
  EXPECT_FLOAT_EQ(SearchTemperatureFromVentola(&w, 0), 30.0f);  // the first row of a percent
  EXPECT_FLOAT_EQ(SearchTemperatureFromVentola(&w, 33), 0.0f);
}

TEST(FanTable, MissingFileLeavesTheTableEmptyAndTheRuleIdle) {
  Fixture f;
  testing::internal::CaptureStderr();
  EXPECT_EQ(ReadVentolaFile(f.w()), 0);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Ventola File not FOUND!!"), std::string::npos);
  EXPECT_NE(log.find("can't open /opt/set/ventola.txt"), std::string::npos);
  EXPECT_EQ(f.works->numVentola, 0);
  EXPECT_EQ(f.works->tabVentola, nullptr);
  EXPECT_EQ(f.fanCycle(70), kNone);
  EXPECT_EQ(f.works->fanPercentReq, -1);
}

TEST(FanRule, TableRiseAtOnceFallWithHysteresis) {
  Fixture f;
  f.fanTable("30 0\n45 50\n60 100\n");
  Works &w = *f.works;
  w.isteresi2 = 3;

  EXPECT_EQ(f.fanCycle(25), kFan);  // first result always goes out
  EXPECT_EQ(w.fanPercentReq, 0);
  EXPECT_EQ(f.fanCycle(45), kFan);  // exactly at a row: that row's percent
  EXPECT_EQ(w.fanPercentReq, 50);
  EXPECT_EQ(f.fanCycle(43), kNone);  // 0 % by the table, but not 3 degrees below 45
  EXPECT_EQ(w.fanPercentReq, 50);
  EXPECT_EQ(f.fanCycle(41.9f), kFan);
  EXPECT_EQ(w.fanPercentReq, 0);
  EXPECT_EQ(f.fanCycle(61), kFan);
  EXPECT_EQ(w.fanPercentReq, 100);
  EXPECT_EQ(f.fanCycle(58), kNone);
  EXPECT_EQ(f.fanCycle(56.5f), kFan);
  EXPECT_EQ(w.fanPercentReq, 50);

  // Nothing moves before start-up is done or while a fan command waits.
  w.startupDone = 0;
  EXPECT_EQ(f.fanCycle(70), kNone);
  w.startupDone = 1;
  w.fanAck = 1;
  w.temp1 = 70;
  searchPercentVentola(&w);
  EXPECT_EQ(DrainCommandQueue(&w), kNone);
  EXPECT_EQ(w.fanPercentReq, 50);
}

TEST(FanRule, FullQueueDoesNotFreezeTheFan) {
  Fixture f;
  f.fanTable("30 0\n45 50\n");
  Works &w = *f.works;
  for (int i = 0; i < kCmdQueueSlots - 1; ++i) w.cmdQueue[i] = LP_ST;
  w.cmdQueueIn = kCmdQueueSlots - 1;
  w.temp1 = 50;
  searchPercentVentola(&w);
  EXPECT_EQ(w.fanAck, 0);
  EXPECT_EQ(w.fanPercentReq, -1);
  DrainCommandQueue(&w);
  EXPECT_EQ(f.fanCycle(50), kFan);
  EXPECT_EQ(w.fanPercentReq, 50);
}

TEST(FanRule, ComputerRuleBothDirections) {
  Fixture f;
  f.fanTable("30 0\n45 50\n60 100\n");
  Works &w = *f.works;
  w.isteresi2 = 3;
  EXPECT_EQ(f.fanCycle(25), kFan);

  w.gpuTemp = 80;  // the higher of CPU and GPU counts
  EXPECT_EQ(f.fanCycle(25), kFanCpu);
  EXPECT_EQ(w.fanPercentCpu, 70);
  EXPECT_EQ(w.fanPercentCpuSent, 70);
  w.gpuTemp = 78;
  EXPECT_EQ(f.fanCycle(25), kNone);  // within the hysteresis
  w.gpuTemp = 76.9f;
  EXPECT_EQ(f.fanCycle(25), kFanCpu);
  EXPECT_EQ(w.fanPercentCpuSent, 0);

  // While the table runs the fan, the computer rule stays out of it; when
  // the table falls back to 0 % the computer rule starts from scratch.
  w.cpuTemp = 85;
  EXPECT_EQ(f.fanCycle(50), kFan);
  EXPECT_EQ(f.fanCycle(50), kNone);
  EXPECT_EQ(w.fanPercentCpuSent, 0);
  w.fanPercentCpuSent = 70;  // stale: the table's own 0 % command stopped the fan
  std::vector<int> both = {LP_FN, LP_FN_CPU};
  EXPECT_EQ(f.fanCycle(40), both);
  EXPECT_EQ(w.fanPercentCpuSent, 70);
}

TEST(TemperatureAlarm, OneSensorThroughWarningAlarmLatchAndRecovery) {
  Fixture f;
  Works &w = *f.works;
  w.isteresi1 = 1;
  auto step = [&](float t) {
    GestTemperatureFunction(&w, ERR_TEMP1_ALARM, ERR_TEMP1_LATCHED, ERR_TEMP1_WARN, t, 60.0f);
    return DrainCommandQueue(&w);
  };
  EXPECT_EQ(step(55), kNone);
  EXPECT_EQ(w.errorCount, 0);

  EXPECT_EQ(step(59.5f), kNone);
  EXPECT_EQ(ExistError(&w, ERR_TEMP1_WARN), 1);
  EXPECT_EQ(step(60.0f), kNone);  // exactly at the set point: still a warning
  EXPECT_EQ(ExistError(&w, ERR_TEMP1_ALARM), 0);

  std::vector<int> on = {LP_MP1, LP_AT_MAX, LP_AB0};
  EXPECT_EQ(step(60.1f), on);
  EXPECT_EQ(ExistError(&w, ERR_TEMP1_WARN), 0);
  EXPECT_EQ(ExistAnError(&w), ERR_TEMP1_ALARM);
  EXPECT_EQ(step(65), kNone);     // protection goes out once
  EXPECT_EQ(step(59.5f), kNone);  // alarm listed: no warning on the way down
  EXPECT_EQ(w.errorCount, 1);

  std::vector<int> off = {LP_AB1};
  EXPECT_EQ(step(58.9f), off);
  EXPECT_EQ(ExistError(&w, ERR_TEMP1_ALARM), 0);
  EXPECT_EQ(ExistError(&w, ERR_TEMP1_LATCHED), 1);
  EXPECT_EQ(w.errorFlags & kFlagResetRequested, kFlagResetRequested);

  // A new alarm replaces the latched error.
  EXPECT_EQ(step(61), on);
  EXPECT_EQ(ExistError(&w, ERR_TEMP1_LATCHED), 0);
  EXPECT_EQ(step(50), off);

  // The user's acknowledgement clears the latch through a reset cycle.
  EXPECT_EQ(GPIO_Errori(&w), 1);
  std::vector<int> reset = {LP_MP0, LP_AB0, LP_AT};
  EXPECT_EQ(DrainCommandQueue(&w), reset);
  EXPECT_EQ(w.errorRecovery, 1);
  GestErroreSerial(&w);
  EXPECT_EQ(w.errorCount, 0);
}

TEST(TemperatureAlarm, BeforeTheFirstAcknowledgementProtectionGoesOutOnce) {
  Fixture f;
  Works &w = *f.works;
  w.cpPending = 1;
  auto step = [&](float t) {
    GestTemperatureFunction(&w, ERR_TEMP2_ALARM, ERR_TEMP2_LATCHED, ERR_TEMP2_WARN, t, 80.0f);
    return DrainCommandQueue(&w);
  };
  std::vector<int> muted = {LP_MP1, LP_AT_MAX};
  EXPECT_EQ(step(81), muted);
  EXPECT_EQ(step(82), kNone);
  EXPECT_EQ(w.errorCount, 0);

  w.cpPending = 0;  // "CP" acknowledged: the alarm is listed and the amp bypassed
  std::vector<int> on = {LP_MP1, LP_AT_MAX, LP_AB0};
  EXPECT_EQ(step(82), on);
  EXPECT_EQ(ExistAnError(&w), ERR_TEMP2_ALARM);
  EXPECT_EQ(step(82), kNone);
}

TEST(TemperatureAlarm, CoolingBeforeTheAlarmCouldBeListedLiftsTheProtection) {
  Fixture f;
  Works &v = *f.works;
  v.cpPending = 1;
  GestTemperatureFunction(&v, ERR_TEMP2_ALARM, ERR_TEMP2_LATCHED, ERR_TEMP2_WARN, 81, 80);
  DrainCommandQueue(&v);
  GestTemperatureFunction(&v, ERR_TEMP2_ALARM, ERR_TEMP2_LATCHED, ERR_TEMP2_WARN, 70, 80);
  std::vector<int> lift = {LP_MP0};
  EXPECT_EQ(DrainCommandQueue(&v), lift);
}

TEST(TemperatureLog, HeaderSamplesAlarmMarkAndDeletion) {
  Fixture f;
  Works &w = *f.works;
  w.dateTimeText.set("01/02/2024 10:11:12");
  w.temp1 = 41.3f;
  w.temp2 = 52.5f;
  w.pwFwd = 55.5f;
  w.swr = 1.5f;
  w.iAdc = 2048;
  w.stErr[1] = 1;
  LogTempFunction(&w, 0);
  w.stErr[1] = 0;
  LogTempFunction(&w, 1);
  std::string text = f.root.readFile("/opt/set/LOGtemp.txt");
  EXPECT_EQ(text.rfind(";TX,Temp1,Temp2,FDD,SWR\n", 0), 0u) << text;
  EXPECT_NE(text.find("01/02/2024 10:11:12 , 1,41.3,52.5,55.5W,1.50,"), std::string::npos) << text;
  EXPECT_NE(text.find("V,07.0A\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" , 0,41.3,52.5,55.5W,1.50,"), std::string::npos) << text;
  EXPECT_NE(text.find("A -> protezione attiva\n"), std::string::npos) << text;
  EXPECT_EQ(text.find(";TX", 1), std::string::npos) << "one header only";

  LogTempFunction(&w, -1);
  EXPECT_FALSE(f.root.exists("/opt/set/LOGtemp.txt"));
  LogTempFunction(&w, -1);  // deleting a missing log is harmless
}

TEST(TemperatureLog, UnwritableLogKeepsStateAndRemountsReadOnly) {
  Fixture f;
  Works &w = *f.works;
  std::string calls = f.root.path("/tmp/mount.log");
  f.root.writeScript("mount", "echo \"$*\" >> " + calls + "\nexit 0\n");
  // A directory where the log should be: the open fails even for root.
  mkdir(f.root.path("/opt/set/LOGtemp.txt").c_str(), 0755);
  w.cpPending = 0;
  w.enableLogTemp = 1;
  w.logRemoved = 1;
  GestTemperatureFunction(&w, ERR_TEMP1_ALARM, ERR_TEMP1_LATCHED, ERR_TEMP1_WARN, 70, 60);
  EXPECT_EQ(ExistError(&w, ERR_TEMP1_ALARM), 1);
  EXPECT_EQ(w.logRemoved, 0);
  std::vector<int> on = {LP_MP1, LP_AT_MAX, LP_AB0};
  EXPECT_EQ(DrainCommandQueue(&w), on);
  std::string mounts = f.root.readFile("/tmp/mount.log");
  EXPECT_NE(mounts.find("-o remount defaults,rw"), std::string::npos) << mounts;
  EXPECT_NE(mounts.find("-v -n -o remount -r"), std::string::npos)
      << "a failed open must not leave /opt/set writable: " << mounts;

  // A partition that refuses to become writable: nothing written, nothing lost.
  rmdir(f.root.path("/opt/set/LOGtemp.txt").c_str());
  f.root.writeScript("mount", "exit 32\n");
  LogTempFunction(&w, 0);
  EXPECT_FALSE(f.root.exists("/opt/set/LOGtemp.txt"));
  EXPECT_EQ(ExistError(&w, ERR_TEMP1_ALARM), 1);
}

}  // namespace
