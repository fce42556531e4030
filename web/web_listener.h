#pragma once
// The web panel's front door: its own accept loop and a fixed set of
// workers, one connection each. Every connection limit (ConnectionLimits)
// is applied when a connection is accepted, before a TLS handshake or a
// worker is spent on it; what is refused is closed at once (over plain
// HTTP after a fixed 503 answer; under TLS nothing can be said before a
// handshake). When every worker is taken, the stranger's connection that
// has waited longest for its next request gives way to the new one: idle
// connections hold nothing. A connection from an address the owner logged
// in from takes the place of any stranger's, busy or not. The panel uses at most kServedConnections
// descriptors for connections (and as many more for the moment a worker hands one over), far below
// the process's limit, so the unit link and audio keep theirs.
#include <openssl/ssl.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "web/web_limits.h"
#include "web/web_stream.h"

// A connection waits at most this long for a request's first byte (and a
// TLS connection for its handshake's).
constexpr long long kIdleMs = 10000;
constexpr long long kHandshakeMs = 10000;
// Requests on one connection before it is closed.
constexpr int kMaxRequestsPerConnection = 1000;

class WebListener {
 public:
  // Serves one request whose first byte is there; true when the
  // connection may carry another.
  using ServeRequest = std::function<bool(PanelStream &)>;

  // tls: the server context (not owned), or nullptr for plain HTTP. stop:
  // set by run() when it ends; handlers' own waits may watch it too.
  WebListener(ServeRequest serve, SSL_CTX *tls, std::atomic<bool> *stop);
  ~WebListener();
  WebListener(const WebListener &) = delete;
  WebListener &operator=(const WebListener &) = delete;

  // Listens on bind:port (numeric address). False with the reason.
  bool open(const std::string &bind, int port, std::string *why);
  // Accepts and serves while running() holds (looked at every half
  // second); returns once every worker has ended.
  void run(const std::function<bool()> &running);
  // The owner logged in from this address (AddressKey).
  void trustAddress(const std::string &key);

 private:
  struct Connection {
    int fd = -1;
    std::string ip;
    int port = 0;
    std::string key;  // AddressKey(ip)
    bool trusted = false;
  };
  // kClosing: the worker is done with its connection and closes it; only
  // kIdle and kBusy connections are ever given up for another.
  enum class SlotState { kFree, kIdle, kBusy, kReclaimed, kClosing };
  struct Slot {
    std::mutex mutex;
    std::condition_variable cv;
    SlotState state = SlotState::kFree;
    Connection conn;        // the connection served (not kFree)
    Connection next;        // kReclaimed: the one served next
    long long sinceMs = 0;  // in its state since
    std::thread thread;
  };

  void work(Slot *slot);
  // Serves c until it ends; the slot is kIdle at the start.
  void serveConnection(Slot *slot, const Connection &c);
  // kIdle -> kBusy; false when the connection was reclaimed meanwhile.
  bool enterBusy(Slot *slot);
  void enterIdle(Slot *slot);
  // Hands c to a free worker, or to the one whose connection gives way to
  // it. False when none can take it. probeOnly: only tells whether one could.
  bool assign(const Connection &c, bool probeOnly);
  void acceptReady();
  void refuse(int fd);
  void logRefusals(bool force);

  ServeRequest serve_;
  SSL_CTX *tls_;
  std::atomic<bool> *stop_;
  int listenFd_ = -1;
  ConnectionLimits limits_;
  std::vector<std::unique_ptr<Slot>> slots_;
  // Refusals since the last log line.
  int refusedBusy_ = 0, refusedAddress_ = 0, refusedRate_ = 0;
  std::atomic<int> failedHandshakes_{0};
  long long lastRefusalLogMs_ = -60000, lastAcceptErrorLogMs_ = -60000;
};
