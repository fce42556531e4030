// The real ombrix in the Hamlib mode of work. Against Debian's rigctld with
// Hamlib's dummy rig: a frequency set with rigctl moves the amplifier to its
// band (the controller's commands, the screen's band box), a stopped daemon
// is listed as a warning and a started one is followed again. Against a
// hostile daemon of this test: garbage, an endless line, error reports, a
// daemon that never answers and one that hangs up at once change nothing,
// cost one log line, and leave descriptors, threads and memory as they were.
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/link_sims.h"
#include "support/sim_harness.h"
#include "support/wait.h"

using namespace std::chrono_literals;
using simtest::ControllerSim;
using simtest::OmbrixProcess;
using simtest::RigSim;
using simtest::SimRoot;

namespace {

// Bank 1 (the current one) in the Hamlib mode of work, the refresh loop on;
// 40 m is on antenna 2.
void prepare(const SimRoot &root) {
  root.writeFile("/opt/set/setup.txt",
                 "EnableKeyb: 0\nEnableGPIO: 0\nEnableRead: 0\nEnableWrite: 0\nEnableCAT: 0\n"
                 "EnableLinear: 1\nEnableTime: 1\nWebSocket: 0\nLinPort: /dev/ttyAMA0\n"
                 "EnableFFT: 0\nNumBanco: 1\n");
  root.writeFile("/opt/set/antenna_b1.txt",
                 "!rig\n40m 7000000 7300000 1 2 0 0 0.0\n"
                 "20m 14000000 14350000 1 1 0 0 0.0\n"
                 "15m 21000000 21450000 1 1 0 0 0.0\n");
}

// Lines of the program's log from `from` on that contain text.
int countLines(OmbrixProcess &app, const std::string &text, size_t from) {
  int n = 0;
  for (const auto &l : app.out().lines(from)) n += l.find(text) != std::string::npos;
  return n;
}

// The reader's failure lines ("rigctl: HOST:PORT: why") from `from` on.
int failureLines(OmbrixProcess &app, size_t from) {
  int n = 0;
  for (const auto &l : app.out().lines(from))
    n += l.find("rigctl: 127.0.0.1:") != std::string::npos &&
         l.find(" answers") == std::string::npos;
  return n;
}

// The Hamlib warning taken off the error list, from `from` on.
bool warningRemoved(OmbrixProcess &app, size_t from, std::chrono::milliseconds within) {
  return app.out().waitFor(
             [](const std::string &l) {
               return l.find("Del ERROR: ") != std::string::npos && l.size() >= 7 &&
                      l.compare(l.size() - 7, 7, " err:25") == 0;
             },
             within, from) >= 0;
}

// The "FA" commands the controller took from `from` on.
std::vector<std::string> frequencies(ControllerSim &ctl, size_t from) {
  std::vector<std::string> fa;
  for (const auto &c : ctl.commands(from))
    if (c.rfind("FA", 0) == 0) fa.push_back(c);
  return fa;
}

// ---- The screen's band box (x 266..399, y 279..302 of the main screen)

constexpr int kFrameBytes = 800 * 480 * 4;

bool addDisplay(const SimRoot &root) {
  std::ofstream(root.path("/dev/fb0"), std::ios::binary) << std::string(kFrameBytes, '\0');
  const std::string cmd = "'" + std::string(OMBRIX_SOURCE_DIR) + "/assets/install-root' '" +
                          simtest::BuildDir() + "' '" + root.dir() + "' >/dev/null";
  return system(cmd.c_str()) == 0;
}

std::string bandBox(const SimRoot &root) {
  std::ifstream in(root.path("/dev/fb0"), std::ios::binary);
  std::string box;
  char row[(399 - 266 + 1) * 4];
  for (int y = 279; y <= 302; ++y) {
    in.seekg((y * 800 + 266) * 4);
    in.read(row, sizeof row);
    box.append(row, sizeof row);
  }
  return box;
}

TEST(RigctldRun, FollowsTheRadioAndOutlivesItsDaemon) {
  SimRoot root;
  ASSERT_TRUE(root.ok());
  prepare(root);
  ASSERT_TRUE(addDisplay(root));
  ControllerSim ctl;
  ASSERT_TRUE(ctl.start(root));
  RigSim rig;
  ASSERT_TRUE(rig.start(root, {"freq 14074000"}));
  OmbrixProcess app;
  ASSERT_TRUE(app.start(root.dir(), root.path("/opt/Ombrix")));
  ASSERT_GE(app.out().waitForText("rigctl: 127.0.0.1:", 30s), 0) << app.out().text();
  ASSERT_GE(app.out().waitForText("Timer thread started", 20s), 0) << app.out().text();
  ASSERT_GE(ctl.waitCommand("FA00014074000;", 10s), 0) << ctl.out().text();
  // The band box once it shows 20 m steadily.
  std::string box20, last;
  ASSERT_TRUE(WaitUntil(
      [&] {
        box20 = bandBox(root);
        bool steady = box20 == last && box20.find_first_not_of('\0') != std::string::npos;
        last = box20;
        return steady;
      },
      5000ms, 100ms));

  // The radio moves to 40 m: "FA", then the band's filter, thresholds and antenna.
  size_t mark = ctl.out().size();
  ASSERT_TRUE(rig.control("freq 7074000"));
  auto moved = std::chrono::steady_clock::now();
  int fa = ctl.waitCommand("FA00007074000;", 2s, mark);
  ASSERT_GE(fa, 0) << ctl.out().text(mark);
  printf("rigctl to FA: %lld ms\n",
         static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - moved)
                                    .count()));
  ASSERT_GE(ctl.waitCommand("SA2;", 2s, static_cast<size_t>(fa)), 0) << ctl.out().text(mark);
  std::vector<std::string> after;
  for (const auto &c : ctl.commands(static_cast<size_t>(fa)))
    if (c != "ST;" && c != "FM;") after.push_back(c);
  ASSERT_GE(after.size(), 4u);
  EXPECT_EQ(after[1].substr(0, 2), "SF") << after[1];
  EXPECT_EQ(after[2].substr(0, 2), "TS") << after[2];
  EXPECT_EQ(after[3], "SA2;");
  EXPECT_TRUE(WaitUntil([&] { return bandBox(root) != box20; }, 2000ms, 50ms))
      << "the band box still shows 20 m";

  // rigctld gone: the warning once 3 s pass without an answer; the program goes on.
  size_t amark = app.out().size();
  ASSERT_TRUE(rig.control("stop"));
  ASSERT_GE(app.out().waitForText(" err:25", 6s, amark), 0) << app.out().text(amark);
  EXPECT_EQ(failureLines(app, amark), 1) << app.out().text(amark);

  // rigctld back: followed again within 3 s, the warning gone.
  mark = ctl.out().size();
  ASSERT_TRUE(rig.control("start"));
  ASSERT_TRUE(rig.control("freq 21074000"));
  EXPECT_GE(ctl.waitCommand("FA00021074000;", 3s, mark), 0) << ctl.out().text(mark);
  EXPECT_GE(app.out().waitForText("answers again", 1s, amark), 0) << app.out().text(amark);
  EXPECT_TRUE(warningRemoved(app, amark, 1s)) << app.out().text(amark);

  app.stop();
  EXPECT_GE(app.out().waitForText("rigctl: stopped", 0ms), 0);
}

