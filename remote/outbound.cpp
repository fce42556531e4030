// The remote link's side of the transceiver links' outbound table: what they
// hand over for the peer goes to the frame writers, and the audio interface
// check is the remote audio's.
#include "core/peer_outbound.h"
#include "remote/audio.h"
#include "remote/remote.h"

void RegisterRemoteOutbound() {
  PeerOutbound table;
  table.serPar = sendWebSockSerParFrame;
  table.spectrum = sendWebSockSerSpectrFrame;
  table.cat = sendWebSockCatFrame;
  table.audioPresent = VerifyAudioNEB;
  SetPeerOutbound(table);
}
