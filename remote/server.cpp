// The remote server: serves one operator unit at a time. Nothing a peer sends
// is acted on before its pass phrase, the first frame of the connection, has
// been checked; a peer that does not finish its handshake and pass phrase
// within 10 s is dropped, so no one can hold the only place for longer.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "core/setup.h"
#include "platform/log.h"
#include "remote/connection.h"
#include "remote/receive.h"
#include "remote/remote.h"
#include "remote/remote_file.h"

namespace {

constexpr int kHandshakeMs = 10000;
constexpr int kMaxHeaderLines = 64;
constexpr size_t kMaxHeaderBytes = 8192;
constexpr size_t kMaxLine = 1023;

bool serverKeepGoing(Works *works) {
  return works->running.load() != 0 && SetupChar(works, SB_WebSocket) == '1';
}

// Reads the request until it has counted 8 lines. False: the connection ends.
bool readRequest(WsConn *c, long long deadline, WsServerHandshake *hs) {
  size_t bytes = 0;
  std::string line;
  for (int lines = 0; hs->count < kWsServerCount; ++lines) {
    int r = WsReadLine(c, deadline, kMaxLine, &line);
    if (r == WS_IO_STOP) return false;
    if (r == WS_IO_TIMEOUT) {
      LogErr("handshake not complete after %d s: connection closed", kHandshakeMs / 1000);
      return false;
    }
    if (r != WS_IO_OK) {
      LogErr("TCP read error %d", r == WS_IO_EOF ? 0 : c->lastErrno);
      return false;
    }
    bytes += line.size();
    if (lines >= kMaxHeaderLines || bytes > kMaxHeaderBytes) {
      LogErr("handshake request over %d lines or %zu bytes: connection closed", kMaxHeaderLines,
             kMaxHeaderBytes);
      return false;
    }
    if (!line.empty() && line.back() == '\n') WsServerLine(hs, line.data(), line.size());
  }
  return true;
}

bool writeResponse(int fd, const std::string &key) {
  std::string lines[5];
  WsServerResponse(key, lines);
  for (const std::string &l : lines) {
    int r = WsWriteAll(fd, l.data(), l.size(), 1000);
    LogInfo("sent %d bytes error %d", r == WS_IO_OK ? static_cast<int>(l.size()) : -1,
            r == WS_IO_OK ? 0 : errno);
    if (r != WS_IO_OK) return false;
  }
  LogInfo("Sec-WebSocket-Accept: %s", WsAcceptValue(key).c_str());
  return true;
}

// The first frame must be the pass phrase. False: refused, connection ends.
bool checkPassphrase(Works *works, WsConn *c, long long deadline, uint8_t *buf, size_t cap) {
  WsHead head;
  size_t len = 0;
  int r = WsReadFrame(c, false, deadline, buf, cap, &head, &len);
  if (r == WS_IO_TIMEOUT)
    LogErr("no pass phrase within %d s: connection closed", kHandshakeMs / 1000);
  if (r != WS_IO_OK) return false;
  WsFrame f;
  if (WsParseFrame(buf, len, head, &f) != 0 || f.text == nullptr) {
    LogErr("frame %x before the pass phrase: connection closed", head.op);
    return false;
  }
  // The stored pass phrase never goes to the log.
  if (!WsPassphraseMatches(works->remotePassword.str(), f.text, static_cast<size_t>(f.textLen))) {
    LogErr("required >%s< differ from >%s<", "(hidden)", WsEscape(f.text, f.textLen).c_str());
    return false;
  }
  LogInfo("required >%s< equals to >%s<", "(hidden)", "(hidden)");
  return true;
}

// Serves one connection. Returns true when the server should pause before
// it accepts again (the connection failed in its handshake).
bool serve(Works *works, int fd, const char *peer, RemoteLink *link, std::vector<uint8_t> &buf) {
  LogInfo("Connected by %s", peer);
  WsTuneSocket(fd);
  WsConn c;
  c.fd = fd;
  c.works = works;
  c.keepGoing = serverKeepGoing;
  const long long deadline = WsDeadline(kHandshakeMs);
  WsServerHandshake hs;
  if (!readRequest(&c, deadline, &hs) || !writeResponse(fd, hs.key)) return true;
  if (!checkPassphrase(works, &c, deadline, buf.data(), buf.size())) {
    // A refused peer waits before it may try again.
    WsPause(works, serverKeepGoing, 1000);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(*works->remoteMutex);
    WsSetConnected(works, fd, true);
    fputs("connected\n", stdout);
    fflush(stdout);
  }
  LogInfo("Receiving data");
  link->levels = PlaybackLevels{};
  for (;;) {
    WsHead head;
    size_t len = 0;
    if (WsReadFrame(&c, false, -1, buf.data(), buf.size(), &head, &len) != WS_IO_OK) break;
    WsFrame f;
    if (WsParseFrame(buf.data(), len, head, &f) != 0) break;
    if (!RemoteDispatch(works, link, f)) break;
  }
  LogInfo("TCP exiting");
  WsSetConnected(works, fd, false);
  return false;
}

}  // namespace

void *Wsocket(void *arg) {
  Works *works = static_cast<Works *>(arg);
  staticworks = works;
  const int port = works->tcpPort.load();
  LogInfo("Wsocket on port %d mode %c", port, SetupChar(works, SB_WebSocket));
  fputs("wsocket\n", stdout);
  fflush(stdout);
  if (!ApplyRemoteFile(works))
    LogErr(
        "remote link uses the built-in pass phrase: set your own with \"Password:\" in "
        "/opt/set/remote.txt");
  if (!WsPause(works, serverKeepGoing, 2000)) return nullptr;

  int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (ls < 0) {
    LogErr("Socket open error %d", errno);
    return nullptr;
  }
  int on = 1;
  setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(ls, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    LogErr("Binding error %d", errno);
    close(ls);
    return nullptr;
  }
  if (listen(ls, 1) != 0) {
    LogErr("Listening error %d", errno);
    close(ls);
    return nullptr;
  }
  LogInfo("Listening on port %d", port);

  RemoteLink link;
  link.side = REMOTE_SERVER;
  std::vector<uint8_t> buf(RemoteReceiveCapacity(works));
  while (serverKeepGoing(works)) {
    works->remoteConnected = 0;
    pollfd p = {ls, POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) continue;
    sockaddr_in peer = {};
    socklen_t peerLen = sizeof peer;
    int fd = accept4(ls, reinterpret_cast<sockaddr *>(&peer), &peerLen, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      // ECONNABORTED, EMFILE, ...: this connection is lost, the server is not.
      LogErr("Accept-ing error %d", errno);
      WsPause(works, serverKeepGoing, 1000);
      continue;
    }
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    bool pause = serve(works, fd, text, &link, buf);
    if (close(fd) != 0) LogErr("TCP close Error");
    LogInfo("TCP closed");
    if (pause) WsPause(works, serverKeepGoing, 1000);
  }
  works->remoteConnected = 0;
  close(ls);
  return nullptr;
}
