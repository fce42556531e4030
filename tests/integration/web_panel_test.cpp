// The web panel of the real ombrix, run by the simulator's launcher with its
// display, over HTTPS with the unit's own certificate (trusted by its
// fingerprint only): login, the screen as JPEG against the virtual
// framebuffer, a key that opens the menu, and the server's limits. One run
// carries it all, since the program's start-up alone takes ~13 s.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "jpeg/jpeg.h"
#include "remote/remote_file.h"
#include "support/sim_harness.h"
#include "support/wait.h"
#include "support/web_client.h"
#include "support/web_panel_sim.h"

using namespace std::chrono_literals;
using webtest::PanelSim;
using webtest::SetCookie;

namespace {

TEST(WebPanelRun, LoginScreenKeysAndLimits) {
  PanelSim p;
  ASSERT_TRUE(p.start()) << p.sim.out().text();
  // The certificate made at the first start, its fingerprint as the log and
  // the launcher show it for the owner to compare.
  ASSERT_EQ(p.fingerprint.size(), 64u);
  int shown = p.sim.out().waitForText("presents the certificate with SHA-256 fingerprint", 5s);
  ASSERT_GE(shown, 0) << p.sim.out().text();
  std::string shownLine = p.sim.out().lines(static_cast<size_t>(shown))[0];
  EXPECT_EQ(NormalFingerprint(shownLine.substr(shownLine.rfind(' ') + 1)), p.fingerprint)
      << shownLine;
  const int idleDescriptors = webtest::OpenDescriptors(p.app);
  {
    // A certificate other than the pinned one is refused by the client.
    std::string other(64, '0');
    EXPECT_FALSE(webtest::PinnedClient(p.port, &other)->Get("/"));
  }
  auto client = p.client();
  httplib::SSLClient &cli = *client;

  auto page = cli.Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("/api/screen.jpg"), std::string::npos);
  EXPECT_EQ(cli.Get("/api/state")->status, 401);
  EXPECT_EQ(cli.Get("/api/screen.jpg")->status, 401);

