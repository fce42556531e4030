#include "remote/connection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/log.h"
#include "platform/platform.h"

namespace {

constexpr int kSliceMs = 1000;
constexpr int kFrameRestMs = 10000;

// Waits for the socket to become readable; WS_IO_OK when it is.
int waitReadable(WsConn *c, long long deadline) {
  for (;;) {
    if (c->keepGoing != nullptr && !c->keepGoing(c->works)) return WS_IO_STOP;
    int slice = kSliceMs;
    if (deadline >= 0) {
      long long left = deadline - MonotonicMs();
      if (left <= 0) return WS_IO_TIMEOUT;
      if (left < slice) slice = static_cast<int>(left);
    }
    pollfd p = {c->fd, POLLIN, 0};
    int r = poll(&p, 1, slice);
    if (r > 0) return WS_IO_OK;
    if (r < 0 && errno != EINTR) {
      c->lastErrno = errno;
      return WS_IO_ERROR;
    }
  }
}

// Appends what the socket has to the buffer.
int fill(WsConn *c, long long deadline) {
  int w = waitReadable(c, deadline);
  if (w != WS_IO_OK) return w;
  if (c->pos > 0 && c->pos == c->in.size()) {
    c->in.clear();
    c->pos = 0;
  }
  uint8_t chunk[4096];
  ssize_t n;
  do {
    n = recv(c->fd, chunk, sizeof chunk, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n == 0) return WS_IO_EOF;
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return WS_IO_OK;
    c->lastErrno = errno;
    return WS_IO_ERROR;
  }
  c->in.insert(c->in.end(), chunk, chunk + n);
  return WS_IO_OK;
}

}  // namespace

long long WsDeadline(int fromNowMs) {
  return MonotonicMs() + fromNowMs;
}

int WsReadLine(WsConn *c, long long deadline, size_t maxLen, std::string *line) {
  line->clear();
  bool skipping = false;
  for (;;) {
    while (c->pos < c->in.size()) {
      char ch = static_cast<char>(c->in[c->pos++]);
      if (skipping) {
        if (ch == '\n') return WS_IO_OK;
        continue;
      }
      line->push_back(ch);
      if (ch == '\n') return WS_IO_OK;
      if (line->size() >= maxLen) skipping = true;
    }
    int r = fill(c, deadline);
    if (r != WS_IO_OK) return r;
  }
}

int WsReadExact(WsConn *c, long long deadline, uint8_t *dst, size_t n) {
  size_t have = 0;
  while (have < n) {
    size_t avail = c->in.size() - c->pos;
    if (avail > 0) {
      size_t take = avail < n - have ? avail : n - have;
      memcpy(dst + have, c->in.data() + c->pos, take);
      c->pos += take;
      have += take;
      continue;
    }
    int r = fill(c, deadline);
    if (r != WS_IO_OK) return r;
  }
  return WS_IO_OK;
}

int WsWriteAll(int fd, const void *data, size_t n, int timeoutMs) {
  const auto *p = static_cast<const uint8_t *>(data);
  long long deadline = WsDeadline(timeoutMs);
  size_t done = 0;
  while (done < n) {
    ssize_t k = send(fd, p + done, n - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (k > 0) {
      done += static_cast<size_t>(k);
      continue;
    }
    if (k < 0 && errno == EINTR) continue;
    if (k < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return WS_IO_ERROR;
    long long left = deadline - MonotonicMs();
    if (left <= 0) return WS_IO_TIMEOUT;
    pollfd pf = {fd, POLLOUT, 0};
    if (poll(&pf, 1, static_cast<int>(left)) < 0 && errno != EINTR) return WS_IO_ERROR;
  }
  return WS_IO_OK;
}

int WsReadFrame(WsConn *c, bool client, long long deadline, uint8_t *buf, size_t cap, WsHead *head,
                size_t *len) {
  *len = 0;
  int r = WsReadExact(c, deadline, buf, 4);
  if (r != WS_IO_OK) {
    if (r == WS_IO_STOP) return r;
    LogInfo(client ? "TCP read Error 1A %d" : "TCP read Error 1a %d", c->lastErrno);
    LogInfo(client ? "TCP read Error 2A %d" : "TCP read Error 2a %d", c->lastErrno);
    return r;
  }
  switch (WsReadHead(buf, cap, head)) {
    case WS_HEAD_OK: break;
    case WS_HEAD_TOO_SHORT:
      LogErr("frame %02x %02x shorter than its header: connection closed", buf[0], buf[1]);
      return WS_IO_ERROR;
    case WS_HEAD_LONG64:
      LogErr("frame %02x %02x: length code %d is not accepted: connection closed", buf[0], buf[1],
             buf[1]);
      return WS_IO_ERROR;
    case WS_HEAD_TOO_BIG:
      LogErr("frame %02x %02x of %zu bytes exceeds the receive buffer (%zu): connection closed",
             buf[0], buf[1], head->rest + 4, cap);
      return WS_IO_ERROR;
  }
  r = WsReadExact(c, deadline >= 0 ? deadline : WsDeadline(kFrameRestMs), buf + 4, head->rest);
  if (r != WS_IO_OK) {
    if (r == WS_IO_STOP) return r;
    LogInfo(head->longForm ? "TCP read Error 4a %d" : "TCP read Error 3a %d", c->lastErrno);
    LogInfo(client ? "TCP read Error 6A %d" : "TCP read Error 6a %d", c->lastErrno);
    return r;
  }
  *len = 4 + head->rest;
  return WS_IO_OK;
}

void WsSetConnected(Works *works, int fd, bool on) {
  std::lock_guard<std::mutex> lock(*works->sendMutex);
  works->remoteSock = on ? fd : -1;
  works->remoteConnected = on ? 1 : 0;
}

void WsTuneSocket(int fd) {
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  // A vanished peer is noticed within about 10 s + 3 x 5 s.
  int idle = 10, interval = 5, count = 3;
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool WsPause(Works *works, WsKeepGoing keepGoing, int ms) {
  long long deadline = WsDeadline(ms);
  for (;;) {
    if (keepGoing != nullptr && !keepGoing(works)) return false;
    long long left = deadline - MonotonicMs();
    if (left <= 0) return true;
    poll(nullptr, 0, static_cast<int>(left < kSliceMs ? left : kSliceMs));
  }
}
