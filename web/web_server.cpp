// The web front panel's server: routes, sessions and the screen's JPEG on
// cpp-httplib's request parsing and routing, behind the panel's own accept
// loop and connections (web_listener.h), over TLS unless the owner says no.
#include "web/web_server.h"

#include <httplib.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <vector>

#include "core/event_log.h"
#include "core/file_writer.h"
#include "core/setup.h"
#include "core/threads.h"
#include "display/frame_share.h"
#include "jpeg/jpeg.h"
#include "platform/log.h"
#include "platform/platform.h"
#include "remote/remote_file.h"
#include "security/tls_identity.h"
#include "ui/panel.h"
#include "web/web_api.h"
#include "web/web_auth.h"
#include "web/web_backup.h"
#include "web/web_backup_routes.h"
#include "web/web_events.h"
#include "web/web_limits.h"
#include "web/web_listener.h"
#include "web/web_stream.h"

// The page, in web_page.cpp.
extern const char kWebPanelPage[];

namespace {

constexpr long long kFrameWaitMs = 2000;  // ?after=N waits at most this long
constexpr int kJpegQuality = 80;
constexpr size_t kMaxDevicesFile = 16384;
constexpr long long kDeviceCookieMaxAge = 365LL * 24 * 3600;

WebPanelSettings gSettings;  // written before the thread starts
std::string gHostName;       // the unit's, for the Host check

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
  WebListener *listener = nullptr;  // set before the first request
};

// Whether the connection may carry another request after this one: a
// request refused before its body was read leaves that body unread.
struct RequestState {
  bool close = false;
  PanelStream *stream = nullptr;
};
thread_local RequestState *tRequest = nullptr;

// httplib's parsing and routing, one request at a time on the panel's own
// connections.
class PanelServer : public httplib::Server {
 public:
  bool serveRequest(PanelStream &stream) {
    RequestState state;
    state.stream = &stream;
    tRequest = &state;
    bool closed = false;
    bool ok = process_request(stream, false, closed, [](httplib::Request &req) {
      // No multipart ranges (a few bytes of Range would make megabytes of
      // answer) and no compressed answers: every answer costs what it is.
      req.ranges.clear();
      req.headers.erase("Accept-Encoding");
    });
    tRequest = nullptr;
    return ok && !closed && !state.close;
  }
};

std::string sessionOf(const httplib::Request &req) {
  return CookieValue(req.get_header_value("Cookie"), kSessionCookie);
}

bool sameOrigin(const httplib::Request &req) {
  return SameOrigin(req.get_header_value("Origin"), req.get_header_value("Referer"),
                    req.get_header_value("Host"), gSettings.tls);
}

void noStore(httplib::Response &res) {
  res.set_header("Cache-Control", "no-store");
}

// What a request is refused for from its head alone, before its body is
// read (0: nothing).
int refusal(const httplib::Request &req) {
  BodyHeaders body;
  body.contentEncodings = static_cast<int>(req.get_header_value_count("Content-Encoding"));
  body.transferEncodings = static_cast<int>(req.get_header_value_count("Transfer-Encoding"));
  auto lengths = req.headers.equal_range("Content-Length");
  for (auto it = lengths.first; it != lengths.second; ++it)
    body.contentLengths.push_back(it->second);
  int status = RefusedBeforeBody(req.method, body,
                                 IsRestoreRequest(req) ? kMaxRestoreBody : kMaxRequestBody);
  if (status != 0) return status;
  if (req.get_header_value_count("Host") > 1) return 400;
  if (!HostAllowed(req.get_header_value("Host"), gHostName, gSettings.hosts)) return 421;
  return 0;
}