// ---- A daemon of the test's own

// Serves one connection at a time. The first answers "f" with 14.074 MHz
// until turned hostile, then with garbage and error reports, then with a
// line that never ends; the second never answers; the third is closed at
// once; every later one answers 7.074 MHz.
class HostileDaemon {
 public:
  bool start() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd_, 4) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &n) != 0)
      return false;
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { run(); });
    return true;
  }
  ~HostileDaemon() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
  }
  int port() const { return port_; }
  void turnHostile() { hostile_ = true; }
  int connections() const { return connections_; }

 private:
  // Waits for a request ("f\n"); false when the peer is gone or the test ends.
  bool request(int c) {
    char buf[16];
    for (;;) {
      if (stop_) return false;
      pollfd p = {c, POLLIN, 0};
      if (poll(&p, 1, 100) == 0) continue;
      return recv(c, buf, sizeof buf, 0) > 0;
    }
  }
  void answer(int c, const std::string &text) { send(c, text.data(), text.size(), MSG_NOSIGNAL); }
  void serve(int c, int index) {
    if (index == 0) {
      while (!hostile_) {
        if (!request(c)) return;
        answer(c, "14074000\n");
      }
      for (const char *bad : {"14x07400\n", "-7074000\n", "2147483648\n", "\x01\xfe\xff\n", "\n",
                              " 7074000\n", "7.074e6\n", "RPRT -1\n", "RPRT -11\n", "RPRT 0\n"}) {
        if (!request(c)) return;
        answer(c, bad);
      }
      if (!request(c)) return;
      // 64 MiB without a line feed, or until the reader hangs up.
      std::string chunk(65536, '7');
      for (int i = 0; i < 1024 && !stop_; ++i)
        if (send(c, chunk.data(), chunk.size(), MSG_NOSIGNAL) <= 0) return;
    } else if (index == 1) {
      while (request(c)) {
      }
    } else if (index >= 3) {
      while (request(c)) answer(c, "7074000\n");
    }
  }
  void run() {
    while (!stop_) {
      pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      timeval t = {1, 0};
      setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
      serve(c, connections_++);
      close(c);
    }
  }
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false}, hostile_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
};

