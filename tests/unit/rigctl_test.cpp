// The Hamlib reader: rigctld's answer lines, rig.txt, and a reader that stops
// at once even while a name lookup hangs.
#include "links/rigctl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "support/wait.h"

namespace {

TEST(RigAnswer, DigitsInThirtyTwoBitsReportsAndEverythingElseRefused) {
  struct Case {
    std::string line;
    RigAnswer want;
    int value;  // the frequency or the report
  };
  const Case cases[] = {
      {"14074000", RIG_FREQUENCY, 14074000},
      {"14074000\r", RIG_FREQUENCY, 14074000},
      {"0007074000", RIG_FREQUENCY, 7074000},
      {"2147483647", RIG_FREQUENCY, 2147483647},
      {"2147483648", RIG_REFUSED, 0},
      {"99999999999999999999999999", RIG_REFUSED, 0},
      {"", RIG_REFUSED, 0},
      {"\r", RIG_REFUSED, 0},
      {"-7074000", RIG_REFUSED, 0},
      {"+7074000", RIG_REFUSED, 0},
      {" 7074000", RIG_REFUSED, 0},
      {"7074000 ", RIG_REFUSED, 0},
      {"7074.000", RIG_REFUSED, 0},
      {"0x6BF0D0", RIG_REFUSED, 0},
      {"7074000\r\r", RIG_REFUSED, 0},
      {std::string("707\0"
                   "4000",
                   8),
       RIG_REFUSED, 0},
      {"\xff\xfe\x01", RIG_REFUSED, 0},
      {"RPRT -1", RIG_REPORT, -1},
      {"RPRT -11", RIG_REPORT, -11},
      {"RPRT 0\r", RIG_REPORT, 0},
      {"RPRT ", RIG_REFUSED, 0},
      {"RPRT -", RIG_REFUSED, 0},
      {"RPRT -1 x", RIG_REFUSED, 0},
      {"RPRT -1234567890", RIG_REFUSED, 0},
      {"rprt -1", RIG_REFUSED, 0},
  };
  for (const Case &c : cases) {
    int32_t hz = 555;
    int report = 555;
    RigAnswer got = ParseRigAnswer(c.line.data(), c.line.size(), &hz, &report);
    EXPECT_EQ(got, c.want) << '"' << c.line << '"';
    // A refused line changes neither value.
    EXPECT_EQ(hz, c.want == RIG_FREQUENCY ? c.value : 555) << c.line;
    EXPECT_EQ(report, c.want == RIG_REPORT ? c.value : 555) << c.line;
  }
  int32_t hz = 555;
  int report = 555;
  EXPECT_EQ(ParseRigAnswer(nullptr, 8, &hz, &report), RIG_REFUSED);
}

TEST(RigFile, AddressAndPollWithBadValuesIgnored) {
  RigSettings d = ParseRigFile("");
  EXPECT_EQ(d.host, "127.0.0.1");
  EXPECT_EQ(d.port, 4532);
  EXPECT_EQ(d.pollMs, 200);

  RigSettings s = ParseRigFile("; the station PC\n\nRigctld: shack-pc.lan:4533\r\nPoll: 50\n");
  EXPECT_EQ(s.host, "shack-pc.lan");
  EXPECT_EQ(s.port, 4533);
  EXPECT_EQ(s.pollMs, 50);
  s = ParseRigFile("Rigctld: [::1]:4600\nPoll: 2000");
  EXPECT_EQ(s.host, "::1");
  EXPECT_EQ(s.port, 4600);
  EXPECT_EQ(s.pollMs, 2000);
  s = ParseRigFile("Rigctld: radio\n");  // the port left out: the default one
  EXPECT_EQ(s.host, "radio");
  EXPECT_EQ(s.port, 4532);

  // Each of these is logged and leaves what the line before it set.
  for (const char *bad :
       {"Rigctld: ::1:4532", "Rigctld: host:0", "Rigctld: host:65536",
        "Rigctld: host:", "Rigctld: ", "Rigctld: a b:4532", "Rigctld: [::1", "Rigctld: [::1]4532",
        "Rigctld: host:45x", "Rigctld: h\xffst:4532", "Rigctld: h{st:4532", "Poll: 49", "Poll: 2001", "Poll: 2e2",
        "Poll: ", "Poll: -100", "Poll: 99999999999999", "Poll:100", "Pol: 100"}) {
    const std::string text = std::string("Rigctld: 10.0.0.2:4000\nPoll: 300\n") + bad + "\n";
    s = ParseRigFile(text);
    EXPECT_EQ(s.host, "10.0.0.2") << bad;
    EXPECT_EQ(s.port, 4000) << bad;
    EXPECT_EQ(s.pollMs, 300) << bad;
    // So a restore refuses that line.
    int line = 0;
    std::string error;
    EXPECT_FALSE(CheckRigFileText(text, &line, &error)) << bad;
    EXPECT_EQ(line, 3) << bad;
  }
  int line = 0;
  std::string error;
  EXPECT_TRUE(CheckRigFileText("; the station PC\n\nRigctld: shack-pc.lan:4533\nPoll: 50\n", &line,
                               &error))
      << line << ": " << error;
}

// A resolver that hangs until the test lets it go.
std::mutex gHangMutex;
std::condition_variable gHangCv;
bool gHangRelease = false;
std::atomic<int> gHangEntered{0}, gHangLeft{0};

int hangingResolver(const char *, const char *, const addrinfo *, addrinfo **result) {
  *result = nullptr;
  ++gHangEntered;
  std::unique_lock<std::mutex> lock(gHangMutex);
  gHangCv.wait(lock, [] { return gHangRelease; });
  ++gHangLeft;
  return EAI_AGAIN;
}

TEST(RigReader, StopsWithinASecondWhileANameLookupHangs) {
  auto works = std::make_unique<Works>();
  works->running = 1;
  works->rigRun = 1;
  SetRigResolver(hangingResolver);
  RigSettings s;
  s.host = "rigctld.invalid";
  std::atomic<bool> done{false};
  std::thread reader([&] {
    RigctlRun(works.get(), s);
    done = true;
  });
  ASSERT_TRUE(WaitUntil([] { return gHangEntered == 1; }, 5000));
  works->running = 0;
  EXPECT_TRUE(WaitUntil([&] { return done.load(); }, 1000));
  reader.join();
  // The abandoned lookup ends by itself once the resolver returns.
  {
    std::lock_guard<std::mutex> lock(gHangMutex);
    gHangRelease = true;
  }
  gHangCv.notify_all();
  EXPECT_TRUE(WaitUntil([] { return gHangLeft == 1; }, 5000));
  SetRigResolver(nullptr);
}

}  // namespace