  // Login: the same origin is required (https under TLS), a wrong phrase is refused.
  std::string form = "password=" + p.phrase;
  EXPECT_EQ(cli.Post("/api/login", p.headers("", false), form, "application/x-www-form-urlencoded")
                ->status,
            403);
  httplib::Headers plainOrigin = {{"Origin", "http://127.0.0.1:" + std::to_string(p.port)}};
  EXPECT_EQ(cli.Post("/api/login", plainOrigin, form, "application/x-www-form-urlencoded")->status,
            403);
  EXPECT_EQ(
      cli.Post("/api/login", p.headers(""), "password=wrong", "application/x-www-form-urlencoded")
          ->status,
      403);
  // The refusal came at once and its address pauses: the right phrase is
  // not even compared until the pause is over, and the answer says when.
  auto early = cli.Post("/api/login", p.headers(""), form, "application/x-www-form-urlencoded");
  ASSERT_TRUE(early);
  EXPECT_EQ(early->status, 429);
  EXPECT_EQ(early->get_header_value("Retry-After"), "1");
  int status = 0;
  std::string cookie, device;
  EXPECT_TRUE(WaitUntil(
      [&] {
        auto r = cli.Post("/api/login", p.headers(""), form, "application/x-www-form-urlencoded");
        status = r ? r->status : -1;
        if (status == 204) {
          cookie = SetCookie(r, "ombrix_session");
          device = SetCookie(r, "ombrix_device");
        }
        return status != 429;
      },
      5s, 100ms));
  ASSERT_EQ(status, 204);
  EXPECT_NE(cookie.find("HttpOnly"), std::string::npos) << cookie;
  EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos) << cookie;
  EXPECT_NE(cookie.find("; Secure"), std::string::npos) << cookie;
  std::string session = cookie.substr(cookie.find('=') + 1, 32);
  for (const char *attribute :
       {"; HttpOnly", "; Secure", "; SameSite=Strict", "; Max-Age=31536000"})
    EXPECT_NE(device.find(attribute), std::string::npos) << attribute << " in " << device;

  // The screen: a JPEG of what the virtual framebuffer shows.
  auto shot = cli.Get("/api/screen.jpg", p.headers(session, false));
  ASSERT_TRUE(shot);
  ASSERT_EQ(shot->status, 200) << shot->body;
  EXPECT_EQ(shot->get_header_value("Content-Type"), "image/jpeg");
  uint64_t frame = std::stoull(shot->get_header_value("X-Frame"));
  EXPECT_GT(frame, 0u);
  std::vector<uint8_t> pixels;
  int w = 0, h = 0;
  ASSERT_EQ(JpegDecodePixels(reinterpret_cast<const uint8_t *>(shot->body.data()),
                             shot->body.size(), &pixels, &w, &h),
            0);
  ASSERT_EQ(w, 800);
  ASSERT_EQ(h, 480);
  std::ifstream fbFile(p.root + "/dev/fb0", std::ios::binary);
  std::string fb((std::istreambuf_iterator<char>(fbFile)), std::istreambuf_iterator<char>());
  ASSERT_EQ(fb.size(), pixels.size());
  // Colour bytes only; the clock line may have moved on since the encoding.
  double diff = 0, spread = 0;
  for (size_t i = 0; i < pixels.size(); ++i) {
    if (i % 4 == 3) continue;
    diff += std::abs(static_cast<int>(pixels[i]) - static_cast<uint8_t>(fb[i]));
    spread += std::abs(static_cast<int>(static_cast<uint8_t>(fb[i])) - 128);
  }
  EXPECT_LT(diff / (800 * 480 * 3), 4.0) << "the JPEG is the framebuffer's picture";
  EXPECT_GT(spread / (800 * 480 * 3), 20.0) << "and that picture is not blank";

  // A newer frame is waited for; a malformed one is refused.
  auto next = cli.Get("/api/screen.jpg?after=" + std::to_string(frame), p.headers(session, false));
  ASSERT_TRUE(next);
  EXPECT_GE(std::stoull(next->get_header_value("X-Frame")), frame);
  EXPECT_EQ(cli.Get("/api/screen.jpg?after=x1", p.headers(session, false))->status, 400);

  // Key 5 on the main screen opens the menu, as on the device.
  const char *kForm = "application/x-www-form-urlencoded";
  EXPECT_EQ(cli.Post("/api/key", p.headers(session, false), "key=5&press=short", kForm)->status,
            403);
  EXPECT_EQ(cli.Post("/api/key", p.headers(session), "key=9&press=short", kForm)->status, 400);
  EXPECT_EQ(cli.Post("/api/key", p.headers(""), "key=5&press=short", kForm)->status, 401);
  EXPECT_EQ(cli.Post("/api/key", p.headers(session), "key=5&press=short", kForm)->status, 204);
  std::string state;
  EXPECT_TRUE(WaitUntil(
      [&] {
        auto r = cli.Get("/api/state", p.headers(session, false));
        state = r ? r->body : "";
        return state.find("\"screenState\":1") != std::string::npos;
      },
      10s, 50ms))
      << state;
  EXPECT_EQ(cli.Post("/api/key", p.headers(session), "key=1&press=short", kForm)->status, 204);

  // Whatever bytes arrive, before the handshake or inside TLS, the server
  // goes on. (From addresses of their own: each may open five a second.)
  int source = 0;
  for (const std::string &junk :
       {std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11),
        std::string("GET /" + std::string(20000, 'a') + " HTTP/1.1\r\n\r\n"),
        std::string("POST /api/key HTTP/1.1\r\nContent-Length: -5\r\n\r\n"),
        std::string("GET / HTTP/1.1\r\nHost: x\r\n" + std::string(9000, 'h') + "\r\n\r\n"),
        std::string("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n" + std::string(40000, 'h')),
        std::string("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nRange: bytes=0-" +
                    std::string(3000, ',') + "\r\n\r\n")}) {
    for (bool tls : {false, true}) {
      webtest::RawConn c;
      const std::string from = "127.0.2." + std::to_string(++source);
      ASSERT_TRUE(tls ? c.connectTls(p.port, p.fingerprint, from) : c.connectTcp(p.port, from));
      EXPECT_TRUE(c.send(junk));
      shutdown(c.fd(), SHUT_WR);
      std::string answer;
      c.untilClosed(&answer);
      EXPECT_LT(answer.size(), 20000u) << "no answer larger than the page";
    }
  }
  // Plain HTTP to the TLS port is told what to type instead.
  {
    webtest::RawConn c;
    ASSERT_TRUE(c.connectTcp(p.port, "127.0.2.100"));
    EXPECT_TRUE(c.send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    std::string answer;
    c.untilClosed(&answer);
    EXPECT_NE(answer.find("open https://"), std::string::npos) << answer;
  }
  auto big = cli.Post("/api/key", p.headers(session),
                      "key=5&press=short&x=" + std::string(5000, 'x'), kForm);
  ASSERT_TRUE(big);
  EXPECT_EQ(big->status, 413);

  // Sixteen strangers in the middle of a request hold every worker: the
  // next stranger is closed at once, never queued (under TLS nothing can be
  // said before a handshake), while the owner's address is still served.
  cli.stop();  // the owner's kept connection goes
  ASSERT_TRUE(
      WaitUntil([&] { return webtest::OpenDescriptors(p.app) <= idleDescriptors; }, 10s, 50ms));
  // Each holds its worker for 10 s from its first byte: on a machine so
  // loaded that sixteen connections take longer than that, the round is
  // tried again rather than judged (likewise below).
  std::vector<std::unique_ptr<webtest::RawConn>> busy;
  bool judged = false;
  for (int round = 0; round < 3 && !judged; ++round) {
    busy.clear();
    auto first = std::chrono::steady_clock::now();
    for (int i = 1; i <= 16; ++i) {
      // About twenty new connections a second are taken in all: a refused
      // one is tried again.
      ASSERT_TRUE(WaitUntil(
          [&] {
            auto c = std::make_unique<webtest::RawConn>();
            if (!c->connectTls(p.port, p.fingerprint, "127.0.3." + std::to_string(i))) return false;
            busy.push_back(std::move(c));
            return true;
          },
          5s, 100ms))
          << i;
      if (i == 1) first = std::chrono::steady_clock::now();
      ASSERT_TRUE(busy.back()->send("GET / HTTP/1.1\r\n"));
    }
    if (std::chrono::steady_clock::now() - first > 6s) continue;
    auto before = std::chrono::steady_clock::now();
    webtest::RawConn next;
    bool served = next.connectTls(p.port, p.fingerprint, "127.0.3.17", 3000);
    // A worker that had not yet seen its connection's first byte counts as
    // idle and gives way: then the round proves nothing and is tried again.
    bool gaveWay = false;
    for (auto &c : busy) gaveWay = gaveWay || c->closedWithin(served ? 500 : 1);
    if (gaveWay) continue;
    judged = true;
    EXPECT_FALSE(served);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 3s) << "refused at once";
  }
  ASSERT_TRUE(judged) << "sixteen strangers were never all in a request at once";
  auto owners = p.client()->Get("/");
  ASSERT_TRUE(owners) << "the owner's address takes a stranger's place";
  EXPECT_EQ(owners->status, 200);
  busy.clear();
  EXPECT_TRUE(WaitUntil(
      [&] {
        auto r = p.client()->Get("/");
        return r && r->status == 200;
      },
      10s, 250ms));

  // Logout changes something: without Origin or Referer it is refused, and
  // the session stays.
  EXPECT_EQ(cli.Post("/api/logout", p.headers(session, false), "", kForm)->status, 403);
  EXPECT_EQ(cli.Get("/api/state", p.headers(session, false))->status, 200);
  // After logout the session is gone.
  EXPECT_EQ(cli.Post("/api/logout", p.headers(session), "", kForm)->status, 204);
  EXPECT_EQ(cli.Get("/api/state", p.headers(session, false))->status, 401);

  // SIGTERM: the panel ends with the program.
  p.sim.signal(SIGTERM);
  EXPECT_GE(p.sim.out().waitForText("Web panel end", 30s), 0) << p.sim.out().text();
  EXPECT_EQ(p.sim.waitExit(60000ms), 0) << p.sim.out().text();
}

