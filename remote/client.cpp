// The remote client: the operator's unit connects to the station and keeps
// reconnecting for the life of the thread. A failed attempt (no route, no
// name resolution yet at boot, a wrong accept value, a station that is not
// the pinned one) is retried after 2 s; the link never stops the program.
// With RemoteTls the connection is inside TLS, and the station must show the
// certificate this unit pinned at its first contact (or the owner's
// StationFingerprint) before anything, the pass phrase above all, is sent.
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "core/setup.h"
#include "errors/errors.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "remote/connection.h"
#include "remote/open_link.h"
#include "remote/preauth_log.h"
#include "remote/receive.h"
#include "remote/remote.h"
#include "remote/remote_file.h"
#include "remote/station_pins.h"
#include "security/tls_identity.h"

namespace {

constexpr int kRetryMs = 2000;
constexpr int kConnectMs = 5000;
constexpr long long kHandshakeMs = 10000;
constexpr int kMaxResponseLines = 64;

bool clientKeepGoing(Works *works) {
  return works->running.load() != 0 && SetupChar(works, SB_WebSocket) == '2';
}

// A connected socket, or -1 (logged).
int connectServer(Works *works, const std::string &host, int port) {
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *res = nullptr;
  char service[8];
  snprintf(service, sizeof service, "%d", port);
  if (getaddrinfo(host.c_str(), service, &hints, &res) != 0 || res == nullptr) {
    LogErr("ERROR, no such host as %s\n", host.c_str());
    return -1;
  }
  LogInfo("server ok");
  int fd = socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    LogErr("Socket error %d", errno);
    freeaddrinfo(res);
    return -1;
  }
  LogInfo("Socket for TCP created");
  LogInfo("TCP bound");
  int r = connect(fd, res->ai_addr, res->ai_addrlen);
  freeaddrinfo(res);
  if (r != 0 && errno == EINPROGRESS) {
    long long deadline = MonotonicMs() + kConnectMs;
    for (;;) {
      if (!clientKeepGoing(works)) break;
      long long left = deadline - MonotonicMs();
      if (left <= 0) break;
      pollfd p = {fd, POLLOUT, 0};
      int n = poll(&p, 1, static_cast<int>(left < 1000 ? left : 1000));
      if (n > 0) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        r = err == 0 ? 0 : -1;
        break;
      }
    }
  }
  if (r != 0) {
    LogErr("Connect Error\n");
    close(fd);
    return -1;
  }
  return fd;
}

// Waits for the connection's events within the attempt's deadline. False
// when the deadline passed or the thread is told to stop.
bool waitConn(Works *works, LinkConn *c, long long deadline) {
  for (;;) {
    if (!clientKeepGoing(works)) return false;
    long long left = deadline - MonotonicMs();
    if (left <= 0) return false;
    short got = 0;
    if (LinkWait(c, static_cast<int>(left < 1000 ? left : 1000), &got) > 0) return true;
  }
}

// Writes everything staged by the deadline. False: failed (logged).
bool flushAll(Works *works, LinkConn *c, long long deadline) {
  for (;;) {
    LinkStatus st = LinkFlush(c);
    if (st == LINK_DONE) return true;
    if (st == LINK_FAILED || !waitConn(works, c, deadline)) {
      LogErr("TCP write Error");
      return false;
    }
  }
}

// The TLS handshake and the station's certificate. False: a failed attempt.
bool meetStation(Works *works, LinkConn *c, const std::string &hostPort,
                 const std::string &ownersFingerprint, long long deadline) {
  for (;;) {
    LinkStatus st = LinkTlsStep(c, false);
    if (st == LINK_DONE) break;
    if (st == LINK_FAILED) {
      LogErr("TLS handshake with %s failed: %s", hostPort.c_str(), c->tlsError.c_str());
      return false;
    }
    if (!waitConn(works, c, deadline)) {
      LogErr("TLS handshake with %s not complete within %lld s", hostPort.c_str(),
             kHandshakeMs / 1000);
      return false;
    }
  }
  const std::string shown = TlsPeerFingerprint(c->ssl);
  std::string expected = ownersFingerprint;
  if (expected.empty()) expected = PinnedFingerprint(ReadStationPins(), hostPort);
  if (expected.empty() && !shown.empty()) {
    // First contact: this certificate is the station's from now on.
    if (!PinStation(hostPort, shown))
      LogErr("%s not written: the station's fingerprint is trusted until the restart",
             kKnownStationsFile);
    LogInfo("station %s pinned: certificate SHA-256 fingerprint %s", hostPort.c_str(),
            FingerprintWithColons(shown).c_str());
    return true;
  }
  if (!shown.empty() && shown == expected) return true;
  LogErr(
      "station %s refused: its certificate's SHA-256 fingerprint is %s, expected %s (%s); "
      "nothing is sent to it",
      hostPort.c_str(), shown.empty() ? "(none)" : FingerprintWithColons(shown).c_str(),
      FingerprintWithColons(expected).c_str(),
      ownersFingerprint.empty() ? kKnownStationsFile : "StationFingerprint in remote.txt");
  return false;
}

