// The controller link: check value, command texts and their byte counts, the
// queue under several writers, and the request/reply state machine driven
// with replies, damaged replies and silences.
#include "controller/link.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "errors/errors.h"
#include "support/link_driver.h"
#include "support/temp_root.h"
#include "support/wait.h"

using ::testing::HasSubstr;

namespace {

std::string wireOf(const std::string &text) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  TestWorks w;
  counterrortimeout = 77;
  EXPECT_EQ(writeLinearPort(fds[1], text.data(), static_cast<int>(text.size()), w.get()), 0);
  EXPECT_EQ(counterrortimeout, 0);
  close(fds[1]);
  std::string out;
  char buf[64];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  return out;
}

// The text of a command as the link sends it, and what sending it does.
std::string textOf(Works *works, int id) {
  char text[kLinearCmdMax];
  LinearCmdPrepare(works, id);
  int n = LinearCmdText(works, id, text, sizeof text);
  if (n > 0) LinearCmdSent(works, id, text);
  return std::string(text, static_cast<size_t>(n));
}

TEST(LinkWire, CheckValueAndWireFormat) {
  EXPECT_EQ(Sys_Crc8Calculation("123456789", 9), 0xA1);
  EXPECT_EQ(Sys_Crc8Calculation("", 0), 0);
  // Host to controller: lower-case digits, then the text, nothing else.
  EXPECT_EQ(wireOf("ST;"), "4dST;");
  EXPECT_EQ(wireOf("VSM;"), "c2VSM;");
  // Controller to host: upper-case digits.
  char d[3];
  LinearReplyDigits("ST;", 3, d);
  EXPECT_STREQ(d, "4D");
  LinearReplyDigits(";", -1, d);  // a lone ";": nothing to check
  EXPECT_STREQ(d, "00");
}

TEST(LinkCommands, EveryCommandHasItsTextAndByteCount) {
  TestWorks w;
  w->antenna = 1;
  w->frequency = 14070000;
  w->tuneVal = 0x00010000;
  w->freqSensIn = 1;
  w->freqPeriodTime = 100;
  w->attenuator = 2;
  w->attenuatorTune = 1;
  w->anSel = 3;
  w->tsPar[0] = 4095;
  w->tsPar[1] = 4095;
  w->tsPar[2] = 1500;
  w->tsPar[3] = 3700;
  w->fanPercent = 45;
  w->fanPercentCpu = 70;
  w->psPar[0] = 1;
  w->psPar[1] = 1000;
  w->filterRelay = 0xa5;
  w->gmPar1 = 2;
  w->gmPar2 = 100;
  w->genSettings.set("0100000000");
  w->modeWorkIdx = 0;
  struct {
    int id;
    const char *text;
  } const table[] = {
      {LP_VSM, "VSM;"},
      {LP_ST, "ST;"},
      {LP_TU1, "TU1;"},
      {LP_TU0, "TU0;"},
      {LP_TU, "TU;"},
      {LP_SA, "SA2;"},
      {LP_FM, "FM;"},
      {LP_FA, "FA00014070000;"},
      {LP_MT, "MT;"},
      {LP_MT1, "MT100010000;"},
      {LP_FS, "FS10010;"},
      {LP_CP, "CPFFFF;"},
      {LP_AT, "AT10;"},
      {LP_AT_TUNE, "AT01;"},
      {LP_AT_MAX, "AT11;"},
      {LP_MP0, "MP0;"},
      {LP_MP1, "MP1;"},
      {LP_AB0, "AB0;"},
      {LP_AB1, "AB1;"},
      {LP_AN, "AN3;"},
      {LP_TS, "TS4095409515003700;"},
      {LP_FN, "FN1045;"},
      {LP_PS, "PS0001100000000000;"},
      {LP_SF, "SF;"},
      {LP_MT1_MEM, "MT100010000;"},
      {LP_SF_SET, "SF30000a5;"},
      {LP_SE, "SE58027;"},
      {LP_MR1, "MR1;"},
      {LP_MR0, "MR0;"},
      {LP_GM, "GM00020100;"},
      {LP_GS, "GS;"},
      {LP_GS_SET, "GS0300000000;"},
      {LP_ER0, "ER0000;"},
      {LP_ER1, "ER0001;"},
      {LP_ER2, "ER0002;"},
      {LP_MT1_BYPASS, "MT100010000;"},
      {LP_MT1_CLEAR, "MT100800000;"},
      {LP_FN_CPU, "FN1070;"},
  };
  std::set<int> seen;
  for (const auto &row : table) {
    SCOPED_TRACE(row.id);
    EXPECT_EQ(textOf(w.get(), row.id), row.text);
    EXPECT_TRUE(IsLinearCmd(row.id));
    ASSERT_NE(LinearCmdLetters(row.id), nullptr);
    EXPECT_EQ(std::string(LinearCmdLetters(row.id)), std::string(row.text, 2));
    seen.insert(row.id);
  }
  // The table covers every identifier there is; the rest are not commands.
  for (int id = -1; id < 64; ++id)
    if (!seen.count(id)) {
      EXPECT_FALSE(IsLinearCmd(id)) << id;
    }
}

