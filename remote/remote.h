#pragma once
// Remote operation: the link between a station unit (server) and an operator
// unit (client): WebSocket transport, the two link threads and the frame
// writers that the other threads call.
#include <cstdint>

#include "core/works.h"

void *Wsocket(void *works);  // server thread (setup WebSocket '1')
void *Wclient(void *works);  // client thread (setup WebSocket '2')

// The record the server thread serves; the screen-image writer uses it.
extern Works *staticworks;

// Interprets works->statusText after an ST frame (either side).
void dispStat(Works *works);

// Frame writers. Each sends nothing while no authenticated peer is connected
// and hands every frame whole to the link thread (works->remoteOutbox), so
// none waits for the network; none reports a result.
void sendWebSockSerParFrame(Works *works, const void *data, int length);     // "PA"
void sendWebSockSerSpectrFrame(Works *works, const void *data, int length);  // "SP"
void sendWebSockCatFrame(Works *works, const char *text, int length);        // "CA"
void sendWebSockStatusFrame(Works *works, const char *status, int length);   // "ST"
void sendWebSockSerFrame(Works *works, const void *data, int length);        // "SC"
void sendWebSockEventFrame(Works *works, int x, int y);                      // "XY"
// One captured period: audioFrames stereo frames of 16-bit samples.
void sendWebSockAudioFrame(Works *works, const int16_t *period);  // "SO"
// The current screen ("FB"); the server's only.
void sendWebSockFbFrame();

// Fills the transceiver links' outbound table (core/peer_outbound.h) with
// the frame writers; main calls it before the links start.
void RegisterRemoteOutbound();

// Switches remote operation on: sets and starts every remote thread that is
// not running (audio out and in, CAT, spectrum), saves the setup record and
// tells the front panel (command 149).
void StartThreadCommRemote(Works *works);
// Switches it off: clears the four enable bytes (the threads end by
// themselves), removes their errors, saves and tells the front panel (165).
void ExitThreadRemote(Works *works);
