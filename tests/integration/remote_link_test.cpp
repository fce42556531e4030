// Remote operation with the real program on loopback: a station unit (server,
// NEB transceiver) and an operator unit (client) in two roots; then the
// station against a hostile peer written here, and the client against a
// server that answers with a wrong accept value.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "remote/websocket.h"
#include "support/link_sims.h"
#include "support/pty.h"
#include "support/sim_harness.h"
#include "support/test_thread.h"

using namespace std::chrono_literals;
using simtest::ControllerSim;
using simtest::NebSim;
using simtest::OmbrixProcess;
using simtest::SimRoot;

namespace {

const char kPassword[] = "station-pass-7";

// A unit's root: controller link, refresh loop, the remote link in the given
// role, bank 1 in NEB mode (the station follows its transceiver, the
// operator the parameters its peer sends).
void prepare(const SimRoot &root, char role, int port, const char *password, bool cat) {
  std::string setup =
      "EnableKeyb: 0\nEnableGPIO: 0\nEnableRead: 0\nEnableWrite: 0\nEnableFFT: 0\n"
      "EnableLinear: 1\nEnableTime: 1\nLinPort: /dev/ttyAMA0\nSerPort: /dev/ttyUSB1\n"
      "NumBanco: 1\nServer: 127.0.0.1\n";
  setup += std::string("WebSocket: ") + role + "\nTcpPort: " + std::to_string(port) + "\n";
  setup += std::string("EnableCAT: ") + (cat ? "1" : "0") + "\n";
  root.writeFile("/opt/set/setup.txt", setup);
  root.writeFile("/opt/set/antenna_b1.txt",
                 "!Neb\n40m 7000000 7300000 1 2 0 0 0.0\n20m 14000000 14350000 1 1 0 0 0.0\n");
  if (password != nullptr)
    root.writeFile("/opt/set/remote.txt", std::string("Password: ") + password + "\n");
}

// The operator's own CAT port: answers the probe and keeps what it is sent.
struct CatPort {
  TestPty pty;
  std::mutex m;
  std::string seen;
  std::atomic<bool> done{false};
  std::thread reader;
  CatPort() {
    reader = std::thread([this] {
      while (!done) {
        std::vector<uint8_t> b = pty.read(64, 50);
        if (b.empty()) continue;
        std::lock_guard<std::mutex> lock(m);
        seen.append(b.begin(), b.end());
        if (seen.find("DT;") != std::string::npos) {
          seen.erase(seen.find("DT;"), 3);
          pty.write("DT001;");
        }
      }
    });
  }
  ~CatPort() {
    done = true;
    reader.join();
  }
  bool waitFor(const std::string &text, std::chrono::milliseconds within) {
    return WaitUntil(
        [&] {
          std::lock_guard<std::mutex> lock(m);
          return seen.find(text) != std::string::npos;
        },
        within);
  }
};

// A raw TCP peer of the station.
struct Peer {
  int fd = -1;
  explicit Peer(int port) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < 100; ++i) {
      if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return;
      close(fd);
      poll(nullptr, 0, 100);
      fd = socket(AF_INET, SOCK_STREAM, 0);
    }
  }
  ~Peer() { close(fd); }
  void send(const std::string &bytes) const {
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  // What arrives until the text is in, the peer closes or the deadline passes.
  std::string readUntil(const std::string &text, std::chrono::milliseconds within) const {
    std::string got;
    auto end = std::chrono::steady_clock::now() + within;
    while (got.find(text) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buf[2048];
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }
  // True when the station has closed the connection within the deadline.
  bool closedWithin(std::chrono::milliseconds within) const {
    auto end = std::chrono::steady_clock::now() + within;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char buf[2048];
      if (recv(fd, buf, sizeof buf, 0) <= 0) return true;
    }
  }
  // Our own request, then the station's response; returns the response.
  std::string handshake(const std::string &key) const {
    std::string lines[6];
    WsClientRequestLines("127.0.0.1", 0, key, lines);
    for (const auto &l : lines) send(l);
    return readUntil("chat\r\n\r\n", 10s);
  }
  void text(const std::string &payload) const {
    uint8_t f[6 + 125];
    int n = WsBuildText(f, payload.data(), static_cast<int>(payload.size()));
    send(std::string(reinterpret_cast<char *>(f), static_cast<size_t>(n)));
  }
  void binary(const char *type, const std::string &data) const {
    uint8_t f[4 + 123];
    int n = WsBuildShort(f, type, data.data(), static_cast<int>(data.size()));
    send(std::string(reinterpret_cast<char *>(f), static_cast<size_t>(n)));
  }
};