// Request, response and the accept value. False: a failed attempt.
bool handshake(Works *works, LinkConn *c, const std::string &host, int port, const std::string &key,
               const std::string &expected, long long deadline) {
  std::string lines[6];
  WsClientRequestLines(host, port, key, lines);
  PreAuthLog log;
  for (const std::string &l : lines) {
    LinkStage(c, l.data(), l.size());
    PreAuthLogLine(&log, PRE_WRITE, false, "TCP write %d bytes\n", static_cast<int>(l.size()));
  }
  if (!flushAll(works, c, deadline)) return false;
  WsClientHandshake hs;
  std::string line;
  for (int n = 0; hs.count <= kWsClientCount && !hs.failed;) {
    if (LinkTakeLine(c, 1023, &line)) {
      if (line.back() == '\n') WsClientLine(&hs, expected, line.data(), line.size());
      line.clear();
      if (++n > kMaxResponseLines) {
        LogErr("TCP read error 1 %d", 0);
        return false;
      }
      continue;
    }
    LinkStatus st = LinkRead(c, 4096);
    if (st == LINK_DONE) continue;
    if (st == LINK_AGAIN && waitConn(works, c, deadline)) continue;
    if (clientKeepGoing(works)) LogErr("TCP read error 1 %d", st == LINK_CLOSED ? 0 : c->lastErrno);
    return false;
  }
  if (!hs.failed && !hs.acceptSeen) LogErr("keys not correct %s %s", expected.c_str(), "(none)");
  return !hs.failed && hs.acceptSeen;
}

// The authenticated connection until it ends.
void runOpen(Works *works, LinkConn *c, RemoteLink *link, LinkOutbox *box) {
  OpenLink pump;
  OpenLinkStart(&pump, works, c, link, true);
  while (works->remoteConnected.load() == 1 && clientKeepGoing(works)) {
    pollfd wake = {box->wakeFd(), POLLIN, 0};
    pollfd p[2] = {{c->fd, OpenLinkEvents(&pump, box), 0}, wake};
    if (poll(p, 2, 1000) < 0 && errno != EINTR) break;
    if (!OpenLinkService(works, &pump, box, MonotonicMs())) break;
  }
}

}  // namespace

void *Wclient(void *arg) {
  Works *works = static_cast<Works *>(arg);
  const std::string host = works->serverHost.str();
  const int port = works->tcpPort.load();
  LogInfo("Wclient to server %s on port %d mode %c", host.c_str(), port,
          SetupChar(works, SB_WebSocket));

  uint8_t random[16];
  int ur = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (ur < 0) {
    LogErr("/dev/urandom error %d", errno);
    return nullptr;
  }
  ssize_t got = read(ur, random, sizeof random);
  int readErr = errno;
  close(ur);
  if (got != 16) {
    LogErr("/dev/urandom read %d instead of 16, error=%d", static_cast<int>(got), readErr);
    return nullptr;
  }
  const std::string key = WsKeyFromBytes(random);
  const std::string expected = WsAcceptValue(key);
  const RemoteFileSettings settings = ReadRemoteFile();
  ApplyRemoteSettings(works, settings);
  works->remoteConnected = 0;

  SSL_CTX *tls = nullptr;
  if (settings.remoteTls) {
    tls = NewTlsClientContext();
    if (tls == nullptr) {
      LogErr("unit link over TLS: no TLS context; the link is not started");
      return nullptr;
    }
  } else {
    LogErr(
        "the unit link is not encrypted: its pass phrase and frames cross the network in clear "
        "(RemoteTls: 1 on both units encrypts it)");
  }
  const std::string hostPort = host + ":" + std::to_string(port);
  LinkOutbox spare;  // only when the record has none: frames then go nowhere
  LinkOutbox *box = works->remoteOutbox != nullptr ? works->remoteOutbox : &spare;

  RemoteLink link;
  link.side = REMOTE_CLIENT;
  bool failing = false;  // error 11 is listed once per failing streak
  LinkConn c;
  while (clientKeepGoing(works)) {
    int fd = connectServer(works, host, port);
    if (fd < 0) {
      LinkSleep(works, clientKeepGoing, kRetryMs);
      continue;
    }
    LogInfo("TCP connected\n");
    LinkTuneSocket(fd);
    if (!LinkAttach(&c, fd, tls, false, hostPort)) {
      LogErr("TLS set-up failed: %s", c.tlsError.c_str());
      LinkSleep(works, clientKeepGoing, kRetryMs);
      continue;
    }
    const long long deadline = MonotonicMs() + kHandshakeMs;
    if ((tls != nullptr &&
         !meetStation(works, &c, hostPort, settings.stationFingerprint, deadline)) ||
        !handshake(works, &c, host, port, key, expected, deadline)) {
      if (!failing) AddErrore(works, ERR_WEBSOCKET);
      failing = true;
      LinkClose(&c);
      LinkSleep(works, clientKeepGoing, kRetryMs);
      continue;
    }
    failing = false;
    std::string pass = works->remotePassword.str();
    uint8_t frame[6 + kWsTextMax];
    int n = WsBuildText(frame, pass.data(), static_cast<int>(pass.size()));
    if (n > 0) LinkStage(&c, frame, static_cast<size_t>(n));
    if (n < 0 || !flushAll(works, &c, MonotonicMs() + 1000)) {
      LinkClose(&c);
      LinkSleep(works, clientKeepGoing, kRetryMs);
      continue;
    }
    OpenLinkSetConnected(works, box, c.fd, true);
    LinkSleep(works, nullptr, 20);
    LogInfo("Websocket Connected");
    runOpen(works, &c, &link, box);
    OpenLinkSetConnected(works, box, -1, false);
    LogErr("reconnecting");
    LinkClose(&c);
    LinkSleep(works, clientKeepGoing, 100);
  }
  works->remoteConnected = 0;
  if (tls != nullptr) SSL_CTX_free(tls);
  return nullptr;
}
