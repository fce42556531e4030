// Placeholder until the tuner work: the busy flag only.
#include "tuner/tuner.h"

#include <thread>

void WaitSemaforoTuneval(Works *works) {
  uint8_t expected = 0;
  while (!works->semaforoTuneval.compare_exchange_weak(expected, 1)) {
    expected = 0;
    std::this_thread::yield();
  }
}

void StopSemaforoTuneval(Works *works) { works->semaforoTuneval = 0; }
void LoadTuneFromMEM(Works *, int) {}
void TuneTask(Works *) {}
