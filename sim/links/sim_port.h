#pragma once
// Shared by the simulated transceivers: a pseudo-terminal linked into the
// root as a device's serial port, an output queue that never blocks the
// simulator, a FIFO control channel taking one command per line, and the
// report lines on standard output and in a log file.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

namespace simlinks {

inline void mkdirs(const std::string &path) {
  for (size_t i = 1; i <= path.size(); ++i)
    if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
}

inline std::string dirOf(const std::string &p) {
  size_t slash = p.rfind('/');
  return slash == std::string::npos ? std::string(".") : p.substr(0, slash);
}

inline std::vector<std::string> words(const std::string &line) {
  std::vector<std::string> w;
  std::istringstream in(line);
  for (std::string word; in >> word;) w.push_back(word);
  return w;
}

// Parses a whole decimal number; false for anything else.
inline bool number(const std::string &s, long long *out) {
  if (s.empty()) return false;
  char *end = nullptr;
  errno = 0;
  long long v = strtoll(s.c_str(), &end, 10);
  if (*end != 0 || errno != 0) return false;
  *out = v;
  return true;
}

inline bool decimal(const std::string &s, double *out) {
  if (s.empty()) return false;
  char *end = nullptr;
  double v = strtod(s.c_str(), &end);
  if (*end != 0) return false;
  *out = v;
  return true;
}

// The value of "KEY: value" in the root's setup file, or fallback: the
// program finds its ports there, so the simulator links them there too.
inline std::string setupValue(const std::string &root, const std::string &key,
                              const std::string &fallback) {
  std::ifstream in(root + "/opt/set/setup.txt");
  const std::string prefix = key + ": ";
  for (std::string line; std::getline(in, line);) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (line.compare(0, prefix.size(), prefix) == 0 && line.size() > prefix.size())
      return line.substr(prefix.size());
  }
  return fallback;
}

// Report lines: standard output (unless quiet) and the log file.
struct Reporter {
  FILE *log = nullptr;
  bool echo = true;
  std::string prefix;
  void operator()(const std::string &line) const {
    std::string l = prefix + line + "\n";
    if (echo) {
      fputs(l.c_str(), stdout);
      fflush(stdout);
    }
    if (log) {
      fputs(l.c_str(), log);
      fflush(log);
    }
  }
};

// The common band plan: a name and a frequency to jump to.
struct Band {
  const char *name;
  long long hz;
};
inline const Band kBands[] = {
    {"160m", 1840000}, {"80m", 3573000},  {"60m", 5357000},  {"40m", 7074000},
    {"30m", 10136000}, {"20m", 14074000}, {"17m", 18100000}, {"15m", 21074000},
    {"12m", 24915000}, {"10m", 28074000}, {"6m", 50313000},
};
inline bool bandFrequency(const std::string &name, long long *hz) {
  for (const Band &b : kBands)
    if (name == b.name) {
      *hz = b.hz;
      return true;
    }
  return false;
}

// A pseudo-terminal whose slave is linked at a path in the root. The
// simulator keeps a slave descriptor of its own so the master never sees a
// hang-up while the program reopens the port; unplug() closes both, which
// the program sees as a device gone.
struct PtyPort {
  int master = -1;
  int slave = -1;
  std::string name;      // /dev/pts/N
  std::string linkPath;  // where the root shows it
  std::string out;       // bytes waiting for room in the terminal's queue

