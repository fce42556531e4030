// The remote server: serves one operator unit at a time, and no stranger can
// hold it. One thread owns every connection and waits for all of them in
// one poll(): up to four peers may be in their handshake at once, each with
// its own 10 s for the handshake and the pass phrase; an address in its pause
// after a refused pass phrase is closed at once and takes no place; a newly
// authenticated peer replaces the one before it (whose connection may have
// died without a word). Nothing a peer sends is acted on before its pass
// phrase, the first frame of the connection, has been checked. With
// RemoteTls the whole connection is inside TLS.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "core/event_log.h"
#include "core/setup.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "remote/admission.h"
#include "remote/connection.h"
#include "remote/open_link.h"
#include "remote/preauth_log.h"
#include "remote/receive.h"
#include "remote/remote.h"
#include "remote/remote_file.h"
#include "security/tls_identity.h"

namespace {

constexpr long long kHandshakeMs = 10000;
constexpr size_t kHandshakeSlots = 4;
constexpr size_t kSlotsPerAddress = 3;  // one address never takes every place
constexpr int kMaxHeaderLines = 64;
constexpr size_t kMaxHeaderBytes = 8192;
constexpr size_t kMaxLine = 1023;
constexpr size_t kPreAuthFrame = 1024;  // the pass phrase is one 7-bit text frame
constexpr size_t kPreAuthRead = 4096;
constexpr int kAcceptsPerWake = 16;
constexpr int kBacklog = 8;

bool serverKeepGoing(Works *works) {
  return works->running.load() != 0 && SetupChar(works, SB_WebSocket) == '1';
}

enum Phase { PHASE_TLS, PHASE_REQUEST, PHASE_PASSPHRASE };

// A peer in its handshake.
struct Pending {
  LinkConn conn;
  Phase phase = PHASE_REQUEST;
  long long acceptedMs = 0;
  bool known = false;  // the address authenticated within the last 30 days
  WsServerHandshake hs;
  std::string line;  // the request line being read
  int lines = 0;
  size_t headerBytes = 0;
  uint8_t frame[kPreAuthFrame];
};

struct Server {
  Works *works = nullptr;
  SSL_CTX *tls = nullptr;
  LinkOutbox *box = nullptr;
  LinkAdmission admission{&SharedGuessBudget()};
  std::vector<std::unique_ptr<Pending>> pending;
  bool isOpen = false;
  LinkConn open;
  OpenLink pump;
  RemoteLink link;
  long long acceptPausedUntil = 0;  // after a failed accept (no descriptor left)
};

// Hands the connection over (socket, TLS state and buffers); from is left
// closed and empty.
void moveConn(LinkConn *to, LinkConn *from) {
  *to = std::move(*from);
  from->fd = -1;
  from->ssl = nullptr;
}

void closeOpen(Server *s) {
  if (!s->isOpen) return;
  LogInfo("TCP exiting");
  OpenLinkSetConnected(s->works, s->box, -1, false);
  LinkClose(&s->open);
  s->isOpen = false;
  LogInfo("TCP closed");
}

// The pass phrase, admitted by the guessing rules and compared. True: the
// peer is authenticated.
bool checkPassphrase(Server *s, Pending *p, const WsFrame &f, long long nowMs) {
  const std::string &addr = p->conn.peer;
  GuessVerdict v = s->admission.admit(addr, p->known, nowMs);
  if (!v.compare) {
    StationEvents().Refused(addr, "link", nowMs);
    PreAuthLogLine(&p->hs.log, PRE_CLOSED, false,
                   "pass phrase from %s not compared: guessing is slowed down, next try in %lld ms",
                   addr.c_str(), v.retryMs);
    return false;
  }
  const bool ok =
      WsPassphraseMatches(s->works->remotePassword.str(), f.text, static_cast<size_t>(f.textLen));
  bool rewrite = false;
  s->admission.record(addr, p->known, ok, nowMs, static_cast<long long>(time(nullptr)), &rewrite);
  if (!ok) {
    StationEvents().Refused(addr, "link", nowMs);
    // Never its bytes: a near miss of the real pass phrase would be in the log.
    // The guessing budget bounds how often this line can come.
    LogErr("pass phrase refused (%d bytes) from %s", f.textLen, addr.c_str());
    return false;
  }
  LogInfo("required >%s< equals to >%s<", "(hidden)", "(hidden)");
  StationEvents().Record("login", {EventField("via", "link"), EventField("address", addr),
                                   EventField("ok", true)});
  if (rewrite) SaveKnownPeers(&s->admission);
  return true;
}

// Consumes what the peer sent so far. 1: authenticated; 0: wants more;
// -1: the connection ends.
int advance(Server *s, Pending *p, long long nowMs) {
  for (;;) {
    if (p->phase == PHASE_REQUEST) {
      if (!LinkTakeLine(&p->conn, kMaxLine, &p->line)) {
        if (p->headerBytes + p->line.size() > kMaxHeaderBytes) break;
        return 0;
      }
      p->headerBytes += p->line.size();
      if (++p->lines > kMaxHeaderLines || p->headerBytes > kMaxHeaderBytes) break;
      if (p->line.back() == '\n') WsServerLine(&p->hs, p->line.data(), p->line.size());
      p->line.clear();
      if (p->hs.count < kWsServerCount) continue;
      std::string lines[5];
      WsServerResponse(p->hs.key, lines);
      for (const std::string &l : lines) {
        LinkStage(&p->conn, l.data(), l.size());
        PreAuthLogLine(&p->hs.log, PRE_SENT, false, "sent %d bytes error %d",
                       static_cast<int>(l.size()), 0);
      }
      PreAuthLogLine(&p->hs.log, PRE_ACCEPT, false, "Sec-WebSocket-Accept: %s",
                     WsAcceptValue(p->hs.key).c_str());
      p->phase = PHASE_PASSPHRASE;
      continue;
    }
    if (p->phase != PHASE_PASSPHRASE) return 0;
    WsHead head;
    size_t len = 0;
    WsHeadResult bad = WS_HEAD_OK;
    int r = LinkTakeFrame(&p->conn, p->frame, sizeof p->frame, &head, &len, &bad);
    if (r == 0) return 0;
    WsFrame f;
    if (r < 0 || WsParseFrame(p->frame, len, head, &f) != 0 || f.text == nullptr) {
      const uint8_t *b = r < 0 ? p->conn.in.data() + p->conn.pos : p->frame;
      PreAuthLogLine(&p->hs.log, PRE_CLOSED, true,
                     "frame %x before the pass phrase: connection closed", b[0]);
      return -1;
    }
    return checkPassphrase(s, p, f, nowMs) ? 1 : -1;
  }
  PreAuthLogLine(&p->hs.log, PRE_CLOSED, true,
                 "handshake request over %d lines or %zu bytes: connection closed", kMaxHeaderLines,
                 kMaxHeaderBytes);
  return -1;
}

// The peer became the authenticated one: it replaces the one before.
void promote(Server *s, Pending *p, long long nowMs) {
  if (s->isOpen) {
    LogInfo("peer %s replaced by a newly authenticated peer from %s", s->open.peer.c_str(),
            p->conn.peer.c_str());
    closeOpen(s);
  }
  moveConn(&s->open, &p->conn);
  s->isOpen = true;
  {
    std::lock_guard<std::mutex> lock(*s->works->remoteMutex);
    OpenLinkSetConnected(s->works, s->box, s->open.fd, true);
    fputs("connected\n", stdout);
    fflush(stdout);
  }
  LogInfo("Receiving data");
  OpenLinkStart(&s->pump, s->works, &s->open, &s->link, false);
  // Frames that came right behind the pass phrase are in the buffer already.
  if (!OpenLinkService(s->works, &s->pump, s->box, nowMs)) closeOpen(s);
}

// Reads, advances and writes one peer in its handshake. False: it ends.
bool servePending(Server *s, Pending *p, long long nowMs, bool *promoted) {
  *promoted = false;
  if (p->phase == PHASE_TLS) {
    LinkStatus st = LinkTlsStep(&p->conn, true);
    if (st == LINK_AGAIN) return true;
    if (st != LINK_DONE) {
      PreAuthLogLine(&p->hs.log, PRE_CLOSED, true, "TLS handshake with %s failed: %s",
                     p->conn.peer.c_str(), p->conn.tlsError.c_str());
      return false;
    }
    p->phase = PHASE_REQUEST;
  }
  for (;;) {
    LinkStatus st = LinkRead(&p->conn, kPreAuthRead);
    int r = advance(s, p, nowMs);
    if (r < 0) return false;
    if (r > 0) {
      *promoted = true;
      return true;
    }
    if (st == LINK_AGAIN) break;
    if (st != LINK_DONE) {
      PreAuthLogLine(&p->hs.log, PRE_CLOSED, true, "TCP read error %d",
                     st == LINK_CLOSED ? 0 : p->conn.lastErrno);
      return false;
    }
  }
  return LinkFlush(&p->conn) != LINK_FAILED;
}

size_t placesOf(const Server *s, const std::string &addr) {
  size_t n = 0;
  for (const auto &p : s->pending) n += p->conn.peer == addr;
  return n;
}

// Takes the connections waiting at the listening socket; each is closed at
// once when its address is in its pause or there is no place for it.
void acceptPeers(Server *s, int ls, long long nowMs) {
  for (int i = 0; i < kAcceptsPerWake; ++i) {
    sockaddr_in peer = {};
    socklen_t peerLen = sizeof peer;
    int fd = accept4(ls, reinterpret_cast<sockaddr *>(&peer), &peerLen, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      // ECONNABORTED, EMFILE, ...: this connection is lost, the server is not.
      PreAuthLogLine(nullptr, PRE_CLOSED, true, "Accept-ing error %d", errno);
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        s->acceptPausedUntil = nowMs + 1000;
      return;
    }
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    const std::string addr = text;
    const long long nowSec = static_cast<long long>(time(nullptr));
    const bool known = s->admission.known(addr, nowSec);
    long long paused = s->admission.pausedMs(addr, nowMs, nowSec);
    if (paused > 0) {
      PreAuthLogLine(nullptr, PRE_CLOSED, false,
                     "connection from %s closed: its pass phrase was refused, %lld ms to wait",
                     text, paused);
      close(fd);
      continue;
    }
    if (!known && placesOf(s, addr) >= kSlotsPerAddress) {
      PreAuthLogLine(nullptr, PRE_CLOSED, false,
                     "connection from %s closed: %zu of its handshakes are under way", text,
                     kSlotsPerAddress);
      close(fd);
      continue;
    }
    if (s->pending.size() >= kHandshakeSlots) {
      // An address the owner used lately takes the place of the oldest stranger.
      size_t oldest = s->pending.size();
      for (size_t k = 0; known && k < s->pending.size(); ++k)
        if (!s->pending[k]->known && (oldest == s->pending.size() ||
                                      s->pending[k]->acceptedMs < s->pending[oldest]->acceptedMs))
          oldest = k;
      if (oldest == s->pending.size()) {
        PreAuthLogLine(nullptr, PRE_CLOSED, false,
                       "connection from %s closed: %zu handshakes are under way", text,
                       kHandshakeSlots);
        close(fd);
        continue;
      }
      PreAuthLogLine(nullptr, PRE_CLOSED, false,
                     "handshake of %s closed to make room for %s, an address known to this unit",
                     s->pending[oldest]->conn.peer.c_str(), text);
      LinkClose(&s->pending[oldest]->conn);
      s->pending.erase(s->pending.begin() + static_cast<long>(oldest));
    }
    auto p = std::make_unique<Pending>();
    LinkTuneSocket(fd);
    if (!LinkAttach(&p->conn, fd, s->tls, true, addr)) {
      LogErr("TLS set-up failed: %s", p->conn.tlsError.c_str());
      continue;
    }
    p->phase = s->tls != nullptr ? PHASE_TLS : PHASE_REQUEST;
    p->acceptedMs = nowMs;
    p->known = known;
    PreAuthLogLine(&p->hs.log, PRE_CONNECTED, false, "Connected by %s", text);
    s->pending.push_back(std::move(p));
  }
}

// The listening socket, or -1 (logged).
int listenOn(int port) {
  int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (ls < 0) {
    LogErr("Socket open error %d", errno);
    return -1;
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
    return -1;
  }
  // Room for the operator's connection beside strangers' until the loop
  // takes them (they are taken at once, and closed at once when there is no
  // place for them).
  if (listen(ls, kBacklog) != 0) {
    LogErr("Listening error %d", errno);
    close(ls);
    return -1;
  }
  return ls;
}

// The TLS context of the station's side, or nullptr (logged).
SSL_CTX *serverTls(const RemoteFileSettings &settings) {
  TlsIdentity id;
  std::string why;
  SSL_CTX *ctx = nullptr;
  if (UnitIdentity(settings.webCert, settings.webKey, &id, &why))
    ctx = NewTlsServerContext(id, &why);
  if (ctx == nullptr) {
    LogErr("unit link over TLS: no certificate (%s); the link is not served", why.c_str());
    return nullptr;
  }
  LogInfo("unit link over TLS: operator units see SHA-256 fingerprint %s",
          FingerprintWithColons(id.fingerprint).c_str());
  return ctx;
}

void serve(Server *s, int ls) {
  Works *works = s->works;
  std::vector<pollfd> fds;
  while (serverKeepGoing(works)) {
    long long now = MonotonicMs();
    // Peers past their deadline go first.
    for (size_t i = 0; i < s->pending.size();) {
      Pending *p = s->pending[i].get();
      if (now - p->acceptedMs < kHandshakeMs) {
        ++i;
        continue;
      }
      if (p->phase == PHASE_PASSPHRASE)
        PreAuthLogLine(&p->hs.log, PRE_CLOSED, true,
                       "no pass phrase within %lld s: connection closed", kHandshakeMs / 1000);
      else
        PreAuthLogLine(&p->hs.log, PRE_CLOSED, true,
                       "handshake not complete after %lld s: connection closed",
                       kHandshakeMs / 1000);
      LinkClose(&p->conn);
      s->pending.erase(s->pending.begin() + static_cast<long>(i));
    }
    int timeout = 1000;
    for (const auto &p : s->pending) {
      long long left = p->acceptedMs + kHandshakeMs - now;
      if (left < timeout) timeout = left < 0 ? 0 : static_cast<int>(left);
    }
    fds.clear();
    fds.push_back({now >= s->acceptPausedUntil ? ls : -1, POLLIN, 0});
    fds.push_back({s->box->wakeFd(), POLLIN, 0});
    fds.push_back(
        {s->isOpen ? s->open.fd : -1, s->isOpen ? OpenLinkEvents(&s->pump, s->box) : short(0), 0});
    for (const auto &p : s->pending) fds.push_back({p->conn.fd, LinkEvents(&p->conn), 0});
    int n = poll(fds.data(), fds.size(), timeout);
    if (n < 0 && errno != EINTR) {
      LogErr("poll error %d", errno);
      LinkSleep(works, serverKeepGoing, 1000);
      continue;
    }
    now = MonotonicMs();
    // Handshakes first: a peer authenticated now is served below.
    const size_t first = 3;
    const size_t count = s->pending.size();
    std::vector<Pending *> done;
    for (size_t i = 0; i < count; ++i) {
      Pending *p = s->pending[i].get();
      if (fds[first + i].revents == 0) continue;
      bool promoted = false;
      if (!servePending(s, p, now, &promoted)) {
        LinkClose(&p->conn);
        done.push_back(p);
      } else if (promoted) {
        promote(s, p, now);
        done.push_back(p);
      }
    }
    for (Pending *p : done)
      for (size_t i = 0; i < s->pending.size(); ++i)
        if (s->pending[i].get() == p) {
          s->pending.erase(s->pending.begin() + static_cast<long>(i));
          break;
        }
    // The authenticated peer: its frames in, the outbox out; also on a
    // quiet second, so a stalled peer is noticed.
    if (s->isOpen && !OpenLinkService(works, &s->pump, s->box, now)) closeOpen(s);
    if (!s->isOpen && fds[1].revents != 0) s->box->takeWake();
    if (fds[0].fd >= 0 && (fds[0].revents & POLLIN)) acceptPeers(s, ls, now);
  }
}

}  // namespace