std::string pythonAcceptKey(const std::string &key) {
  std::string cmd =
      "/usr/bin/python3 -c \"from websockets.utils import accept_key; "
      "print(accept_key('" +
      key + "'))\"";
  FILE *p = popen(cmd.c_str(), "r");
  if (p == nullptr) return "";
  char buf[64] = {};
  if (fgets(buf, sizeof buf, p) == nullptr) buf[0] = 0;
  pclose(p);
  std::string s(buf);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

}  // namespace

TEST(RemoteLinkRun, StationAndOperatorExchangeParametersStatusAndCat) {
  const int port = simtest::FreePort();
  SimRoot station, op;
  ASSERT_TRUE(station.ok() && op.ok());
  prepare(station, '1', port, kPassword, true);
  prepare(op, '2', port, kPassword, true);
  ControllerSim stationCtl, opCtl;
  ASSERT_TRUE(stationCtl.start(station));
  ASSERT_TRUE(opCtl.start(op));
  NebSim neb;
  ASSERT_TRUE(neb.start(station, {"freq 14074000"}));
  CatPort opCat;
  opCat.pty.linkAt(op.path("/dev/KIVOCAT0"));

  OmbrixProcess server;
  ASSERT_TRUE(server.start(station));
  // An operator unit with the wrong pass phrase is refused, and nothing it
  // sent is acted on; it keeps trying.
  {
    SimRoot wrongRoot;
    ASSERT_TRUE(wrongRoot.ok());
    prepare(wrongRoot, '2', port, "not-the-pass", false);
    ControllerSim wrongCtl;
    ASSERT_TRUE(wrongCtl.start(wrongRoot));
    OmbrixProcess wrong;
    ASSERT_TRUE(wrong.start(wrongRoot));
    int first = server.out().waitForText("differ from >not-the-pass<", 60s);
    ASSERT_GE(first, 0) << server.out().text();
    EXPECT_GE(server.out().waitForText("differ from >not-the-pass<", 15s, first + 1), 0);
    EXPECT_EQ(server.out().text().find(kPassword), std::string::npos);
    EXPECT_EQ(server.out().waitForText("Receiving data", 10ms), -1);
    wrong.stop();
  }

  OmbrixProcess client;
  ASSERT_TRUE(client.start(op));
  ASSERT_GE(client.out().waitForText("Websocket Connected", 60s), 0) << client.out().text();
  ASSERT_GE(server.out().waitForText("Receiving data", 20s), 0) << server.out().text();
  EXPECT_EQ(server.out().text().find(kPassword), std::string::npos);

  // The station transceiver's frequency reaches the operator unit's
  // controller through PA frames, and so does a change of band.
  ASSERT_GE(opCtl.waitCommand("FA00014074000;", 30s), 0) << client.out().text();
  size_t mark = opCtl.out().size();
  ASSERT_TRUE(neb.control("band 40m"));
  ASSERT_GE(opCtl.waitCommand("FA00007074000;", 10s, mark), 0);

  // Status frames both ways.
  EXPECT_GE(server.out().waitForText("BUFFER Wsocket : ", 10s), 0);
  EXPECT_GE(client.out().waitForText("BUFFER Wsocket : 40m", 10s), 0);

  // CAT text from the operator's port to the station transceiver and back.
  ASSERT_GE(client.out().waitForText("CAT serial found", 40s), 0) << client.out().text();
  ASSERT_GE(server.out().waitForText("CAT serial found", 40s), 0) << server.out().text();
  opCat.pty.write("FA;");
  ASSERT_GE(neb.out().waitForText("FA;", 10s), 0) << neb.out().text();
  EXPECT_TRUE(opCat.waitFor("FA00007074000", 10s));

  // The station restarts; the operator unit reconnects by itself.
  size_t clientMark = client.out().size();
  server.stop();
  ASSERT_GE(client.out().waitForText("reconnecting", 20s, clientMark), 0);
  OmbrixProcess again;
  ASSERT_TRUE(again.start(station));
  ASSERT_GE(client.out().waitForText("Websocket Connected", 60s, clientMark), 0)
      << client.out().text(clientMark);
  ASSERT_GE(again.out().waitForText("Receiving data", 20s), 0);
  client.stop();
  again.stop();
}

