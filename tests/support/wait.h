#pragma once
// Waiting in a test for a condition another thread or process brings about:
// checked every few milliseconds, given up at the deadline.
#include <poll.h>

#include <chrono>

// True once cond holds; false when the deadline passes first.
template <class Cond>
bool WaitUntil(Cond cond, std::chrono::milliseconds within = std::chrono::milliseconds(5000),
               std::chrono::milliseconds every = std::chrono::milliseconds(5)) {
  auto end = std::chrono::steady_clock::now() + within;
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    poll(nullptr, 0, static_cast<int>(every.count()));
  }
  return true;
}
template <class Cond>
bool WaitUntil(Cond cond, int timeoutMs) {
  return WaitUntil(cond, std::chrono::milliseconds(timeoutMs));
}