// With WebTls: 0 the panel speaks plain HTTP: the log says once what that
// means, the session cookie has no Secure, a connection beyond those served
// gets a fixed 503 and is closed, and bodies it would have to unpack or
// whose length it cannot know are refused before they are read.
TEST(WebPanelRun, PlainHttpWhenTheOwnerSaysSo) {
  PanelSim p("WebTls: 0\n");
  ASSERT_TRUE(p.startPanel()) << p.sim.out().text();
  EXPECT_GE(p.sim.out().waitForText("Web panel on http://", 1s), 0);
  EXPECT_GE(p.sim.out().waitForText("pass phrases cross the network in clear", 1s), 0);
  httplib::Client cli("127.0.0.1", p.port);
  cli.set_keep_alive(true);
  httplib::Headers origin = {{"Origin", "http://127.0.0.1:" + std::to_string(p.port)}};
  auto login =
      cli.Post("/api/login", origin, "password=" + p.phrase, "application/x-www-form-urlencoded");
  ASSERT_TRUE(login);
  ASSERT_EQ(login->status, 204);
  std::string session = SetCookie(login, "ombrix_session");
  EXPECT_EQ(session.find("Secure"), std::string::npos) << session;
  EXPECT_NE(SetCookie(login, "ombrix_device").find("; Secure"), std::string::npos)
      << "the device cookie never travels in clear";
  cli.stop();

  int source = 0;
  auto ask = [&](const std::string &request) {
    webtest::RawConn c;
    if (!c.connectTcp(p.port, "127.0.7." + std::to_string(++source))) return std::string();
    c.send(request);
    std::string answer;
    c.untilClosed(&answer);
    return answer;
  };
  const std::string host = "Host: 127.0.0.1:" + std::to_string(p.port) + "\r\n";
  const std::string gzip = "POST /api/login HTTP/1.1\r\n" + host +
                           "Content-Encoding: gzip\r\nContent-Length: 4\r\n\r\nxxxx";
  const std::string chunked = "POST /api/login HTTP/1.1\r\n" + host +
                              "Transfer-Encoding: chunked\r\n\r\n4\r\nxxxx\r\n0\r\n\r\n";
  const std::string unsized = "POST /api/key HTTP/1.1\r\n" + host + "\r\n";
  for (const auto &[request, status] : {std::pair{gzip, 415}, {chunked, 411}, {unsized, 411}}) {
    std::string answer = ask(request);
    EXPECT_EQ(webtest::Status(answer), status) << answer;
    EXPECT_NE(answer.find("Connection: close"), std::string::npos) << answer;
  }

  // Sixteen requests in the middle of their head hold every worker: the
  // next connection gets the fixed answer at once and is closed.
  // On a loaded machine the panel may not have read a busy head yet when
  // the newcomer comes, and then rightly lets it take that idle place: the
  // closed one starts its request again.
  std::vector<std::unique_ptr<webtest::RawConn>> busy(16);
  auto holdAll = [&] {
    for (size_t i = 0; i < busy.size(); ++i) {
      if (busy[i] && !busy[i]->closedWithin(1)) continue;
      busy[i] = std::make_unique<webtest::RawConn>();
      if (!busy[i]->connectTcp(p.port, "127.0.8." + std::to_string(i + 1)) ||
          !busy[i]->send("GET / HTTP/1.1\r\n"))
        return false;
    }
    return true;
  };
  ASSERT_TRUE(holdAll());
  std::string refused;
  EXPECT_TRUE(WaitUntil(
      [&] {
        if (!holdAll()) return false;
        webtest::RawConn c;
        refused.clear();
        // A page served instead stays open (keep-alive): read only its answer.
        if (!c.connectTcp(p.port, "127.0.8.100") ||
            !c.send("GET / HTTP/1.1\r\n" + host + "Connection: keep-alive\r\n\r\n"))
          return false;
        refused = c.answer();
        return webtest::Status(refused) == 503 && c.untilClosed();
      },
      5s, 250ms))
      << refused;
  EXPECT_NE(refused.find("Connection: close"), std::string::npos) << refused;
}

}  // namespace
