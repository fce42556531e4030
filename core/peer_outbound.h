#pragma once
// What the transceiver links hand to the remote peer, through a small table
// the remote link fills at start. The links never include remote/; without
// a table (no remote link in the program, tests) nothing is sent.
#include <cstdint>

#include "core/works.h"

struct PeerOutbound {
  void (*serPar)(Works *works, const void *data, int length);    // "PA": parameter record
  void (*spectrum)(Works *works, const void *data, int length);  // "SP": spectrum levels
  void (*cat)(Works *works, const char *text, int length);       // "CA": CAT bytes
  // Number of the transceiver's USB audio interfaces present (0 = missing).
  int (*audioPresent)(Works *works);
};
// Filled once at start, before the threads that send; read without a lock.
void SetPeerOutbound(const PeerOutbound &table);

void PeerSendSerPar(Works *works, const void *data, int length);
void PeerSendSpectrum(Works *works, const void *data, int length);
void PeerSendCat(Works *works, const char *text, int length);
int PeerAudioPresent(Works *works);
