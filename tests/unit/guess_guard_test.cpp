// Guessing the pass phrase: the shared budget, the growing pauses, the
// owner's exemptions, and the lists that remember the owner's devices.
#include "security/guess_guard.h"

#include <gtest/gtest.h>

#include "security/trust_list.h"

namespace {

// Fails one admitted guess from key at now.
void failOnce(GuessPauses *p, GuessBudget *b, const std::string &key, long long now) {
  GuessVerdict v = AdmitGuess(p, b, key, false, now);
  ASSERT_TRUE(v.compare) << key << " at " << now;
  RecordGuess(p, b, key, false, false, now);
}

}  // namespace

TEST(GuessGuard, TenFailuresInAMinuteSlowEveryAddressToOneCompareEveryTwoSeconds) {
  GuessBudget budget;
  GuessPauses pauses(kWebPausePolicy);
  // Nine failures from nine addresses within a minute: still free; once they
  // have left the minute, nine more do not slow it either.
  for (int i = 0; i < 9; ++i) failOnce(&pauses, &budget, "10.0.0." + std::to_string(i), i * 100);
  EXPECT_FALSE(budget.slow(900));
  for (int i = 0; i < 9; ++i) failOnce(&pauses, &budget, "10.0.1." + std::to_string(i), 61000 + i);
  EXPECT_FALSE(budget.slow(61008)) << "the first failures have left the minute";
  long long t = 61500;
  failOnce(&pauses, &budget, "10.0.1.9", t);
  EXPECT_TRUE(budget.slow(t));
  // A fresh address: the last compare was 0 ms ago, so it waits 2 s, at once.
  GuessVerdict v = AdmitGuess(&pauses, &budget, "10.9.9.9", false, t);
  EXPECT_FALSE(v.compare);
  EXPECT_EQ(v.retryMs, kSlowCompareMs);
  v = AdmitGuess(&pauses, &budget, "10.9.9.9", false, t + kSlowCompareMs - 1);
  EXPECT_FALSE(v.compare);
  EXPECT_EQ(v.retryMs, 1);
  t += kSlowCompareMs;
  v = AdmitGuess(&pauses, &budget, "10.9.9.9", false, t);
  EXPECT_TRUE(v.compare);
  RecordGuess(&pauses, &budget, "10.9.9.9", false, false, t);
  // Only one of two addresses gets the next slot.
  t += kSlowCompareMs;
  EXPECT_TRUE(AdmitGuess(&pauses, &budget, "10.9.9.8", false, t).compare);
  EXPECT_FALSE(AdmitGuess(&pauses, &budget, "10.9.9.7", false, t).compare);
  RecordGuess(&pauses, &budget, "10.9.9.8", false, false, t);
  // A minute without a failure ends it.
  EXPECT_TRUE(budget.slow(t + kBudgetWindowMs - 1));
  EXPECT_FALSE(budget.slow(t + kBudgetWindowMs));
  EXPECT_TRUE(AdmitGuess(&pauses, &budget, "10.9.9.6", false, t + kBudgetWindowMs).compare);
  EXPECT_TRUE(AdmitGuess(&pauses, &budget, "10.9.9.5", false, t + kBudgetWindowMs).compare);
  // Failures at the clock's very start end a minute later like any others.
  GuessBudget early;
  for (int i = 0; i < kBudgetFailures; ++i) early.record(false, 0);
  EXPECT_TRUE(early.slow(kBudgetWindowMs - 1));
  EXPECT_FALSE(early.slow(kBudgetWindowMs));
}

TEST(GuessGuard, PausesDoubleUpToTheirLimitAndTheOwnerIsExemptFromTheBudget) {
  GuessBudget budget;
  GuessPauses link(kLinkPausePolicy);
  long long now = 0;
  const long long expected[] = {1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000};
  for (long long pause : expected) {
    GuessVerdict v = AdmitGuess(&link, &budget, "192.0.2.1", false, now);
    ASSERT_TRUE(v.compare) << now;
    EXPECT_EQ(RecordGuess(&link, &budget, "192.0.2.1", false, false, now), pause);
    EXPECT_EQ(AdmitGuess(&link, &budget, "192.0.2.1", false, now + pause - 1).retryMs, 1);
    now += pause;
  }
  EXPECT_FALSE(budget.slow(now)) << "eight failures over minutes";
  for (int i = 0; i < kBudgetFailures; ++i)
    failOnce(&link, &budget, "198.51.100." + std::to_string(i), now);
  ASSERT_TRUE(budget.slow(now));
  now += kSlowCompareMs;
  // While strangers keep the budget slow, the owner's device is compared at
  // once, and a success clears its own pause.
  failOnce(&link, &budget, "192.0.2.2", now);
  EXPECT_FALSE(AdmitGuess(&link, &budget, "192.0.2.3", false, now + 10).compare);
  EXPECT_TRUE(AdmitGuess(&link, &budget, "device:abc", true, now + 10).compare);
  EXPECT_EQ(RecordGuess(&link, &budget, "device:abc", true, false, now + 10), 1000);
  EXPECT_EQ(AdmitGuess(&link, &budget, "device:abc", true, now + 20).retryMs, 990);
  EXPECT_TRUE(AdmitGuess(&link, &budget, "device:abc", true, now + 1010).compare);
  RecordGuess(&link, &budget, "device:abc", true, true, now + 1010);
  EXPECT_EQ(link.remainingMs("device:abc", now + 1010), 0);
  // The address table stays bounded however many addresses fail.
  GuessPauses web(kWebPausePolicy);
  for (size_t i = 0; i < GuessPauses::kMaxKeys + 10; ++i)
    web.failed("a" + std::to_string(i), static_cast<long long>(i));
  EXPECT_EQ(web.remainingMs("a0", 20), 0) << "the oldest is forgotten first";
  EXPECT_GT(web.remainingMs("a1033", 1034), 0);
}

TEST(TrustList, RemembersUpToItsSizeForItsLifeAndReadsBackWhatItWrote) {
  TrustList list(3, 100);
  EXPECT_TRUE(list.remember("a", 1000));
  EXPECT_TRUE(list.remember("b", 1001));
  EXPECT_TRUE(list.remember("c", 1002));
  EXPECT_FALSE(list.remember("a", 1003)) << "a renewal within a day is not written";
  EXPECT_TRUE(list.remember("d", 1004));
  EXPECT_FALSE(list.contains("a", 1004)) << "the oldest goes when the list is full";
  EXPECT_TRUE(list.contains("b", 1100));
  EXPECT_FALSE(list.contains("b", 1101)) << "past its life";
  EXPECT_FALSE(list.remember("bad key", 1101));
  EXPECT_FALSE(list.remember("", 1101));

  TrustList year(kMaxTrusted, kDeviceCookieSeconds);
  year.remember("k1", 1000);
  year.remember("k2", 2000);
  TrustList back(kMaxTrusted, kDeviceCookieSeconds);
  back.load(year.text() + "junk\nk3 12x\nk4 -5\nk5 99999999999999\n\xff 7\n", 3000);
  EXPECT_EQ(back.text(), year.text());
  EXPECT_EQ(back.size(), 2u);
  back.load(year.text(), 1000 + kDeviceCookieSeconds);
  EXPECT_EQ(back.text(), "k2 2000\n") << "expired lines are dropped on reading";
}
