// Placeholder front-panel thread until the front-panel work.
#include "platform/log.h"
#include "ui/ui.h"

void *GPIO(void *) {
  LogInfo("GPIO: front panel not built yet");
  return nullptr;
}

void SetWorkImg(Works *) {}
