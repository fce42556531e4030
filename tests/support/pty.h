#pragma once
// A pseudo-terminal standing in for a device's serial port: the test holds
// the master side, the code under test opens the slave through a symbolic
// link in the temporary root.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "support/wait.h"

class TestPty {
 public:
  TestPty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    grantpt(master_);
    unlockpt(master_);
    slave_ = ptsname(master_);
    // Our own slave descriptor keeps the master from seeing hang-ups while
    // the code under test reopens the port; raw, so nothing is echoed.
    hold_ = open(slave_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios tio;
    tcgetattr(hold_, &tio);
    cfmakeraw(&tio);
    tcsetattr(hold_, TCSANOW, &tio);
  }
  ~TestPty() { hangUp(); }
  TestPty(const TestPty &) = delete;
  TestPty &operator=(const TestPty &) = delete;

  const std::string &slave() const { return slave_; }
  // Makes linkPath (a mapped path) point at the slave.
  void linkAt(const std::string &linkPath) const {
    unlink(linkPath.c_str());
    if (symlink(slave_.c_str(), linkPath.c_str()) != 0) {
    }
  }
  // Closes both sides: whoever holds the slave sees the device go away.
  void hangUp() {
    if (hold_ >= 0) close(hold_);
    if (master_ >= 0) close(master_);
    hold_ = master_ = -1;
  }
  void write(const std::vector<uint8_t> &bytes) const {
    size_t off = 0;
    while (off < bytes.size()) {
      ssize_t k = ::write(master_, bytes.data() + off, bytes.size() - off);
      if (k <= 0) return;
      off += static_cast<size_t>(k);
    }
  }
  void write(const std::string &text) const {
    write(std::vector<uint8_t>(text.begin(), text.end()));
  }
  // Reads until n bytes came or the deadline passed.
  std::vector<uint8_t> read(size_t n, int timeoutMs) const {
    std::vector<uint8_t> out;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < n) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      end - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) break;
      struct pollfd p = {master_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      uint8_t buf[256];
      size_t want = std::min(sizeof buf, n - out.size());
      ssize_t k = ::read(master_, buf, want);
      if (k <= 0) break;
      out.insert(out.end(), buf, buf + k);
    }
    return out;
  }
  // Reads until the text has come (true) or the deadline passed.
  bool waitFor(const std::string &text, int timeoutMs, std::string *seen = nullptr) const {
    std::string got;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.find(text) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      end - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) break;
      std::vector<uint8_t> b = read(1, static_cast<int>(left));
      got.append(b.begin(), b.end());
    }
    if (seen != nullptr) *seen = got;
    return got.find(text) != std::string::npos;
  }

 private:
  int master_ = -1;
  int hold_ = -1;
  std::string slave_;
};