void refuse(httplib::Response &res, int status) {
  res.status = status;
  res.set_header("Connection", "close");
  if (tRequest != nullptr) tRequest->close = true;
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

std::mutex gDevicesMutex;

// The one place the device list is written.
void storeDevices(WebAuth &auth) {
  std::lock_guard<std::mutex> lock(gDevicesMutex);
  if (QueueSetFile(kWebDevicesFile, auth.devicesText(), 0600) != 0)
    LogErr("Web panel: %s not written", kWebDevicesFile);
}

void loadDevices(WebAuth &auth) {
  std::string text;
  if (!ReadSetFileText(kWebDevicesFile, kMaxDevicesFile, &text)) return;
  auth.loadDevices(text, time(nullptr));
}

std::string cookie(const char *name, const std::string &value, const std::string &attributes) {
  return std::string(name) + "=" + value + attributes + (gSettings.tls ? "; Secure" : "");
}

void routes(httplib::Server &svr, Panel &panel) {
  // Refusals that must come before the body: the 100-continue answer is
  // the first thing written, so it is refused there already.
  // A restore's head is judged in full (session, origin, length) before its
  // large body is allowed; any other route keeps the small limit.
  auto headRefusal = [&panel](const httplib::Request &req) {
    if (!IsRestoreRequest(req)) return refusal(req);
    if (!panel.auth.check(sessionOf(req), MonotonicMs())) return 401;
    if (!sameOrigin(req)) return 403;
    return refusal(req);
  };
  svr.set_expect_100_continue_handler(
      [headRefusal](const httplib::Request &req, httplib::Response &res) {
        int status = headRefusal(req);
        if (status == 0) return 100;
        refuse(res, status);
        return status;
      });
  svr.set_pre_routing_handler([headRefusal](const httplib::Request &req, httplib::Response &res) {
    int status = headRefusal(req);
    if (status == 0) {
      if (IsRestoreRequest(req) && tRequest != nullptr && tRequest->stream != nullptr)
        tRequest->stream->allowLargeBody(kMaxRestoreBody, MonotonicMs() + kRestoreRequestMs);
      return httplib::Server::HandlerResponse::Unhandled;
    }
    // The page tells the owner why, as for a refused archive.
    if (status == 413 && IsRestoreRequest(req))
      res.set_content(RestoreProblemJson({"", 0, "the archive is larger than 16 MiB"}),
                      "application/json");
    refuse(res, status);
    return httplib::Server::HandlerResponse::Handled;
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
    static const std::string page = PageWithRecord(kWebPanelPage);
    res.set_content(page, "text/html; charset=utf-8");
  });

  svr.Post("/api/login", [&panel](const httplib::Request &req, httplib::Response &res) {
    noStore(res);
    if (!sameOrigin(req)) {
      res.status = 403;
      return;
    }
    auto form = ParseForm(req.body);
    auto it = form.find("password");
    WebAuth::Login login = panel.auth.login(
        AddressKey(req.remote_addr), it == form.end() ? "" : it->second, MonotonicMs(),
        CookieValue(req.get_header_value("Cookie"), kDeviceCookie), time(nullptr));
    if (!login.ok) StationEvents().Refused(AddressKey(req.remote_addr), "web", MonotonicMs());
    if (!login.compared) {
      // Answered at once: the client comes back when it may.
      res.status = 429;
      res.set_header("Retry-After", std::to_string(std::max(1LL, (login.pauseMs + 999) / 1000)));
      return;
    }
    if (!login.ok) {
      res.status = 403;
      return;
    }
    StationEvents().Record("login", {EventField("via", "web"),
                                     EventField("address", AddressKey(req.remote_addr)),
                                     EventField("ok", true)});
    if (login.devicesChanged) storeDevices(panel.auth);
    // The owner's address: not held by the connection rate of strangers.
    panel.listener->trustAddress(AddressKey(req.remote_addr));
    res.set_header("Set-Cookie",
                   cookie(kSessionCookie, login.session, "; Path=/; HttpOnly; SameSite=Strict"));
    // The device cookie travels only with logins, and only inside TLS.
    res.set_header("Set-Cookie",
                   std::string(kDeviceCookie) + "=" + login.device + "; Path=/api/login; Max-Age=" +
                       std::to_string(kDeviceCookieMaxAge) + "; HttpOnly; Secure; SameSite=Strict");
    res.status = 204;
  });

  svr.Post("/api/logout", [&panel](const httplib::Request &req, httplib::Response &res) {
    if (!admitted(panel, req, res, true)) return;
    panel.auth.logout(sessionOf(req));
    res.set_header("Set-Cookie",
                   cookie(kSessionCookie, "", "; Path=/; Max-Age=0; HttpOnly; SameSite=Strict"));
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

  AddBackupRoutes(svr, panel.works, gHostName,
                  [&panel](const httplib::Request &req, httplib::Response &res, bool changes) {
                    return admitted(panel, req, res, changes);
                  });
  AddEventRoutes(svr, [&panel](const httplib::Request &req, httplib::Response &res) {
    return admitted(panel, req, res, false);
  });

  svr.Get("/api/screen.jpg", [&panel](const httplib::Request &req, httplib::Response &res) {
    if (!admitted(panel, req, res, false)) return;
    uint64_t after = 0;
    bool waitNewer = false;
    if (req.has_param("after")) {
      if (!ParseQueryCount(req.get_param_value("after"), UINT64_MAX, &after)) {
        res.status = 400;
        return;
      }
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

// The unit's certificate in a server context; nullptr (logged) when there is none.
SSL_CTX *tlsContext() {
  TlsIdentity identity;
  std::string why;
  if (!UnitIdentity(gSettings.certPath, gSettings.keyPath, &identity, &why)) {
    LogErr("Web panel off: no TLS certificate: %s", why.c_str());
    return nullptr;
  }
  SSL_CTX *ctx = NewTlsServerContext(identity, &why);
  if (ctx == nullptr) {
    LogErr("Web panel off: %s", why.c_str());
    return nullptr;
  }
#if defined(__arm__) || defined(__aarch64__)
  // The boards' processors mostly lack AES instructions, where ChaCha20 costs
  // a fraction of AES-GCM: it goes first whenever the browser offers it.
  SSL_CTX_set_ciphersuites(
      ctx, "TLS_CHACHA20_POLY1305_SHA256:TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384");
  SSL_CTX_set_cipher_list(ctx,
                          "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-ECDSA-AES128-GCM-SHA256:"
                          "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-CHACHA20-POLY1305:"
                          "ECDHE-RSA-AES128-GCM-SHA256:ECDHE-RSA-AES256-GCM-SHA384");
#endif
  // Browsers reconnect often: resumed sessions spare the key exchange.
  static const unsigned char kContext[] = "ombrix-web";
  SSL_CTX_set_session_id_context(ctx, kContext, sizeof kContext - 1);
  SSL_CTX_sess_set_cache_size(ctx, 256);
  return ctx;
}

void serve(Works *works) {
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) == 0) gHostName = name;
  SSL_CTX *ctx = nullptr;
  if (gSettings.tls) {
    ctx = tlsContext();
    if (ctx == nullptr) return;
  } else {
    LogInfo("Web panel: plain HTTP (WebTls: 0): pass phrases cross the network in clear");
  }
  Panel panel{works, WebAuth(gSettings.passPhrase), {}, {}, nullptr};
  loadDevices(panel.auth);
  PanelServer svr;
  // The stream meters every request's body against its own route's limit
  // (kMaxRequestBody but for a restore); this is the outer bound.
  svr.set_payload_max_length(kMaxRestoreBody);
  svr.set_keep_alive_timeout(kIdleMs / 1000);
  svr.set_keep_alive_max_count(kMaxRequestsPerConnection);
  routes(svr, panel);
  {
    WebListener listener([&svr](PanelStream &stream) { return svr.serveRequest(stream); }, ctx,
                         &panel.stop);
    panel.listener = &listener;
    std::string why;
    if (!listener.open(gSettings.bind, gSettings.port, &why)) {
      LogErr("Web panel: can't listen on %s port %d: %s", gSettings.bind.c_str(), gSettings.port,
             why.c_str());
    } else {
      LogInfo("Web panel on %s://%s:%d/", gSettings.tls ? "https" : "http", gSettings.bind.c_str(),
              gSettings.port);
      listener.run([works] { return works->running != 0; });
    }
  }
  SSL_CTX_free(ctx);
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
  if (file.password.size() < kMinPassPhraseChars) {  // printable ASCII: bytes are characters
    char text[160];
    snprintf(text, sizeof text,
             "the pass phrase in /opt/set/remote.txt (Password:) has fewer than %zu characters, "
             "too few to face the network",
             kMinPassPhraseChars);
    *why = text;
    return false;
  }
  out->bind = file.webBind;
  out->port = file.webPort;
  out->passPhrase = file.password;
  out->tls = file.webTls;
  out->certPath = file.webCert;
  out->keyPath = file.webKey;
  out->hosts = file.webHosts;
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