void *Wsocket(void *arg) {
  Works *works = static_cast<Works *>(arg);
  staticworks = works;
  const int port = works->tcpPort.load();
  LogInfo("Wsocket on port %d mode %c", port, SetupChar(works, SB_WebSocket));
  fputs("wsocket\n", stdout);
  fflush(stdout);
  const RemoteFileSettings settings = ReadRemoteFile();
  if (!ApplyRemoteSettings(works, settings))
    LogErr(
        "remote link uses the built-in pass phrase: set your own with \"Password:\" in "
        "/opt/set/remote.txt");
  if (!LinkSleep(works, serverKeepGoing, 2000)) return nullptr;

  Server s;
  s.works = works;
  LinkOutbox spare;  // only when the record has none: frames then go nowhere
  s.box = works->remoteOutbox != nullptr ? works->remoteOutbox : &spare;
  if (settings.remoteTls) {
    s.tls = serverTls(settings);
    if (s.tls == nullptr) return nullptr;
  } else {
    LogErr(
        "the unit link is not encrypted: its pass phrase and frames cross the network in clear "
        "(RemoteTls: 1 on both units encrypts it)");
  }
  LoadKnownPeers(&s.admission, static_cast<long long>(time(nullptr)));
  s.link.side = REMOTE_SERVER;

  int ls = listenOn(port);
  if (ls >= 0) {
    LogInfo("Listening on port %d", port);
    works->remoteConnected = 0;
    serve(&s, ls);
    close(ls);
  }
  closeOpen(&s);
  for (auto &p : s.pending) LinkClose(&p->conn);
  s.pending.clear();
  works->remoteConnected = 0;
  if (s.tls != nullptr) SSL_CTX_free(s.tls);
  return nullptr;
}
