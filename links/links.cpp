// Placeholder threads until the transceiver links are built.
#include "links/links.h"

#include <cstring>
#include <mutex>

#include "platform/log.h"

void *Serial(void *) {
  LogInfo("Serial: EXT IO link not built yet");
  return nullptr;
}

void *CatSerial(void *) {
  LogInfo("CatSerial: FT-817 reader not built yet");
  return nullptr;
}

void *Cat(void *) {
  LogInfo("Cat: CAT link not built yet");
  return nullptr;
}

void *NEBRead(void *) {
  LogInfo("NEBRead: USB spectrum reader not built yet");
  return nullptr;
}

void getParameters(NebParam *destination, Works *works) {
  if (works->nebParam == nullptr || works->serMut == nullptr) {
    memset(destination, 0, sizeof *destination);
    return;
  }
  std::lock_guard<std::mutex> lock(*works->serMut);
  memcpy(destination, works->nebParam, sizeof *destination);
}
