// The web panel's connections: reads and writes with deadlines, over a
// plain socket or TLS, and the server's side of the TLS handshake.
#include "web/web_stream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/clock.h"

namespace {

constexpr long long kSliceMs = 250;  // how often a wait looks at the stop request

}  // namespace

bool WaitSocket(int fd, short events, long long untilMs, const std::atomic<bool> *stop) {
  for (;;) {
    if (stop != nullptr && *stop) return false;
    long long left = untilMs - MonotonicMs();
    if (left <= 0) return false;
    pollfd p = {fd, events, 0};
    int r = poll(&p, 1, static_cast<int>(std::min(left, kSliceMs)));
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return false;
  }
}

void AddressText(const void *sockaddrStorage, std::string *ip, int *port) {
  const sockaddr_storage &a = *static_cast<const sockaddr_storage *>(sockaddrStorage);
  char text[INET6_ADDRSTRLEN] = "";
  *port = 0;
  if (a.ss_family == AF_INET) {
    auto *in = reinterpret_cast<const sockaddr_in *>(&a);
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    *port = ntohs(in->sin_port);
  } else if (a.ss_family == AF_INET6) {
    auto *in = reinterpret_cast<const sockaddr_in6 *>(&a);
    inet_ntop(AF_INET6, &in->sin6_addr, text, sizeof text);
    *port = ntohs(in->sin6_port);
  }
  *ip = text;
}

size_t RequestMeter::allow(const char *p, size_t n) {
  static const char kEnd[] = "\r\n\r\n";
  size_t i = 0;
  for (; i < n && !headDone_; ++i) {
    if (head_ >= kMaxRequestHead) return i;
    ++head_;
    if (p[i] == kEnd[matched_])
      ++matched_;
    else
      matched_ = p[i] == '\r' ? 1 : 0;
    headDone_ = matched_ == 4;
  }
  size_t rest = std::min(n - i, maxBody_ - body_);
  body_ += rest;
  return i + rest;
}

PanelStream::PanelStream(int fd, SSL *ssl, const std::string &peerIp, int peerPort,
                         const std::atomic<bool> *stop)
    : fd_(fd), ssl_(ssl), peerIp_(peerIp), peerPort_(peerPort), stop_(stop) {
  sockaddr_storage local = {};
  socklen_t n = sizeof local;
  if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &n) == 0)
    AddressText(&local, &localIp_, &localPort_);
}

bool PanelStream::waitSocket(short events, long long untilMs) {
  return WaitSocket(fd_, events, untilMs, stop_);
}

int PanelStream::waitRequest(long long untilMs) {
  if (broken_) return -1;
  if (pos_ < len_ || (ssl_ != nullptr && SSL_pending(ssl_) > 0)) return 1;
  return waitSocket(POLLIN, untilMs) ? 1 : 0;
}

void PanelStream::beginRequest(long long nowMs) {
  meter_.reset();
  readByMs_ = nowMs + kRequestMs;
  writeByMs_ = 0;
}

ssize_t PanelStream::fill() {
  pos_ = len_ = 0;
  for (;;) {
    if (MonotonicMs() >= readByMs_) return -1;  // however steadily the bytes trickle in
    short wait = POLLIN;
    if (ssl_ != nullptr) {
      ERR_clear_error();
      int r = SSL_read(ssl_, buf_, sizeof buf_);
      if (r > 0) {
        len_ = static_cast<size_t>(r);
        return r;
      }
      int e = SSL_get_error(ssl_, r);
      if (e == SSL_ERROR_ZERO_RETURN) return 0;
      if (e == SSL_ERROR_WANT_WRITE)
        wait = POLLOUT;
      else if (e != SSL_ERROR_WANT_READ)
        return e == SSL_ERROR_SYSCALL && errno == 0 ? 0 : -1;  // closed without a goodbye
    } else {
      ssize_t r = recv(fd_, buf_, sizeof buf_, 0);
      if (r > 0) {
        len_ = static_cast<size_t>(r);
        return r;
      }
      if (r == 0) return 0;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    }
    if (!waitSocket(wait, readByMs_)) return -1;
  }
}

bool PanelStream::is_readable() const {
  if (broken_) return false;
  if (pos_ < len_ || (ssl_ != nullptr && SSL_pending(ssl_) > 0)) return true;
  return WaitSocket(fd_, POLLIN, readByMs_, stop_);
}

bool PanelStream::is_writable() const {
  return !broken_;  // write() itself waits, up to the answer's deadline
}

ssize_t PanelStream::read(char *ptr, size_t size) {
  if (broken_) return -1;
  if (pos_ == len_) {
    ssize_t n = fill();
    if (n <= 0) {
      broken_ = n < 0;
      return n;
    }
  }
  size_t n = meter_.allow(buf_ + pos_, std::min(size, len_ - pos_));
  if (n == 0) {
    broken_ = true;  // over a limit: the parser sees a failed read
    return -1;
  }
  memcpy(ptr, buf_ + pos_, n);
  pos_ += n;
  return static_cast<ssize_t>(n);
}

ssize_t PanelStream::write(const char *ptr, size_t size) {
  if (broken_) return -1;
  if (writeByMs_ == 0) writeByMs_ = MonotonicMs() + kAnswerMs;
  size_t done = 0;
  while (done < size) {
    short wait = POLLOUT;
    if (ssl_ != nullptr) {
      ERR_clear_error();
      int r = SSL_write(ssl_, ptr + done, static_cast<int>(std::min<size_t>(size - done, INT_MAX)));
      if (r > 0) {
        done += static_cast<size_t>(r);
        continue;
      }
      int e = SSL_get_error(ssl_, r);
      if (e == SSL_ERROR_WANT_READ)
        wait = POLLIN;
      else if (e != SSL_ERROR_WANT_WRITE)
        break;
    } else {
      ssize_t r = send(fd_, ptr + done, size - done, MSG_NOSIGNAL);
      if (r > 0) {
        done += static_cast<size_t>(r);
        continue;
      }
      if (r < 0 && errno == EINTR) continue;
      if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) break;
    }
    if (!waitSocket(wait, writeByMs_)) break;
  }
  if (done < size) {
    broken_ = true;
    return -1;
  }
  return static_cast<ssize_t>(size);
}

void PanelStream::get_remote_ip_and_port(std::string &ip, int &port) const {
  ip = peerIp_;
  port = peerPort_;
}

void PanelStream::get_local_ip_and_port(std::string &ip, int &port) const {
  ip = localIp_;
  port = localPort_;
}

SSL *TlsAcceptBy(SSL_CTX *ctx, int fd, long long untilMs, const std::atomic<bool> *stop) {
  SSL *ssl = SSL_new(ctx);
  if (ssl == nullptr) return nullptr;
  SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (SSL_set_fd(ssl, fd) != 1) {
    SSL_free(ssl);
    return nullptr;
  }
  for (;;) {
    ERR_clear_error();
    int r = SSL_accept(ssl);
    if (r == 1) return ssl;
    int e = SSL_get_error(ssl, r);
    short wait = e == SSL_ERROR_WANT_READ ? POLLIN : e == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
    if (wait == 0 || !WaitSocket(fd, wait, untilMs, stop)) {
      SSL_free(ssl);
      return nullptr;
    }
  }
}

void TlsClose(SSL *ssl, bool goodbye) {
  if (ssl == nullptr) return;
  if (goodbye) {
    ERR_clear_error();
    SSL_shutdown(ssl);  // sends close_notify when it fits; the peer's is not awaited
  }
  SSL_free(ssl);
}
