// What guards the unit link against strangers, with injected clocks: who may
// try the pass phrase and when, how much a peer can make the unit log before
// it is authenticated, the pinned stations, and the queue that keeps the
// writers away from the connection.
#include <gtest/gtest.h>
#include <poll.h>

#include <string>
#include <vector>

#include "remote/admission.h"
#include "remote/outbox.h"
#include "remote/preauth_log.h"
#include "remote/station_pins.h"
#include "remote/websocket.h"

namespace {

constexpr long long kDay = 24 * 3600;

// One comparison from addr at nowMs: false when it was not admitted.
bool attempt(LinkAdmission *a, const std::string &addr, bool ok, long long nowMs, long long nowSec,
             long long *pause = nullptr) {
  bool known = a->known(addr, nowSec);
  if (!a->admit(addr, known, nowMs).compare) return false;
  bool rewrite = false;
  long long p = a->record(addr, known, ok, nowMs, nowSec, &rewrite);
  if (pause != nullptr) *pause = p;
  return true;
}

}  // namespace

TEST(LinkAdmission, RefusedAddressesPauseLongerUpToAMinuteWhileTheOwnersAddressIsServed) {
  GuessBudget budget;
  LinkAdmission a(&budget);
  const long long sec = 1700000000;
  long long now = 0;
  // The owner's unit authenticated from 192.0.2.7 29 days ago.
  ASSERT_TRUE(attempt(&a, "192.0.2.7", true, now, sec - 29 * kDay));
  LinkAdmission reread(&budget);
  reread.load(a.text(), sec);
  EXPECT_TRUE(reread.known("192.0.2.7", sec)) << "the file keeps it across a restart";
  EXPECT_FALSE(reread.known("192.0.2.7", sec + kDay)) << "30 days after, it is a stranger";

  // A stranger's pauses: 1, 2, 4 ... 60 s, and it is closed at once meanwhile.
  const long long expected[] = {1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000};
  for (long long want : expected) {
    long long pause = 0;
    ASSERT_TRUE(attempt(&a, "203.0.113.5", false, now, sec, &pause)) << now;
    EXPECT_EQ(pause, want);
    EXPECT_EQ(a.pausedMs("203.0.113.5", now + want - 1, sec), 1);
    now += want;
    EXPECT_EQ(a.pausedMs("203.0.113.5", now, sec), 0);
  }
  // Ten more strangers in a minute slow every stranger to one compare every 2 s.
  for (int i = 0; i < kBudgetFailures; ++i)
    ASSERT_TRUE(attempt(&a, "198.51.100." + std::to_string(i), false, now + i, sec));
  now += kBudgetFailures;
  EXPECT_FALSE(attempt(&a, "198.51.100.200", false, now, sec)) << "not compared: closed at once";
  EXPECT_EQ(a.pausedMs("198.51.100.200", now, sec), 0) << "and not paused for it";
  // The owner's address is compared at once, and its own failure does not
  // pause strangers at other addresses nor the owner for long.
  long long pause = 0;
  ASSERT_TRUE(attempt(&a, "192.0.2.7", false, now, sec, &pause));
  EXPECT_EQ(pause, 1000);
  EXPECT_GT(a.pausedMs("192.0.2.7", now + 1, sec), 0);
  EXPECT_TRUE(attempt(&a, "192.0.2.7", true, now + 1000, sec));
  EXPECT_EQ(a.pausedMs("192.0.2.7", now + 1000, sec), 0);
}

TEST(PreAuthLog, ABurstThenAboutALineASecondWithTheCountLeftOut) {
  LogBucket bucket(kPreAuthBurst, kPreAuthPerSecond);
  long long left = 0;
  int passed = 0;
  for (int i = 0; i < 100; ++i) passed += bucket.take(1000, &left);
  EXPECT_EQ(passed, kPreAuthBurst);
  EXPECT_EQ(left, 100 - kPreAuthBurst);
  EXPECT_FALSE(bucket.take(1999, &left));
  EXPECT_TRUE(bucket.take(2000, &left));
  EXPECT_EQ(left, 100 - kPreAuthBurst + 1) << "the count comes with the line that passes";
  EXPECT_FALSE(bucket.take(2000, &left));
  // Ten seconds of a flood: about ten lines.
  passed = 0;
  for (long long t = 2000; t < 12000; t += 10) passed += bucket.take(t, &left);
  EXPECT_GE(passed, 9);
  EXPECT_LE(passed, 11);
  // A quiet minute refills the burst, never more.
  passed = 0;
  for (int i = 0; i < 100; ++i) passed += bucket.take(100000, &left);
  EXPECT_EQ(passed, kPreAuthBurst);
}

