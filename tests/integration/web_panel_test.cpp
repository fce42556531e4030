// The web panel of the real ombrix, run by the simulator's launcher with its
// display: login, the screen as JPEG against the virtual framebuffer, a key
// that opens the menu, and the server's limits. One run carries it all,
// since the program's start-up alone takes ~13 s.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "jpeg/jpeg.h"
#include "support/sim_harness.h"
#include "support/wait.h"

using namespace std::chrono_literals;
using simtest::Child;

namespace {

// A raw connection to the panel, for bytes no client library would send.
int connectRaw(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

struct PanelSim {
  std::string root;
  int port = simtest::FreePort();
  Child sim;
  std::string phrase;
  PanelSim() {
    char tmpl[] = "/tmp/ombrix-web-XXXXXX";
    root = mkdtemp(tmpl);
  }
  ~PanelSim() {
    sim.signal(SIGTERM);
    sim.waitExit(60000ms);
    if (system(("rm -rf '" + root + "'").c_str()) != 0) {
    }
  }
  bool start() {
    if (!sim.start({simtest::BuildDir() + "/sim/ombrix-sim", "--root", root, "--mode", "gen",
                    "--web-port", std::to_string(port)}))
      return false;
    int i = sim.out().waitForText("(pass phrase ", 20s);
    if (i < 0) return false;
    std::string line = sim.out().lines(static_cast<size_t>(i))[0];
    size_t at = line.find("(pass phrase ") + 13;
    phrase = line.substr(at, line.find(')', at) - at);
    return sim.out().waitForText("Web panel on http", 20s) >= 0 &&
           sim.out().waitForText("!!!mykivo", 40s) >= 0;
  }
  std::string origin() const { return "http://127.0.0.1:" + std::to_string(port); }
  httplib::Headers headers(const std::string &session, bool withOrigin = true) const {
    httplib::Headers h;
    if (!session.empty()) h.emplace("Cookie", "ombrix_session=" + session);
    if (withOrigin) h.emplace("Origin", origin());
    return h;
  }
};

TEST(WebPanelRun, LoginScreenKeysAndLimits) {
  PanelSim p;
  ASSERT_TRUE(p.start()) << p.sim.out().text();
  httplib::Client cli("127.0.0.1", p.port);
  cli.set_read_timeout(10, 0);

  auto page = cli.Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("/api/screen.jpg"), std::string::npos);
  EXPECT_EQ(cli.Get("/api/state")->status, 401);
  EXPECT_EQ(cli.Get("/api/screen.jpg")->status, 401);

  // Login: the same origin is required, a wrong phrase is refused.
  std::string form = "password=" + p.phrase;
  EXPECT_EQ(cli.Post("/api/login", p.headers("", false), form, "application/x-www-form-urlencoded")
                ->status,
            403);
  EXPECT_EQ(
      cli.Post("/api/login", p.headers(""), "password=wrong", "application/x-www-form-urlencoded")
          ->status,
      403);
  // The refusal came after its pause, so the next try is compared again.
  auto login = cli.Post("/api/login", p.headers(""), form, "application/x-www-form-urlencoded");
  ASSERT_TRUE(login);
  ASSERT_EQ(login->status, 204);
  std::string cookie = login->get_header_value("Set-Cookie");
  EXPECT_NE(cookie.find("HttpOnly"), std::string::npos) << cookie;
  EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos) << cookie;
  std::string session = cookie.substr(cookie.find('=') + 1, 32);

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

  // Whatever bytes arrive, the server goes on.
  for (const std::string &junk :
       {std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11),
        std::string("GET /" + std::string(20000, 'a') + " HTTP/1.1\r\n\r\n"),
        std::string("POST /api/key HTTP/1.1\r\nContent-Length: -5\r\n\r\n"),
        std::string("GET / HTTP/1.1\r\nHost: x\r\n" + std::string(9000, 'h') + "\r\n\r\n")}) {
    int fd = connectRaw(p.port);
    ASSERT_GE(fd, 0);
    EXPECT_GT(write(fd, junk.data(), junk.size()), 0);
    shutdown(fd, SHUT_WR);
    char buf[256];
    while (read(fd, buf, sizeof buf) > 0) {
    }
    close(fd);
  }
  auto big = cli.Post("/api/key", p.headers(session),
                      "key=5&press=short&x=" + std::string(5000, 'x'), kForm);
  ASSERT_TRUE(big);
  EXPECT_EQ(big->status, 413);

  // Eight connections held open: the ninth is answered 503 at once; once
  // they are gone, the panel serves again.
  std::vector<int> idle;
  for (int i = 0; i < 8; ++i) idle.push_back(connectRaw(p.port));
  EXPECT_TRUE(WaitUntil(
      [&] {
        auto r = httplib::Client("127.0.0.1", p.port).Get("/");
        return r && r->status == 503;
      },
      10s, 50ms));
  // A refused client that would keep its connection is closed after the answer.
  int extra = connectRaw(p.port);
  timeval tv = {5, 0};
  setsockopt(extra, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string ask = "GET / HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n", answer;
  EXPECT_GT(write(extra, ask.data(), ask.size()), 0);
  char buf[4096];
  ssize_t got;
  while ((got = read(extra, buf, sizeof buf)) > 0) answer.append(buf, static_cast<size_t>(got));
  EXPECT_EQ(got, 0) << "closed, not left waiting";
  EXPECT_EQ(answer.compare(0, 12, "HTTP/1.1 503"), 0) << answer;
  close(extra);
  for (int fd : idle) close(fd);
  EXPECT_TRUE(WaitUntil(
      [&] {
        auto r = httplib::Client("127.0.0.1", p.port).Get("/");
        return r && r->status == 200;
      },
      10s, 50ms));

  // After logout the session is gone.
  EXPECT_EQ(cli.Post("/api/logout", p.headers(session), "", kForm)->status, 204);
  EXPECT_EQ(cli.Get("/api/state", p.headers(session, false))->status, 401);

  // SIGTERM: the panel ends with the program.
  p.sim.signal(SIGTERM);
  EXPECT_GE(p.sim.out().waitForText("Web panel end", 30s), 0) << p.sim.out().text();
  EXPECT_EQ(p.sim.waitExit(60000ms), 0) << p.sim.out().text();
}

}  // namespace
