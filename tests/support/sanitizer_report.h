#pragma once
// Where a sanitizer's report goes when a test or driver has silenced its
// standard error: to fd, a copy of the real one. Nothing without a sanitizer.
#include <cstdint>

extern "C" void __sanitizer_set_report_fd(void *fd) __attribute__((weak));

inline void SanitizerReportsTo(int fd) {
  if (__sanitizer_set_report_fd != nullptr)
    __sanitizer_set_report_fd(reinterpret_cast<void *>(static_cast<intptr_t>(fd)));
}
