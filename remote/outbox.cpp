#include "remote/outbox.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/log.h"

LinkOutbox::LinkOutbox(size_t capacity) : capacity_(capacity) {
  wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_ < 0) LogErr("remote link: no wake-up descriptor (%d)", errno);
}

LinkOutbox::~LinkOutbox() {
  if (wake_ >= 0) ::close(wake_);
}

bool LinkOutbox::push(const uint8_t *bytes, size_t n) {
  bool queued = false, wake = false, streakStarts = false;
  uint64_t streakEnded = 0;
  if (n == 0) return true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_) return false;
    if (n > capacity_ - size_) {
      ++dropped_;
      streakStarts = streak_++ == 0;
    } else {
      if (ring_.size() - size_ < n) {
        // Grow (doubling, up to the capacity) and straighten the ring.
        size_t want = ring_.size() < 65536 ? 65536 : ring_.size() * 2;
        while (want < size_ + n) want *= 2;
        if (want > capacity_) want = capacity_;
        std::vector<uint8_t> grown(want);
        for (size_t i = 0; i < size_; ++i) grown[i] = ring_[(head_ + i) % ring_.size()];
        ring_.swap(grown);
        head_ = 0;
      }
      size_t tail = (head_ + size_) % ring_.size();
      size_t first = ring_.size() - tail < n ? ring_.size() - tail : n;
      memcpy(ring_.data() + tail, bytes, first);
      memcpy(ring_.data(), bytes + first, n - first);
      size_ += n;
      queued = true;
      streakEnded = streak_;
      streak_ = 0;
      wake = !woken_;
      woken_ = true;
    }
  }
  if (wake && wake_ >= 0) {
    uint64_t one = 1;
    if (write(wake_, &one, sizeof one) < 0) {
      // Only a full counter fails, and then the link thread is awake anyway.
    }
  }
  if (streakStarts) LogErr("remote link: the peer does not keep up; frames dropped");
  if (streakEnded > 0)
    LogErr("remote link: %llu frames dropped while the peer did not keep up",
           static_cast<unsigned long long>(streakEnded));
  return queued;
}

void LinkOutbox::open() {
  std::lock_guard<std::mutex> lock(mutex_);
  open_ = true;
  head_ = size_ = 0;
  streak_ = 0;
}

void LinkOutbox::close() {
  std::lock_guard<std::mutex> lock(mutex_);
  open_ = false;
  head_ = size_ = 0;
  streak_ = 0;
  // What a busy session grew is given back.
  std::vector<uint8_t>().swap(ring_);
}

void LinkOutbox::takeWake() {
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t count;
  if (wake_ >= 0 && read(wake_, &count, sizeof count) < 0) {
    // Nothing to read: no wake-up was pending.
  }
  woken_ = false;
}

size_t LinkOutbox::take(uint8_t *dst, size_t max) {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t n = size_ < max ? size_ : max;
  for (size_t done = 0; done < n;) {
    size_t run = ring_.size() - head_;
    if (run > n - done) run = n - done;
    memcpy(dst + done, ring_.data() + head_, run);
    done += run;
    head_ = (head_ + run) % ring_.size();
  }
  size_ -= n;
  if (size_ == 0) head_ = 0;
  return n;
}

size_t LinkOutbox::pending() {
  std::lock_guard<std::mutex> lock(mutex_);
  return size_;
}

uint64_t LinkOutbox::dropped() {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}
