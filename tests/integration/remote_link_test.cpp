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
#include "support/remote_peer.h"
#include "support/sim_harness.h"
#include "support/test_thread.h"

using namespace std::chrono_literals;
using simtest::CatPort;
using simtest::ControllerSim;
using simtest::NebSim;
using simtest::OmbrixProcess;
using simtest::Peer;
using simtest::SimRoot;

namespace {

const char kPassword[] = "station-pass-7";

void prepare(const SimRoot &root, char role, int port, const char *password, bool cat) {
  simtest::PrepareRemoteUnit(root, role, port, password, cat);
}

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
    // Its pass phrase is logged by its length only, never its bytes.
    int first = server.out().waitForText("pass phrase refused (12 bytes) from 127.0.0.1", 60s);
    ASSERT_GE(first, 0) << server.out().text();
    EXPECT_GE(server.out().waitForText("pass phrase refused (12 bytes)", 15s, first + 1), 0);
    EXPECT_EQ(server.out().text().find(kPassword), std::string::npos);
    EXPECT_EQ(server.out().text().find("not-the-pass"), std::string::npos);
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

  // An idle half handshake does not hold the station: the next peer is
  // served beside it, and the idle one is dropped at its deadline.
  {
    Peer idle(port);
    idle.send("GET /chat HTTP/1.1\r\n");
    Peer next(port);
    std::string r = next.handshake(key);
    EXPECT_NE(r.find("101 Switching Protocols"), std::string::npos);
    next.text(kPassword);
    ASSERT_GE(app.out().waitForText("Receiving data", 10s), 0);
    EXPECT_TRUE(idle.closedWithin(15s));
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
