// Controller replies of any bytes, any length, any check digits, in pieces of
// any size: the link and the decoder never read or write past a buffer, and
// the link always ends up waiting for a reply or sending a command.
// (fuzz/controller_reply_fuzz.cpp is the open-ended form of this test.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <string>

#include "controller/link.h"
#include "support/link_driver.h"
#include "support/sanitizer_report.h"

namespace {

// Quiet for the loop: thousands of decoder lines are no use here. A
// sanitizer's report still reaches the real standard error.
struct StderrMuted {
  int saved = dup(2);
  StderrMuted() {
    SanitizerReportsTo(saved);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    close(null);
  }
  ~StderrMuted() {
    dup2(saved, 2);
    SanitizerReportsTo(2);
    close(saved);
  }
};

std::string randomReply(std::mt19937 &rng) {
  static const char *const kLetters[] = {"ST", "VS", "TU", "SA", "FM", "FA", "MT", "FS", "CP",
                                         "AT", "MP", "AB", "AN", "FN", "PS", "SF", "SE", "GM",
                                         "MR", "GS", "ER", "TS", "XX", "s;", ";;"};
  static const char kAlphabet[] = "0123456789ABCDEFabcdef;?!& \r\nxyz";
  std::uniform_int_distribution<int> pick(0, 99);
  std::string r;
  if (pick(rng) < 85) r = kLetters[pick(rng) % (sizeof kLetters / sizeof kLetters[0])];
  int length = pick(rng) < 90 ? pick(rng) % 48 : pick(rng) * 8;
  for (int i = 0; i < length; ++i) {
    int p = pick(rng);
    r.push_back(p < 80 ? kAlphabet[p % (sizeof kAlphabet - 1)] : static_cast<char>(rng() & 255));
  }
  if (pick(rng) < 90) r.push_back(';');
  std::string wire = pick(rng) < 75 ? WithDigits(r) : r;
  if (pick(rng) < 10 && wire.size() > 2) wire[pick(rng) % wire.size()] ^= 0x20;
  return wire;
}

TEST(ControllerRepliesRandom, AnyBytesInAnyPiecesAreSurvived) {
  TestWorks w;
  w->cpPending = 0;
  LinkDriver d(w.get());
  const unsigned seed = 20240607;
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937 rng(seed);
  StderrMuted quiet;
  for (int i = 0; i < 20000; ++i) {
    if (linearLinkState != LS_WAIT) d.next();
    if (i % 97 == 0) w->enablePwrPeak = !w->enablePwrPeak;
    if (i % 61 == 0) w->cmdPriority = 1;
    if (i % 53 == 0) w->autoTuneState = static_cast<uint8_t>(rng() % 4);
    std::string wire = randomReply(rng);
    size_t pos = 0;
    while (pos < wire.size()) {
      size_t n = 1 + rng() % (wire.size() - pos);
      d.bytes(wire.substr(pos, n));
      pos += n;
      if (linearLinkState != LS_WAIT) d.next();
    }
    if (rng() % 13 == 0) d.timeout();
    ASSERT_LE(d.link.rxCount, kLinearRxMax) << "reply " << i;
    ASSERT_LE(d.link.inLen, static_cast<int>(sizeof d.link.in)) << "reply " << i;
    // Random replies leave the link in any of these; never anywhere else.
    int st = linearLinkState;
    ASSERT_TRUE(st == LS_SEND || st == LS_WAIT || st == LS_DECODE || st == LS_HALTED)
        << st << " after reply " << i;
    ASSERT_TRUE(IsLinearCmd(linearProcessStatus)) << linearProcessStatus << " after reply " << i;
    // The decoder on its own, with counts that need not match the text.
    std::string text = wire.size() > 2 ? wire.substr(2) : wire;
    TakeLinearReply(w.get(), text.c_str(), static_cast<int>(rng() % (text.size() + 4)));
    while (PendingCmdLinear(w.get()) > 20) TakeCmdLinear(w.get());
  }
  char status[53];
  CreaBufferDiStato(w.get(), status);
  EXPECT_EQ(strlen(status), 52u);
}

}  // namespace
