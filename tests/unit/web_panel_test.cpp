// The web panel's rules apart from the network: logins and sessions, the
// key request, cookies and the same-origin rule, the state document, keys
// entering the front panel's scanning, and the shared frame.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/process_globals.h"
#include "display/display.h"
#include "display/frame_share.h"
#include "errors/errors.h"
#include "platform/platform.h"
#include "ui/panel.h"
#include "unit/panel_fixture.h"
#include "web/web_api.h"
#include "web/web_auth.h"
#include "web/web_server.h"

namespace {

TEST(WebAuth, RefusalsPauseLongerEachTimeAndOnlyForTheirAddress) {
  GuessBudget budget;
  WebAuth auth("own phrase", &budget);
  long long t = 1000;
  std::vector<long long> pauses;
  for (int i = 0; i < 6; ++i) {
    WebAuth::Login l = auth.login("10.0.0.9", "guess", t);
    EXPECT_FALSE(l.ok);
    EXPECT_TRUE(l.compared);
    pauses.push_back(l.pauseMs);
    t += l.pauseMs;  // the next try after the pause
  }
  EXPECT_EQ(pauses, (std::vector<long long>{500, 1000, 2000, 4000, 8000, 8000}));
  // During a pause even the right phrase is not compared.
  WebAuth::Login during = auth.login("10.0.0.9", "own phrase", t - 1);
  EXPECT_FALSE(during.ok);
  EXPECT_FALSE(during.compared);
  EXPECT_EQ(during.pauseMs, 1);
  // Another address is not slowed down; the right phrase after the pause
  // gives a session and forgets the failures.
  EXPECT_TRUE(auth.login("10.0.0.7", "own phrase", t).ok);
  EXPECT_TRUE(auth.login("10.0.0.9", "own phrase", t).ok);
  EXPECT_EQ(auth.login("10.0.0.9", "x", t).pauseMs, 500);
  EXPECT_FALSE(auth.login("10.0.0.8", "own phrase ", t + 1000).ok) << "exact phrase only";
  EXPECT_FALSE(auth.login("10.0.0.6", "", t + 1000).ok);
}

TEST(WebAuth, SessionsAreRandomLiveUntilLogoutOrIdleAndBounded) {
  GuessBudget budget;
  WebAuth auth("pw", &budget);
  WebAuth::Login a = auth.login("a", "pw", 0), b = auth.login("a", "pw", 0);
  ASSERT_TRUE(a.ok && b.ok);
  EXPECT_EQ(a.session.size(), 32u);
  EXPECT_EQ(a.session.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(a.session, b.session);
  EXPECT_TRUE(auth.check(a.session, 1000));
  EXPECT_FALSE(auth.check(a.session.substr(0, 31) + "x", 1000));
  EXPECT_FALSE(auth.check("", 1000));
  auth.logout(a.session);
  EXPECT_FALSE(auth.check(a.session, 1000));
  EXPECT_TRUE(auth.check(b.session, kSessionIdleMs));  // used: idle time starts again
  EXPECT_TRUE(auth.check(b.session, kSessionIdleMs + 1));
  EXPECT_FALSE(auth.check(b.session, 2 * kSessionIdleMs + 2));
  // More sessions than kept: the least recently used goes first.
  std::vector<std::string> s;
  for (size_t i = 0; i <= kMaxSessions; ++i) s.push_back(auth.login("a", "pw", 10 + i).session);
  EXPECT_FALSE(auth.check(s[0], 100));
  EXPECT_TRUE(auth.check(s.back(), 100));
}

TEST(WebPanelSettings, OffWithoutAPortOrWithTheBuiltInPassPhrase) {
  PanelFixture f;
  WebPanelSettings s;
  std::string why;
  EXPECT_FALSE(WebPanelConfigured(&s, &why)) << "no file";
  f.root.writeFile("/opt/set/remote.txt",
                   std::string("WebPort: 8080\nPassword: ") + DefaultRemotePassword() + "\n");
  EXPECT_FALSE(WebPanelConfigured(&s, &why));
  EXPECT_NE(why.find("Password"), std::string::npos) << why;
  f.root.writeFile("/opt/set/remote.txt", "WebPort: 8080\n");
  EXPECT_FALSE(WebPanelConfigured(&s, &why)) << "no pass phrase: the default one";
  f.root.writeFile("/opt/set/remote.txt", "Password: mine\nWebPort: 8081\nWebBind: 10.1.1.1\n");
  EXPECT_FALSE(WebPanelConfigured(&s, &why)) << "too short to face the network";
  EXPECT_NE(why.find("fewer than 10 characters"), std::string::npos) << why;
  f.root.writeFile("/opt/set/remote.txt", "Password: mine-mine\nWebPort: 8081\n");
  EXPECT_FALSE(WebPanelConfigured(&s, &why)) << "nine";
  f.root.writeFile("/opt/set/remote.txt", "Password: mine-mine!\nWebPort: 8081\nWebTls: 0\n");
  EXPECT_TRUE(WebPanelConfigured(&s, &why)) << "ten: " << why;
  EXPECT_FALSE(s.tls);
  f.root.writeFile("/opt/set/remote.txt",
                   "Password: mine-minemine\nWebPort: 8081\nWebBind: 10.1.1.1\n");
  ASSERT_TRUE(WebPanelConfigured(&s, &why)) << why;
  EXPECT_EQ(s.port, 8081);
  EXPECT_EQ(s.bind, "10.1.1.1");
  EXPECT_EQ(s.passPhrase, "mine-minemine");
  EXPECT_TRUE(s.tls) << "HTTPS unless the owner says no";
}

TEST(WebApi, KeyRequestsTakeOnlyKeysOneToSixAndTheFourPresses) {
  KeyRequest k;
  ASSERT_TRUE(ParseKeyRequest(ParseForm("key=5&press=short"), &k));
  EXPECT_EQ(k.key, 5);
  EXPECT_EQ(k.press, PP_SHORT);
  ASSERT_TRUE(ParseKeyRequest(ParseForm("press=long&key=1"), &k));
  EXPECT_EQ(k.press, PP_LONG);
  ASSERT_TRUE(ParseKeyRequest(ParseForm("key=%36&press=do%77n"), &k));
  EXPECT_EQ(k.key, 6);
  EXPECT_EQ(k.press, PP_DOWN);
  ASSERT_TRUE(ParseKeyRequest(ParseForm("key=2&press=up&key=9"), &k)) << "first value counts";
  EXPECT_EQ(k.press, PP_UP);
  for (const char *bad :
       {"", "key=0&press=short", "key=7&press=short", "key=12&press=short", "key=&press=short",
        "key=3", "press=short", "key=3&press=Short", "key=3&press=short%00", "key=+3&press=short",
        "key=%3&press=short", "\xff\xfe=&&&==%%", "key=3&press"})
    EXPECT_FALSE(ParseKeyRequest(ParseForm(bad), &k)) << bad;
  // A body of any bytes gives at most the bounded number of fields.
  std::string many;
  for (int i = 0; i < 100; ++i) many += "f" + std::to_string(i) + "=1&";
  EXPECT_EQ(ParseForm(many).size(), static_cast<size_t>(kMaxFormFields));
  EXPECT_EQ(ParseForm("password=a+b%2Bc%26d").at("password"), "a b+c&d");
}

TEST(WebApi, CookiesAndTheSameOriginRule) {
  EXPECT_EQ(CookieValue("a=1; ombrix_session=abc; b=2", "ombrix_session"), "abc");
  EXPECT_EQ(CookieValue("xombrix_session=abc", "ombrix_session"), "");
  EXPECT_EQ(CookieValue("ombrix_session", "ombrix_session"), "");
  EXPECT_TRUE(SameOrigin("http://10.0.0.5:8080", "", "10.0.0.5:8080", false));
  EXPECT_FALSE(SameOrigin("http://evil.example", "http://10.0.0.5:8080/", "10.0.0.5:8080", false));
  EXPECT_FALSE(SameOrigin("null", "", "10.0.0.5:8080", false));
  EXPECT_TRUE(SameOrigin("", "http://10.0.0.5:8080/", "10.0.0.5:8080", false));
  EXPECT_FALSE(SameOrigin("", "http://10.0.0.5:80801/", "10.0.0.5:8080", false));
  EXPECT_FALSE(SameOrigin("", "", "10.0.0.5:8080", false)) << "neither header: refused";
  EXPECT_FALSE(SameOrigin("http://", "", "", false));
  // Under TLS the page's own origin is https, and only that.
  EXPECT_TRUE(SameOrigin("https://amp.example:8080", "", "Amp.Example:8080", true));
  EXPECT_FALSE(SameOrigin("http://amp.example:8080", "", "amp.example:8080", true));
  EXPECT_TRUE(SameOrigin("", "https://amp.example:8080/x", "amp.example:8080", true));
  EXPECT_FALSE(SameOrigin("", "http://amp.example:8080/x", "amp.example:8080", true));
}

TEST(WebApi, OnlyHostsOfTheUnitAreAnsweredSoRebindingFindsNoPanel) {
  const std::vector<std::string> owners = {"amp.example.org"};
  for (const char *good :
       {"192.168.1.40", "192.168.1.40:8080", "[fd00::7]:8443", "[::1]", "localhost:8080",
        "LOCALHOST", "shack-amp", "Shack-Amp:80", "amp.example.org:8443", "amp.example.org."})
    EXPECT_TRUE(HostAllowed(good, "shack-amp", owners)) << good;
  for (const char *bad :
       {"", "evil.example", "evil.example:8080", "192.168.1.40.evil.example",
        "amp.example.org.evil", "localhost.evil", "[fd00::7", "[nothere]:80",
        "192.168.1.40:", "192.168.1.40:80:80", "192.168.1.40:x", "fd00::7", "[::1]x", "1.2.3"})
    EXPECT_FALSE(HostAllowed(bad, "shack-amp", owners)) << bad;
  EXPECT_FALSE(HostAllowed("", "", {})) << "no host name: nothing matches an empty Host";
}

TEST(WebApi, BodiesThatWouldBeUnpackedOrHaveNoLengthAreRefusedBeforeReading) {
  auto refused = [](const char *method, int encodings, int transfers,
                    std::vector<std::string> lengths) {
    BodyHeaders h;
    h.contentEncodings = encodings;
    h.transferEncodings = transfers;
    h.contentLengths = std::move(lengths);
    return RefusedBeforeBody(method, h, 4096);
  };
  EXPECT_EQ(refused("POST", 1, 0, {"841"}), 415) << "any Content-Encoding, however small";
  EXPECT_EQ(refused("GET", 1, 0, {}), 415);
  EXPECT_EQ(refused("POST", 0, 1, {}), 411) << "chunked";
  EXPECT_EQ(refused("POST", 0, 1, {"10"}), 411) << "chunked beside a length";
  EXPECT_EQ(refused("POST", 0, 0, {}), 411);
  EXPECT_EQ(refused("POST", 0, 0, {"4097"}), 413);
  EXPECT_EQ(refused("POST", 0, 0, {"99999999999999999999999"}), 413);
  EXPECT_EQ(refused("POST", 0, 0, {"-5"}), 400);
  EXPECT_EQ(refused("POST", 0, 0, {"12", "12"}), 400) << "two lengths";
  EXPECT_EQ(refused("POST", 0, 0, {""}), 400);
  EXPECT_EQ(refused("POST", 0, 0, {"0004096"}), 0);
  EXPECT_EQ(refused("POST", 0, 0, {"0"}), 0);
  EXPECT_EQ(refused("GET", 0, 0, {}), 0);
}

TEST(WebApi, StateDocumentCarriesTheValuesAndStaysValidWithAnyErrorText) {
  PanelFixture f;
  Works *w = f.w;
  w->frequency = 7050000;
  strcpy(w->tabAntenna[3].name, "40m");
  w->numBands = 11;
  w->bandIdx = 3;
  w->antenna = 1;
  w->numBanco = 2;
  w->modeWorkIdx = 2;
  w->pwFwd = 512.25f;
  w->swr = 1.5f;
  w->tuneVal = 0x12AB;
  w->ampBypass = 0;
  w->screenState = 1;
  AddErrore(w, ERR_CMD_NOT_AVAILABLE);
  SetErrorLine2(w, ERR_CMD_NOT_AVAILABLE, "a\"b\\c\n\xc3");
  std::string j = StateJson(w);
  for (const char *part : {"\"frequency\":7050000", "\"band\":\"40m\"", "\"antenna\":2",
                           "\"bank\":2", "\"mode\":\"FT-817\"", "\"forward\":512.2", "\"swr\":1.50",
                           "\"relayWord\":\"000012AB\"", "\"operate\":true", "\"screenState\":1",
                           "\"code\":17", "\"line2\":\"a\\\"b\\\\c\\u000a?\""})
    EXPECT_NE(j.find(part), std::string::npos) << part << " in " << j;
  w->bandIdx = -1;
  w->swr = std::numeric_limits<float>::quiet_NaN();
  j = StateJson(w);
  EXPECT_NE(j.find("\"band\":null"), std::string::npos) << j;
  EXPECT_NE(j.find("\"swr\":null"), std::string::npos) << j;
}

// The key scanning with web keys injected, on a 2 ms pass clock.
struct InjectedScan {
  PanelFixture f;
  PanelKeys keys;
  long long now = 0;
  static std::vector<std::pair<int, int>> presses;
  static int repeatKey;
  static int record(Works *, int key, int longFlags) {
    presses.push_back({key, longFlags});
    return key == repeatKey && longFlags != 0 ? longFlags : 0;
  }
  InjectedScan() {
    PanelInjectReset();
    PanelKeysInit(&keys);
    presses.clear();
    repeatKey = 0;
    TIME_LONG_PRESS = 0.5;
  }
  ~InjectedScan() { PanelInjectReset(); }
  void run(int ms) {
    for (long long end = now + ms; now < end; now += 2)
      PanelScanKeys(&keys, f.w, PanelInjectLevel(kKeyLevelMask, &keys, now), now, record);
  }
};
std::vector<std::pair<int, int>> InjectedScan::presses;
int InjectedScan::repeatKey;

TEST(PanelInject, WebKeysArePressesOfTheScanningInOrder) {
  InjectedScan s;
  ASSERT_TRUE(PanelInjectKey(5, PP_SHORT, 0));
  ASSERT_TRUE(PanelInjectKey(5, PP_SHORT, 0));
  ASSERT_TRUE(PanelInjectKey(1, PP_LONG, 0));
  s.run(2000);
  using P = std::pair<int, int>;
  EXPECT_EQ(s.presses, (std::vector<P>{{5, 0}, {5, 0}, {1, 1}}))
      << "two shorts of one key stay two presses; the long one is a single long press";
  // Held down: long press, then auto-repeat until the key comes up.
  s.presses.clear();
  s.repeatKey = 3;
  ASSERT_TRUE(PanelInjectKey(3, PP_DOWN, s.now));
  s.run(1000);
  ASSERT_TRUE(PanelInjectKey(3, PP_UP, s.now));
  s.run(200);
  size_t repeats = s.presses.size();
  EXPECT_GE(repeats, 5u);
  for (const P &p : s.presses) EXPECT_EQ(p, P(3, 4));
  s.run(1000);
  EXPECT_EQ(s.presses.size(), repeats) << "nothing after the key came up";
  // An up that arrives before the scanning saw the down still gives a press.
  s.presses.clear();
  ASSERT_TRUE(PanelInjectKey(2, PP_DOWN, s.now));
  ASSERT_TRUE(PanelInjectKey(2, PP_UP, s.now));
  s.run(200);
  EXPECT_EQ(s.presses, (std::vector<P>{{2, 0}}));
  // A lost up ends the hold at the bound.
  s.presses.clear();
  ASSERT_TRUE(PanelInjectKey(4, PP_DOWN, s.now));
  s.run(static_cast<int>(kInjectHoldMaxMs) + 200);
  EXPECT_EQ(s.keys.state[3], 1);
  EXPECT_FALSE(PanelInjectKey(7, PP_SHORT, s.now));
  for (int i = 0; i < kInjectQueue; ++i) EXPECT_TRUE(PanelInjectKey(1, PP_SHORT, s.now));
  EXPECT_FALSE(PanelInjectKey(1, PP_SHORT, s.now)) << "the queue is bounded";
}

TEST(FrameShare, FramesAreCopiedOnlyWhileWantedAndOnlyWhenChanged) {
  FrameBuffer *fb = fbCreateMemory(8, 4, 4);
  ASSERT_NE(fb, nullptr);
  uint64_t start = FrameShareNumber();
  fbRealize(fb);
  EXPECT_EQ(FrameShareNumber(), start) << "no reader: nothing copied";
  FrameShareWant(MonotonicMs());
  fbRealize(fb);
  fbRealize(fb);
  EXPECT_EQ(FrameShareNumber(), start + 1) << "an unchanged frame keeps its number";
  fb->back[5] = 7;
  fbRealize(fb);
  SharedFrame frame;
  ASSERT_TRUE(FrameShareCopy(&frame));
  EXPECT_EQ(frame.number, start + 2);
  EXPECT_EQ(frame.width, 8);
  EXPECT_EQ(frame.pixels[5], 7);
  // A wait ends at its deadline, or at once when asked to stop.
  std::atomic<bool> stop{true};
  EXPECT_EQ(FrameShareWait(frame.number, MonotonicMs() + 60000, &stop), frame.number);
  EXPECT_EQ(FrameShareWait(frame.number - 1, MonotonicMs(), nullptr), frame.number);
  fbRelease(fb);
}

}  // namespace
