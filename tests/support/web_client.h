#pragma once
// Clients of the web panel for integration tests: an HTTPS client that
// trusts the panel's certificate by its SHA-256 fingerprint and nothing
// else, a raw TLS (or plain) connection from a chosen source address for
// bytes no client library would send, and what a test measures of the
// program (peak memory, open descriptors).
#include <arpa/inet.h>
#include <dirent.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace webtest {

inline std::string Hex(const unsigned char *d, unsigned n) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned i = 0; i < n; ++i) {
    out += kHex[d[i] >> 4];
    out += kHex[d[i] & 15];
  }
  return out;
}

inline std::string CertFingerprint(X509 *cert) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned n = 0;
  return cert != nullptr && X509_digest(cert, EVP_sha256(), md, &n) == 1 ? Hex(md, n) : "";
}

// The SHA-256 fingerprint (64 lowercase hex digits) of a PEM certificate file.
inline std::string FileFingerprint(const std::string &pemPath) {
  FILE *f = fopen(pemPath.c_str(), "r");
  if (f == nullptr) return "";
  X509 *cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
  fclose(f);
  std::string hex = CertFingerprint(cert);
  X509_free(cert);
  return hex;
}

// Trusts exactly the certificate with the fingerprint *arg.
inline int VerifyPinned(X509_STORE_CTX *store, void *arg) {
  return CertFingerprint(X509_STORE_CTX_get0_cert(store)) == *static_cast<std::string *>(arg);
}

// An HTTPS client of 127.0.0.1:port that refuses any certificate but the
// pinned one. The fingerprint must outlive the client.
inline std::unique_ptr<httplib::SSLClient> PinnedClient(int port, const std::string *fingerprint) {
  auto cli = std::make_unique<httplib::SSLClient>("127.0.0.1", port);
  cli->enable_server_certificate_verification(false);  // its CA check; the pin instead
  SSL_CTX_set_verify(cli->ssl_context(), SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_cert_verify_callback(cli->ssl_context(), VerifyPinned,
                                   const_cast<std::string *>(fingerprint));
  cli->set_read_timeout(10, 0);
  cli->set_connection_timeout(5, 0);
  cli->set_keep_alive(true);  // as a browser does: the panel limits new connections
  return cli;
}

// One connection to 127.0.0.1:port from a source address of the loopback
// network (127.x.y.z), plain or TLS; blocking with time-outs.
class RawConn {
 public:
  RawConn() = default;
  RawConn(const RawConn &) = delete;
  RawConn &operator=(const RawConn &) = delete;
  ~RawConn() { close(); }

  // TCP only: the TLS handshake is not begun.
  bool connectTcp(int port, const std::string &source = "127.0.0.1", int timeoutMs = 5000) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    timeval tv = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &a.sin_addr);
    if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return false;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    return ::connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
  }
  // TCP and the TLS handshake; the server's certificate must have the
  // fingerprint ("" takes any).
  bool connectTls(int port, const std::string &fingerprint, const std::string &source = "127.0.0.1",
                  int timeoutMs = 5000) {
    if (!connectTcp(port, source, timeoutMs)) return false;
    ctx_ = SSL_CTX_new(TLS_client_method());
    ssl_ = ctx_ != nullptr ? SSL_new(ctx_) : nullptr;
    if (ssl_ == nullptr || SSL_set_fd(ssl_, fd_) != 1 || SSL_connect(ssl_) != 1) return false;
    X509 *cert = SSL_get1_peer_certificate(ssl_);
    std::string got = CertFingerprint(cert);
    X509_free(cert);
    return fingerprint.empty() || got == fingerprint;
  }
  bool send(const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ssl_ != nullptr
                      ? SSL_write(ssl_, bytes.data() + done, static_cast<int>(bytes.size() - done))
                      : ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  // Some bytes (up to max); 0 when the peer closed, -1 on failure or time-out.
  ssize_t read(char *buf, size_t max) {
    if (ssl_ == nullptr) return ::recv(fd_, buf, max, 0);
    int n = SSL_read(ssl_, buf, static_cast<int>(max));
    if (n > 0) return n;
    int e = SSL_get_error(ssl_, n);
    return e == SSL_ERROR_ZERO_RETURN ||
                   (e == SSL_ERROR_SYSCALL && ERR_peek_error() == 0 && errno == 0)
               ? 0
               : -1;
  }
  // One HTTP answer: its head and a body of Content-Length bytes ("" when
  // none came).
  std::string answer() {
    std::string got;
    char buf[4096];
    size_t headEnd;
    while ((headEnd = got.find("\r\n\r\n")) == std::string::npos) {
      ssize_t n = read(buf, sizeof buf);
      if (n <= 0) return got;
      got.append(buf, static_cast<size_t>(n));
    }
    size_t length = 0;
    size_t at = got.find("Content-Length: ");
    if (at != std::string::npos && at < headEnd) length = std::stoul(got.substr(at + 16));
    while (got.size() < headEnd + 4 + length) {
      ssize_t n = read(buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }
  // Waits up to ms for the peer to answer or close: true when it did.
  bool closedWithin(int ms) {
    timeval tv = {ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[512];
    errno = 0;
    ssize_t n = read(buf, sizeof buf);
    return n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
  }
  // Everything until the peer closes (or the time-out): true when it closed.
  bool untilClosed(std::string *got = nullptr) {
    char buf[4096];
    for (;;) {
      ssize_t n = read(buf, sizeof buf);
      if (n > 0 && got != nullptr) got->append(buf, static_cast<size_t>(n));
      if (n == 0) return true;
      if (n < 0) return errno == ECONNRESET || errno == EPIPE;
    }
  }
  void close() {
    if (ssl_ != nullptr) SSL_free(ssl_);
    if (ctx_ != nullptr) SSL_CTX_free(ctx_);
    if (fd_ >= 0) ::close(fd_);
    ssl_ = nullptr;
    ctx_ = nullptr;
    fd_ = -1;
  }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  SSL_CTX *ctx_ = nullptr;
  SSL *ssl_ = nullptr;
};

// The status of an HTTP answer's first line (0 when there is none).
inline int Status(const std::string &answer) {
  return answer.compare(0, 9, "HTTP/1.1 ") == 0 ? atoi(answer.c_str() + 9) : 0;
}

// The child of parent whose program is named comm (the ombrix the launcher
// started), or -1.
inline pid_t ChildNamed(pid_t parent, const std::string &comm) {
  std::ifstream children("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) +
                         "/children");
  pid_t pid;
  while (children >> pid) {
    std::ifstream name("/proc/" + std::to_string(pid) + "/comm");
    std::string n;
    if (std::getline(name, n) && n == comm) return pid;
  }
  return -1;
}

// The process's peak resident memory (VmHWM) in KiB, -1 when unknown.
inline long PeakKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.compare(0, 6, "VmHWM:") == 0) return atol(line.c_str() + 6);
  return -1;
}

inline int OpenDescriptors(pid_t pid) {
  DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (d == nullptr) return -1;
  int n = 0;
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n - 2;  // . and ..
}

}  // namespace webtest