TEST(StationPins, OneLinePerStationAndAnyBytesRead) {
  const std::string a(64, 'a'), b(64, 'b');
  std::string text = WithStationPin("", "station.example:6666", a);
  EXPECT_EQ(text, "station.example:6666 " + a + "\n");
  EXPECT_EQ(PinnedFingerprint(text, "station.example:6666"), a);
  EXPECT_EQ(PinnedFingerprint(text, "station.example:6667"), "");
  text = WithStationPin(text + "junk\n\xff\xfe x\n10.0.0.1:1 " + std::string(64, 'A') +
                            "\n10.0.0.2:1 " + b.substr(1) + "\n",
                        "10.0.0.3:6666", b);
  EXPECT_EQ(text, "station.example:6666 " + a + "\n10.0.0.3:6666 " + b + "\n")
      << "bad lines (uppercase, short, no host) are dropped";
  text = WithStationPin(text, "station.example:6666", b);
  EXPECT_EQ(PinnedFingerprint(text, "station.example:6666"), b) << "replaced, not added";
  EXPECT_EQ(text.find(a), std::string::npos);
  for (int i = 0; i < 2 * kMaxStationPins; ++i)
    text = WithStationPin(text, "10.1.0." + std::to_string(i) + ":1", a);
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  EXPECT_EQ(lines, static_cast<size_t>(kMaxStationPins));
  EXPECT_EQ(PinnedFingerprint(text, "10.1.0.127:1"), a) << "the newest is kept";
  EXPECT_EQ(PinnedFingerprint(text, "10.1.0.0:1"), "") << "the oldest gave way";
}

TEST(LinkOutbox, WholeObjectsInOrderOrNothingAndTheLinkThreadIsWoken) {
  LinkOutbox box(1000);
  const std::vector<uint8_t> frame(300, 1), object(600, 2);
  EXPECT_FALSE(box.push(frame.data(), frame.size())) << "no peer yet";
  box.open();
  pollfd p = {box.wakeFd(), POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0);
  EXPECT_TRUE(box.push(frame.data(), frame.size()));
  EXPECT_EQ(poll(&p, 1, 0), 1);
  EXPECT_TRUE(box.push(object.data(), object.size()));
  EXPECT_FALSE(box.push(object.data(), object.size())) << "no room for all of it: none of it";
  EXPECT_EQ(box.pending(), 900u);
  EXPECT_EQ(box.dropped(), 1u);
  box.takeWake();
  EXPECT_EQ(poll(&p, 1, 0), 0);
  // Taken in pieces across the ring's end, in the order given.
  std::vector<uint8_t> out(1200);
  EXPECT_EQ(box.take(out.data(), 250), 250u);
  EXPECT_TRUE(box.push(frame.data(), frame.size()));
  ASSERT_EQ(box.take(out.data() + 250, 1000), 950u);
  for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], i < 300 || i >= 900 ? 1 : 2) << i;
  box.close();
  EXPECT_FALSE(box.push(frame.data(), frame.size()));
  EXPECT_EQ(box.pending(), 0u);
}

TEST(RemoteFrames, OnlyByte0x81IsATextFrame) {
  WsHead h;
  // 0x83 and 0x89 are read by the binary rules: no masking key.
  for (uint8_t op : {uint8_t(0x83), uint8_t(0x89), uint8_t(0x01)}) {
    const uint8_t head[] = {op, 10, 'P', 'A'};
    ASSERT_EQ(WsReadHead(head, 1024, &h), WS_HEAD_OK) << int(op);
    EXPECT_EQ(h.rest, 8u);
    uint8_t frame[12] = {op, 10, 'P', 'A'};
    WsFrame f;
    ASSERT_EQ(WsParseFrame(frame, sizeof frame, h, &f), 0);
    EXPECT_EQ(f.text, nullptr);
  }
  const uint8_t text[] = {0x81, 10, 0, 0};
  ASSERT_EQ(WsReadHead(text, 1024, &h), WS_HEAD_OK);
  EXPECT_EQ(h.rest, 12u);
}
