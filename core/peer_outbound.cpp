#include "core/peer_outbound.h"

namespace {

PeerOutbound gTable = {};

}  // namespace

void SetPeerOutbound(const PeerOutbound &table) {
  gTable = table;
}

void PeerSendSerPar(Works *works, const void *data, int length) {
  if (gTable.serPar != nullptr) gTable.serPar(works, data, length);
}

void PeerSendSpectrum(Works *works, const void *data, int length) {
  if (gTable.spectrum != nullptr) gTable.spectrum(works, data, length);
}

void PeerSendCat(Works *works, const char *text, int length) {
  if (gTable.cat != nullptr) gTable.cat(works, text, length);
}

int PeerAudioPresent(Works *works) {
  return gTable.audioPresent != nullptr ? gTable.audioPresent(works) : 0;
}