TEST(LinkCommands, ValuesStayInsideTheirFields) {
  TestWorks w;
  w->antenna = 12;
  w->frequency = -5;
  w->freqSensIn = 7;
  w->freqPeriodTime = 123456;
  w->anSel = -1;
  w->tsPar[0] = 12345;
  w->tsPar[1] = -3;
  w->fanPercent = 150;
  w->psPar[3] = 99999;
  w->gmPar1 = -1;
  EXPECT_EQ(textOf(w.get(), LP_SA), "SA9;");
  EXPECT_EQ(textOf(w.get(), LP_FA), "FA00000000000;");
  EXPECT_EQ(textOf(w.get(), LP_FS), "FS79999;");
  EXPECT_EQ(textOf(w.get(), LP_AN), "AN0;");
  EXPECT_EQ(textOf(w.get(), LP_TS).size(), 19u);
  EXPECT_EQ(textOf(w.get(), LP_TS).substr(0, 10), "TS99990000");
  EXPECT_EQ(textOf(w.get(), LP_FN), "FN1100;");
  EXPECT_EQ(textOf(w.get(), LP_PS).size(), 19u);
  EXPECT_EQ(textOf(w.get(), LP_GM), "GM00000100;");
  // Only attenuator indexes 0..3 exist: nothing is sent for another.
  w->attenuator = 4;
  EXPECT_EQ(textOf(w.get(), LP_AT), "");
}

TEST(LinkCommands, SideEffectsOfSendingACommand) {
  TestWorks w;
  w->tuneVal = 0x00010000;
  w->atuBypass = 0;
  textOf(w.get(), LP_MT1);
  EXPECT_EQ(w->atuBypass, 1);

  w->tuneVal = 0x00840123;  // bits 23 and 18 set
  EXPECT_EQ(textOf(w.get(), LP_MT1_BYPASS), "MT100010123;");
  EXPECT_EQ(w->tuneVal, 0x00010123u);
  EXPECT_EQ(w->atuBypass, 1);

  w->tuneC = 5;
  w->tuneL = 6;
  textOf(w.get(), LP_MT1_CLEAR);
  EXPECT_EQ(w->tuneVal, 0x00800000u);
  EXPECT_EQ(w->tuneC, 0);
  EXPECT_EQ(w->tuneL, 0);
  EXPECT_EQ(w->atuBypass, 0);

  w->fanAck = 1;
  w->fanPercent = 60;
  textOf(w.get(), LP_FN);
  EXPECT_EQ(w->fanAck, 0);
  EXPECT_EQ(w->fanPercentSent, 60);
  w->fanPercentCpu = 70;
  textOf(w.get(), LP_FN_CPU);
  EXPECT_EQ(w->fanPercentSent, 70);

  textOf(w.get(), LP_AB1);
  EXPECT_EQ(w->ampBypassReq, 1);
  EXPECT_EQ(w->attenuatorSel, 4);
  textOf(w.get(), LP_AB0);
  EXPECT_EQ(w->ampBypassReq, 0);

  // The network bit follows the mode of work: cleared for a transceiver link.
  w->genSettings.set("0300000000");
  w->modeWorkIdx = 1;
  EXPECT_EQ(textOf(w.get(), LP_GS_SET), "GS0100000000;");
  EXPECT_EQ(w->genSettings.str(), "0100000000");
  // Settings never read: nothing to write back.
  w->genSettings.set("01;");
  EXPECT_EQ(textOf(w.get(), LP_GS_SET), "");
}

