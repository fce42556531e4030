#pragma once
// One connection of the unit link, plain TCP or inside TLS, owned by the link
// thread alone (OpenSSL forbids using one connection from two threads). Its
// socket is non-blocking: the thread waits in poll() for what the connection
// asks for (LinkEvents), then reads whatever has arrived into the receive
// buffer and writes what it has staged, and takes whole lines or frames out
// of the buffer. Nothing here blocks.
#include <openssl/ssl.h>
#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "remote/websocket.h"

enum LinkStatus {
  LINK_DONE = 0,     // finished (handshake complete, everything written, bytes read)
  LINK_AGAIN = 1,    // nothing more now: wait for the socket
  LINK_CLOSED = -1,  // the peer closed the connection
  LINK_FAILED = -2,  // a socket or TLS error
};

struct LinkConn {
  int fd = -1;
  SSL *ssl = nullptr;       // nullptr: plain TCP
  std::string peer;         // the peer's address or host, for the log
  std::vector<uint8_t> in;  // received, not yet taken
  size_t pos = 0;
  std::vector<uint8_t> out;  // staged, not yet written
  size_t outPos = 0;
  size_t tlsRetry = 0;     // length of a TLS write that must be repeated
  bool wantWrite = false;  // a TLS read or handshake waits for the socket to take bytes
  bool skipping = false;   // in an overlong line, up to its newline
  int lastErrno = 0;
  std::string tlsError;  // OpenSSL's reason of the last failure
};

// Takes a connected socket (made non-blocking here) and, with a context,
// wraps it in TLS as the server or the client side. False when TLS cannot
// be set up (the socket is closed then).
bool LinkAttach(LinkConn *c, int fd, SSL_CTX *ctx, bool server, const std::string &peer);
// Sends TLS's close notice when it can without waiting, frees the TLS state
// and closes the socket. The record can be attached again.
void LinkClose(LinkConn *c);

// One step of the TLS handshake: LINK_DONE once complete (at once on a
// plain connection), LINK_AGAIN, or LINK_FAILED (tlsError says why).
LinkStatus LinkTlsStep(LinkConn *c, bool server);

// Reads up to max bytes into the receive buffer: LINK_DONE when some came,
// LINK_AGAIN when none is there now, LINK_CLOSED, LINK_FAILED. With TLS,
// call until LINK_AGAIN: the TLS layer may hold bytes poll() cannot see.
LinkStatus LinkRead(LinkConn *c, size_t max);
// Stages bytes to be written (the caller's whole frames or lines).
void LinkStage(LinkConn *c, const void *data, size_t n);
size_t LinkStaged(const LinkConn *c);
// Writes what is staged: LINK_DONE when all of it went, LINK_AGAIN when the
// rest waits for the socket, LINK_FAILED. *written: bytes that went now.
LinkStatus LinkFlush(LinkConn *c, size_t *written = nullptr);
// The poll() events the connection waits for.
short LinkEvents(const LinkConn *c);

size_t LinkBuffered(const LinkConn *c);
// One line of at most maxLen bytes ending with '\n' (newline included) into
// *line: true. A longer line comes back cut to maxLen bytes without its
// newline, and the rest of it up to the newline is skipped. False: no whole
// line yet.
bool LinkTakeLine(LinkConn *c, size_t maxLen, std::string *line);
// One whole frame into buf (capacity cap): 1 with *head and *len set; 0 when
// it has not all arrived; -1 when its head is none this reader follows
// (*bad says which), which ends the connection.
int LinkTakeFrame(LinkConn *c, uint8_t *buf, size_t cap, WsHead *head, size_t *len,
                  WsHeadResult *bad);
// True while the buffer holds the start of a frame that has not all arrived.
bool LinkPartialFrame(const LinkConn *c);

// Keepalive and no delay on a connected socket.
void LinkTuneSocket(int fd);
// Waits in poll() for the connection's events (and extra's, when given) up
// to ms. Returns poll()'s result; revents are in *got and extra->revents.
int LinkWait(LinkConn *c, int ms, short *got, pollfd *extra = nullptr);
