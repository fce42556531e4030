// The shown frame kept for readers in other threads; see frame_share.h.
#include "display/frame_share.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "platform/platform.h"

namespace {

std::atomic<bool> gWanted{false};
std::atomic<long long> gWantUntilMs{0};
std::atomic<uint64_t> gNumber{0};

std::mutex gMutex;  // guards gFrame and its shape
std::condition_variable gNewFrame;
SharedFrame gFrame;
bool gFrameCurrent = false;  // gFrame is the last shown frame (no gap in the copying)

}  // namespace

void FrameShareWant(long long nowMs) {
  gWantUntilMs.store(nowMs + kFrameShareWantMs, std::memory_order_relaxed);
  gWanted.store(true, std::memory_order_release);
}

void FrameShareOffer(const FrameBuffer *fb) {
  if (!gWanted.load(std::memory_order_acquire) || fb == nullptr) return;
  if (MonotonicMs() > gWantUntilMs.load(std::memory_order_relaxed)) {
    gWanted.store(false, std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(gMutex);
    gFrameCurrent = false;  // frames shown from now on are not followed
    return;
  }
  const size_t bytes = static_cast<size_t>(fb->size);
  std::lock_guard<std::mutex> lock(gMutex);
  const bool sameShape = gFrame.pixels.size() == bytes &&
                         gFrame.width == static_cast<int>(fb->width) &&
                         gFrame.pixelBytes == fb->pixelBytes;
  if (sameShape && gFrameCurrent && memcmp(gFrame.pixels.data(), fb->back, bytes) == 0) return;
  gFrame.pixels.assign(fb->back, fb->back + bytes);
  gFrame.width = static_cast<int>(fb->width);
  gFrame.height = static_cast<int>(fb->height);
  gFrame.pixelBytes = fb->pixelBytes;
  gFrame.number = gNumber.load(std::memory_order_relaxed) + 1;
  gNumber.store(gFrame.number, std::memory_order_release);
  gFrameCurrent = true;
  gNewFrame.notify_all();
}

uint64_t FrameShareNumber() {
  return gNumber.load(std::memory_order_acquire);
}

uint64_t FrameShareWait(uint64_t after, long long deadlineMs, const std::atomic<bool> *stop) {
  std::unique_lock<std::mutex> lock(gMutex);
  for (;;) {
    uint64_t n = gNumber.load(std::memory_order_acquire);
    if (n > after) return n;
    long long left = deadlineMs - MonotonicMs();
    if (left <= 0 || (stop != nullptr && stop->load())) return n;
    // Short slices, so a stop request is seen promptly.
    gNewFrame.wait_for(lock, std::chrono::milliseconds(left < 100 ? left : 100));
  }
}

bool FrameShareCopy(SharedFrame *out) {
  std::lock_guard<std::mutex> lock(gMutex);
  if (gFrame.number == 0) return false;
  *out = gFrame;
  return true;
}
