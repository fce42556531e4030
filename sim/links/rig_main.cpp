// ombrix-sim-rig: a transceiver behind Hamlib's rigctld, for the Hamlib mode
// of work. It runs Debian's rigctld with Hamlib's dummy rig (-m 1) on
// 127.0.0.1 and a free port, writes ROOT/opt/set/rig.txt so the program
// finds it, and says "rigctld 127.0.0.1:PORT" once the daemon answers.
//
// The control FIFO (one command per line) moves the radio through rigctl:
// "FREQ" or "freq FREQ" (Hz) or "band 40m"; "stop" ends the daemon (the
// port then refuses connections), "start" runs it again on the same port;
// "status" reports the port and whether the daemon runs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>

#include "sim/links/sim_port.h"
#include "sim/sim_common.h"

extern char **environ;

namespace {

volatile sig_atomic_t gStop = 0;
void onStop(int) {
  gStop = 1;
}

long long nowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

struct Sim {
  int port = 0;
  pid_t daemon = -1;
  simlinks::Reporter report;
};

// A port on loopback that nobody listens on just now.
int freePort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &n) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

bool accepts(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

// Runs a program found on PATH with its output thrown away.
pid_t spawnQuiet(const std::vector<std::string> &argv) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t at;
  posix_spawnattr_init(&at);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&at, &none);
  posix_spawnattr_setflags(&at, POSIX_SPAWN_SETSIGMASK);
  std::vector<char *> args;
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &fa, &at, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&at);
  return pid;
}

// Runs rigctld as a child that ends with this program, however this one ends
// (a test may kill it outright): a daemon left behind would keep its port.
pid_t spawnDaemon(const std::vector<std::string> &argv) {
  std::vector<char *> args;
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  int devNull = open("/dev/null", O_RDWR);
  for (int fd = 0; fd <= 2; ++fd) dup2(devNull, fd);
  execvp(args[0], args.data());
  _exit(127);
}

// Waits up to ms for a child; its status, or -1 (it is then killed).
int waitChild(pid_t pid, int ms) {
  long long end = nowMs() + ms;
  int st = 0;
  while (waitpid(pid, &st, WNOHANG) == 0) {
    if (nowMs() > end) {
      kill(pid, SIGKILL);
      waitpid(pid, &st, 0);
      return -1;
    }
    poll(nullptr, 0, 10);
  }
  return st;
}

void stopDaemon(Sim &s) {
  if (s.daemon <= 0) return;
  kill(s.daemon, SIGTERM);
  waitChild(s.daemon, 3000);
  s.daemon = -1;
}

// Starts rigctld on s.port and waits until it takes connections.
bool startDaemon(Sim &s) {
  s.daemon = spawnDaemon({"rigctld", "-m", "1", "-T", "127.0.0.1", "-t", std::to_string(s.port)});
  if (s.daemon <= 0) return false;
  for (long long end = nowMs() + 5000; nowMs() < end;) {
    if (accepts(s.port)) return true;
    int st;
    if (waitpid(s.daemon, &st, WNOHANG) == s.daemon) {  // the port was taken
      s.daemon = -1;
      return false;
    }
    poll(nullptr, 0, 20);
  }
  stopDaemon(s);
  return false;
}

// Moves the dummy rig through rigctl, as a person with the real radio would.
// A rigctl that fails (rigctld just started may refuse its first client
// for a moment) is reported and run again, twice at most.
bool setFrequency(Sim &s, long long hz) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (attempt > 0) poll(nullptr, 0, 300);
    pid_t pid = spawnQuiet({"rigctl", "-m", "2", "-r", "127.0.0.1:" + std::to_string(s.port), "F",
                            std::to_string(hz)});
    if (pid <= 0) {
      s.report("rigctl did not start");
      return false;
    }
    int st = waitChild(pid, 10000);
    if (st >= 0 && WIFEXITED(st) && WEXITSTATUS(st) == 0) return true;
    s.report(st < 0 ? "rigctl took more than 10 s" : "rigctl failed, status " + std::to_string(st));
  }
  return false;
}

