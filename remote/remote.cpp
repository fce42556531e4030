// Placeholder threads and frame writers until remote operation is built.
#include "remote/remote.h"

#include "platform/log.h"

void *Wsocket(void *) {
  LogInfo("Wsocket: remote server not built yet");
  return nullptr;
}

void *Wclient(void *) {
  LogInfo("Wclient: remote client not built yet");
  return nullptr;
}

void *th_leggi(void *) {
  LogInfo("th_leggi: audio capture not built yet");
  return nullptr;
}

void *th_scrivi(void *) {
  LogInfo("th_scrivi: audio playback not built yet");
  return nullptr;
}

void sendWebSockSerParFrame(Works *, const void *, int) {}
void sendWebSockSerSpectrFrame(Works *, const void *, int) {}
void sendWebSockCatFrame(Works *, const char *, int) {}
void sendWebSockStatusFrame(Works *, const char *, int) {}
