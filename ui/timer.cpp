// Placeholder refresh loop until the bands work builds it.
#include "platform/log.h"
#include "ui/ui.h"

void *timer(void *) {
  LogInfo("timer: refresh loop not built yet");
  return nullptr;
}
