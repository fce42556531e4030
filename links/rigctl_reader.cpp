// The Hamlib reader's thread: connects to rigctld, asks "f" once per poll
// and takes the one line that answers it. Every wait is a poll() of at most
// kStopCheckMs, so a stop request or a mode change is seen at once; a name
// lookup runs on a helper thread of its own, so a resolver that hangs never
// holds the reader (or the program's stop) with it.
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>

#include "errors/errors.h"
#include "links/rigctl.h"
#include "platform/clock.h"
#include "platform/log.h"

namespace {

constexpr int kAnswerDeadlineMs = 1000;  // for a connection and for each answer
constexpr int kRetryMs = 2000;
constexpr int kSilenceMs = 3000;   // no frequency for this long: the warning
constexpr int kStopCheckMs = 100;  // the longest wait before a stop is seen
constexpr int kMaxAddresses = 4;   // addresses of one name tried in turn

std::atomic<RigResolver> gResolver{nullptr};

// ---- Name lookup on a helper thread

// One lookup, shared by the reader and the helper that does it. Whichever
// of the two lets go last frees the result: the reader gives up on a lookup
// when it must stop, and the helper may finish long after.
struct Lookup {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  bool abandoned = false;
  int rc = EAI_FAIL;
  addrinfo *result = nullptr;
  std::string host, service;
  RigResolver resolve = nullptr;
};

addrinfo streamHints(int flags) {
  addrinfo h = {};
  h.ai_family = AF_UNSPEC;
  h.ai_socktype = SOCK_STREAM;
  h.ai_flags = flags;
  return h;
}

void *lookupThread(void *arg) {
  std::shared_ptr<Lookup> *held = static_cast<std::shared_ptr<Lookup> *>(arg);
  Lookup &l = **held;
  pthread_setname_np(pthread_self(), "rigctl-lookup");
  addrinfo hints = streamHints(AI_NUMERICSERV | AI_ADDRCONFIG);
  addrinfo *result = nullptr;
  int rc = l.resolve(l.host.c_str(), l.service.c_str(), &hints, &result);
  {
    std::lock_guard<std::mutex> lock(l.m);
    if (l.abandoned) {
      if (result != nullptr) freeaddrinfo(result);
    } else {
      l.rc = rc;
      l.result = result;
    }
    l.done = true;
  }
  l.cv.notify_all();
  delete held;
  return nullptr;
}

// Starts a lookup; nullptr when no helper thread can be made.
std::shared_ptr<Lookup> startLookup(const std::string &host, const std::string &service) {
  auto l = std::make_shared<Lookup>();
  l->host = host;
  l->service = service;
  RigResolver r = gResolver.load();
  l->resolve = r != nullptr ? r : getaddrinfo;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return nullptr;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  auto *held = new std::shared_ptr<Lookup>(l);
  pthread_t t;
  int rc = pthread_create(&t, &attr, lookupThread, held);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete held;
    return nullptr;
  }
  return l;
}

void abandonLookup(std::shared_ptr<Lookup> *pending) {
  if (!*pending) return;
  Lookup &l = **pending;
  {
    std::lock_guard<std::mutex> lock(l.m);
    if (l.done) {
      if (l.result != nullptr) freeaddrinfo(l.result);
      l.result = nullptr;
    } else {
      l.abandoned = true;
    }
  }
  pending->reset();
}

// ---- The reader's state and its waits

struct Reader {
  Works *works;
  RigSettings s;
  std::shared_ptr<Lookup> pending;  // a lookup still running from an earlier attempt
  long long lastAnswerMs = 0;
  bool failing = false;  // in a failing streak, its line logged
  int failures = 0;
  bool listed = false;  // the warning is listed for this streak
  bool answeredOnce = false;
};

bool shouldRun(const Reader &r) {
  return r.works->running.load() != 0 && r.works->rigRun.load() != 0;
}

// Runs between waits: lists the warning once a streak has lasted kSilenceMs.
// False when the reader must stop.
bool tick(Reader &r) {
  if (!r.listed && MonotonicMs() - r.lastAnswerMs >= kSilenceMs) {
    // Listing is muted until the controller's first answer: try again later then.
    AddErrore(r.works, ERR_HAMLIB);
    r.listed = ExistError(r.works, ERR_HAMLIB) != 0;
  }
  return shouldRun(r);
}

