// ombrix-sim-keys: the simulator's finger on the front panel.
//
// With commands on the command line it runs them and exits:
//   ombrix-sim-keys --root .sim 5 5 L1 "hold 3 2.0"
// Without, it serves its control channel (DIR/sim/keys.ctl, one command per
// line, as the launcher forwards them) or, with --stdin, standard input,
// until it is stopped. Each command is answered with "ctl LINE" when done,
// or "ctl error: WHY".
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim/keys.h"

namespace {

volatile sig_atomic_t gStop = 0;
void onStop(int) {
  gStop = 1;
}

void report(const std::string &line) {
  printf("%s\n", line.c_str());
  fflush(stdout);
}

bool run(sim::KeyPanel *panel, const std::string &line) {
  std::vector<sim::KeyStep> steps;
  std::string error;
  if (!sim::ParseKeyCommand(line, &steps, &error)) {
    report("ctl error: " + error);
    return false;
  }
  sim::RunKeySteps(panel, steps);
  report("ctl " + line);
  return true;
}

void mkdirs(const std::string &dir) {
  for (size_t i = 1; i <= dir.size(); ++i)
    if (i == dir.size() || dir[i] == '/') mkdir(dir.substr(0, i).c_str(), 0755);
}

std::string dirOf(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// Serves lines from fd until stopped (or end of input for standard input).
void serve(sim::KeyPanel *panel, int fd, bool endOnEof) {
  std::string pending;
  char buf[512];
  while (!gStop) {
    struct pollfd p = {fd, POLLIN, 0};
    int r = poll(&p, 1, 200);
    if (r <= 0) continue;
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      if (endOnEof) break;
      continue;
    }
    pending.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos && !gStop) {
      std::string line = pending.substr(0, nl);
      pending.erase(0, nl + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.find_first_not_of(" \t") != std::string::npos) run(panel, line);
    }
    if (pending.size() > 4096) pending.clear();
  }
}

void usage() {
  fprintf(stderr,
          "usage: ombrix-sim-keys [--root DIR] [--mem PATH] [--ctl FIFO] [--stdin] [COMMAND...]\n"
          "  --root DIR  the simulated device's root: its GPIO block DIR/dev/mem and\n"
          "              control channel DIR/sim/keys.ctl\n"
          "  COMMAND     5 (short press), L1 (long press), 2+3 (two keys), hold 3 2.0,\n"
          "              down 4, up 4, wait 0.5\n");
}

}  // namespace

int main(int argc, char **argv) {
  std::string root, memPath, ctlPath;
  bool useStdin = false;
  std::vector<std::string> commands;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if ((a == "--root" || a == "--mem" || a == "--ctl") && i + 1 < argc) {
      (a == "--root" ? root : a == "--mem" ? memPath : ctlPath) = argv[++i];
    } else if (a == "--stdin") {
      useStdin = true;
    } else if (a == "-h" || a == "--help" || a.compare(0, 2, "--") == 0) {
      usage();
      return 2;
    } else {
      commands.push_back(a);
    }
  }
  if (memPath.empty() && root.empty()) {
    usage();
    return 2;
  }
  if (memPath.empty()) memPath = sim::KeysMem(root);
  if (ctlPath.empty() && !root.empty() && commands.empty() && !useStdin)
    ctlPath = sim::KeysCtl(root);

  mkdirs(dirOf(memPath));
  sim::KeyPanel panel;
  std::string error;
  if (!sim::KeyPanelOpen(&panel, memPath, &error)) {
    fprintf(stderr, "ombrix-sim-keys: %s\n", error.c_str());
    return 1;
  }
  struct sigaction sa = {};
  sa.sa_handler = onStop;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  int status = 0;
  if (!commands.empty()) {
    for (const auto &c : commands)
      if (!gStop && !run(&panel, c)) status = 2;
  } else if (useStdin) {
    report("gpio " + memPath);
    serve(&panel, 0, true);
  } else {
    mkdirs(dirOf(ctlPath));
    unlink(ctlPath.c_str());
    if (mkfifo(ctlPath.c_str(), 0600) != 0) {
      fprintf(stderr, "ombrix-sim-keys: can't make %s: %s\n", ctlPath.c_str(), strerror(errno));
      KeyPanelClose(&panel);
      return 1;
    }
    // Read and write: the FIFO never reports end-of-file between writers.
    int ctl = open(ctlPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    report("gpio " + memPath + " ctl " + ctlPath);
    serve(&panel, ctl, false);
    close(ctl);
    unlink(ctlPath.c_str());
  }
  sim::KeysUp(&panel, {1, 2, 3, 4, 5, 6});
  KeyPanelClose(&panel);
  return status;
}
