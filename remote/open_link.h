#pragma once
// The authenticated connection, on either side: the frames the peer sends are
// dispatched as they arrive, and the frames the other threads queued in the
// outbox go out as fast as the socket takes them. The link thread calls
// OpenLinkService after each poll() that concerns the connection or the
// outbox's wake-up descriptor.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/works.h"
#include "remote/connection.h"
#include "remote/outbox.h"
#include "remote/receive.h"

// A peer that takes no bytes for this long while frames wait is given up; a
// frame that has begun must be complete within kFrameRestMs.
constexpr long long kStallMs = 5000;
constexpr long long kFrameRestMs = 10000;

struct OpenLink {
  LinkConn *conn = nullptr;
  RemoteLink *link = nullptr;
  bool client = false;
  std::vector<uint8_t> frame;     // receive buffer: the largest frame the peer sends
  long long quietSinceMs = -1;    // output waiting, none taken since
  long long partialSinceMs = -1;  // a frame begun, not complete since
};

void OpenLinkStart(OpenLink *o, Works *works, LinkConn *conn, RemoteLink *link, bool client);
// The events to poll the connection for.
short OpenLinkEvents(const OpenLink *o, LinkOutbox *box);
// Reads and dispatches what has arrived, writes what waits. False when the
// connection has ended (the reason is logged).
bool OpenLinkService(Works *works, OpenLink *o, LinkOutbox *box, long long nowMs);

// The connection becomes the one the frame writers send to (the outbox is
// opened first, for a new peer) or stops being it.
void OpenLinkSetConnected(Works *works, LinkOutbox *box, int fd, bool on);

// Waits up to ms in slices of at most 1 s while keepGoing holds. False when
// told to stop.
bool LinkSleep(Works *works, bool (*keepGoing)(Works *), int ms);
