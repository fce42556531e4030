#pragma once
// A thread a test starts, stopped and joined however the test ends: also
// when a failed assertion returns from the test body early.
#include <functional>
#include <thread>
#include <utility>

class TestThread {
 public:
  // stop tells body to end; it is called only when the test has not joined.
  template <class Body>
  TestThread(Body body, std::function<void()> stop)
      : stop_(std::move(stop)), thread_(std::move(body)) {}
  TestThread(const TestThread &) = delete;
  TestThread &operator=(const TestThread &) = delete;
  ~TestThread() {
    if (!thread_.joinable()) return;
    stop_();
    thread_.join();
  }
  // Waits for the body to end by itself.
  void join() { thread_.join(); }

 private:
  std::function<void()> stop_;
  std::thread thread_;
};