TEST(RemoteLinkRun, StationSurvivesAHostilePeer) {
  const int port = simtest::FreePort();
  SimRoot station;
  ASSERT_TRUE(station.ok());
  prepare(station, '1', port, kPassword, true);
  ControllerSim ctl;
  ASSERT_TRUE(ctl.start(station));
  NebSim neb;
  ASSERT_TRUE(neb.start(station, {"freq 14074000"}));
  OmbrixProcess app;
  ASSERT_TRUE(app.start(station));
  ASSERT_GE(app.out().waitForText("Listening on port", 30s), 0) << app.out().text();
  ASSERT_GE(app.out().waitForText("CAT serial found", 40s), 0) << app.out().text();

  // The accept value agrees with a standard library's for our key.
  const std::string key = "x3JJHMbDL1EzLkh9GBhXDw==";
  {
    Peer p(port);
    std::string response = p.handshake(key);
    std::string want = pythonAcceptKey(key);
    ASSERT_EQ(want.size(), 28u);
    EXPECT_NE(response.find("Sec-WebSocket-Accept: " + want + "\r\n"), std::string::npos)
        << response;
    // A binary frame instead of the pass phrase: the connection ends, the
    // CAT text never reaches the transceiver.
    p.binary("CA", "FA;");
    EXPECT_TRUE(p.closedWithin(5s));
  }
  EXPECT_GE(app.out().waitForText("before the pass phrase", 5s), 0);
  EXPECT_EQ(neb.out().text().find("FA;"), std::string::npos) << neb.out().text();

  // An idle half handshake is dropped at its deadline; the next peer is
  // served after it.
  {
    Peer idle(port);
    idle.send("GET /chat HTTP/1.1\r\n");
    Peer next(port);
    EXPECT_TRUE(idle.closedWithin(15s));
    std::string r = next.handshake(key);
    EXPECT_NE(r.find("101 Switching Protocols"), std::string::npos);
    next.text(kPassword);
    ASSERT_GE(app.out().waitForText("Receiving data", 10s), 0);
    // After the pass phrase: status commands act, bad lengths and offsets
    // are refused, and a frame the reader cannot follow ends the connection.
    next.binary("ST", "KIVOFD7");
    EXPECT_GE(app.out().waitForText("BUFFER Wsocket : KIVOFD7", 5s), 0);
    std::string fb(526, '\0');
    const uint8_t head[] = {0x82, 126, 0x02, 0x0a, 'F', 'B', 0, 0, 2, 0, 0, 0, 2, 0};
    fb.replace(0, sizeof head, reinterpret_cast<const char *>(head), sizeof head);
    next.send(fb);  // offset 512 past a total of 512 (and this root has no display)
    EXPECT_GE(app.out().waitForText("FB chunk ", 5s), 0);
    next.send(std::string("\x81\x85\x01\x02\x03\x04hello", 11));  // masked
    EXPECT_TRUE(next.closedWithin(5s));
  }
  EXPECT_GE(app.out().waitForText("is not accepted: connection closed", 5s), 0);

  // A standard client's request never completes the count: dropped at the
  // deadline, and the server goes on.
  {
    Peer standard(port);
    standard.send(
        "GET /chat HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
        "Connection: Upgrade\r\nSec-WebSocket-Key: " +
        key + "\r\nSec-WebSocket-Version: 13\r\n\r\n");
    EXPECT_TRUE(standard.closedWithin(15s));
  }
  {
    Peer last(port);
    EXPECT_NE(last.handshake(key).find("101 Switching Protocols"), std::string::npos);
  }
  app.stop();
}

TEST(RemoteLinkRun, ClientSurvivesAWrongAcceptValue) {
  // A server of the test's own that answers every request with a wrong value.
  int ls = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(ls, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  getsockname(ls, reinterpret_cast<sockaddr *>(&a), &len);
  ASSERT_EQ(listen(ls, 4), 0);
  std::atomic<int> served{0};
  std::atomic<bool> done{false};
  TestThread fake(
      [&] {
        while (!done) {
          pollfd p = {ls, POLLIN, 0};
          if (poll(&p, 1, 100) <= 0) continue;
          int fd = accept(ls, nullptr, nullptr);
          if (fd < 0) continue;
          char buf[2048];
          pollfd q = {fd, POLLIN, 0};
          if (poll(&q, 1, 5000) > 0 && recv(fd, buf, sizeof buf, 0) > 0) {
            const char r[] =
                "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                "Sec-WebSocket-Accept: AAAAAAAAAAAAAAAAAAAAAAAAAAA=\r\n"
                "Sec-WebSocket-Protocol: chat\r\n\r\n";
            ::send(fd, r, sizeof r - 1, MSG_NOSIGNAL);
            ++served;
          }
          close(fd);
        }
      },
      [&] { done = true; });
  SimRoot op;
  ASSERT_TRUE(op.ok());
  prepare(op, '2', ntohs(a.sin_port), kPassword, false);
  ControllerSim ctl;
  ASSERT_TRUE(ctl.start(op));
  OmbrixProcess client;
  ASSERT_TRUE(client.start(op));
  int first = client.out().waitForText("keys not correct", 60s);
  ASSERT_GE(first, 0) << client.out().text();
  // It tries again, and the program goes on running.
  EXPECT_GE(client.out().waitForText("keys not correct", 40s, first + 1), 0);
  EXPECT_GE(served.load(), 2);
  EXPECT_EQ(client.waitExit(10ms), -1);
  client.stop();
  done = true;
  fake.join();
  close(ls);
}
