// The front panel's own controller: the serial link of two pins, the poll
// rotation and mailbox, and the front-panel thread that runs the link and
// the key scanning every 2 ms.
#include <time.h>

#include <cerrno>
#include <cstdlib>

#include "platform/log.h"
#include "platform/platform.h"
#include "ui/gpio_pins.h"
#include "ui/panel.h"
#include "ui/ui.h"

namespace {

constexpr int kPassMs = 2;
constexpr int kLinkStepUs = 200;
constexpr int kPollSlots = 200;

}  // namespace

void PanelPollStep(Works *works) {
  if (works->panelPollWait > 0) {
    --works->panelPollWait;
    return;
  }
  works->panelPollWait = kPollSlots;
  uint8_t cmd = works->panelCmd.exchange(0);
  if (cmd != 0) {
    LogStderr("CMD TINY %0x\n", cmd);
    works->panelCmdOut = cmd;
    return;
  }
  static const uint8_t kPolls[4] = {209, 210, 211, 208};
  int idx = works->panelPollIdx;
  if (idx >= 0 && idx < 4) {
    works->panelCmdOut = kPolls[idx];
    works->panelPollIdx = static_cast<int8_t>(idx + 1);
  } else {
    works->panelPollIdx = 0;  // every fifth slot stays empty
  }
}

uint8_t PanelTransfer(GpioBlock *g, uint8_t cmd) {
  for (int bit = 7; bit >= 0; --bit) {
    pinHigh(g, kPinClock);
    linkDelay(g, kLinkStepUs);
    if ((cmd >> bit) & 1)
      pinHigh(g, kPinData);
    else
      pinLow(g, kPinData);
    linkDelay(g, kLinkStepUs);
    pinLow(g, kPinClock);
    linkDelay(g, kLinkStepUs);
  }
  pinInput(g, kPinData);
  for (int i = 0; i < 3; ++i) linkDelay(g, kLinkStepUs);
  uint32_t result = 0;
  for (int i = 0; i < 12; ++i) {
    pinLow(g, kPinClock);
    linkDelay(g, kLinkStepUs);
    result = (result << 1) | static_cast<uint32_t>(pinLevel(g, kPinData));
    pinHigh(g, kPinClock);
    linkDelay(g, kLinkStepUs);
  }
  pinOutput(g, kPinData);
  reg(g, kRegSet0) = (1u << kPinData) | (1u << kPinClock);
  return static_cast<uint8_t>(result & 0xFF);
}

void PanelStoreReply(Works *works, uint8_t cmd, uint8_t reply) {
  switch (cmd & 3) {
    case 0: works->panelVersion = reply; break;
    case 1: works->panelV12Adc = reply; break;
    case 2: works->panelV15Adc = reply; break;
    default: works->panelVampAdc = reply; break;
  }
}

namespace {

void gpioRun(Works *works) {
  int status = 0;
  volatile uint32_t *regs = GpioMap(&status);
  if (regs == nullptr) exit(status);
  GpioBlock gpio;
  gpio.regs = regs;
  GpioSetup(&gpio);
  PanelKeys keys;
  PanelKeysInit(&keys);
  LogStderr(" t1 %d %d, t2 %d %d, t3 %d %d, t4 %d %d, t5 %d %d, t6 %d %d\n", keys.state[0],
            keys.previous[0], keys.state[1], keys.previous[1], keys.state[2], keys.previous[2],
            keys.state[3], keys.previous[3], keys.state[4], keys.previous[4], keys.state[5],
            keys.previous[5]);
  LogInfo("GPIO loop start\n");
  while (works->running) {
    GpioOutputs(&gpio, works);
    if (works->panelCmdOut == kPanelIdle) PanelPollStep(works);
    uint8_t cmd = works->panelCmdOut;
    if (cmd != kPanelIdle) {
      PanelStoreReply(works, cmd, PanelTransfer(&gpio, cmd));
      works->panelCmdOut = kPanelIdle;
    }
    long long now = MonotonicMs();
    PanelScanKeys(&keys, works, PanelInjectLevel(reg(&gpio, kRegLev0), &keys, now), now);
    struct timespec ts = {0, kPassMs * 1000000L};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, &ts) == EINTR) {
    }
  }
  PanelInjectReset();
  GpioUnmap(regs);
}

}  // namespace

void *GPIO(void *arg) {
  Works *works = static_cast<Works *>(arg);
  works->gpioRunning = 1;
  LogInfo("GPIO operations start\n");
  try {
    gpioRun(works);
  } catch (...) {
    LogErr("GPIO: unexpected failure, front panel stops");
  }
  LogInfo("GPIO operations end\n");
  works->gpioRunning = 0;
  return nullptr;
}