  bool open(const std::string &link) {
    linkPath = link;
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
    char buf[128];
    if (ptsname_r(master, buf, sizeof buf) != 0) return false;
    name = buf;
    slave = ::open(buf, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) return false;
    // Raw from the start: nothing written before the program sets its own
    // terminal settings may be echoed or held for a line end.
    struct termios t;
    if (tcgetattr(slave, &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(slave, TCSANOW, &t);
    }
    if (!linkPath.empty()) {
      mkdirs(dirOf(linkPath));
      unlink(linkPath.c_str());
      if (symlink(name.c_str(), linkPath.c_str()) != 0) return false;
    }
    return true;
  }
  bool isOpen() const { return master >= 0; }
  // Removes the link only while it still points at this terminal.
  void unplug() {
    if (!linkPath.empty()) {
      char target[256];
      ssize_t n = readlink(linkPath.c_str(), target, sizeof target - 1);
      if (n > 0) {
        target[n] = 0;
        if (name == target) unlink(linkPath.c_str());
      }
    }
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
    slave = master = -1;
    out.clear();
  }
  // Queues bytes; a record is either queued whole or, while earlier bytes
  // still wait, dropped whole (returns false), so the stream stays framed.
  bool send(const std::string &bytes, bool droppable) {
    if (master < 0) return false;
    if (droppable && !out.empty()) return false;
    out += bytes;
    flush();
    return true;
  }
  void flush() {
    while (!out.empty() && master >= 0) {
      ssize_t n = write(master, out.data(), out.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;  // no room: the rest goes when the program reads
      out.erase(0, static_cast<size_t>(n));
    }
  }
  // Reads what the program wrote; empty when nothing (or hung up).
  std::string receive() {
    char buf[512];
    ssize_t n = master >= 0 ? read(master, buf, sizeof buf) : -1;
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }
};

// A FIFO that takes one command per line. Opened read-write so it never
// reports end-of-file between two writers.
struct ControlFifo {
  int fd = -1;
  std::string path;
  std::string partial;
  bool open(const std::string &p) {
    path = p;
    mkdirs(dirOf(path));
    unlink(path.c_str());
    if (mkfifo(path.c_str(), 0600) != 0) return false;
    fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    return fd >= 0;
  }
  // Complete lines read now.
  std::vector<std::string> lines() {
    std::vector<std::string> out;
    char buf[512];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) partial.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = partial.find('\n')) != std::string::npos) {
      std::string line = partial.substr(0, nl);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      partial.erase(0, nl + 1);
      out.push_back(line);
    }
    if (partial.size() > 4096) partial.clear();
    return out;
  }
  void close() {
    if (fd >= 0) ::close(fd);
    if (!path.empty()) unlink(path.c_str());
    fd = -1;
  }
};

// The command line the transceiver-side devices share: --root DIR, --log
// FILE, --ctl FIFO, --quiet, the device's own options that take a value, and
// control lines after the options.
struct DeviceArgs {
  std::string root, logPath, ctlPath;
  bool quiet = false;
  std::vector<std::string> startLines;
};
struct ValueOption {
  const char *name;  // "--port"
  std::string *value;
};

// False on an option it does not know, or one without its value.
inline bool ParseDeviceArgs(int argc, char **argv, std::initializer_list<ValueOption> own,
                            DeviceArgs *out) {
  const ValueOption common[] = {
      {"--root", &out->root}, {"--log", &out->logPath}, {"--ctl", &out->ctlPath}};
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    const ValueOption *match = nullptr;
    for (const ValueOption &o : common)
      if (a == o.name) match = &o;
    for (const ValueOption &o : own)
      if (a == o.name) match = &o;
    if (match != nullptr) {
      if (i + 1 >= argc) return false;
      *match->value = argv[++i];
    } else if (a == "--quiet") {
      out->quiet = true;
    } else if (a.rfind("--", 0) == 0) {
      return false;
    } else {
      out->startLines.push_back(a);
    }
  }
  return true;
}

// Opens the log (appended to) and the control FIFO named by args, when they
// are; false, with a line on standard error, when the FIFO cannot be made.
inline bool OpenLogAndControl(const char *program, const DeviceArgs &args, Reporter *report,
                              ControlFifo *ctl) {
  report->echo = !args.quiet;
  if (!args.logPath.empty()) {
    mkdirs(dirOf(args.logPath));
    report->log = fopen(args.logPath.c_str(), "a");
  }
  if (!args.ctlPath.empty() && !ctl->open(args.ctlPath)) {
    fprintf(stderr, "%s: can't make %s: %s\n", program, args.ctlPath.c_str(), strerror(errno));
    return false;
  }
  return true;
}

}  // namespace simlinks
