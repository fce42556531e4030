#pragma once
// Pin access on the GPIO block, shared by its set-up and the front-panel link.
#include <time.h>

#include <cerrno>
#include <cstdint>

#include "ui/panel.h"

inline volatile uint32_t &reg(GpioBlock *g, int offset) {
  return g->regs[offset / 4];
}

inline void linkDelay(GpioBlock *g, int us) {
  if (g->delayUs != nullptr) {
    g->delayUs(g->ctx, us);
    return;
  }
  struct timespec ts = {0, static_cast<long>(us) * 1000};
  while (clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, &ts) == EINTR) {
  }
}

inline void pinInput(GpioBlock *g, int pin) {
  volatile uint32_t &r = reg(g, kRegFsel0 + 4 * (pin / 10));
  r = r & ~(7u << ((pin % 10) * 3));
}

inline void pinOutput(GpioBlock *g, int pin) {
  pinInput(g, pin);
  volatile uint32_t &r = reg(g, kRegFsel0 + 4 * (pin / 10));
  r = r | (1u << ((pin % 10) * 3));
}

inline void pinHigh(GpioBlock *g, int pin) {
  reg(g, kRegSet0) = 1u << pin;
}
inline void pinLow(GpioBlock *g, int pin) {
  reg(g, kRegClr0) = 1u << pin;
}
inline int pinLevel(GpioBlock *g, int pin) {
  return (reg(g, kRegLev0) >> pin) & 1;
}
