#pragma once
// Small helpers for state that several threads share.
#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

// A field one thread writes while others read it.
template <class T>
using At = std::atomic<T>;

// A text field copied in and out whole under its own small lock, so a reader
// never sees it half written.
template <size_t N>
class SharedText {
 public:
  void set(const char *s) {
    std::lock_guard<std::mutex> lock(m_);
    snprintf(buf_, N, "%s", s ? s : "");
  }
  void setf(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
    char tmp[N];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(tmp, N, fmt, ap);
    va_end(ap);
    set(tmp);
  }
  // Copies the text into out (always NUL-terminated); returns its length.
  size_t get(char *out, size_t outSize) const {
    if (outSize == 0) return 0;
    std::lock_guard<std::mutex> lock(m_);
    size_t n = strnlen(buf_, N);
    if (n >= outSize) n = outSize - 1;
    memcpy(out, buf_, n);
    out[n] = 0;
    return n;
  }
  std::string str() const {
    std::lock_guard<std::mutex> lock(m_);
    return std::string(buf_);
  }
  bool empty() const {
    std::lock_guard<std::mutex> lock(m_);
    return buf_[0] == 0;
  }
  void clear() { set(""); }
  static constexpr size_t capacity() { return N; }

 private:
  mutable std::mutex m_;
  char buf_[N] = {};
};
