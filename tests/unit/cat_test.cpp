// The FT-817 reader (answer decoding, the poll cycle on a pseudo-terminal)
// and the CAT link (message collection, the port search, stopping).
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "errors/errors.h"
#include "links_rig.h"
#include "support/pty.h"
#include "support/temp_root.h"
#include "support/test_thread.h"

namespace {

void decode(Works *w, std::vector<uint8_t> answer) {
  lastCommandSent = 3;
  DecodeCatSerialCmd(w, answer.data(), static_cast<int>(answer.size()));
}

int openFiles() {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n;
}

TEST(Ft817Decode, BcdAnswersAndRefusals) {
  LinksRig rig;
  Works *w = rig.w();
  decode(w, {0x01, 0x42, 0x34, 0x56, 0x01});
  EXPECT_EQ(w->catFrequency, 14234560);
  EXPECT_EQ(w->catMode, 1);
  EXPECT_EQ(lastCommandSent, 0);
  decode(w, {0x14, 0x07, 0x00, 0x00, 0x00});
  EXPECT_EQ(w->catFrequency, 140700000);  // no upper limit
  EXPECT_EQ(w->catMode, 0);
  // A third byte of 0x4A, a first byte of 0xA1: the frequency stays, the mode not.
  decode(w, {0x00, 0x70, 0x4A, 0x00, 0x02});
  EXPECT_EQ(w->catFrequency, 140700000);
  EXPECT_EQ(w->catMode, 2);
  decode(w, {0xA1, 0x00, 0x00, 0x00, 0x03});
  EXPECT_EQ(w->catFrequency, 140700000);
  // No command awaiting an answer, or too few bytes: nothing decoded.
  lastCommandSent = 0;
  const uint8_t a[5] = {0x00, 0x70, 0x00, 0x00, 0x04};
  DecodeCatSerialCmd(w, a, 5);
  EXPECT_EQ(w->catFrequency, 140700000);
  decode(w, {0x00, 0x70, 0x00});
  EXPECT_EQ(w->catFrequency, 140700000);
  lastCommandSent = 3;
  DecodeCatSerialCmd(w, a, 3);  // five bytes there, three of them received
  EXPECT_EQ(w->catFrequency, 140700000);

  EXPECT_FALSE(VerifyByteFreq(0x99));
  EXPECT_TRUE(VerifyByteFreq(0x9A));
  EXPECT_TRUE(VerifyByteFreq(0xA0));
  EXPECT_FALSE(VerifyByteFreq(0x00));
}

TEST(Ft817Thread, AnswersInPiecesNonBcdAndAShortAnswer) {
  TempRoot root;
  LinksRig rig;
  TestPty radio;
  radio.linkAt(root.path("/dev/ttyFT"));
  SetSetupText(rig.w(), SB_CatSerialPort, "/dev/ttyFT");
  SetSetupChar(rig.w(), SB_CatSerialEnable, '1');
  const int filesBefore = openFiles();
  TestThread t([&] { CatSerial(rig.w()); }, [&] { rig.works->running = 0; });
  const std::vector<uint8_t> cmd = {0, 0, 0, 0, 3};

  ASSERT_EQ(radio.read(5, 2000), cmd);
  radio.write(std::vector<uint8_t>{0x00, 0x70});
  poll(nullptr, 0, 30);  // pacing of the pieces, not synchronisation
  radio.write(std::vector<uint8_t>{0x74, 0x00, 0x01});
  ASSERT_TRUE(WaitUntil([&] { return rig.works->catFrequency == 7074000; }, 2000));

  ASSERT_EQ(radio.read(5, 2000), cmd);
  radio.write(std::vector<uint8_t>{0x00, 0x70, 0x4A, 0x00, 0x01});
  ASSERT_EQ(radio.read(5, 2000), cmd);  // refused, and asked again
  EXPECT_EQ(rig.works->catFrequency, 7074000);

  // Four bytes only: dropped after 1.5 s, the command goes out again.
  radio.write(std::vector<uint8_t>{0x01, 0x40, 0x00, 0x00});
  ASSERT_EQ(radio.read(5, 4000), cmd);
  radio.write(std::vector<uint8_t>{0x02, 0x10, 0x00, 0x00, 0x01});
  ASSERT_TRUE(WaitUntil([&] { return rig.works->catFrequency == 21000000; }, 2000));

  SetSetupChar(rig.w(), SB_CatSerialEnable, '0');
  t.join();
  EXPECT_EQ(openFiles(), filesBefore);  // the port is closed on the way out
}

TEST(Ft817Thread, MissingPortIsDeviceErrorTwo) {
  TempRoot root;
  LinksRig rig;
  SetSetupText(rig.w(), SB_CatSerialPort, "/dev/ttyNONE");
  SetSetupChar(rig.w(), SB_CatSerialEnable, '1');
  CatSerial(rig.w());
  EXPECT_EQ(rig.works->deviceError, 2);
  EXPECT_EQ(rig.works->deviceErrorText.str(), "CAT: Unable to open device /dev/ttyNONE");
}

std::vector<std::string> collect(CatCollector &c, const std::string &bytes) {
  std::vector<std::string> out;
  for (char ch : bytes) {
    int n = CatCollect(&c, static_cast<uint8_t>(ch));
    if (n > 0) {
      EXPECT_EQ(static_cast<int>(strlen(c.text)), n);
      out.emplace_back(c.text, static_cast<size_t>(n));
    }
  }
  return out;
}

TEST(CatCollect, TwoMessagesInOneBurstAndOverlongLines) {
  CatCollector c;
  EXPECT_EQ(collect(c, "FA00014074000;MD2;"), (std::vector<std::string>{"FA00014074000;", "MD2;"}));
  EXPECT_EQ(collect(c, "IF"), std::vector<std::string>{});
  EXPECT_EQ(collect(c, "001;"), std::vector<std::string>{"IF001;"});
  // 200 bytes without ';' are dropped; the next message comes through whole.
  std::string junk(200, 'x');
  EXPECT_EQ(collect(c, junk + "TX;"), std::vector<std::string>{"TX;"});
  // 199 bytes and ';' still make a message.
  std::string longest(199, 'y');
  EXPECT_EQ(collect(c, longest + ";"), std::vector<std::string>{longest + ";"});
  std::mt19937 rng(3);
  for (int i = 0; i < 100000; ++i) CatCollect(&c, static_cast<uint8_t>(rng()));
  EXPECT_LT(c.have, kCatMessageMax);
}

// Answers "DT;" on a pseudo-terminal until told to stop.
struct CatResponder {
  TestPty pty;
  std::string answer;
  std::atomic<int> probes{0};
  std::atomic<bool> stop{false};
  std::thread thread;
  explicit CatResponder(std::string a) : answer(std::move(a)) {
    thread = std::thread([this] {
      while (!stop) {
        if (pty.waitFor("DT;", 50)) {
          ++probes;
          pty.write(answer);
        }
      }
    });
  }
  ~CatResponder() {
    stop = true;
    thread.join();
  }
};

TEST(CatSearch, TheLastDeviceFirstAndTheWrongModelSkipped) {
  TempRoot root;
  LinksRig rig;
  {
    CatResponder zero("DT001;"), one("DT001;");
    zero.pty.linkAt(root.path("/dev/KIVOCAT0"));
    one.pty.linkAt(root.path("/dev/KIVOCAT1"));
    ASSERT_EQ(VerifyCAT(rig.w()), 0);
    EXPECT_GT(rig.works->catFD.load(), 0);
    EXPECT_EQ(one.probes, 1);
    EXPECT_EQ(zero.probes, 0);
    ExitCAT(rig.w());
    EXPECT_EQ(rig.works->catFD.load(), 0);
  }
  {
    CatResponder zero("DT001;"), one("DT002;");
    zero.pty.linkAt(root.path("/dev/KIVOCAT0"));
    one.pty.linkAt(root.path("/dev/KIVOCAT1"));
    ASSERT_EQ(VerifyCAT(rig.w()), 0);
    EXPECT_EQ(one.probes, 1);
    EXPECT_EQ(zero.probes, 1);
    ExitCAT(rig.w());
  }
  {
    CatResponder only("DT002;");
    unlink(root.path("/dev/KIVOCAT0").c_str());
    only.pty.linkAt(root.path("/dev/KIVOCAT1"));
    EXPECT_EQ(VerifyCAT(rig.w()), -1);
    EXPECT_EQ(rig.works->catFD.load(), 0);
  }
  unlink(root.path("/dev/KIVOCAT1").c_str());
  EXPECT_EQ(VerifyCAT(rig.w()), -1);
}

TEST(CatThread, ALostPortStopsTheLinkWithErrorTwenty) {
  TempRoot root;
  LinksRig rig;
  SetSetupChar(rig.w(), SB_EnableCAT, '1');
  auto radio = std::make_unique<CatResponder>("DT001;");
  radio->pty.linkAt(root.path("/dev/KIVOCAT0"));
  TestThread t([&] { Cat(rig.w()); }, [&] { rig.works->running = 0; });
  // The thread waits 3 s before it looks for its port (and an emulated
  // build on a busy machine takes its time over the search).
  ASSERT_TRUE(WaitUntil([&] { return status_cat.load() == 1; }, 20000));
  EXPECT_GT(rig.works->catFD.load(), 0);
  // An overlong line without ';' and a burst: nothing stalls the thread.
  radio->pty.write(std::string(500, 'x') + "FA;MD2;");
  radio.reset();  // unplugged
  t.join();
  EXPECT_EQ(status_cat.load(), 0);
  EXPECT_EQ(rig.works->catFD.load(), 0);
  EXPECT_EQ(SetupChar(rig.w(), SB_EnableCAT), '0');
  EXPECT_EQ(ExistError(rig.w(), ERR_REMOTE_CAT), 1);
}

TEST(CatExit, StopsTheLinkAndRaisesErrorTwenty) {
  LinksRig rig;
  SetSetupChar(rig.w(), SB_EnableCAT, '1');
  ExitCAT(rig.w());
  EXPECT_EQ(SetupChar(rig.w(), SB_EnableCAT), '0');
  EXPECT_EQ(rig.works->catClosed, 1);
  EXPECT_EQ(ExistError(rig.w(), ERR_REMOTE_CAT), 1);
}

}  // namespace
