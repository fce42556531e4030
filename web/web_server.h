#pragma once
// The web front panel: the amplifier's screen and its six keys in a browser,
// served by an HTTP server in a thread of its own. Off unless the owner's
// /opt/set/remote.txt names a port and a pass phrase of the owner's own.
//
//   GET  /                 the page (no outside resources)
//   POST /api/login        password=...: 204 and a session cookie; 403 after a pause
//   GET  /api/screen.jpg   the screen; ?after=N waits up to 2 s for a newer frame;
//                          the X-Frame header gives the frame's number
//   POST /api/key          key=1..6, press=short|long|down|up: 204
//   GET  /api/state        the amplifier's state as JSON
//   POST /api/logout       ends the session
#include <string>

#include "core/works.h"

struct WebPanelSettings {
  std::string bind = "0.0.0.0";
  int port = 0;
  std::string passPhrase;
};

// The settings from remote.txt, or false with the reason why the panel stays off.
bool WebPanelConfigured(WebPanelSettings *out, std::string *why);
// Starts the panel's thread when it is configured; logs why not otherwise.
void StartWebPanel(Works *works);
// Thread body: serves until works->running is cleared, then ends within a second.
void *WebPanel(void *works);
