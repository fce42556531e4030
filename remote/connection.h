#pragma once
// The remote link's socket I/O: buffered reads and whole writes that wait in
// poll() at most a second at a time, so a stop request is seen promptly and
// every wait on the peer has its deadline.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/works.h"
#include "remote/websocket.h"

enum WsIo { WS_IO_OK = 0, WS_IO_EOF = -1, WS_IO_ERROR = -2, WS_IO_TIMEOUT = -3, WS_IO_STOP = -4 };

// True while the link thread should go on.
using WsKeepGoing = bool (*)(Works *);

struct WsConn {
  int fd = -1;
  Works *works = nullptr;
  WsKeepGoing keepGoing = nullptr;
  std::vector<uint8_t> in;  // received, not yet consumed
  size_t pos = 0;
  int lastErrno = 0;
};

// Deadline in monotonic milliseconds, or -1 for none.
long long WsDeadline(int fromNowMs);

// One line of at most maxLen bytes ending with '\n' (newline included). A
// longer line comes back cut to maxLen bytes without its newline, and the
// rest of it up to the newline is skipped.
int WsReadLine(WsConn *c, long long deadline, size_t maxLen, std::string *line);
// Exactly n bytes.
int WsReadExact(WsConn *c, long long deadline, uint8_t *dst, size_t n);
// The whole of n bytes on a socket within timeoutMs (no SIGPIPE). Returns
// WS_IO_OK, WS_IO_TIMEOUT or WS_IO_ERROR.
int WsWriteAll(int fd, const void *data, size_t n, int timeoutMs);

// Reads one frame into buf (capacity cap): the first four bytes by the
// deadline (-1: none), then the rest by the same deadline or, without one,
// within 10 s. client selects the client's texts of the read
// errors ("1A" rather than "1a"). Returns WS_IO_OK with *len and *head set;
// any other result ends the connection (logged here).
int WsReadFrame(WsConn *c, bool client, long long deadline, uint8_t *buf, size_t cap, WsHead *head,
                size_t *len);

// The connection becomes the one the frame writers use (fd, connected) or
// stops being it: both fields change together under sendMutex.
void WsSetConnected(Works *works, int fd, bool on);

// Keepalive and no delay on a connected socket.
void WsTuneSocket(int fd);
// Waits up to ms in poll() slices of at most 1 s while keepGoing holds.
// Returns false when told to stop.
bool WsPause(Works *works, WsKeepGoing keepGoing, int ms);
