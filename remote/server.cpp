// The remote link threads (not built yet: they end at once).
#include "platform/log.h"
#include "remote/remote.h"

void *Wsocket(void *) {
  LogInfo("Wsocket: remote server not built yet");
  return nullptr;
}

void *Wclient(void *) {
  LogInfo("Wclient: remote client not built yet");
  return nullptr;
}

void dispStat(Works *) {}
