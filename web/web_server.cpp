// The web front panel's HTTP server: routes, sessions, limits and the
// screen's JPEG, on cpp-httplib.
#include "web/web_server.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "core/setup.h"
#include "core/threads.h"
#include "display/frame_share.h"
#include "jpeg/jpeg.h"
#include "platform/log.h"
#include "platform/platform.h"
#include "remote/remote_file.h"
#include "ui/panel.h"
#include "web/web_api.h"
#include "web/web_auth.h"

// The page, in web_page.cpp.
extern const char kWebPanelPage[];

namespace {

constexpr int kWorkers = 8;               // connections served at once
constexpr size_t kMaxBody = 4096;         // request bodies
constexpr int kIdleSeconds = 10;          // a silent connection is closed after this
constexpr long long kFrameWaitMs = 2000;  // ?after=N waits at most this long
constexpr int kJpegQuality = 80;

WebPanelSettings gSettings;  // written before the thread starts

// True in the thread that answers connections beyond kWorkers: they get 503.
thread_local bool tOverflow = false;

// kWorkers threads serve connections; one more answers the ones that find
// them all busy with 503 and closes them, instead of letting them queue.
class PanelTaskQueue : public httplib::TaskQueue {
 public:
  PanelTaskQueue() {
    for (int i = 0; i < kWorkers; ++i) threads_.emplace_back([this] { run(false); });
    threads_.emplace_back([this] { run(true); });
  }
  void enqueue(std::function<void()> fn) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (busy_ + static_cast<int>(jobs_.size()) < kWorkers)
        jobs_.push_back(std::move(fn));
      else
        overflow_.push_back(std::move(fn));
    }
    cv_.notify_all();
  }
  void shutdown() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    cv_.notify_all();
    for (auto &t : threads_) t.join();
  }

 private:
  void run(bool overflow) {
    tOverflow = overflow;
    std::deque<std::function<void()>> &mine = overflow ? overflow_ : jobs_;
    for (;;) {
      std::function<void()> fn;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [&] { return stopping_ || !mine.empty(); });
        if (mine.empty()) return;
        fn = std::move(mine.front());
        mine.pop_front();
        if (!overflow) ++busy_;
      }
      fn();
      if (!overflow) {
        std::lock_guard<std::mutex> lock(mutex_);
        --busy_;
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> jobs_, overflow_;
  int busy_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

// Shuts down connections of the server on port: every one (peer empty), or
// the one from peer:peerPort. httplib does not hand its sockets out, so they
// are found among the process's descriptors by their addresses.
void shutdownConnections(int port, const std::string &peer, int peerPort, int how) {
  struct rlimit rl;
  int maxFd = getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < 4096
                  ? static_cast<int>(rl.rlim_cur)
                  : 4096;
  auto split = [](const sockaddr_storage &a, char *text, size_t size) {
    if (a.ss_family == AF_INET) {
      auto *in = reinterpret_cast<const sockaddr_in *>(&a);
      inet_ntop(AF_INET, &in->sin_addr, text, static_cast<socklen_t>(size));
      return static_cast<int>(ntohs(in->sin_port));
    }
    if (a.ss_family == AF_INET6) {
      auto *in = reinterpret_cast<const sockaddr_in6 *>(&a);
      inet_ntop(AF_INET6, &in->sin6_addr, text, static_cast<socklen_t>(size));
      return static_cast<int>(ntohs(in->sin6_port));
    }
    return -1;
  };
  for (int fd = 0; fd < maxFd; ++fd) {
    sockaddr_storage local, remote;
    socklen_t n = sizeof local;
    char localText[INET6_ADDRSTRLEN] = "", remoteText[INET6_ADDRSTRLEN] = "";
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &n) != 0) continue;
    if (split(local, localText, sizeof localText) != port) continue;
    n = sizeof remote;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&remote), &n) != 0) continue;  // the listener
    int remotePort = split(remote, remoteText, sizeof remoteText);
    if (peer.empty() || (peer == remoteText && peerPort == remotePort)) ::shutdown(fd, how);
  }
}

// Waits ms, or less when the panel stops.
void waitOrStop(long long ms, const std::atomic<bool> &stop) {
  long long end = MonotonicMs() + ms;
  for (long long left = ms; left > 0 && !stop; left = end - MonotonicMs())
    poll(nullptr, 0, static_cast<int>(left < 100 ? left : 100));
}

