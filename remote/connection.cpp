#include "remote/connection.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr size_t kWriteSlice = 16 * 1024;  // one TLS record's worth at a time

std::string tlsReason() {
  unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e == 0) return "connection reset or closed";
  char text[256];
  ERR_error_string_n(e, text, sizeof text);
  return text;
}

// The buffer's taken bytes are dropped once they are most of it, so it does
// not grow while a long stream passes through.
void compact(LinkConn *c) {
  if (c->pos == c->in.size()) {
    c->in.clear();
    c->pos = 0;
  } else if (c->pos > 4096 && c->pos * 2 > c->in.size()) {
    c->in.erase(c->in.begin(), c->in.begin() + static_cast<long>(c->pos));
    c->pos = 0;
  }
}

}  // namespace

bool LinkAttach(LinkConn *c, int fd, SSL_CTX *ctx, bool server, const std::string &peer) {
  c->fd = fd;
  c->peer = peer;
  c->in.clear();
  c->pos = 0;
  c->out.clear();
  c->outPos = 0;
  c->tlsRetry = 0;
  c->wantWrite = false;
  c->skipping = false;
  c->lastErrno = 0;
  c->tlsError.clear();
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  if (ctx == nullptr) return true;
  c->ssl = SSL_new(ctx);
  if (c->ssl == nullptr || SSL_set_fd(c->ssl, fd) != 1) {
    c->tlsError = tlsReason();
    LinkClose(c);
    return false;
  }
  SSL_set_mode(c->ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (server)
    SSL_set_accept_state(c->ssl);
  else
    SSL_set_connect_state(c->ssl);
  return true;
}

void LinkClose(LinkConn *c) {
  if (c->ssl != nullptr) {
    // Only when the handshake is complete; never waits for the peer's answer.
    if (SSL_is_init_finished(c->ssl)) SSL_shutdown(c->ssl);
    SSL_free(c->ssl);
    c->ssl = nullptr;
    ERR_clear_error();
  }
  if (c->fd >= 0) close(c->fd);
  c->fd = -1;
  c->in.clear();
  c->in.shrink_to_fit();
  c->pos = 0;
  c->out.clear();
  c->out.shrink_to_fit();
  c->outPos = 0;
  c->tlsRetry = 0;
  c->wantWrite = false;
}

LinkStatus LinkTlsStep(LinkConn *c, bool server) {
  if (c->ssl == nullptr || SSL_is_init_finished(c->ssl)) return LINK_DONE;
  ERR_clear_error();
  int r = server ? SSL_accept(c->ssl) : SSL_connect(c->ssl);
  if (r == 1) {
    c->wantWrite = false;
    return LINK_DONE;
  }
  switch (SSL_get_error(c->ssl, r)) {
    case SSL_ERROR_WANT_READ: c->wantWrite = false; return LINK_AGAIN;
    case SSL_ERROR_WANT_WRITE: c->wantWrite = true; return LINK_AGAIN;
    default:
      c->lastErrno = errno;
      c->tlsError = tlsReason();
      return LINK_FAILED;
  }
}

LinkStatus LinkRead(LinkConn *c, size_t max) {
  compact(c);
  size_t at = c->in.size();
  c->in.resize(at + max);
  ssize_t n;
  if (c->ssl == nullptr) {
    do {
      n = recv(c->fd, c->in.data() + at, max, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) c->in.resize(at);
    if (n == 0) return LINK_CLOSED;
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return LINK_AGAIN;
      c->lastErrno = errno;
      return LINK_FAILED;
    }
  } else {
    ERR_clear_error();
    int r = SSL_read(c->ssl, c->in.data() + at, static_cast<int>(max));
    if (r <= 0) {
      c->in.resize(at);
      switch (SSL_get_error(c->ssl, r)) {
        case SSL_ERROR_WANT_READ: c->wantWrite = false; return LINK_AGAIN;
        case SSL_ERROR_WANT_WRITE: c->wantWrite = true; return LINK_AGAIN;
        case SSL_ERROR_ZERO_RETURN: return LINK_CLOSED;
        case SSL_ERROR_SYSCALL:
          c->lastErrno = errno;
          if (errno == 0) return LINK_CLOSED;  // end of stream without a close notice
          c->tlsError = tlsReason();
          return LINK_FAILED;
        default:
          c->lastErrno = errno;
          c->tlsError = tlsReason();
          return LINK_FAILED;
      }
    }
    c->wantWrite = false;
    n = r;
  }
  c->in.resize(at + static_cast<size_t>(n));
  return LINK_DONE;
}

void LinkStage(LinkConn *c, const void *data, size_t n) {
  if (c->outPos > 0 && c->outPos == c->out.size() && c->tlsRetry == 0) {
    c->out.clear();
    c->outPos = 0;
  }
  const auto *p = static_cast<const uint8_t *>(data);
  c->out.insert(c->out.end(), p, p + n);
}

size_t LinkStaged(const LinkConn *c) {
  return c->out.size() - c->outPos;
}

LinkStatus LinkFlush(LinkConn *c, size_t *written) {
  if (written != nullptr) *written = 0;
  while (c->outPos < c->out.size()) {
    size_t left = c->out.size() - c->outPos;
    size_t n = c->tlsRetry != 0 ? c->tlsRetry : (left < kWriteSlice ? left : kWriteSlice);
    ssize_t k;
    if (c->ssl == nullptr) {
      do {
        k = send(c->fd, c->out.data() + c->outPos, n, MSG_NOSIGNAL | MSG_DONTWAIT);
      } while (k < 0 && errno == EINTR);
      if (k < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return LINK_AGAIN;
        c->lastErrno = errno;
        return LINK_FAILED;
      }
    } else {
      ERR_clear_error();
      int r = SSL_write(c->ssl, c->out.data() + c->outPos, static_cast<int>(n));
      if (r <= 0) {
        // The same write must be repeated, with the same length.
        c->tlsRetry = n;
        switch (SSL_get_error(c->ssl, r)) {
          // Staged bytes keep POLLOUT asked for; a read is polled always.
          case SSL_ERROR_WANT_WRITE:
          case SSL_ERROR_WANT_READ: return LINK_AGAIN;
          default:
            c->lastErrno = errno;
            c->tlsError = tlsReason();
            return LINK_FAILED;
        }
      }
      c->tlsRetry = 0;
      k = r;
    }
    c->outPos += static_cast<size_t>(k);
    if (written != nullptr) *written += static_cast<size_t>(k);
  }
  c->out.clear();
  c->outPos = 0;
  return LINK_DONE;
}

short LinkEvents(const LinkConn *c) {
  short ev = POLLIN;
  if (LinkStaged(c) > 0 || c->wantWrite) ev |= POLLOUT;
  return ev;
}

size_t LinkBuffered(const LinkConn *c) {
  return c->in.size() - c->pos;
}

bool LinkTakeLine(LinkConn *c, size_t maxLen, std::string *line) {
  while (c->pos < c->in.size()) {
    char ch = static_cast<char>(c->in[c->pos++]);
    if (c->skipping) {
      if (ch == '\n') c->skipping = false;
      continue;
    }
    line->push_back(ch);
    if (ch == '\n') return true;
    if (line->size() >= maxLen) {
      c->skipping = true;
      return true;
    }
  }
  return false;
}

int LinkTakeFrame(LinkConn *c, uint8_t *buf, size_t cap, WsHead *head, size_t *len,
                  WsHeadResult *bad) {
  *len = 0;
  size_t avail = LinkBuffered(c);
  if (avail < 4) return 0;
  const uint8_t *at = c->in.data() + c->pos;
  WsHeadResult r = WsReadHead(at, cap, head);
  if (r != WS_HEAD_OK) {
    *bad = r;
    return -1;
  }
  size_t total = 4 + head->rest;
  if (avail < total) return 0;
  memcpy(buf, at, total);
  c->pos += total;
  *len = total;
  return 1;
}

bool LinkPartialFrame(const LinkConn *c) {
  return LinkBuffered(c) > 0;
}

void LinkTuneSocket(int fd) {
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  // A vanished peer is noticed within about 10 s + 3 x 5 s.
  int idle = 10, interval = 5, count = 3;
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int LinkWait(LinkConn *c, int ms, short *got, pollfd *extra) {
  pollfd p[2] = {{c->fd, LinkEvents(c), 0}, {-1, 0, 0}};
  int n = 1;
  if (extra != nullptr) {
    p[1] = *extra;
    p[1].revents = 0;
    n = 2;
  }
  int r = poll(p, static_cast<nfds_t>(n), ms);
  *got = r > 0 ? p[0].revents : 0;
  if (extra != nullptr) extra->revents = r > 0 ? p[1].revents : 0;
  return r;
}
