#include "remote/open_link.h"

#include <poll.h>

#include "platform/clock.h"
#include "platform/log.h"

namespace {

constexpr size_t kReadSlice = 16 * 1024;
constexpr size_t kStageSlice = 16 * 1024;

void logEnd(const OpenLink *o, LinkStatus st) {
  const bool c = o->client;
  const int err = st == LINK_CLOSED ? 0 : o->conn->lastErrno;
  if (!o->conn->tlsError.empty()) LogErr("remote link TLS: %s", o->conn->tlsError.c_str());
  if (LinkPartialFrame(o->conn)) {
    const LinkConn *in = o->conn;
    const bool longForm = LinkBuffered(in) >= 2 && in->in[in->pos + 1] == 126;
    LogInfo(longForm ? "TCP read Error 4a %d" : "TCP read Error 3a %d", err);
    LogInfo(c ? "TCP read Error 6A %d" : "TCP read Error 6a %d", err);
  } else {
    LogInfo(c ? "TCP read Error 1A %d" : "TCP read Error 1a %d", err);
    LogInfo(c ? "TCP read Error 2A %d" : "TCP read Error 2a %d", err);
  }
}

void logBadHead(const uint8_t *b, WsHeadResult r, const WsHead &head, size_t cap) {
  switch (r) {
    case WS_HEAD_OK: break;
    case WS_HEAD_TOO_SHORT:
      LogErr("frame %02x %02x shorter than its header: connection closed", b[0], b[1]);
      break;
    case WS_HEAD_LONG64:
      LogErr("frame %02x %02x: length code %d is not accepted: connection closed", b[0], b[1],
             b[1]);
      break;
    case WS_HEAD_TOO_BIG:
      LogErr("frame %02x %02x of %zu bytes exceeds the receive buffer (%zu): connection closed",
             b[0], b[1], head.rest + 4, cap);
      break;
  }
}

// Every whole frame in the buffer, dispatched. False: the connection ends.
bool dispatchBuffered(Works *works, OpenLink *o) {
  for (;;) {
    WsHead head;
    size_t len = 0;
    WsHeadResult bad = WS_HEAD_OK;
    int r = LinkTakeFrame(o->conn, o->frame.data(), o->frame.size(), &head, &len, &bad);
    if (r == 0) return true;
    if (r < 0) {
      logBadHead(o->conn->in.data() + o->conn->pos, bad, head, o->frame.size());
      return false;
    }
    WsFrame f;
    if (WsParseFrame(o->frame.data(), len, head, &f) != 0) return false;
    if (!RemoteDispatch(works, o->link, f)) return false;
  }
}

}  // namespace

void OpenLinkStart(OpenLink *o, Works *works, LinkConn *conn, RemoteLink *link, bool client) {
  o->conn = conn;
  o->link = link;
  o->client = client;
  o->frame.assign(RemoteReceiveCapacity(works), 0);
  o->quietSinceMs = -1;
  o->partialSinceMs = -1;
  link->levels = PlaybackLevels{};
}

short OpenLinkEvents(const OpenLink *o, LinkOutbox *box) {
  short ev = LinkEvents(o->conn);
  if (box != nullptr && box->pending() > 0) ev |= POLLOUT;
  return ev;
}

bool OpenLinkService(Works *works, OpenLink *o, LinkOutbox *box, long long nowMs) {
  LinkConn *c = o->conn;
  // Everything that has arrived: with TLS the layer may hold more than the
  // socket shows, so read until it has nothing.
  for (;;) {
    LinkStatus st = LinkRead(c, kReadSlice);
    if (!dispatchBuffered(works, o)) return false;
    if (st == LINK_AGAIN) break;
    if (st != LINK_DONE) {
      logEnd(o, st);
      return false;
    }
  }
  if (!LinkPartialFrame(c)) {
    o->partialSinceMs = -1;
  } else if (o->partialSinceMs < 0) {
    o->partialSinceMs = nowMs;
  } else if (nowMs - o->partialSinceMs > kFrameRestMs) {
    LogInfo("TCP read Error 3a %d", 0);
    LogErr("frame not complete within %lld s: connection closed", kFrameRestMs / 1000);
    return false;
  }

  // What the writers queued, as far as the socket takes it.
  if (box != nullptr) box->takeWake();
  uint8_t slice[kStageSlice];
  for (;;) {
    size_t staged = LinkStaged(c);
    if (box != nullptr && staged < kStageSlice) {
      size_t n = box->take(slice, kStageSlice - staged);
      if (n > 0) LinkStage(c, slice, n);
    }
    if (LinkStaged(c) == 0 && !c->wantWrite) break;
    size_t written = 0;
    LinkStatus st = LinkFlush(c, &written);
    if (written > 0) o->quietSinceMs = nowMs;
    if (st == LINK_FAILED) {
      LogErr("TCP write Error %d", c->lastErrno);
      if (!c->tlsError.empty()) LogErr("remote link TLS: %s", c->tlsError.c_str());
      return false;
    }
    if (st == LINK_AGAIN) break;
    if (box == nullptr || box->pending() == 0) break;
  }
  const bool waiting = LinkStaged(c) > 0 || (box != nullptr && box->pending() > 0);
  if (!waiting) {
    o->quietSinceMs = -1;
  } else if (o->quietSinceMs < 0) {
    o->quietSinceMs = nowMs;
  } else if (nowMs - o->quietSinceMs > kStallMs) {
    LogErr("remote peer not taking frames: connection marked down");
    return false;
  }
  return true;
}

void OpenLinkSetConnected(Works *works, LinkOutbox *box, int fd, bool on) {
  if (on && box != nullptr) box->open();
  {
    std::unique_lock<std::mutex> lock;
    if (works->sendMutex != nullptr) lock = std::unique_lock<std::mutex>(*works->sendMutex);
    works->remoteSock = on ? fd : -1;
    works->remoteConnected = on ? 1 : 0;
  }
  if (!on && box != nullptr) box->close();
}

bool LinkSleep(Works *works, bool (*keepGoing)(Works *), int ms) {
  long long deadline = MonotonicMs() + ms;
  for (;;) {
    if (keepGoing != nullptr && !keepGoing(works)) return false;
    long long left = deadline - MonotonicMs();
    if (left <= 0) return true;
    poll(nullptr, 0, static_cast<int>(left < 1000 ? left : 1000));
  }
}
