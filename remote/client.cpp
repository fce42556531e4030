// The remote client: the operator's unit connects to the station and keeps
// reconnecting for the life of the thread. A failed attempt (no route, no
// name resolution yet at boot, a wrong accept value) is retried after 2 s;
// the link never stops the program.
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
#include "platform/log.h"
#include "platform/platform.h"
#include "remote/connection.h"
#include "remote/receive.h"
#include "remote/remote.h"
#include "remote/remote_file.h"

namespace {

constexpr int kRetryMs = 2000;
constexpr int kConnectMs = 5000;
constexpr int kHandshakeMs = 10000;

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
    long long deadline = WsDeadline(kConnectMs);
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

// Request, response and the accept value. False: a failed attempt.
bool handshake(WsConn *c, const std::string &host, int port, const std::string &key,
               const std::string &expected) {
  std::string lines[6];
  WsClientRequestLines(host, port, key, lines);
  for (const std::string &l : lines) {
    if (WsWriteAll(c->fd, l.data(), l.size(), 1000) != WS_IO_OK) {
      LogErr("TCP write Error");
      return false;
    }
    LogInfo("TCP write %d bytes\n", static_cast<int>(l.size()));
  }
  const long long deadline = WsDeadline(kHandshakeMs);
  WsClientHandshake hs;
  std::string line;
  for (int n = 0; hs.count <= kWsClientCount && !hs.failed; ++n) {
    int r = WsReadLine(c, deadline, 1023, &line);
    if (r != WS_IO_OK || n > 64) {
      if (r != WS_IO_STOP) LogErr("TCP read error 1 %d", r == WS_IO_EOF ? 0 : c->lastErrno);
      return false;
    }
    if (!line.empty() && line.back() == '\n') WsClientLine(&hs, expected, line.data(), line.size());
  }
  if (!hs.failed && !hs.acceptSeen) LogErr("keys not correct %s %s", expected.c_str(), "(none)");
  return !hs.failed && hs.acceptSeen;
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
  ApplyRemoteFile(works);
  works->remoteConnected = 0;

  RemoteLink link;
  link.side = REMOTE_CLIENT;
  std::vector<uint8_t> buf(RemoteReceiveCapacity(works));
  bool failing = false;  // error 11 is listed once per failing streak
  while (clientKeepGoing(works)) {
    int fd = connectServer(works, host, port);
    if (fd < 0) {
      WsPause(works, clientKeepGoing, kRetryMs);
      continue;
    }
    LogInfo("TCP connected\n");
    WsTuneSocket(fd);
    WsConn c;
    c.fd = fd;
    c.works = works;
    c.keepGoing = clientKeepGoing;
    if (!handshake(&c, host, port, key, expected)) {
      if (!failing) AddErrore(works, ERR_WEBSOCKET);
      failing = true;
      close(fd);
      WsPause(works, clientKeepGoing, kRetryMs);
      continue;
    }
    failing = false;
    std::string pass = works->remotePassword.str();
    uint8_t frame[6 + kWsTextMax];
    int n = WsBuildText(frame, pass.data(), static_cast<int>(pass.size()));
    if (n < 0 || WsWriteAll(fd, frame, static_cast<size_t>(n), 1000) != WS_IO_OK) {
      LogErr("TCP write Error");
      close(fd);
      WsPause(works, clientKeepGoing, kRetryMs);
      continue;
    }
    WsSetConnected(works, fd, true);
    WsPause(works, nullptr, 20);
    LogInfo("Websocket Connected");
    link.levels = PlaybackLevels{};
    while (works->remoteConnected.load() == 1) {
      WsHead head;
      size_t len = 0;
      if (WsReadFrame(&c, true, -1, buf.data(), buf.size(), &head, &len) != WS_IO_OK) break;
      WsFrame f;
      if (WsParseFrame(buf.data(), len, head, &f) != 0) break;
      if (!RemoteDispatch(works, &link, f)) break;
    }
    WsSetConnected(works, fd, false);
    LogErr("reconnecting");
    close(fd);
    WsPause(works, clientKeepGoing, 100);
  }
  works->remoteConnected = 0;
  return nullptr;
}
