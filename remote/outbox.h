#pragma once
// The frames the other threads (CAT, EXT IO, USB spectrum, audio capture,
// refresh loop) send to the peer. They never touch the connection: each
// writer hands whole frames to this bounded queue and wakes the link thread
// through a descriptor it polls; the link thread alone writes them out, in
// the order they came. A writer never waits for the network. When the queue
// is full a frame is dropped whole (counted, logged once per streak), and
// the chunks of one object go in together or not at all.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

class LinkOutbox {
 public:
  // Room for a raw screen image of 800 x 480 x 4 in its chunks, with frames
  // besides; the storage grows only as far as it is used.
  static constexpr size_t kCapacity = 2u << 20;

  explicit LinkOutbox(size_t capacity = kCapacity);
  ~LinkOutbox();
  LinkOutbox(const LinkOutbox &) = delete;
  LinkOutbox &operator=(const LinkOutbox &) = delete;

  // Writers: the bytes of one or more whole frames. False when they were
  // dropped (no peer, or no room for all of them).
  bool push(const uint8_t *bytes, size_t n);

  // The link thread: open() for a newly authenticated peer (what was left is
  // dropped), close() when the connection ends.
  void open();
  void close();
  // The descriptor that becomes readable when frames wait; takeWake() reads
  // it before the queue is emptied.
  int wakeFd() const { return wake_; }
  void takeWake();
  // Moves up to max queued bytes to dst; returns how many.
  size_t take(uint8_t *dst, size_t max);
  size_t pending();
  uint64_t dropped();

 private:
  std::mutex mutex_;
  const size_t capacity_;
  std::vector<uint8_t> ring_;
  size_t head_ = 0, size_ = 0;
  bool open_ = false;
  bool woken_ = false;
  uint64_t dropped_ = 0;  // frames dropped for want of room, in all
  uint64_t streak_ = 0;   // ... since the last frame that went in
  int wake_ = -1;
};
