#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>

#include "core/threads.h"

namespace {

std::atomic<bool> gRelease{false};

void *holdSlot(void *) {
  gRelease.wait(false);
  return nullptr;
}

}  // namespace

// Several threads start the same link (bank load, key handler, main): only one
// may get the slot, or the device is opened twice and a handle is lost.
TEST(ThreadSlots, RacingStartsOfOneSlotStartOneThread) {
  for (int round = 0; round < 2000; ++round) {
    gRelease = false;
    std::atomic<int> won{0};
    std::latch go(2);
    auto starter = [&] {
      go.arrive_and_wait();
      if (StartThread(TH_FFT, holdSlot, nullptr)) ++won;
    };
    std::thread a(starter), b(starter);
    a.join();
    b.join();
    gRelease = true;
    gRelease.notify_all();
    JoinThread(TH_FFT);
    ASSERT_EQ(won, 1) << "round " << round;
  }
}
