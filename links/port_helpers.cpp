// Pieces the transceiver links share: waiting on a port, writing all of a
// command, pausing without missing a stop request, and the parameter copy.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "core/setup.h"
#include "links/links.h"
#include "platform/platform.h"

int WaitReadable(int fd, int timeoutMs) {
  if (fd < 0) return -1;
  struct pollfd p = {fd, POLLIN, 0};
  int r = poll(&p, 1, timeoutMs);
  if (r < 0) return errno == EINTR ? 0 : -1;
  if (r == 0) return 0;
  // A hang-up with or without bytes left: the read that follows drains them
  // or reports the loss.
  if (p.revents & (POLLIN | POLLHUP | POLLERR)) return 1;
  return -1;  // POLLNVAL: not a descriptor any more
}

int WriteAll(int fd, const void *data, int n) {
  const char *p = static_cast<const char *>(data);
  int left = n;
  while (left > 0) {
    ssize_t k = write(fd, p, static_cast<size_t>(left));
    if (k < 0 && errno == EINTR) continue;
    if (k < 0 && errno == EAGAIN) {
      // A full output queue: wait for room, but not for ever.
      struct pollfd pw = {fd, POLLOUT, 0};
      if (poll(&pw, 1, 1000) <= 0) return -1;
      continue;
    }
    if (k <= 0) return -1;
    p += k;
    left -= static_cast<int>(k);
  }
  return n;
}

bool PauseWhile(Works *works, int setupByte, int ms) {
  long long end = MonotonicMs() + ms;
  for (;;) {
    if (works->running.load() == 0 || SetupChar(works, setupByte) != '1') return false;
    long long left = end - MonotonicMs();
    if (left <= 0) return true;
    // Short steps, so a cleared flag is seen promptly.
    poll(nullptr, 0, static_cast<int>(std::min<long long>(left, 50)));
  }
}

void getParameters(NebParam *destination, Works *works) {
  if (works->nebParam == nullptr || works->serMut == nullptr) {
    memset(destination, 0, sizeof *destination);
    return;
  }
  std::lock_guard<std::mutex> lock(*works->serMut);
  memcpy(destination, works->nebParam, sizeof *destination);
}
