#pragma once
// One connection of the web panel as the HTTP library's Stream: a plain
// socket or a TLS session over it, never blocking for longer than its
// deadlines. A whole request (head and body) must arrive within
// kRequestMs of its first byte, its head within kMaxRequestHead bytes and
// its body within kMaxRequestBody; an answer must be written within
// kAnswerMs. The library reads a request's head a byte at a time, so bytes
// are read from the socket in blocks and handed out from a buffer.
#include <httplib.h>
#include <openssl/ssl.h>

#include <atomic>
#include <cstddef>
#include <string>

constexpr long long kRequestMs = 10000;
constexpr long long kAnswerMs = 10000;
constexpr size_t kMaxRequestHead = 16384;
constexpr size_t kMaxRequestBody = 4096;

// Counts the bytes of one request as they are handed to the parser: the
// head ends at the first empty line ("\r\n\r\n"), whatever follows is body.
class RequestMeter {
 public:
  void reset() { *this = RequestMeter(); }
  // How many of the n bytes at p stay within the limits (n when all do).
  size_t allow(const char *p, size_t n);
  // This request's body may be up to maxBody bytes.
  void raiseBodyLimit(size_t maxBody) { maxBody_ = maxBody; }

 private:
  size_t maxBody_ = kMaxRequestBody;
  size_t head_ = 0;
  size_t body_ = 0;
  int matched_ = 0;  // bytes of "\r\n\r\n" seen at the end of the head so far
  bool headDone_ = false;
};

class PanelStream : public httplib::Stream {
 public:
  // fd: a connected non-blocking socket; ssl: its TLS session after the
  // handshake, or nullptr for plain HTTP. Neither is owned. stop ends every
  // wait within a quarter of a second.
  PanelStream(int fd, SSL *ssl, const std::string &peerIp, int peerPort,
              const std::atomic<bool> *stop);

  // Waits until bytes of a next request are there (or the peer closed),
  // at most until untilMs (monotonic). 1: there are, 0: time-out or stop,
  // -1: the connection failed.
  int waitRequest(long long untilMs);
  // A new request starts: its clock runs from now (its first byte is there).
  void beginRequest(long long nowMs);
  // The one route that takes a large body (a restore), decided from its
  // head: this request's body may be up to maxBody bytes and arrive until
  // untilMs (monotonic).
  void allowLargeBody(size_t maxBody, long long untilMs) {
    meter_.raiseBodyLimit(maxBody);
    readByMs_ = untilMs;
  }
  // A read or write failed, came too late or went over a limit: the
  // connection is of no further use.
  bool broken() const { return broken_; }

  bool is_readable() const override;
  bool is_writable() const override;
  ssize_t read(char *ptr, size_t size) override;
  ssize_t write(const char *ptr, size_t size) override;
  void get_remote_ip_and_port(std::string &ip, int &port) const override;
  void get_local_ip_and_port(std::string &ip, int &port) const override;
  socket_t socket() const override { return fd_; }

 private:
  // Fills the empty buffer: >0 bytes, 0 the peer closed, -1 failure or late.
  ssize_t fill();
  // Waits for the socket (POLLIN or POLLOUT) until untilMs; false at the
  // deadline or stop.
  bool waitSocket(short events, long long untilMs);

  int fd_;
  SSL *ssl_;
  std::string peerIp_, localIp_;
  int peerPort_ = 0, localPort_ = 0;
  const std::atomic<bool> *stop_;
  char buf_[4096];
  size_t pos_ = 0, len_ = 0;
  RequestMeter meter_;
  long long readByMs_ = 0;   // the request's deadline
  long long writeByMs_ = 0;  // the answer's deadline, from its first byte (0: none yet)
  bool broken_ = false;
};

// Waits for events (POLLIN, POLLOUT) on fd until untilMs (monotonic); false
// at the deadline or when stop is set.
bool WaitSocket(int fd, short events, long long untilMs, const std::atomic<bool> *stop);
// The numeric address and port of a socket address ("" and 0 when neither
// IPv4 nor IPv6).
void AddressText(const void *sockaddrStorage, std::string *ip, int *port);

// The server's side of a TLS handshake on fd (non-blocking), finished by
// untilMs (monotonic) or given up. The session, or nullptr.
SSL *TlsAcceptBy(SSL_CTX *ctx, int fd, long long untilMs, const std::atomic<bool> *stop);
// Frees a TLS session; goodbye (the connection did not fail) sends the
// closing alert first, without waiting for the peer's.
void TlsClose(SSL *ssl, bool goodbye);
