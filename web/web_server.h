#pragma once
// The web front panel: the amplifier's screen and its six keys in a browser,
// served over HTTPS (plain HTTP with WebTls: 0) by a thread of its own and
// its workers. Off unless the owner's /opt/set/remote.txt names a port and a
// pass phrase of the owner's own, of at least kMinPassPhraseChars.
//
//   GET  /                 the page (no outside resources)
//   POST /api/login        password=...: 204 with the session and device
//                          cookies; 403 when wrong; 429 with Retry-After when
//                          not compared (guessing pauses)
//   GET  /api/screen.jpg   the screen; ?after=N waits up to 2 s for a newer frame;
//                          the X-Frame header gives the frame's number
//   POST /api/key          key=1..6, press=short|long|down|up: 204
//   GET  /api/state        the amplifier's state as JSON
//   POST /api/logout       ends the session
#include <string>
#include <vector>

#include "core/works.h"

constexpr size_t kMinPassPhraseChars = 10;
// The owner's devices (digests of their device cookies), one "DIGEST SECONDS" a line.
constexpr char kWebDevicesFile[] = "/opt/set/web-devices.txt";

struct WebPanelSettings {
  std::string bind = "0.0.0.0";
  int port = 0;
  std::string passPhrase;
  bool tls = true;
  std::string certPath, keyPath;   // the owner's certificate, or both empty
  std::vector<std::string> hosts;  // WebHost
};

// The settings from remote.txt, or false with the reason why the panel stays off.
bool WebPanelConfigured(WebPanelSettings *out, std::string *why);
// Starts the panel's thread when it is configured; logs why not otherwise.
void StartWebPanel(Works *works);
// Thread body: serves until works->running is cleared, then ends within a second.
void *WebPanel(void *works);
