// The web panel's accept loop and workers.
#include "web/web_listener.h"

#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "platform/log.h"

namespace {

constexpr long long kRefusalLogMs = 60000;  // refusals are summed up at most this often
constexpr int kBacklog = 16;
constexpr int kAcceptsPerWake = 64;

constexpr char kBusyAnswer[] =
    "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\nRetry-After: 1\r\n"
    "Cache-Control: no-store\r\nContent-Length: 0\r\n\r\n";
constexpr char kUseHttps[] =
    "HTTP/1.1 400 Bad Request\r\nConnection: close\r\nContent-Type: text/plain\r\n"
    "Content-Length: 57\r\n\r\nThis port speaks HTTPS: open https:// instead of http://\n";

// A browser sent plain HTTP to the TLS port (its first byte is a method's
// capital, never a TLS record's): tell the person what to type instead.
bool answeredPlainHttp(int fd) {
  char first = 0;
  if (recv(fd, &first, 1, MSG_PEEK) != 1 || first < 'A' || first > 'Z') return false;
  char drain[4096];  // what came, so closing does not reset the answer away
  while (recv(fd, drain, sizeof drain, MSG_DONTWAIT) > 0) {
  }
  if (send(fd, kUseHttps, sizeof kUseHttps - 1, MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
  }
  return true;
}

}  // namespace

WebListener::WebListener(ServeRequest serve, SSL_CTX *tls, std::atomic<bool> *stop)
    : serve_(std::move(serve)), tls_(tls), stop_(stop) {
  for (int i = 0; i < kServedConnections; ++i) slots_.push_back(std::make_unique<Slot>());
}

WebListener::~WebListener() {
  *stop_ = true;
  for (auto &s : slots_) {
    { std::lock_guard<std::mutex> lock(s->mutex); }
    s->cv.notify_all();
  }
  for (auto &s : slots_)
    if (s->thread.joinable()) s->thread.join();
  if (listenFd_ >= 0) close(listenFd_);
}

bool WebListener::open(const std::string &bind, int port, std::string *why) {
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo *found = nullptr;
  const std::string service = std::to_string(port);
  if (getaddrinfo(bind.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
    *why = bind + " is not a numeric address";
    return false;
  }
  int fd = socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int yes = 1, no = 0;
  bool ok = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == 0;
  // "::" takes IPv4 connections as well.
  if (ok && found->ai_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
  ok = ok && ::bind(fd, found->ai_addr, found->ai_addrlen) == 0 && listen(fd, kBacklog) == 0;
  if (!ok) *why = strerror(errno);
  freeaddrinfo(found);
  if (!ok) {
    if (fd >= 0) close(fd);
    return false;
  }
  listenFd_ = fd;
  return true;
}

void WebListener::run(const std::function<bool()> &running) {
  for (auto &s : slots_) {
    Slot *slot = s.get();
    slot->thread = std::thread([this, slot] { work(slot); });
  }
  while (running() && !*stop_) {
    pollfd p = {listenFd_, POLLIN, 0};
    if (poll(&p, 1, 500) > 0) acceptReady();
    logRefusals(false);
  }
  *stop_ = true;
  for (auto &s : slots_) {
    { std::lock_guard<std::mutex> lock(s->mutex); }
    s->cv.notify_all();
  }
  for (auto &s : slots_)
    if (s->thread.joinable()) s->thread.join();
  logRefusals(true);
}

void WebListener::acceptReady() {
  for (int i = 0; i < kAcceptsPerWake; ++i) {
    sockaddr_storage a = {};
    socklen_t n = sizeof a;
    int fd = accept4(listenFd_, reinterpret_cast<sockaddr *>(&a), &n, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        // Out of descriptors or memory: the connection waits in the
        // backlog; try again a little later instead of spinning.
        long long now = MonotonicMs();
        if (now - lastAcceptErrorLogMs_ >= kRefusalLogMs) {
          LogErr("Web panel: can't accept a connection: %s", strerror(errno));
          lastAcceptErrorLogMs_ = now;
        }
        poll(nullptr, 0, 100);
      }
      return;
    }
    Connection c;
    c.fd = fd;
    AddressText(&a, &c.ip, &c.port);
    c.key = AddressKey(c.ip);
    c.trusted = limits_.trusted(c.key, MonotonicMs());
    Admission admission = limits_.admit(c.key, assign(c, true), MonotonicMs());
    if (admission == Admission::kServe && !assign(c, false)) {
      limits_.closed(c.key);  // the idle connection it was to replace woke up meanwhile
      admission = Admission::kBusy;
    }
    switch (admission) {
      case Admission::kServe: continue;
      case Admission::kBusy: ++refusedBusy_; break;
      case Admission::kAddressRate:
      case Admission::kAddressFull: ++refusedAddress_; break;
      case Admission::kTotalRate: ++refusedRate_; break;
    }
    refuse(fd);
  }
}

void WebListener::refuse(int fd) {
  // Under TLS nothing can be said before a handshake, which is what a
  // refusal must not spend.
  if (tls_ == nullptr &&
      send(fd, kBusyAnswer, sizeof kBusyAnswer - 1, MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
  }
  close(fd);
}

bool WebListener::assign(const Connection &c, bool probeOnly) {
  // Given way, in this order: a stranger's idle connection, then (for the
  // owner's address only) a stranger's busy one; the one longest in its
  // state first.
  Slot *victim = nullptr;
  int victimRank = 0;
  long long victimSince = 0;
  for (auto &s : slots_) {
    std::unique_lock<std::mutex> lock(s->mutex);
    if (s->state == SlotState::kFree) {
      if (probeOnly) return true;
      s->conn = c;
      s->state = SlotState::kIdle;
      s->sinceMs = MonotonicMs();
      lock.unlock();
      s->cv.notify_all();
      return true;
    }
    if (s->conn.trusted) continue;
    int rank = s->state == SlotState::kIdle ? 2 : s->state == SlotState::kBusy && c.trusted ? 1 : 0;
    if (rank > victimRank || (rank == victimRank && rank > 0 && s->sinceMs < victimSince)) {
      victim = s.get();
      victimRank = rank;
      victimSince = s->sinceMs;
    }
  }
  if (victim == nullptr) return false;
  if (probeOnly) return true;
  std::lock_guard<std::mutex> lock(victim->mutex);
  if (victim->state != SlotState::kIdle && !(victim->state == SlotState::kBusy && c.trusted))
    return false;
  // The worker's wait, read or write fails, it closes that connection and
  // serves this one. The descriptor is touched here only under the slot's
  // lock while the worker still holds it open (kIdle, kBusy).
  victim->state = SlotState::kReclaimed;
  victim->next = c;
  shutdown(victim->conn.fd, SHUT_RDWR);
  return true;
}

void WebListener::trustAddress(const std::string &key) {
  limits_.trust(key, MonotonicMs());
}

bool WebListener::enterBusy(Slot *slot) {
  std::lock_guard<std::mutex> lock(slot->mutex);
  if (slot->state != SlotState::kIdle) return slot->state == SlotState::kBusy;
  slot->state = SlotState::kBusy;
  slot->sinceMs = MonotonicMs();
  return true;
}

void WebListener::enterIdle(Slot *slot) {
  std::lock_guard<std::mutex> lock(slot->mutex);
  if (slot->state != SlotState::kBusy) return;
  slot->state = SlotState::kIdle;
  slot->sinceMs = MonotonicMs();
}

void WebListener::work(Slot *slot) {
  pthread_setname_np(pthread_self(), "web");
  for (;;) {
    Connection c;
    {
      std::unique_lock<std::mutex> lock(slot->mutex);
      slot->cv.wait(lock, [&] { return slot->state != SlotState::kFree || *stop_; });
      if (slot->state == SlotState::kFree) return;
      c = slot->conn;
    }
    for (;;) {
      serveConnection(slot, c);
      {
        // Out of kIdle and kBusy before the descriptor goes.
        std::lock_guard<std::mutex> lock(slot->mutex);
        if (slot->state != SlotState::kReclaimed) slot->state = SlotState::kClosing;
      }
      close(c.fd);
      limits_.closed(c.key);
      std::lock_guard<std::mutex> lock(slot->mutex);
      if (slot->state == SlotState::kReclaimed) {
        slot->conn = slot->next;
        slot->next = Connection();
        slot->state = SlotState::kIdle;
        slot->sinceMs = MonotonicMs();
        c = slot->conn;
        continue;
      }
      slot->state = SlotState::kFree;
      slot->conn = Connection();
      break;
    }
  }
}

void WebListener::serveConnection(Slot *slot, const Connection &c) {
  SSL *ssl = nullptr;
  if (tls_ != nullptr) {
    // Waiting for the handshake's first byte costs nothing: idle.
    if (!WaitSocket(c.fd, POLLIN, MonotonicMs() + kIdleMs, stop_) || !enterBusy(slot)) return;
    if (!answeredPlainHttp(c.fd))
      ssl = TlsAcceptBy(tls_, c.fd, MonotonicMs() + kHandshakeMs, stop_);
    if (ssl == nullptr) {
      limits_.handshakeFailed(c.key, MonotonicMs());
      ++failedHandshakes_;
      return;
    }
    enterIdle(slot);
  }
  PanelStream stream(c.fd, ssl, c.ip, c.port, stop_);
  for (int n = 0; n < kMaxRequestsPerConnection; ++n) {
    if (stream.waitRequest(MonotonicMs() + kIdleMs) != 1 || !enterBusy(slot)) break;
    stream.beginRequest(MonotonicMs());
    if (!serve_(stream) || stream.broken()) break;
    enterIdle(slot);
  }
  TlsClose(ssl, !stream.broken());
}

void WebListener::logRefusals(bool force) {
  long long now = MonotonicMs();
  int failed = failedHandshakes_.load();
  int total = refusedBusy_ + refusedAddress_ + refusedRate_;
  if (total + failed == 0 || (!force && now - lastRefusalLogMs_ < kRefusalLogMs)) return;
  LogInfo(
      "Web panel: %d connections refused (%d with every worker busy, %d over their address's "
      "limits, %d over the rate of all) and %d TLS handshakes failed since the last report",
      total, refusedBusy_, refusedAddress_, refusedRate_, failed);
  failedHandshakes_ -= failed;
  refusedBusy_ = refusedAddress_ = refusedRate_ = 0;
  lastRefusalLogMs_ = now;
}