// Waits until deadlineMs for events on fd (fd < 0: just waits). The
// returned revents when they came, 0 at the deadline, -1 when the reader
// must stop.
int waitUntil(Reader &r, int fd, short events, long long deadlineMs) {
  for (;;) {
    if (!tick(r)) return -1;
    long long left = deadlineMs - MonotonicMs();
    if (left <= 0) return 0;
    pollfd p = {fd, events, 0};
    int n = poll(fd >= 0 ? &p : nullptr, fd >= 0 ? 1 : 0,
                 static_cast<int>(std::min<long long>(left, kStopCheckMs)));
    if (n > 0) return p.revents;
    if (n < 0 && errno != EINTR) return -1;
  }
}

void failure(Reader &r, const char *why) {
  ++r.failures;
  if (r.failing) return;
  r.failing = true;
  LogErr("rigctl: %s:%d: %s", r.s.host.c_str(), r.s.port, why);
}

void answered(Reader &r, int32_t hz) {
  r.works->rigFrequency = hz;
  r.lastAnswerMs = MonotonicMs();
  if (r.failing)
    LogInfo("rigctl: %s:%d answers again (after %d failures)", r.s.host.c_str(), r.s.port,
            r.failures);
  else if (!r.answeredOnce)
    LogInfo("rigctl: %s:%d answers", r.s.host.c_str(), r.s.port);
  r.answeredOnce = true;
  r.failing = false;
  r.failures = 0;
  if (r.listed) DeleteErrore(r.works, ERR_HAMLIB);
  r.listed = false;
}

// A refused answer as a log can show it: printable bytes, at most 24.
void quoted(const char *line, size_t n, char *out, size_t size) {
  size_t k = 0;
  for (size_t i = 0; i < n && i < 24 && k + 1 < size; ++i) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    out[k++] = c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
  }
  out[k] = 0;
}

// ---- One attempt: lookup, connection, requests

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

// The daemon's addresses into *out: 1, 0 when the lookup failed (logged
// as the streak's failure), -1 when the reader must stop.
int resolve(Reader &r, addrinfo **out) {
  const std::string service = std::to_string(r.s.port);
  if (!r.pending) {
    // An address needs no lookup and never blocks.
    addrinfo hints = streamHints(AI_NUMERICHOST | AI_NUMERICSERV);
    int rc = getaddrinfo(r.s.host.c_str(), service.c_str(), &hints, out);
    if (rc == 0) return 1;
    if (rc != EAI_NONAME) {
      failure(r, gai_strerror(rc));
      return 0;
    }
    r.pending = startLookup(r.s.host, service);
    if (!r.pending) {
      failure(r, "no thread for the name lookup");
      return 0;
    }
  }
  Lookup &l = *r.pending;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(l.m);
      if (l.cv.wait_for(lock, std::chrono::milliseconds(kStopCheckMs), [&] { return l.done; })) {
        int rc = l.rc;
        *out = l.result;
        l.result = nullptr;
        lock.unlock();
        r.pending.reset();
        if (rc == 0 && *out != nullptr) return 1;
        if (*out != nullptr) freeaddrinfo(*out);
        *out = nullptr;
        char why[160];
        snprintf(why, sizeof why, "name lookup: %s", gai_strerror(rc != 0 ? rc : EAI_NONAME));
        failure(r, why);
        return 0;
      }
    }
    if (!tick(r)) return -1;
  }
}