bool control(Sim &s, const std::string &line) {
  std::vector<std::string> w = simlinks::words(line);
  bool ok = false;
  long long hz = 0;
  if (w.size() == 1 && simlinks::number(w[0], &hz) && hz > 0) {
    ok = setFrequency(s, hz);
  } else if (w.size() == 2 && w[0] == "freq" && simlinks::number(w[1], &hz) && hz > 0) {
    ok = setFrequency(s, hz);
  } else if (w.size() == 2 && w[0] == "band" && simlinks::bandFrequency(w[1], &hz)) {
    ok = setFrequency(s, hz);
  } else if (w.size() == 1 && w[0] == "stop") {
    stopDaemon(s);
    ok = true;
  } else if (w.size() == 1 && w[0] == "start") {
    ok = s.daemon > 0 || startDaemon(s);
  } else if (w.size() == 1 && w[0] == "status") {
    s.report("status port " + std::to_string(s.port) + (s.daemon > 0 ? " running" : " stopped"));
    return true;
  }
  s.report((ok ? "ctl " : "ctl error: ") + line);
  return ok;
}

void usage() {
  fprintf(stderr,
          "usage: ombrix-sim-rig [--root DIR] [--port N] [--log FILE] [--ctl FIFO] [--quiet]\n"
          "         [CONTROL]...\n"
          "  --root DIR   writes DIR/opt/set/rig.txt; control channel DIR/sim/rig.ctl,\n"
          "               log DIR/sim/rig.log\n"
          "  --port N     rigctld's TCP port (default: a free one)\n"
          "  CONTROL      control lines applied once rigctld answers, e.g. \"freq 7074000\"\n");
}

}  // namespace

int main(int argc, char **argv) {
  Sim s;
  simlinks::DeviceArgs args;
  std::string portText;
  if (!simlinks::ParseDeviceArgs(argc, argv, {{"--port", &portText}}, &args)) {
    usage();
    return 2;
  }
  long long fixedPort = 0;
  if (!portText.empty() &&
      (!simlinks::number(portText, &fixedPort) || fixedPort < 1 || fixedPort > 65535)) {
    usage();
    return 2;
  }
  if (!args.root.empty()) {
    if (args.logPath.empty()) args.logPath = args.root + "/sim/rig.log";
    if (args.ctlPath.empty()) args.ctlPath = args.root + "/sim/rig.ctl";
  }
  sigset_t waitMask;
  sim::InstallStopSignals(onStop, &waitMask);
  simlinks::ControlFifo ctl;
  if (!simlinks::OpenLogAndControl("ombrix-sim-rig", args, &s.report, &ctl)) return 1;

  // A free port may be taken between finding it and rigctld binding it: try a few.
  bool up = false;
  for (int attempt = 0; attempt < 5 && !up; ++attempt) {
    s.port = fixedPort > 0 ? static_cast<int>(fixedPort) : freePort();
    up = s.port > 0 && startDaemon(s);
    if (fixedPort > 0) break;
  }
  if (!up) {
    fprintf(stderr, "ombrix-sim-rig: rigctld did not start (is libhamlib-utils installed?)\n");
    return 1;
  }
  const std::string address = "127.0.0.1:" + std::to_string(s.port);
  if (!args.root.empty()) {
    const std::string dir = args.root + "/opt/set";
    simlinks::mkdirs(dir);
    std::ofstream(dir + "/rig.txt", std::ios::trunc) << "Rigctld: " << address << "\n";
  }
  for (const auto &line : args.startLines)
    if (!control(s, line)) {
      stopDaemon(s);
      return 2;
    }
  s.report("rigctld " + address);

  while (!gStop) {
    struct pollfd p = {ctl.fd, POLLIN, 0};
    struct timespec ts = {1, 0};
    int r = ppoll(&p, ctl.fd >= 0 ? 1 : 0, &ts, &waitMask);
    if (r < 0 && errno != EINTR) break;
    int st;
    if (s.daemon > 0 && waitpid(s.daemon, &st, WNOHANG) == s.daemon) {
      s.daemon = -1;
      s.report("rigctld ended");
    }
    if (r > 0 && (p.revents & POLLIN))
      for (const auto &line : ctl.lines()) control(s, line);
  }
  stopDaemon(s);
  ctl.close();
  s.report("stopped");
  if (s.report.log) fclose(s.report.log);
  return 0;
}