// The newest frame as JPEG, encoded once for every viewer.
class ScreenJpeg {
 public:
  // False when there is no frame or it cannot be encoded.
  bool get(std::string *jpeg, uint64_t *number) {
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t newest = FrameShareNumber();
    if (newest == 0) return false;
    if (newest != number_ || jpeg_.empty()) {
      if (!FrameShareCopy(&frame_) || !encode()) return false;
      number_ = frame_.number;
    }
    *jpeg = jpeg_;
    *number = number_;
    return true;
  }

 private:
  bool encode() {
    const uint8_t *pixels = frame_.pixels.data();
    if (frame_.pixelBytes == 2) {
      // RGB565 little-endian to blue, green, red, 0.
      const size_t count = frame_.pixels.size() / 2;
      wide_.resize(count * 4);
      for (size_t i = 0; i < count; ++i) {
        unsigned v = frame_.pixels[2 * i] | (frame_.pixels[2 * i + 1] << 8);
        unsigned r = (v >> 11) & 31, g = (v >> 5) & 63, b = v & 31;
        wide_[4 * i] = static_cast<uint8_t>((b << 3) | (b >> 2));
        wide_[4 * i + 1] = static_cast<uint8_t>((g << 2) | (g >> 4));
        wide_[4 * i + 2] = static_cast<uint8_t>((r << 3) | (r >> 2));
        wide_[4 * i + 3] = 0;
      }
      pixels = wide_.data();
    } else if (frame_.pixelBytes != 4) {
      return false;
    }
    if (JpegEncodePixels(pixels, frame_.width, frame_.height, kJpegQuality, &encoded_) != 0)
      return false;
    jpeg_.assign(encoded_.begin(), encoded_.end());
    return true;
  }

  std::mutex mutex_;
  SharedFrame frame_;
  std::vector<uint8_t> wide_, encoded_;
  std::string jpeg_;
  uint64_t number_ = 0;
};

struct Panel {
  Works *works;
  WebAuth auth;
  ScreenJpeg screen;
  std::atomic<bool> stop{false};
};

std::string sessionOf(const httplib::Request &req) {
  return CookieValue(req.get_header_value("Cookie"), kSessionCookie);
}

bool sameOrigin(const httplib::Request &req) {
  return SameOrigin(req.get_header_value("Origin"), req.get_header_value("Referer"),
                    req.get_header_value("Host"));
}

void noStore(httplib::Response &res) {
  res.set_header("Cache-Control", "no-store");
}

// Every API request needs a live session; one that changes something must
// also come from the page's own origin. Sets the refusal when not.
bool admitted(Panel &panel, const httplib::Request &req, httplib::Response &res, bool changes) {
  noStore(res);
  if (!panel.auth.check(sessionOf(req), MonotonicMs())) {
    res.status = 401;
    return false;
  }
  if (changes && !sameOrigin(req)) {
    res.status = 403;
    return false;
  }
  return true;
}

