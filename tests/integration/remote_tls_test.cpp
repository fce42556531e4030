// The unit link inside TLS with the real program: two units with RemoteTls
// pair (the operator pins the station's certificate at first contact) and
// work as over the plain link; an operator meets servers of the test's own,
// a plain one and one with another certificate than the pinned one, and
// gives neither its pass phrase nor obeys what they send.
#include <gtest/gtest.h>
#include <signal.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>

#include "remote/station_pins.h"
#include "remote/websocket.h"
#include "security/tls_identity.h"
#include "support/link_sims.h"
#include "support/remote_peer.h"
#include "support/sim_harness.h"
#include "support/test_thread.h"
#include "support/wait.h"

using namespace std::chrono_literals;
using simtest::CatPort;
using simtest::ControllerSim;
using simtest::NebSim;
using simtest::OmbrixProcess;
using simtest::SimRoot;

namespace {

const char kPassword[] = "station-pass-7";

int countErr11(OmbrixProcess &app) {
  int n = 0;
  for (const std::string &l : app.out().lines()) n += l.find("err:11") != std::string::npos;
  return n;
}

// A server of the test's own: plain or TLS with a certificate of its own.
// It answers whatever comes with a WebSocket response and a status frame
// that would reboot the unit, and keeps every byte it received (decrypted).
class FakeStation {
 public:
  FakeStation() {
    // A TLS write to an operator that already hung up must not end the test.
    signal(SIGPIPE, SIG_IGN);
    ls_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(ls_, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(ls_, reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(a.sin_port);
    listen(ls_, 4);
    std::string why;
    if (MakeSelfSignedIdentity("fake", {}, &identity_)) ctx_ = NewTlsServerContext(identity_, &why);
    thread_ = std::make_unique<TestThread>([this] { run(); }, [this] { done_ = true; });
  }
  ~FakeStation() {
    done_ = true;
    thread_.reset();
    if (ctx_ != nullptr) SSL_CTX_free(ctx_);
    close(ls_);
  }
  int port() const { return port_; }
  const std::string &fingerprint() const { return identity_.fingerprint; }
  void useTls(bool on) { tls_ = on; }
  int served() const { return served_; }
  std::string received() {
    std::lock_guard<std::mutex> lock(m_);
    return received_;
  }

 private:
  void run() {
    while (!done_) {
      pollfd p = {ls_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      int fd = accept(ls_, nullptr, nullptr);
      if (fd < 0) continue;
      timeval tv = {2, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      SSL *ssl = nullptr;
      if (tls_ && ctx_ != nullptr) {
        ssl = SSL_new(ctx_);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) != 1) {
          SSL_free(ssl);
          ERR_clear_error();
          close(fd);
          ++served_;
          continue;
        }
      }
      uint8_t st[4 + 123];
      int n = WsBuildShort(st, "ST", "KIVORB", 6);
      const std::string kivorb(reinterpret_cast<char *>(st), static_cast<size_t>(n));
      for (int round = 0; round < 2; ++round) {
        char buf[4096];
        int got = ssl != nullptr ? SSL_read(ssl, buf, sizeof buf)
                                 : static_cast<int>(recv(fd, buf, sizeof buf, 0));
        if (got > 0) {
          std::lock_guard<std::mutex> lock(m_);
          received_.append(buf, static_cast<size_t>(got));
        }
        if (round == 0) {
          // The right accept value for a key it could read: a plain operator
          // unit would take this for its station.
          std::string key = "none";
          size_t at = received().find("Sec-WebSocket-Key: ");
          if (at != std::string::npos) key = received().substr(at + 19, 24);
          const std::string response =
              "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: "
              "Upgrade\r\nSec-WebSocket-Accept: " +
              WsAcceptValue(key) + "\r\nSec-WebSocket-Protocol: chat\r\n\r\n" + kivorb;
          if (ssl != nullptr)
            SSL_write(ssl, response.data(), static_cast<int>(response.size()));
          else
            send(fd, response.data(), response.size(), MSG_NOSIGNAL);
        }
      }
      if (ssl != nullptr) SSL_free(ssl);
      ERR_clear_error();
      close(fd);
      ++served_;
    }
  }

  int ls_ = -1;
  int port_ = 0;
  TlsIdentity identity_;
  SSL_CTX *ctx_ = nullptr;
  std::atomic<bool> tls_{false}, done_{false};
  std::atomic<int> served_{0};
  std::mutex m_;
  std::string received_;
  std::unique_ptr<TestThread> thread_;
};

}  // namespace

TEST(RemoteLinkTls, UnitsPairOverTlsAndTheOperatorPinsTheStation) {
  const int port = simtest::FreePort();
  SimRoot station, op;
  ASSERT_TRUE(station.ok() && op.ok());
  simtest::PrepareRemoteUnit(station, '1', port, kPassword, true, "RemoteTls: 1\n");
  simtest::PrepareRemoteUnit(op, '2', port, kPassword, true, "RemoteTls: 1\n");
  ControllerSim stationCtl, opCtl;
  ASSERT_TRUE(stationCtl.start(station));
  ASSERT_TRUE(opCtl.start(op));
  NebSim neb;
  ASSERT_TRUE(neb.start(station, {"freq 14074000"}));
  CatPort opCat;
  opCat.pty.linkAt(op.path("/dev/KIVOCAT0"));

  OmbrixProcess server, client;
  ASSERT_TRUE(server.start(station));
  ASSERT_TRUE(client.start(op));
  ASSERT_GE(client.out().waitForText("Websocket Connected", 60s), 0) << client.out().text();
  ASSERT_GE(server.out().waitForText("Receiving data", 20s), 0) << server.out().text();
  EXPECT_EQ(server.out().text().find("not encrypted"), std::string::npos);

  // The operator pinned the certificate the station made and keeps.
  TlsIdentity stationId{simtest::ReadRootFile(station, kUnitCertFile),
                        simtest::ReadRootFile(station, kUnitKeyFile), ""};
  std::string why;
  ASSERT_TRUE(CheckIdentity(&stationId, &why)) << why;
  // The pin file reaches the card through the file writer, a moment later.
  std::string pinned;
  WaitUntil(
      [&] {
        pinned = PinnedFingerprint(simtest::ReadRootFile(op, kKnownStationsFile),
                                   "127.0.0.1:" + std::to_string(port));
        return !pinned.empty();
      },
      5s, 100ms);
  EXPECT_EQ(pinned, stationId.fingerprint);
  EXPECT_GE(server.out().waitForText(FingerprintWithColons(stationId.fingerprint), 1s), 0);
  EXPECT_GE(client.out().waitForText("pinned", 1s), 0);

  // Parameters (PA) and CAT text flow as over the plain link.
  ASSERT_GE(opCtl.waitCommand("FA00014074000;", 30s), 0) << client.out().text();
  ASSERT_GE(client.out().waitForText("CAT serial found", 40s), 0) << client.out().text();
  ASSERT_GE(server.out().waitForText("CAT serial found", 40s), 0) << server.out().text();
  opCat.pty.write("FA;");
  ASSERT_GE(neb.out().waitForText("FA;", 10s), 0) << neb.out().text();
  EXPECT_TRUE(opCat.waitFor("FA00014074000", 10s));
  client.stop();
  server.stop();
}

TEST(RemoteLinkTls, OperatorGivesNothingToAServerThatIsNotItsStation) {
  FakeStation fake;
  ASSERT_FALSE(fake.fingerprint().empty());
  SimRoot op;
  ASSERT_TRUE(op.ok());
  simtest::PrepareRemoteUnit(op, '2', fake.port(), kPassword, false, "RemoteTls: 1\n");
  // The station this operator met before had another certificate.
  const std::string pinned(64, 'a');
  op.writeFile(kKnownStationsFile,
               "127.0.0.1:" + std::to_string(fake.port()) + " " + pinned + "\n");
  ControllerSim ctl;
  ASSERT_TRUE(ctl.start(op));
  OmbrixProcess client;
  ASSERT_TRUE(client.start(op));

  // A plain server: the TLS handshake fails, again and again.
  int first = client.out().waitForText("TLS handshake with", 60s);
  ASSERT_GE(first, 0) << client.out().text();
  ASSERT_GE(client.out().waitForText("TLS handshake with", 10s, first + 1), 0);
  // A server with a certificate of its own: refused, loudly, every 2 s.
  fake.useTls(true);
  const std::string refused = "its certificate's SHA-256 fingerprint is " +
                              FingerprintWithColons(fake.fingerprint()) + ", expected " +
                              FingerprintWithColons(pinned);
  first = client.out().waitForText(refused, 15s);
  ASSERT_GE(first, 0) << client.out().text();
  ASSERT_GE(client.out().waitForText(refused, 10s, first + 1), 0);

  EXPECT_GE(fake.served(), 3);
  EXPECT_EQ(fake.received().find(kPassword), std::string::npos) << "the pass phrase never left";
  EXPECT_EQ(fake.received().find("GET /chat"), std::string::npos)
      << "nothing at all went inside TLS";
  EXPECT_EQ(simtest::ReadRootFile(op, "/sim/commands.log").find("reboot"), std::string::npos);
  EXPECT_EQ(client.out().text().find("Websocket Connected"), std::string::npos);
  EXPECT_EQ(countErr11(client), 1) << "error 11 once for the whole streak";
  EXPECT_EQ(simtest::ReadRootFile(op, kKnownStationsFile).find(fake.fingerprint()),
            std::string::npos)
      << "a refused certificate is not pinned";
  client.stop();
}
