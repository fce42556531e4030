// The error list: adding and removing codes, the flags they raise, bulk
// removals, the error key and the reset cycle through errorRecovery.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/command_queue.h"
#include "core/event_log.h"
#include "core/setup.h"
#include "core/works.h"
#include "errors/errors.h"
#include "errors/recovery.h"
#include "support/command_queue.h"

namespace {

std::vector<int> listed(Works *w) {
  ErrorListCopy c;
  CopyErrorList(w, &c);
  return std::vector<int>(c.list, c.list + c.count);
}

int count(const std::string &text, const std::string &what) {
  int n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

struct Fixture {
  std::unique_ptr<Works> works = std::make_unique<Works>();
  std::unique_ptr<Lumosetup> setup = std::make_unique<Lumosetup>();
  Fixture() {
    works->setup = setup.get();
    for (auto &b : setup->b) b = '1';
    InitErrorTable(works.get());
    works->cpPending = 0;
  }
  Works *w() { return works.get(); }
};

TEST(ErrorTable, TextsAndFlags) {
  Fixture f;
  const ErrorDesc *t = f.works->errorTable;
  EXPECT_STREQ(t[ERR_TEMP1_WARN].line1, "1-Warning");
  EXPECT_STREQ(t[ERR_TEMP1_WARN].line2, "temperature");
  EXPECT_STREQ(t[ERR_COMM].line2, "warn ");
  EXPECT_STREQ(t[ERR_HI_SWR].line1, "HI SWR");
  EXPECT_EQ(t[ERR_HI_SWR].flags, kErrAlarm | kErrLatch);
  EXPECT_EQ(t[ERR_BAND_STBY].flags, kErrLatch | kErrTemporary);
  EXPECT_EQ(t[ERR_TEMP2_ALARM].flags, kErrAlarm);
  EXPECT_EQ(t[ERR_WEBSOCKET].flags, 0);
  EXPECT_STREQ(t[ERR_HAMLIB].line1, "Hamlib");
  EXPECT_STREQ(t[ERR_HAMLIB].line2, "no answer");
  EXPECT_EQ(t[ERR_HAMLIB].flags, kErrTemporary);
  // Every code's kind: red, latching (a reset), temporary (the key removes it).
  std::string kinds;
  for (int c = 0; c < kErrorCodes; ++c) kinds += static_cast<char>('0' + t[c].flags);
  EXPECT_EQ(kinds, "23134444400044434446421224");
}

TEST(ErrorTable, FaultsBeforeTheMenuSetUpKeepTheirFlags) {
  auto w = std::make_unique<Works>();  // the table is not filled yet
  EXPECT_EQ(AddErrore(w.get(), ERR_HI_SWR), 1);
  EXPECT_EQ(w->errorFlags, kFlagResetRequested);
  ErrorListCopy c;
  CopyErrorList(w.get(), &c);
  EXPECT_STREQ(c.desc[0].line1, "HI SWR");
}

TEST(ErrorList, AddOnceInOrderAndRemoveWithShift) {
  Fixture f;
  Works *w = f.w();
  testing::internal::CaptureStderr();
  EXPECT_EQ(AddErrore(w, ERR_HI_SWR), 1);
  EXPECT_EQ(AddErrore(w, ERR_HI_SWR), 0);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(count(log, "Add: N:"), 1) << log;
  EXPECT_NE(log.find("Add: N: 1 err:1\n"), std::string::npos);
  EXPECT_NE(log.find(" -->set protezione 0x1\n"), std::string::npos);
  EXPECT_EQ(AddErrore(w, kErrorCodes), -1);
  EXPECT_EQ(AddErrore(w, -1), -1);

  for (int c : {4, 12, 2, 13, 7, 19, 22, 0}) AddErrore(w, c);
  std::vector<int> eight = {1, 4, 12, 2, 13, 7, 19, 22, 0};
  EXPECT_EQ(listed(w), eight);
  EXPECT_EQ(ExistAnError(w), ERR_HI_SWR);
  EXPECT_EQ(w->errorFlags, kFlagResetRequested | kFlagTemporary);

  testing::internal::CaptureStderr();
  EXPECT_EQ(DeleteErrore(w, 2), 1);
  EXPECT_EQ(DeleteErrore(w, 2), 0);
  log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(log, "Del ERROR: N: 8 err:2\n");
  std::vector<int> seven = {1, 4, 12, 13, 7, 19, 22, 0};
  EXPECT_EQ(listed(w), seven);
  EXPECT_EQ(w->errorList[8], 0);
  EXPECT_EQ(ExistError(w, 2), 0);
  EXPECT_EQ(ExistError(w, 22), 1);
  // The event log names the cleared code with both its texts.
  const Event cleared = StationEvents().After(0, 100000).back();
  EXPECT_EQ(cleared.kind, "clear");
  std::vector<std::string> keys;
  for (const EventField &field : cleared.fields) keys.push_back(field.key + "=" + field.value);
  EXPECT_EQ(keys, (std::vector<std::string>{"code=2", std::string("line1=") + w->errorTable[2].line1,
                                            std::string("line2=") + w->errorTable[2].line2}));

  // Every code at once fills the list exactly.
  for (int c = 0; c < kErrorCodes; ++c) AddErrore(w, c);
  EXPECT_EQ(w->errorCount, kErrorCodes);
}

TEST(ErrorList, MutedUntilTheControllerAcknowledges) {
  Fixture f;
  Works *w = f.w();
  w->cpPending = 1;
  EXPECT_EQ(AddErrore(w, ERR_HI_SWR), 0);
  EXPECT_EQ(AddErrore(w, ERR_COMM), 0);
  EXPECT_EQ(w->errorCount, 0);
  EXPECT_EQ(w->errorFlags, 0);
  w->cpPending = 0;
  EXPECT_EQ(AddErrore(w, ERR_HI_SWR), 1);
}

TEST(ErrorList, BulkRemovals) {
  Fixture f;
  Works *w = f.w();
  for (int c : {4, 12, 2, 13}) AddErrore(w, c);
  testing::internal::CaptureStderr();
  VerifyWarningTemporanei(w);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(listed(w), std::vector<int>{2});
  EXPECT_NE(log.find("Del temp err: 4 (0 , 4)\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Del temp err: 12 (0 , 3)\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Del temp err: 13 (1 , 2)\n"), std::string::npos) << log;

  // Adjacent qualifying entries must not hide one another.
  for (int c : {5, 6, 7, 8, 2, 14, 16}) AddErrore(w, c);
  VerifyWarningTemporanei(w);
  EXPECT_EQ(listed(w), std::vector<int>{2});
  for (int c : {1, 5, 22}) AddErrore(w, c);
  VerifyWarningTemporaneiDopoResetBias(w);
  EXPECT_EQ(w->errorCount, 0);
  for (int i = 0; i < kErrorCodes; ++i) EXPECT_EQ(w->errorList[i], 0);
}

TEST(ErrorKey, TemporaryWarningsGoWithoutAReset) {
  Fixture f;
  Works *w = f.w();
  for (int c : {12, 13, 14}) AddErrore(w, c);
  EXPECT_EQ(GPIO_Errori(w), 1);
  EXPECT_EQ(w->errorCount, 0);
  EXPECT_EQ(w->errorFlags, 0);
  EXPECT_TRUE(DrainCommandQueue(w).empty());
  EXPECT_EQ(w->errorRecovery, 0);
  EXPECT_EQ(GPIO_Errori(w), 0);  // empty list: the key keeps its own meaning
}

TEST(ErrorKey, SensorOneAlarmAloneKeepsTheKey) {
  Fixture f;
  Works *w = f.w();
  AddErrore(w, ERR_TEMP1_ALARM);
  EXPECT_EQ(GPIO_Errori(w), 0);
  EXPECT_EQ(listed(w), std::vector<int>{ERR_TEMP1_ALARM});
  EXPECT_TRUE(DrainCommandQueue(w).empty());
  EXPECT_EQ(VerifyError(w), 0);
  // So does any other temperature alarm or warning alone.
  for (int c : {ERR_TEMP2_ALARM, ERR_TEMP1_WARN, ERR_TEMP2_WARN}) {
    Fixture g;
    AddErrore(g.w(), c);
    EXPECT_EQ(VerifyError(g.w()), 0) << c;
  }

  // Any other unflagged code: the key resets the controller and clears all.
  AddErrore(w, ERR_AUDIO_READ);
  DeleteErrore(w, ERR_TEMP1_ALARM);
  AddErrore(w, ERR_TEMP1_ALARM);
  EXPECT_EQ(VerifyError(w), 1);
  EXPECT_EQ(GPIO_Errori(w), 1);
  std::vector<int> reset = {LP_MP0, LP_AB0, LP_AT};
  EXPECT_EQ(DrainCommandQueue(w), reset);
  EXPECT_EQ(w->errorCount, 0);
}

TEST(ErrorKey, HighSwrResetCycleThroughErrorRecovery) {
  Fixture f;
  Works *w = f.w();
  w->stErr[1] = 2;  // controller reports high SWR
  w->ampBypass = 1;
  AddErrore(w, ERR_HI_SWR);
  AddErrore(w, ERR_TUNE_TIMEOUT);

  EXPECT_EQ(GPIO_Errori(w), 1);
  std::vector<int> reset = {LP_CP, LP_MP0, LP_AB1, LP_AT};
  EXPECT_EQ(DrainCommandQueue(w), reset);
  EXPECT_EQ(w->cmdPriority, 1);
  EXPECT_EQ(w->errorRecovery, 1);
  std::vector<int> still = {ERR_HI_SWR, ERR_TUNE_TIMEOUT};
  EXPECT_EQ(listed(w), still) << "the list waits for the controller";

  // The link drained the queue (errorRecovery 2); the next status reply ends
  // the cycle: everything goes, the reset is marked done.
  w->errorRecovery = 2;
  GestErroreSerial(w);
  EXPECT_EQ(w->errorCount, 0);
  EXPECT_EQ(w->errorFlags & kFlagResetDone, kFlagResetDone);
  EXPECT_TRUE(DrainCommandQueue(w).empty());

  // A fault that persists is listed again; one that is gone ends the latch.
  AddErrore(w, ERR_HI_SWR);
  EXPECT_EQ(listed(w), std::vector<int>{ERR_HI_SWR});
  DeleteErrore(w, ERR_HI_SWR);
  EXPECT_EQ(ClearErrorFlagsAfterReset(w), 1);
  EXPECT_EQ(w->errorFlags, 0);
  EXPECT_EQ(ClearErrorFlagsAfterReset(w), 0);
}

TEST(ErrorKey, ControllerResetResendsItsStartUpSettings) {
  Fixture f;
  Works *w = f.w();
  w->stErr[2] = 0x80;
  AddErrore(w, ERR_HI_SWR);
  GestErrore(w);
  std::vector<int> q = DrainCommandQueue(w);
  ASSERT_GE(q.size(), 6u);
  EXPECT_EQ(q.front(), LP_CP);
  EXPECT_EQ(q[1], LP_VSM);  // the start-up sequence again
  std::vector<int> tail(q.end() - 3, q.end());
  std::vector<int> reset = {LP_MP0, LP_AB0, LP_AT};
  EXPECT_EQ(tail, reset);
}

TEST(ErrorKey, EndOfCycleWithOnlyTemporaryFlagResetsWhatRemains) {
  Fixture f;
  Works *w = f.w();
  AddErrore(w, ERR_COMM);
  AddErrore(w, ERR_AUDIO_WRITE);
  GestErroreSerial(w);
  EXPECT_EQ(w->errorCount, 0);
  std::vector<int> reset = {LP_MP0, LP_AB0, LP_AT};
  EXPECT_EQ(DrainCommandQueue(w), reset);
  EXPECT_EQ(w->errorFlags, kFlagResetDone);
  // After the cycle one plain error alone: the key resets again.
  AddErrore(w, ERR_AUDIO_WRITE);
  EXPECT_EQ(GPIO_Errori(w), 1);
  EXPECT_EQ(DrainCommandQueue(w), reset);
}

TEST(ErrorList, FaultCauseRidesOnCodeFifteen) {
  Fixture f;
  Works *w = f.w();
  w->errCause.set("REFL");
  AddErrore(w, ERR_AMP_FAULT);
  w->errCause.set("FWD");
  AddErrore(w, ERR_AMP_FAULT);  // listed already, but the cause follows
  ErrorListCopy c;
  CopyErrorList(w, &c);
  ASSERT_EQ(c.count, 1);
  EXPECT_STREQ(c.desc[0].line1, "Error");
  EXPECT_STREQ(c.desc[0].line2, "FWD");
  SetErrorLine2(w, ERR_AMP_FAULT, "I OUT");
  CopyErrorList(w, &c);
  EXPECT_STREQ(c.desc[0].line2, "I OUT");
}

// Many threads touch the list; every copy must be a consistent list.
TEST(ErrorList, ConcurrentUseKeepsTheListConsistent) {
  Fixture f;
  Works *w = f.w();
  std::atomic<bool> stop{false};
  testing::internal::CaptureStderr();  // every add and removal logs a line
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t) {
    writers.emplace_back([w, t, &stop] {
      for (int i = 0; !stop && i < 3000; ++i) {
        int code = (i * 7 + t * 5) % kErrorCodes;
        if (i % 3 == 0)
          DeleteErrore(w, code);
        else
          AddErrore(w, code);
        if (i % 97 == 0) VerifyWarningTemporanei(w);
      }
    });
  }
  bool bad = false;
  for (int i = 0; i < 2000 && !bad; ++i) {
    ErrorListCopy c;
    CopyErrorList(w, &c);
    bad = c.count < 0 || c.count > kErrorCodes;
    unsigned seen = 0;
    for (int k = 0; k < c.count && !bad; ++k) {
      unsigned bit = 1u << c.list[k];
      bad = (seen & bit) != 0 || c.desc[k].line1[0] == 0;
      seen |= bit;
    }
  }
  stop = true;
  for (auto &t : writers) t.join();
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(bad);
}

}  // namespace
