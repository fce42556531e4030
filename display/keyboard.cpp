// The service keyboard thread.
#include "display/keyboard.h"

#include <fcntl.h>
#include <glob.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "core/setup.h"
#include "platform/log.h"
#include "platform/platform.h"

namespace {

const char kPattern[] = "/dev/input/by-id/*-event-kbd";
constexpr int kSearchMs = 20000;
// After a keyboard went away: a short pause before searching again, so a
// vanished device never turns into a loop of failed reads.
constexpr int kLostPauseMs = 1000;
// Bound of every wait, so the thread sees works->running go to 0.
constexpr int kPollMs = 200;

// Sleeps up to ms while the program runs.
void waitWhileRunning(Works *works, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (works->running && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

// The first device matching the pattern, or "".
std::string findKeyboard() {
  glob_t g;
  std::string pattern = MapPath(kPattern);
  std::string found;
  if (glob(pattern.c_str(), 0, nullptr, &g) == 0 && g.gl_pathc > 0) found = g.gl_pathv[0];
  globfree(&g);
  return found;
}

// Searches until a keyboard opens or the program stops; -1 when it stopped.
int openKeyboard(Works *works, std::string *path) {
  while (works->running) {
    *path = findKeyboard();
    if (!path->empty()) {
      int fd = open(path->c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd >= 0) {
        LogInfo("Keyboard opened");
        // Keep the key presses away from the text console behind the screen.
        if (ioctl(fd, EVIOCGRAB, 1) != 0)
          LogErr("keyboard grab refused on %s: %s", path->c_str(), strerror(errno));
        RunCommand({"stty", "-F", "/dev/tty0", "-echo"});
        return fd;
      }
      int e = errno;
      LogErr("Cannot open %s, error %d -%s", path->c_str(), e, strerror(e));
    }
    waitWhileRunning(works, kSearchMs);
  }
  return -1;
}

enum ReadEnd { RE_STOPPED, RE_F12, RE_LOST };

ReadEnd readEvents(Works *works, int fd, const std::string &path) {
  KeybReader reader;
  uint8_t buf[16 * sizeof(struct input_event)];
  while (works->running) {
    struct pollfd p = {fd, POLLIN, 0};
    int r = poll(&p, 1, kPollMs);
    if (r == 0) continue;
    if (r < 0) {
      if (errno == EINTR) continue;
      LogErr("error reading %s, error %d -%s", path.c_str(), errno, strerror(errno));
      return RE_LOST;
    }
    if (p.revents & POLLNVAL) return RE_LOST;
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      int e = errno;
      LogErr("error reading %s, error %d -%s", path.c_str(), e, strerror(e));
      return RE_LOST;
    }
    // End of file: the device (or the FIFO's writer) is gone.
    if (n == 0) return RE_LOST;
    bool f12 = false;
    KeybFeed(&reader, buf, static_cast<size_t>(n), [&](const struct input_event &ev) {
      if (!f12 && KeybHandleEvent(works, ev) != 0) f12 = true;
    });
    if (f12) return RE_F12;
  }
  return RE_STOPPED;
}

void keybRun(Works *works) {
  LogStderr("keyb open..\n");
  LogInfo("Keyboard function entered");
  while (works->running) {
    std::string path;
    int fd = openKeyboard(works, &path);
    if (fd < 0) break;
    LogStderr("Continuous keyboard loop started, please end using Control C\n");
    ReadEnd end = readEvents(works, fd, path);
    close(fd);
    if (end == RE_F12) {
      RunCommand({"/bin/stty", "-F", "/dev/tty0", "sane"});
      RunCommand({"/usr/bin/tput", "clear"});
      return;
    }
    if (end == RE_LOST) waitWhileRunning(works, kLostPauseMs);
  }
  RunCommand({"stty", "-F", "/dev/tty0", "sane"});
}

}  // namespace

void RemoteConnection() {
  LogInfo("launching ssh");
  RunCommand({"/opt/sshshell"});
  LogInfo("launched ssh");
}

int KeybHandleEvent(Works *works, const struct input_event &ev) {
  if (ev.type != EV_KEY || ev.value != 1) return 0;
  switch (ev.code) {
    case KC_SYSRQ: {
      LogInfo("launching screenshot");
      std::string discard;
      RunCommand({"/usr/bin/fbgrab", "/tmp/screen.png"}, &discard, 4096);
      LogInfo("launched screenshot");
      return 0;
    }
    case KC_F12:
      LogInfo("Exited by KEY_F12");
      works->running = 0;
      return 1;
    case KC_F11:
      LogInfo("Save setup");
      writeSetup(works);
      return 0;
    case KC_F10:
      RemoteConnection();
      works->armedActions.fetch_or(kArmedRemoteService);
      return 0;
    default: return 0;
  }
}

void *keyb(void *arg) {
  Works *works = static_cast<Works *>(arg);
  try {
    keybRun(works);
  } catch (...) {
    LogErr("keyb: unexpected failure, keyboard thread ends");
  }
  return nullptr;
}
