// What a stranger can make the web panel spend, on a clock the test drives:
// connections admitted by address and in all, the bytes of one request, and
// the login's answers while others guess (the owner's device cookie).
#include "web/web_limits.h"

#include <gtest/gtest.h>

#include <string>

#include "web/web_auth.h"
#include "web/web_stream.h"

namespace {

TEST(ConnectionLimits, EachAddressOpensSixAtOnceAndAboutFiveASecond) {
  ConnectionLimits limits;
  long long t = 1000;
  // A browser's six at once; the seventh waits until one closes.
  for (int i = 0; i < kMaxPerAddress; ++i)
    EXPECT_EQ(limits.admit("10.0.0.1", true, t), Admission::kServe) << i;
  EXPECT_EQ(limits.admit("10.0.0.1", true, t + 400), Admission::kAddressFull);
  limits.closed("10.0.0.1");
  EXPECT_EQ(limits.open("10.0.0.1"), kMaxPerAddress - 1);
  EXPECT_EQ(limits.admit("10.0.0.1", true, t + 400), Admission::kServe);
  // Its attempts came faster than five a second: the next waits for a token
  // (200 ms each), refused attempts included.
  for (int i = 0; i < kMaxPerAddress; ++i) limits.closed("10.0.0.1");
  EXPECT_EQ(limits.admit("10.0.0.1", true, t + 450), Admission::kAddressRate);
  EXPECT_EQ(limits.admit("10.0.0.1", true, t + 650), Admission::kServe);
  EXPECT_EQ(limits.admit("10.0.0.1", true, t + 700), Admission::kAddressRate);
  // No free worker: refused, and not counted as open.
  EXPECT_EQ(limits.admit("10.0.0.2", false, t + 700), Admission::kBusy);
  EXPECT_EQ(limits.open("10.0.0.2"), 0);
  // A failed handshake costs its address one more attempt.
  limits.closed("10.0.0.1");
  t += 10000;
  for (int i = 0; i < kAddressBurst; ++i) limits.handshakeFailed("10.0.0.3", t);
  EXPECT_EQ(limits.admit("10.0.0.3", true, t), Admission::kAddressRate);
  EXPECT_EQ(limits.admit("10.0.0.3", true, t + 199), Admission::kAddressRate);
  EXPECT_EQ(limits.admit("10.0.0.3", true, t + 200), Admission::kServe);
}

TEST(ConnectionLimits, TwentyASecondInAllWhichOneNoisyAddressCannotUseUp) {
  ConnectionLimits limits;
  long long t = 5000;
  // One address hammering: refused by its own bucket, the shared one untouched.
  for (int i = 0; i < 100; ++i) limits.admit("198.51.100.1", true, t);
  for (int i = 0; i < 100; ++i) limits.closed("198.51.100.1");
  int served = 0;
  for (int i = 0; i < 30; ++i)
    served += limits.admit("10.1.0." + std::to_string(i), true, t) == Admission::kServe;
  EXPECT_EQ(served, kTotalBurst - kAddressBurst) << "the noisy address's first six came in";
  EXPECT_EQ(limits.admit("10.2.0.1", true, t + 49), Admission::kTotalRate);
  EXPECT_EQ(limits.admit("10.2.0.2", true, t + 50), Admission::kServe) << "one more every 50 ms";
  // The owner's address is not held by the rate of all, only by its own.
  limits.trust("192.0.2.1", t);
  for (int i = 0; i < kAddressBurst; ++i)
    EXPECT_EQ(limits.admit("192.0.2.1", true, t + 50), Admission::kServe);
  EXPECT_EQ(limits.admit("192.0.2.2", true, t + 50), Admission::kTotalRate);
  EXPECT_FALSE(limits.trusted("192.0.2.1", t + kTrustedAddressMs)) << "for thirty days";
  for (int i = 0; i < kMaxPerAddress; ++i) limits.closed("192.0.2.1");
  // The last five of the shared tokens wait for newcomers: addresses that
  // tried within two seconds stop above them.
  t += 2000;  // the shared bucket is full again
  int busyServed = 0;
  for (int a = 1; a <= 3; ++a)
    for (int i = 0; i < kAddressBurst; ++i)
      busyServed += limits.admit("10.3.0." + std::to_string(a), true, t) == Admission::kServe;
  EXPECT_EQ(busyServed, kTotalBurst - kQuietReserve);
  EXPECT_EQ(limits.admit("10.4.0.1", true, t), Admission::kServe) << "a newcomer";
  // The table of addresses stays bounded however many addresses come.
  for (int i = 0; i < 3000; ++i)
    limits.admit("172.16." + std::to_string(i / 250) + "." + std::to_string(i % 250), true,
                 t + 100000 + i);
  EXPECT_LE(limits.addresses(), ConnectionLimits::kMaxAddresses + 1);
  EXPECT_EQ(limits.open("10.1.0.0"), 1) << "an address with a connection open is kept";
  // Nothing forgettable (every address tried just now): the one seen longest
  // ago makes room.
  ConnectionLimits many;
  for (size_t i = 0; i < ConnectionLimits::kMaxAddresses + 5; ++i)
    many.admit("192.168." + std::to_string(i / 250) + "." + std::to_string(i % 250), true,
               5000 + i / 100);
  EXPECT_EQ(many.addresses(), ConnectionLimits::kMaxAddresses);
  many.closed("203.0.113.9");  // never seen: nothing to close
  EXPECT_EQ(many.open("203.0.113.9"), 0);
}

TEST(ConnectionLimits, AnIpv6HostIsCountedByItsSlash64) {
  EXPECT_EQ(AddressKey("2001:db8:1:2:aaaa::1"), "2001:db8:1:2::/64");
  EXPECT_EQ(AddressKey("2001:db8:1:2:bbbb:cccc:dddd:eeee"), "2001:db8:1:2::/64");
  EXPECT_EQ(AddressKey("::ffff:192.0.2.7"), "192.0.2.7");
  EXPECT_EQ(AddressKey("192.0.2.7"), "192.0.2.7");
  EXPECT_EQ(AddressKey("garbage:"), "garbage:");
}

TEST(RequestMeter, TheHeadEndsWithinItsLimitAndTheBodyWithinItsOwn) {
  RequestMeter m;
  const std::string head = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
  // Byte by byte as the parser reads a head, then the body in one go.
  for (char c : head) ASSERT_EQ(m.allow(&c, 1), 1u);
  std::string body(kMaxRequestBody + 10, 'b');
  EXPECT_EQ(m.allow(body.data(), body.size()), kMaxRequestBody);
  EXPECT_EQ(m.allow(body.data(), 1), 0u);
  // A head that never ends: cut at its limit, across reads of any size.
  m.reset();
  std::string endless(kMaxRequestHead - 1, 'h');
  endless += "\r\n\r";  // an almost-ending is not an end
  EXPECT_EQ(m.allow(endless.data(), endless.size()), kMaxRequestHead);
  EXPECT_EQ(m.allow("\n", 1), 0u);
  m.reset();
  EXPECT_EQ(m.allow("\r\n\r\r\n\r\n", 7), 7u);
  std::string rest(kMaxRequestBody, 'b');
  EXPECT_EQ(m.allow(rest.data(), rest.size()), kMaxRequestBody) << "the head ended at \\r\\n\\r\\n";
}

TEST(WebAuth, AnsweredAtOnceWhileStrangersGuessAndTheOwnersDeviceStillGetsIn) {
  GuessBudget budget;
  WebAuth auth("the owner's phrase", &budget);
  long long t = 100000, wall = 1700000000;
  // The owner logs in once: a device cookie, remembered by its digest.
  WebAuth::Login first = auth.login("192.0.2.1", "the owner's phrase", t, "", wall);
  ASSERT_TRUE(first.ok);
  EXPECT_EQ(first.device.size(), 64u);
  EXPECT_TRUE(first.devicesChanged);
  EXPECT_EQ(auth.devicesText().find(first.device), std::string::npos) << "only its digest";
  // Forty strangers guess: after ten failures one compare every 2 s in all,
  // the rest refused without comparing and told when to come back.
  int compared = 0, refusedAtOnce = 0;
  for (int i = 0; i < 40; ++i) {
    WebAuth::Login l = auth.login("203.0.113." + std::to_string(i), "guess", t + i, "", wall);
    EXPECT_FALSE(l.ok);
    compared += l.compared;
    if (!l.compared) {
      ++refusedAtOnce;
      EXPECT_GT(l.pauseMs, 0);
      EXPECT_LE(l.pauseMs, kSlowCompareMs);
    }
  }
  EXPECT_EQ(compared, kBudgetFailures);
  EXPECT_EQ(refusedAtOnce, 40 - kBudgetFailures);
  // Meanwhile the owner's browser, from any address, is compared at once.
  WebAuth::Login again =
      auth.login("198.51.100.9", "the owner's phrase", t + 50, first.device, wall);
  EXPECT_TRUE(again.ok);
  EXPECT_EQ(again.device, first.device);
  EXPECT_FALSE(again.devicesChanged) << "a renewal within a day is not written";
  // Without the cookie (or with a made-up one) the owner waits like anyone.
  EXPECT_FALSE(auth.login("192.0.2.1", "the owner's phrase", t + 60, "", wall).compared);
  EXPECT_FALSE(
      auth.login("192.0.2.1", "the owner's phrase", t + 60, std::string(64, 'a'), wall).compared);
  // A wrong phrase on the owner's device pauses that device only.
  WebAuth::Login typo = auth.login("198.51.100.9", "the owners phrase", t + 70, first.device, wall);
  EXPECT_TRUE(typo.compared);
  EXPECT_EQ(typo.pauseMs, kWebPausePolicy.firstMs);
  EXPECT_FALSE(
      auth.login("198.51.100.9", "the owner's phrase", t + 71, first.device, wall).compared);
  EXPECT_TRUE(auth.login("198.51.100.9", "the owner's phrase", t + 570, first.device, wall).ok);
  // The list outlives a restart, and a device is forgotten after a year.
  WebAuth restarted("the owner's phrase", &budget);
  restarted.loadDevices(auth.devicesText(), wall + 10);
  EXPECT_TRUE(
      restarted.login("10.9.9.9", "the owner's phrase", t + 600, first.device, wall + 10).ok);
  WebAuth yearLater("the owner's phrase", &budget);
  yearLater.loadDevices(auth.devicesText(), wall + kDeviceCookieSeconds);
  EXPECT_FALSE(
      yearLater.login("10.9.9.8", "the owner's phrase", t + 600, first.device, wall).compared);
}

}  // namespace