// Open sockets of a process (other descriptors come and go with the commands it runs).
int sockets(pid_t pid) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd/";
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return -1;
  int n = 0;
  while (dirent *e = readdir(d)) {
    char target[64];
    ssize_t k = readlink((dir + e->d_name).c_str(), target, sizeof target - 1);
    n += k > 7 && std::string(target, 7) == "socket:";
  }
  closedir(d);
  return n;
}

int countEntries(const std::string &dir) {
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return -1;
  int n = 0;
  while (dirent *e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

long rssKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
  return -1;
}

TEST(RigctldRun, HostileDaemonChangesNothing) {
  SimRoot root;
  ASSERT_TRUE(root.ok());
  prepare(root);
  HostileDaemon daemon;
  ASSERT_TRUE(daemon.start());
  root.writeFile("/opt/set/rig.txt",
                 "Rigctld: 127.0.0.1:" + std::to_string(daemon.port()) + "\nPoll: 50\n");
  ControllerSim ctl;
  ASSERT_TRUE(ctl.start(root));
  OmbrixProcess app;
  ASSERT_TRUE(app.start(root));
  ASSERT_GE(app.out().waitForText("Timer thread started", 30s), 0) << app.out().text();
  ASSERT_GE(ctl.waitCommand("FA00014074000;", 10s), 0) << ctl.out().text();

  const std::string proc = "/proc/" + std::to_string(app.pid());
  const int sockets0 = sockets(app.pid()), threads = countEntries(proc + "/task");
  const long rss = rssKiB(app.pid());
  size_t mark = ctl.out().size(), amark = app.out().size();
  daemon.turnHostile();
  // Through every act to the daemon that answers again (about 8 s of 2 s retries).
  int back = ctl.waitCommand("FA00007074000;", 20s, mark);
  ASSERT_GE(back, 0) << app.out().text(amark);
  EXPECT_EQ(daemon.connections(), 4);
  EXPECT_EQ(frequencies(ctl, mark), std::vector<std::string>{"FA00007074000;"});
  // One line for the whole failing streak, one when answers return; the
  // warning listed and taken back.
  EXPECT_EQ(failureLines(app, amark), 1) << app.out().text(amark);
  EXPECT_EQ(countLines(app, "answers again", amark), 1);
  EXPECT_GE(app.out().waitForText(" err:25", 0ms, amark), 0);
  EXPECT_TRUE(warningRemoved(app, amark, 1s)) << app.out().text(amark);
  EXPECT_EQ(sockets(app.pid()), sockets0);
  // One-shot threads of the start-up may end meanwhile; none may be added.
  EXPECT_LE(countEntries(proc + "/task"), threads);
  // The endless line alone is 64 MiB: it must never be held.
  EXPECT_LT(rssKiB(app.pid()) - rss, 16 * 1024) << "VmRSS " << rss << " kB before";
  app.stop();
}

}  // namespace
