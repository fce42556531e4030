// Placeholder until the front-panel work builds the service keyboard.
#include "display/keyboard.h"

#include "platform/log.h"

void *keyb(void *) {
  LogInfo("keyb: service keyboard not built yet");
  return nullptr;
}
