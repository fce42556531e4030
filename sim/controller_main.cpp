// ombrix-sim-controller: the amplifier's controller on a pseudo-terminal.
// It checks the check digits of every command, answers from the model in
// controller_model.cpp, and reports every command and reply as one line, on
// its standard output and in a log file, so people and tests can watch the
// wire. Faults (silence, damaged check digits, rejections) and readings are
// injected from the command line or through a control channel: a FIFO that
// takes one command per line (see sim/README.md). The same channel drives the
// amplifier model (drive, load, temperatures, faults, time scale) and reads
// its state back.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "sim/controller_model.h"
#include "sim/sim_common.h"

namespace {

volatile sig_atomic_t gStop = 0;
void onStop(int) {
  gStop = 1;
}

// One injected fault: off, on for every matching command, or on for the next
// `remaining` matching commands. letters limits it to one command ("FM").
struct Fault {
  int remaining = 0;  // 0 off, -1 for ever, n > 0 the next n commands
  std::string letters;
  bool hits(const std::string &cmdLetters) {
    if (remaining == 0) return false;
    if (!letters.empty() && letters != cmdLetters) return false;
    if (remaining > 0) --remaining;
    return true;
  }
};

struct Sim {
  sim::ControllerModel model;
  Fault silent, corrupt, reject;
  int master = -1;
  int slave = -1;  // kept open so the master never sees a hang-up
  std::string ptyName;
  std::string linkPath;
  FILE *log = nullptr;
  bool echo = true;
  std::string frame;  // command being received
  std::string ctlBuffer;
  double clock = -1;  // monotonic seconds of the last model advance
};

double monotonicSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Lets the amplifier live through the time since the last look at it.
void advance(Sim *s) {
  double now = monotonicSeconds();
  if (s->clock >= 0) sim::ControllerAdvance(&s->model, now - s->clock);
  s->clock = now;
}

void report(Sim *s, const std::string &line) {
  if (s->echo) {
    fputs(line.c_str(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
  }
  if (s->log) {
    fputs(line.c_str(), s->log);
    fputc('\n', s->log);
    fflush(s->log);
  }
}

void writeAll(int fd, const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

std::string hex2(unsigned v, bool upper) {
  char b[3];
  snprintf(b, sizeof b, upper ? "%02X" : "%02x", v & 255);
  return b;
}

// One complete command off the wire: check digits, then the text up to ';'.
void handleFrame(Sim *s, const std::string &wire) {
  if (wire.size() < 3) {
    report(s, "> " + wire + " too short");
    return;
  }
  std::string text = wire.substr(2);
  std::string want = hex2(sim::Crc8(text), false);
  std::string letters = text.size() >= 2 ? text.substr(0, 2) : text;
  if (wire.compare(0, 2, want) != 0) {
    // A command whose check digits are wrong is not acted on; the program
    // hears why and sends it again.
    report(s, "> " + wire + " bad check digits (want " + want + ")");
    std::string reply = letters + "!;";
    writeAll(s->master, hex2(sim::Crc8(reply), true) + reply);
    report(s, "< " + hex2(sim::Crc8(reply), true) + reply);
    return;
  }
  if (s->silent.hits(letters)) {
    report(s, "> " + wire + " (silent)");
    return;
  }
  report(s, "> " + wire);
  advance(s);
  std::string reply =
      s->reject.hits(letters) ? letters + "?;" : sim::ControllerAnswer(&s->model, text);
  unsigned crc = sim::Crc8(reply);
  bool damaged = s->corrupt.hits(letters);
  if (damaged) crc ^= 0x5A;
  std::string out = hex2(crc, true) + reply;
  writeAll(s->master, out);
  report(s, "< " + out + (damaged ? " (corrupt)" : ""));
}

void receive(Sim *s, const char *bytes, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    s->frame.push_back(bytes[i]);
    if (bytes[i] == ';') {
      handleFrame(s, s->frame);
      s->frame.clear();
    } else if (s->frame.size() > 256) {
      report(s, "> " + std::to_string(s->frame.size()) + " bytes without ';' dropped");
      s->frame.clear();
    }
  }
}

bool setFault(Fault *f, const std::vector<std::string> &w) {
  if (w.size() < 2 || w.size() > 3) return false;
  if (w[1] == "on")
    f->remaining = -1;
  else if (w[1] == "off")
    f->remaining = 0;
  else {
    char *end = nullptr;
    long n = strtol(w[1].c_str(), &end, 10);
    if (end == w[1].c_str() || *end != 0 || n < 0) return false;
    f->remaining = static_cast<int>(n);
  }
  f->letters = w.size() == 3 ? w[2] : std::string();
  return f->letters.empty() || f->letters.size() == 2;
}

// One control line: silent|corrupt|reject on|off|N [XX], set NAME VALUE,
// status, amp NAME VALUE, amp reset, amp state, antenna N NAME|R X, tuner on|off.
bool control(Sim *s, const std::string &line) {
  std::vector<std::string> w;
  std::istringstream in(line);
  for (std::string word; in >> word;) w.push_back(word);
  if (w.empty()) return true;
  advance(s);
  if (w.size() == 2 && w[0] == "amp" && w[1] == "state") {
    report(s, "ctl amp state " + sim::ControllerAmpState(s->model));
    return true;
  }
  bool ok = false;
  if (w[0] == "silent")
    ok = setFault(&s->silent, w);
  else if (w[0] == "corrupt")
    ok = setFault(&s->corrupt, w);
  else if (w[0] == "reject")
    ok = setFault(&s->reject, w);
  else if (w[0] == "antenna" || w[0] == "tuner")
    ok = sim::ControllerSetLoad(&s->model, w);
  else if (w[0] == "set" && w.size() == 3)
    ok = sim::ControllerSetValue(&s->model, w[1], w[2]);
  else if (w[0] == "amp" && w.size() == 3)
    ok = sim::ControllerSetAmp(&s->model, w[1], w[2]);
  else if (w[0] == "amp" && w.size() == 2 && w[1] == "reset") {
    sim::AmpControllerReset(&s->model.amp);
    ok = true;
  } else if (w[0] == "status") {
    report(s, "ctl status " + sim::ControllerStatusFrame(s->model));
    return true;
  }
  report(s, (ok ? "ctl " : "ctl error: ") + line);
  return ok;
}

void controlBytes(Sim *s, const char *bytes, size_t n) {
  s->ctlBuffer.append(bytes, n);
  size_t nl;
  while ((nl = s->ctlBuffer.find('\n')) != std::string::npos) {
    std::string line = s->ctlBuffer.substr(0, nl);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    s->ctlBuffer.erase(0, nl + 1);
    control(s, line);
  }
  if (s->ctlBuffer.size() > 4096) s->ctlBuffer.clear();
}

bool openPty(Sim *s) {
  s->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (s->master < 0 || grantpt(s->master) != 0 || unlockpt(s->master) != 0) return false;
  char name[128];
  if (ptsname_r(s->master, name, sizeof name) != 0) return false;
  s->ptyName = name;
  s->slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (s->slave < 0) return false;
  // Raw from the start: bytes written before the program sets its own
  // termios must not be echoed or held back for a line end.
  struct termios t;
  if (tcgetattr(s->slave, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(s->slave, TCSANOW, &t);
  }
  return true;
}

void mkdirs(const std::string &path) {
  for (size_t i = 1; i <= path.size(); ++i)
    if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
}

std::string dirOf(const std::string &p) {
  size_t slash = p.rfind('/');
  return slash == std::string::npos ? std::string(".") : p.substr(0, slash);
}

void usage() {
  fprintf(stderr,
          "usage: ombrix-sim-controller [--root DIR] [--port PATH] [--log FILE] [--ctl FIFO]\n"
          "         [--silent] [--corrupt] [--reject] [--set NAME=VALUE]...\n"
          "         [--amp NAME=VALUE]... [--antenna N=NAME]... [--quiet]\n"
          "  --root DIR   link DIR/dev/ttyAMA0 to the pseudo-terminal; log and control\n"
          "               channel in DIR/sim (controller.log, controller.ctl)\n"
          "  --antenna N=NAME  a built-in antenna on port N (1..3): load50 dipole40\n"
          "               dipole80 vertical (each port starts with a 50 ohm load)\n"
          "  values for --set: %s\n"
          "  values for --amp: %s\n",
          sim::ControllerValueNames(), sim::ControllerAmpNames());
}

}  // namespace

int main(int argc, char **argv) {
  Sim s;
  // The load is the tuner in front of the antenna on the port in use.
  sim::ControllerUseTuner(&s.model, true);
  std::string root, logPath, ctlPath;
  std::vector<std::string> startLines;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string *out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string v;
    if (a == "--root" && value(&root)) continue;
    if (a == "--port" && value(&s.linkPath)) continue;
    if (a == "--log" && value(&logPath)) continue;
    if (a == "--ctl" && value(&ctlPath)) continue;
    if (a == "--silent")
      startLines.push_back("silent on");
    else if (a == "--corrupt")
      startLines.push_back("corrupt on");
    else if (a == "--reject")
      startLines.push_back("reject on");
    else if (a == "--quiet")
      s.echo = false;
    else if (a == "--set" && value(&v) && v.find('=') != std::string::npos)
      startLines.push_back("set " + v.substr(0, v.find('=')) + " " + v.substr(v.find('=') + 1));
    else if (a == "--antenna" && value(&v) && v.find('=') != std::string::npos)
      startLines.push_back("antenna " + v.substr(0, v.find('=')) + " " + v.substr(v.find('=') + 1));
    else if (a == "--amp" && value(&v) && v.find('=') != std::string::npos)
      startLines.push_back("amp " + v.substr(0, v.find('=')) + " " + v.substr(v.find('=') + 1));
    else {
      usage();
      return 2;
    }
  }
  if (!root.empty()) {
    if (s.linkPath.empty()) s.linkPath = root + sim::kControllerPort;
    if (logPath.empty()) logPath = sim::ControllerLog(root);
    if (ctlPath.empty()) ctlPath = sim::ControllerCtl(root);
  }

  sigset_t waitMask;
  sim::InstallStopSignals(onStop, &waitMask);

  if (!openPty(&s)) {
    fprintf(stderr, "ombrix-sim-controller: no pseudo-terminal: %s\n", strerror(errno));
    return 1;
  }
  if (!logPath.empty()) {
    mkdirs(dirOf(logPath));
    s.log = fopen(logPath.c_str(), "w");
  }
  int ctl = -1;
  if (!ctlPath.empty()) {
    mkdirs(dirOf(ctlPath));
    unlink(ctlPath.c_str());
    if (mkfifo(ctlPath.c_str(), 0600) != 0) {
      fprintf(stderr, "ombrix-sim-controller: can't make %s: %s\n", ctlPath.c_str(),
              strerror(errno));
      return 1;
    }
    // Read and write: the FIFO never reports end-of-file between writers.
    ctl = open(ctlPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  }
  for (const auto &line : startLines) control(&s, line);
  if (!s.linkPath.empty()) {
    mkdirs(dirOf(s.linkPath));
    unlink(s.linkPath.c_str());
    if (symlink(s.ptyName.c_str(), s.linkPath.c_str()) != 0) {
      fprintf(stderr, "ombrix-sim-controller: can't link %s: %s\n", s.linkPath.c_str(),
              strerror(errno));
      return 1;
    }
  }
  // The first line says where the port is; whoever waits for the port waits for it.
  report(&s, "pty " + s.ptyName + (s.linkPath.empty() ? "" : " linked at " + s.linkPath));

  while (!gStop) {
    struct pollfd p[2] = {{s.master, POLLIN, 0}, {ctl, POLLIN, 0}};
    int r = ppoll(p, ctl >= 0 ? 2 : 1, nullptr, &waitMask);
    if (r < 0) {
      if (errno == EINTR) continue;
      break;
    }
    char buf[512];
    if (p[0].revents & POLLIN) {
      ssize_t n = read(s.master, buf, sizeof buf);
      if (n > 0) receive(&s, buf, static_cast<size_t>(n));
    }
    if (ctl >= 0 && (p[1].revents & POLLIN)) {
      ssize_t n = read(ctl, buf, sizeof buf);
      if (n > 0) controlBytes(&s, buf, static_cast<size_t>(n));
    }
  }

  // Take the port away only if it is still ours.
  if (!s.linkPath.empty()) {
    char target[256];
    ssize_t n = readlink(s.linkPath.c_str(), target, sizeof target - 1);
    if (n > 0) {
      target[n] = 0;
      if (s.ptyName == target) unlink(s.linkPath.c_str());
    }
  }
  if (ctl >= 0) {
    close(ctl);
    unlink(ctlPath.c_str());
  }
  report(&s, "stopped");
  if (s.log) fclose(s.log);
  close(s.slave);
  close(s.master);
  return 0;
}