TEST(LinkQueue, RingHolds29AndRefusesMoreWithoutOverwriting) {
  TestWorks w;
  testing::internal::CaptureStderr();
  for (int i = 0; i < 29; ++i)
    EXPECT_EQ(IncPNTIn_CMDLinear(i % 2 ? LP_SA : LP_AN, w.get()), i % 2 ? LP_SA : LP_AN);
  EXPECT_EQ(IncPNTIn_CMDLinear(LP_FN, w.get()), -1);
  EXPECT_EQ(IncPNTIn_CMDLinear(25, w.get()), -1) << "25 names no command";
  EXPECT_EQ(IncPNTIn_CMDLinear(LS_WAIT, w.get()), -1) << "a link state is no command";
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_THAT(err, HasSubstr("command queue full: 23 refused"));
  EXPECT_EQ(PendingCmdLinear(w.get()), 29);
  for (int i = 0; i < 29; ++i) EXPECT_EQ(TakeCmdLinear(w.get()), i % 2 ? LP_SA : LP_AN);
  EXPECT_EQ(TakeCmdLinear(w.get()), -1);
  for (int i = 0; i < kCmdQueueSlots; ++i)
    EXPECT_EQ(w->cmdQueue[i], 0) << "taken slots are cleared";
}

TEST(LinkQueue, SeveralWritersAndTheLinkLoseNothing) {
  TestWorks w;
  const int kWriters = 4, kEach = 500;
  const int ids[kWriters] = {LP_SA, LP_AN, LP_FN, LP_TS};
  std::vector<int> taken;
  std::atomic<int> writersLeft{kWriters};
  testing::internal::CaptureStderr();
  std::thread reader([&] {
    while (writersLeft > 0 || PendingCmdLinear(w.get()) > 0) {
      int id = TakeCmdLinear(w.get());
      if (id >= 0) taken.push_back(id);
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kWriters; ++t)
    writers.emplace_back([&, t] {
      // A refused identifier (ring full) is offered again until it is taken.
      for (int i = 0; i < kEach; ++i)
        while (IncPNTIn_CMDLinear(ids[t], w.get()) < 0) std::this_thread::yield();
      --writersLeft;
    });
  for (auto &t : writers) t.join();
  reader.join();
  testing::internal::GetCapturedStderr();
  ASSERT_EQ(static_cast<int>(taken.size()), kWriters * kEach);
  for (int t = 0; t < kWriters; ++t)
    EXPECT_EQ(std::count(taken.begin(), taken.end(), ids[t]), kEach) << ids[t];
}

// Answers like a controller: echo, or a frame for "ST;".
std::string answer(const std::string &cmd) {
  if (cmd == "ST;") return StatusFrame();
  if (cmd == "FM;") return "FM000014070000;";
  return cmd;
}

TEST(LinkStates, StartUpSequenceGoesOutOnePerStatusCycle) {
  TestWorks w;
  testing::internal::CaptureStderr();
  InitMicroCmd(w.get());
  LinkDriver d(w.get());
  std::vector<std::string> sent;
  for (int i = 0; i < 36; ++i) {
    std::string cmd = d.next();
    sent.push_back(cmd);
    d.reply(answer(cmd));
  }
  testing::internal::GetCapturedStderr();
  const std::vector<std::string> queued = {"VSM;", "ER0000;", "ER0001;", "ER0002;", "MP0;",
                                           // no threshold table: the defaults, once
                                           "TS4095409515003700;", "FN1100;", "AN0;", "SA1;",
                                           "FS00001;", "MT100000000;", "PS0001100000000000;",
                                           "GM00020100;", "GS;", "CPFFFF;", "MR0;"};
  std::vector<std::string> want;
  for (const auto &q : queued) {
    want.push_back("ST;");
    want.push_back(q);
  }
  want.insert(want.end(), {"ST;", "FM;", "ST;", "FM;"});
  EXPECT_EQ(sent, want);
  EXPECT_EQ(w->microResetSeen, 1);
  EXPECT_EQ(w->cpPending & 1, 0);
}

TEST(LinkStates, QueuedCommandsReplaceOneFrequencyReadEach) {
  TestWorks w;
  LinkDriver d(w.get());
  w->anSel = 1;
  w->antenna = 2;
  testing::internal::CaptureStderr();
  EXPECT_EQ(d.next(), "ST;");
  IncPNTIn_CMDLinear(LP_AN, w.get());
  IncPNTIn_CMDLinear(LP_SA, w.get());
  std::vector<std::string> sent;
  d.reply(StatusFrame());
  for (int i = 0; i < 5; ++i) {
    std::string cmd = d.next();
    sent.push_back(cmd);
    d.reply(answer(cmd));
  }
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(sent, (std::vector<std::string>{"AN1;", "ST;", "SA3;", "ST;", "FM;"}));
}

TEST(LinkStates, PriorityDrainsTheQueueBackToBack) {
  TestWorks w;
  LinkDriver d(w.get());
  testing::internal::CaptureStderr();
  EXPECT_EQ(d.next(), "ST;");
  d.reply(StatusFrame());
  EXPECT_EQ(d.next(), "FM;");
  IncPNTIn_CMDLinear(LP_MP1, w.get());
  IncPNTIn_CMDLinear(LP_AT_MAX, w.get());
  IncPNTIn_CMDLinear(LP_AB0, w.get());
  w->cmdPriority = 1;
  w->errorRecovery = 1;
  std::vector<std::string> sent;
  d.reply("FM000014070000;");
  for (int i = 0; i < 4; ++i) {
    std::string cmd = d.next();
    sent.push_back(cmd);
    d.reply(answer(cmd));
  }
  EXPECT_EQ(d.next(), "FM;");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(sent, (std::vector<std::string>{"MP1;", "AT11;", "AB0;", "ST;"}));
  EXPECT_EQ(w->cmdPriority, 0);
  EXPECT_EQ(w->errorRecovery, 0) << "the recovery ends at the status reply after the drain";
  EXPECT_THAT(err, HasSubstr("cmd ext: 18\n"));
  EXPECT_THAT(err, HasSubstr(">>> ERRORI: Send All CMD for Error\n"));
  EXPECT_THAT(err, HasSubstr(">>> ERRORI: End Gest Errori!!\n"));
}

TEST(LinkStates, SilentControllerGetsTheCommandFourTimesThenStatus) {
  TestWorks w;
  w->cpPending = 0;  // acknowledged start-up: errors are listed
  LinkDriver d(w.get());
  testing::internal::CaptureStderr();
  d.next();
  IncPNTIn_CMDLinear(LP_SA, w.get());
  d.reply(StatusFrame());
  std::vector<std::string> sent;
  for (int i = 0; i < 5; ++i) {
    sent.push_back(d.next());
    d.timeout();
  }
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(sent, (std::vector<std::string>{"SA1;", "SA1;", "SA1;", "SA1;", "ST;"}));
  EXPECT_EQ(w->retryTotal, 5);
  EXPECT_EQ(w->retryStops, 1);
  EXPECT_EQ(ExistError(w.get(), ERR_COMM), 1);
  EXPECT_EQ(w->extIoTimeout, 2000);
  EXPECT_EQ(w->errDetail.str(), "Err SA");
  size_t retries = 0;
  for (size_t p = err.find("ERROR LINEAR: RETRAY SA"); p != std::string::npos;
       p = err.find("ERROR LINEAR: RETRAY SA", p + 1))
    ++retries;
  EXPECT_EQ(retries, 3u);
  EXPECT_THAT(err, HasSubstr("STOP RETRAY!! SA (4, 3) Restart da ST (Timer: 2000)\n"));
  // While the display has not counted the hold-off down, no new error 4.
  DeleteErrore(w.get(), ERR_COMM);
  testing::internal::CaptureStderr();
  for (int i = 0; i < 4; ++i) d.timeout();
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(ExistError(w.get(), ERR_COMM), 0);
  EXPECT_EQ(w->retryStops, 2);
}

TEST(LinkStates, DamagedReplyIsDroppedAndNothingQueuedIsLost) {
  TestWorks w;
  LinkDriver d(w.get());
  testing::internal::CaptureStderr();
  EXPECT_EQ(d.next(), "ST;");
  IncPNTIn_CMDLinear(LP_SA, w.get());
  std::string frame = StatusFrame(0, 0, 0, 1000);
  d.bytes("00" + frame);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_THAT(err, HasSubstr("**** CHK ERROR!! "));
  EXPECT_THAT(err, HasSubstr(" 00" + frame + "\n"));
  EXPECT_EQ(w->rawFwd, 0) << "a damaged frame is not decoded";
  EXPECT_EQ(d.next(), "ST;") << "goes on as after a reply";
  EXPECT_EQ(PendingCmdLinear(w.get()), 1);
  // Lower-case check digits are not the controller's: refused as well.
  std::string good = WithDigits(frame);
  std::string lower = good;
  for (int i = 0; i < 2; ++i) lower[i] = static_cast<char>(tolower(lower[i]));
  if (lower != good) {
    testing::internal::CaptureStderr();
    d.bytes(lower);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(d.next(), "ST;");
  }
  // Both digits count: the first right and the second wrong is damaged too.
  std::string half = good;
  half[1] = half[1] == '0' ? '1' : '0';
  testing::internal::CaptureStderr();
  d.bytes(half);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(d.next(), "ST;");
  EXPECT_EQ(w->rawFwd, 0);
  d.reply(frame);
  EXPECT_EQ(d.next(), "SA1;");
  EXPECT_EQ(w->rawFwd, 1000);

  // In priority mode a damaged reply is followed by the next queued command.
  IncPNTIn_CMDLinear(LP_AN, w.get());
  w->cmdPriority = 1;
  testing::internal::CaptureStderr();
  d.bytes("FFSA1;");
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(d.next(), "AN0;");
}

TEST(LinkStates, RejectedAndUnknownRepliesResendTheCommand) {
  TestWorks w;
  LinkDriver d(w.get());
  testing::internal::CaptureStderr();
  d.next();
  IncPNTIn_CMDLinear(LP_SA, w.get());
  d.reply(StatusFrame());
  EXPECT_EQ(d.next(), "SA1;");
  d.reply("SA?;");
  EXPECT_EQ(d.next(), "SA1;");
  d.reply("XY1;");
  EXPECT_EQ(d.next(), "SA1;");
  d.reply("SA1;");
  EXPECT_EQ(d.next(), "ST;");
  EXPECT_EQ(w->retryCount, 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_THAT(err, HasSubstr("CMD Errato:SA?;\n"));
  EXPECT_THAT(err, HasSubstr("cmd non riconosciuto:XY1;\n"));
}

TEST(LinkStates, ReceiveBufferAcrossTimeoutsOverflowsAndSplitReplies) {
  TestWorks w;
  LinkDriver d(w.get());
  testing::internal::CaptureStderr();
  EXPECT_EQ(d.next(), "ST;");
  // Half a reply, then silence: the half is dropped with the resend.
  d.bytes("4DST0");
  d.timeout();
  EXPECT_EQ(d.next(), "ST;");
  d.reply(StatusFrame(0, 0, 0, 5));
  EXPECT_EQ(d.next(), "FM;");
  EXPECT_EQ(w->rawFwd, 5);
  // 600 bytes without ';': the buffer starts again instead of overrunning.
  d.bytes(std::string(600, 'x'));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_THAT(err, HasSubstr("<<<<<<<<<<<<<<<<<<<<ERROR COUNTER LINEAR (CounterLinear)\n"));
  testing::internal::CaptureStderr();
  d.timeout();
  EXPECT_EQ(d.next(), "FM;");
  // A reply in pieces, and two replies in one read: the second one waits.
  std::string fm = WithDigits("FM000014250000;");
  d.bytes(fm.substr(0, 4));
  d.bytes(fm.substr(4) + WithDigits(StatusFrame(0, 0, 0, 9)));
  EXPECT_EQ(d.next(), "ST;");
  EXPECT_EQ(w->freqMeasured, 14250000);
  // The frame that came early is taken as the reply to this "ST;".
  EXPECT_EQ(d.next(), "FM;");
  EXPECT_EQ(w->rawFwd, 9);
  testing::internal::GetCapturedStderr();
}

TEST(LinkStates, ShortRepliesOddStatesAndTheHalt) {
  TestWorks w;
  LinkDriver d(w.get());
  testing::internal::CaptureStderr();
  EXPECT_EQ(d.next(), "ST;");
  d.bytes(";");
  EXPECT_EQ(d.next(), "ST;");
  d.bytes("X;");
  EXPECT_EQ(d.next(), "ST;");
  // The decoder given fewer than 3 characters retries instead of standing still.
  linearProcessStatus = -1;
  w->lastCmdId = LP_ST;
  EXPECT_EQ(TakeLinearReply(w.get(), ";", 1), 20);
  EXPECT_EQ(linearProcessStatus, LP_ST);
  // A next command that is no command: back to the status poll.
  linearLinkState = LS_SEND;
  linearProcessStatus = 25;
  EXPECT_EQ(d.next(), "ST;");
  // A command that cannot be sent is passed over.
  d.reply(StatusFrame());
  EXPECT_EQ(d.next(), "FM;");
  IncPNTIn_CMDLinear(LP_GS_SET, w.get());
  IncPNTIn_CMDLinear(LP_MP0, w.get());
  w->cmdPriority = 1;
  d.reply("FM000014070000;");
  EXPECT_EQ(d.next(), "MP0;");
  // "MR1;" halts the link for good.
  IncPNTIn_CMDLinear(LP_MR1, w.get());
  d.reply("MP0;");
  EXPECT_EQ(d.next(), "MR1;");
  EXPECT_EQ(linearLinkState, LS_HALTED);
  EXPECT_EQ(d.next(), "");
  EXPECT_TRUE(d.halted);
  EXPECT_EQ(w->armedActions, 0x04) << "the screen's firmware-update notice bit";
  testing::internal::GetCapturedStderr();
}

TEST(LinkStates, AttenuatorCommandWritesOnThePort) {
  TestWorks w;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  // With stdin closed the port can be descriptor 0, a port like any other.
  int savedIn = dup(0);
  ASSERT_EQ(dup2(fds[1], 0), 0);
  close(fds[1]);
  w->linFD = 0;
  testing::internal::CaptureStderr();
  SetAttenuatorCMD(w.get(), 2, LP_AT);
  std::string err = testing::internal::GetCapturedStderr();
  dup2(savedIn, 0);
  close(savedIn);
  char buf[16] = {};
  ASSERT_EQ(read(fds[0], buf, sizeof buf), 7);
  close(fds[0]);
  char d[3];
  snprintf(d, sizeof d, "%02x", Sys_Crc8Calculation("AT10;", 5));
  EXPECT_EQ(std::string(buf), std::string(d) + "AT10;");
  EXPECT_EQ(linearLinkState, LS_WAIT);
  EXPECT_EQ(w->lastCmdId, LP_AT);
  EXPECT_EQ(w->lastCmdChars[0], 'A');
  EXPECT_THAT(err, HasSubstr(">> AT10;\n"));
}

}  // namespace

namespace {

TEST(LinkPort, OpenFailureIsReportedAndClearedWhenThePortComes) {
  TempRoot root;
  TestWorks w;
  testing::internal::CaptureStderr();
  EXPECT_EQ(OpenLinear(w.get()), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_THAT(err, HasSubstr("Init Linear Port /dev/ttyAMA0"));
  EXPECT_THAT(err, HasSubstr("Unable to open device /dev/ttyAMA0"));
  EXPECT_EQ(w->deviceError, 1);
  EXPECT_EQ(w->deviceErrorText.str(), "Linear: Unable to open device /dev/ttyAMA0");

  // A pseudo-terminal where the port should be: opened, set up, error gone.
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  ASSERT_EQ(symlink(ptsname(master), root.path("/dev/ttyAMA0").c_str()), 0);
  testing::internal::CaptureStderr();
  int fd = OpenLinear(w.get());
  err = testing::internal::GetCapturedStderr();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(w->linFD, fd);
  EXPECT_EQ(w->deviceError, 0);
  EXPECT_THAT(err, HasSubstr("OK works->linFD=" + std::to_string(fd) + " (/dev/ttyAMA0) stato:"));
  struct termios tio;
  ASSERT_EQ(tcgetattr(fd, &tio), 0);
  EXPECT_EQ(tio.c_iflag, static_cast<tcflag_t>(IGNPAR));
  EXPECT_EQ(tio.c_lflag, 0u);
  EXPECT_EQ(tio.c_cc[VMIN], 1);
  EXPECT_EQ(tio.c_cc[VTIME], 5);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
  close(fd);
  close(master);
}

// The link waits 3 s between tries of a missing port; a stop within that wait
// ends the thread at once rather than at the next try.
TEST(LinkPort, AStopEndsTheWaitForAMissingPort) {
  TempRoot root;
  TestWorks w;
  w->running = 1;
  testing::internal::CaptureStderr();
  std::thread link(Linear, w.get());
  const bool reported = WaitUntil([&] { return w->deviceError == 1; });
  const auto stop = std::chrono::steady_clock::now();
  w->running = 0;
  link.join();
  const auto waited = std::chrono::steady_clock::now() - stop;
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(reported);
  EXPECT_LT(waited, std::chrono::milliseconds(2000)) << "the stop waited out the pause";
}

}  // namespace