void routes(httplib::Server &svr, Panel &panel) {
  svr.set_pre_routing_handler([](const httplib::Request &, httplib::Response &res) {
    if (!tOverflow) return httplib::Server::HandlerResponse::Unhandled;
    res.status = 503;
    res.set_header("Connection", "close");
    return httplib::Server::HandlerResponse::Handled;
  });
  // Called once an answer is written: a refused connection's next read ends
  // it, so a refused client cannot hold the refusing thread.
  svr.set_logger([](const httplib::Request &req, const httplib::Response &) {
    if (tOverflow) shutdownConnections(gSettings.port, req.remote_addr, req.remote_port, SHUT_RD);
  });
  svr.set_exception_handler([](const httplib::Request &, httplib::Response &res,
                               std::exception_ptr) { res.status = 500; });

  svr.Get("/", [](const httplib::Request &, httplib::Response &res) {
    noStore(res);
    // The page runs only its own inline script and style, and is never framed.
    res.set_header("Content-Security-Policy",
                   "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                   "img-src 'self' blob:; connect-src 'self'; frame-ancestors 'none'");
    res.set_header("X-Frame-Options", "DENY");
    res.set_content(kWebPanelPage, "text/html; charset=utf-8");
  });

  svr.Post("/api/login", [&panel](const httplib::Request &req, httplib::Response &res) {
    noStore(res);
    if (!sameOrigin(req)) {
      res.status = 403;
      return;
    }
    auto form = ParseForm(req.body);
    auto it = form.find("password");
    WebAuth::Login login =
        panel.auth.login(req.remote_addr, it == form.end() ? "" : it->second, MonotonicMs());
    if (!login.ok) {
      waitOrStop(login.pauseMs, panel.stop);
      res.status = 403;
      return;
    }
    res.set_header("Set-Cookie", std::string(kSessionCookie) + "=" + login.session +
                                     "; Path=/; HttpOnly; SameSite=Strict");
    res.status = 204;
  });

  svr.Post("/api/logout", [&panel](const httplib::Request &req, httplib::Response &res) {
    if (!admitted(panel, req, res, true)) return;
    panel.auth.logout(sessionOf(req));
    res.set_header("Set-Cookie",
                   std::string(kSessionCookie) + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict");
    res.status = 204;
  });

  svr.Get("/api/state", [&panel](const httplib::Request &req, httplib::Response &res) {
    if (!admitted(panel, req, res, false)) return;
    res.set_content(StateJson(panel.works), "application/json");
  });

  svr.Post("/api/key", [&panel](const httplib::Request &req, httplib::Response &res) {
    if (!admitted(panel, req, res, true)) return;
    KeyRequest key;
    if (!ParseKeyRequest(ParseForm(req.body), &key)) {
      res.status = 400;
      return;
    }
    if (!panel.works->gpioRunning || !PanelInjectKey(key.key, key.press, MonotonicMs())) {
      res.status = 503;
      return;
    }
    res.status = 204;
  });

  svr.Get("/api/screen.jpg", [&panel](const httplib::Request &req, httplib::Response &res) {
    if (!admitted(panel, req, res, false)) return;
    uint64_t after = 0;
    bool waitNewer = false;
    if (req.has_param("after")) {
      const std::string v = req.get_param_value("after");
      if (v.empty() || v.size() > 19 || v.find_first_not_of("0123456789") != std::string::npos) {
        res.status = 400;
        return;
      }
      after = std::stoull(v);
      waitNewer = true;
    }
    long long now = MonotonicMs();
    FrameShareWant(now);
    // Without ?after the current frame, but a first viewer waits for one.
    if (waitNewer || FrameShareNumber() == 0)
      FrameShareWait(after, now + kFrameWaitMs, &panel.stop);
    std::string jpeg;
    uint64_t number = 0;
    if (!panel.screen.get(&jpeg, &number)) {
      res.status = 503;
      return;
    }
    res.set_header("X-Frame", std::to_string(number));
    res.set_content(std::move(jpeg), "image/jpeg");
  });
}

void serve(Works *works) {
  Panel panel{works, WebAuth(gSettings.passPhrase), {}, {}};
  httplib::Server svr;
  svr.new_task_queue = [] { return new PanelTaskQueue(); };
  svr.set_payload_max_length(kMaxBody);
  svr.set_read_timeout(kIdleSeconds, 0);
  svr.set_write_timeout(kIdleSeconds, 0);
  svr.set_keep_alive_timeout(kIdleSeconds);
  svr.set_keep_alive_max_count(1000);
  routes(svr, panel);
  if (!svr.bind_to_port(gSettings.bind, gSettings.port)) {
    LogErr("Web panel: can't listen on %s port %d", gSettings.bind.c_str(), gSettings.port);
    return;
  }
  LogInfo("Web panel on http://%s:%d/", gSettings.bind.c_str(), gSettings.port);
  std::atomic<bool> listening{true};
  std::thread listener([&] {
    svr.listen_after_bind();
    listening = false;
  });
  while (works->running && listening) poll(nullptr, 0, 100);
  panel.stop = true;
  // stop() does nothing until the listener has started; repeat until it ends.
  while (listening) {
    svr.stop();
    shutdownConnections(gSettings.port, std::string(), 0, SHUT_RDWR);
    poll(nullptr, 0, 20);
  }
  listener.join();
}

}  // namespace

bool WebPanelConfigured(WebPanelSettings *out, std::string *why) {
  RemoteFileSettings file = ReadRemoteFile();
  if (file.webPort <= 0) {
    *why = "no WebPort in /opt/set/remote.txt";
    return false;
  }
  if (!file.hasPassword || PassPhraseEqual(file.password, DefaultRemotePassword())) {
    *why = "the pass phrase in /opt/set/remote.txt is not the owner's own (Password:)";
    return false;
  }
  out->bind = file.webBind;
  out->port = file.webPort;
  out->passPhrase = file.password;
  return true;
}

void StartWebPanel(Works *works) {
  std::string why;
  if (!WebPanelConfigured(&gSettings, &why)) {
    LogInfo("Web panel off: %s", why.c_str());
    return;
  }
  StartThread(TH_WEB, WebPanel, works);
}

void *WebPanel(void *arg) {
  Works *works = static_cast<Works *>(arg);
  try {
    serve(works);
  } catch (...) {
    LogErr("Web panel: unexpected failure, panel stops");
  }
  LogInfo("Web panel end");
  return nullptr;
}