// A connected socket, -1 when none of the addresses answered (logged),
// -2 when the reader must stop.
int connectDaemon(Reader &r) {
  addrinfo *list = nullptr;
  int rc = resolve(r, &list);
  if (rc <= 0) return rc < 0 ? -2 : -1;
  char why[160] = "no address";
  int result = -1, tried = 0;
  for (addrinfo *ai = list; ai != nullptr && tried < kMaxAddresses; ai = ai->ai_next, ++tried) {
    Fd s;
    s.fd = socket(ai->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (s.fd < 0) {
      snprintf(why, sizeof why, "socket: %s", strerror(errno));
      continue;
    }
    if (connect(s.fd, ai->ai_addr, ai->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) {
        snprintf(why, sizeof why, "connect: %s", strerror(errno));
        continue;
      }
      int ev = waitUntil(r, s.fd, POLLOUT, MonotonicMs() + kAnswerDeadlineMs);
      if (ev < 0) {
        result = -2;
        break;
      }
      if (ev == 0) {
        snprintf(why, sizeof why, "connect: no answer within 1 s");
        continue;
      }
      int err = 0;
      socklen_t len = sizeof err;
      if (getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      if (err != 0) {
        snprintf(why, sizeof why, "connect: %s", strerror(err));
        continue;
      }
    }
    int one = 1;
    setsockopt(s.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    result = s.fd;
    s.fd = -1;
    break;
  }
  freeaddrinfo(list);
  if (result == -1) failure(r, why);
  return result;
}

// Requests and answers on a connected socket until the connection fails
// (logged); false when the reader must stop.
bool follow(Reader &r, int fd) {
  static const char kRequest[] = "f\n";
  char line[kRigLineMax + 1];
  long long next = MonotonicMs();
  for (;;) {
    // Idle until the next request: anything the daemon sends meanwhile was
    // never asked for.
    int ev = waitUntil(r, fd, POLLIN, next);
    if (ev < 0) return false;
    if (ev > 0) {
      char b;
      ssize_t k = recv(fd, &b, 1, MSG_DONTWAIT);
      failure(r, k == 0 ? "closed the connection" : k > 0 ? "sent data unasked" : strerror(errno));
      return true;
    }
    long long sent = MonotonicMs();
    next = sent + r.s.pollMs;
    if (send(fd, kRequest, 2, MSG_NOSIGNAL | MSG_DONTWAIT) != 2) {
      char why[96];
      snprintf(why, sizeof why, "send: %s", strerror(errno));
      failure(r, why);
      return true;
    }
    size_t have = 0;
    const char *end = nullptr;
    while (end == nullptr) {
      ev = waitUntil(r, fd, POLLIN, sent + kAnswerDeadlineMs);
      if (ev < 0) return false;
      if (ev == 0) {
        failure(r, "no answer within 1 s");
        return true;
      }
      ssize_t k = recv(fd, line + have, sizeof line - have, MSG_DONTWAIT);
      if (k < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (k <= 0) {
        failure(r, k == 0 ? "closed the connection" : strerror(errno));
        return true;
      }
      have += static_cast<size_t>(k);
      end = static_cast<const char *>(memchr(line, '\n', have));
      if (end == nullptr && have == sizeof line) {
        failure(r, "answer line longer than 64 bytes");
        return true;
      }
    }
    const size_t n = static_cast<size_t>(end - line);
    int32_t hz = 0;
    int report = 0;
    switch (ParseRigAnswer(line, n, &hz, &report)) {
      case RIG_FREQUENCY: answered(r, hz); break;
      case RIG_REPORT: {
        char why[64];
        snprintf(why, sizeof why, "rigctld reports error %d", report);
        failure(r, why);
        break;
      }
      case RIG_REFUSED: {
        char text[32], why[64];
        quoted(line, n, text, sizeof text);
        snprintf(why, sizeof why, "answer refused: \"%s\"", text);
        failure(r, why);
        break;
      }
    }
    // One request, one line: more means the daemon and the reader no longer agree.
    if (n + 1 < have) {
      failure(r, "more than one line for one request");
      return true;
    }
  }
}

}  // namespace

void SetRigResolver(RigResolver resolver) {
  gResolver = resolver;
}

void RigctlRun(Works *works, const RigSettings &settings) {
  Reader r;
  r.works = works;
  r.s = settings;
  r.lastAnswerMs = MonotonicMs();
  LogInfo("rigctl: following %s:%d, a request every %d ms", r.s.host.c_str(), r.s.port, r.s.pollMs);
  for (;;) {
    Fd conn;
    conn.fd = connectDaemon(r);
    if (conn.fd == -2) break;
    if (conn.fd >= 0 && !follow(r, conn.fd)) break;
    if (conn.fd >= 0) close(conn.fd);
    conn.fd = -1;
    if (waitUntil(r, -1, 0, MonotonicMs() + kRetryMs) < 0) break;
  }
  abandonLookup(&r.pending);
  if (r.listed) DeleteErrore(works, ERR_HAMLIB);
  LogInfo("rigctl: stopped");
}

void *RigctlReader(void *arg) {
  Works *works = static_cast<Works *>(arg);
  try {
    // Run again when the mode of work came back while the last run was ending:
    // the thread's slot was still taken then, so nobody started a new one.
    do {
      RigctlRun(works, ReadRigFile());
    } while (works->running.load() != 0 && works->rigRun.load() != 0);
  } catch (const std::exception &e) {
    LogErr("rigctl: %s", e.what());
  } catch (...) {
    LogErr("rigctl: unexpected failure");
  }
  return nullptr;
}
