#pragma once
// Integration harness: runs ombrix and the simulated devices as real
// processes in a temporary root and lets a test wait, with a deadline, for
// the lines they print (the wire traffic of a device, the program's log).
//
//   SimRoot root;                         // temporary root, built by ombrix-sim --prepare
//   ControllerSim ctl;  ctl.start(root);  // the controller on a pseudo-terminal
//   OmbrixProcess app;  app.start(root);  // build/ombrix with OMBRIX_ROOT
//   ASSERT_GE(ctl.waitCommand("ST;", 5s), 0);
//   ASSERT_GE(app.out().waitForText("Closed!", 20s), 0);
//
// Every wait ends at an observable event or at its deadline; nothing sleeps.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace simtest {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

inline std::string BuildDir() {
#ifdef OMBRIX_BUILD_DIR
  return OMBRIX_BUILD_DIR;
#else
  return "build";
#endif
}

// A TCP port on loopback that nobody listens on just now.
inline int FreePort() {
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

// Lines of a process's output as they arrive.
class LineLog {
 public:
  void add(std::string line) {
    std::lock_guard<std::mutex> lock(m_);
    lines_.push_back(std::move(line));
    cv_.notify_all();
  }
  void close() {
    std::lock_guard<std::mutex> lock(m_);
    closed_ = true;
    cv_.notify_all();
  }
  // Index of the first line at or after `from` for which pred holds; -1 when
  // the deadline passes or the output ends first.
  int waitFor(const std::function<bool(const std::string &)> &pred, milliseconds within,
              size_t from = 0) {
    auto deadline = Clock::now() + within;
    std::unique_lock<std::mutex> lock(m_);
    size_t i = from;
    for (;;) {
      for (; i < lines_.size(); ++i)
        if (pred(lines_[i])) return static_cast<int>(i);
      if (closed_) return -1;
      if (cv_.wait_until(lock, deadline) == std::cv_status::timeout && i == lines_.size())
        return -1;
    }
  }
  int waitForText(const std::string &text, milliseconds within, size_t from = 0) {
    return waitFor([&](const std::string &l) { return l.find(text) != std::string::npos; }, within,
                   from);
  }
  std::vector<std::string> lines(size_t from = 0) const {
    std::lock_guard<std::mutex> lock(m_);
    if (from >= lines_.size()) return {};
    return std::vector<std::string>(lines_.begin() + static_cast<long>(from), lines_.end());
  }
  size_t size() const {
    std::lock_guard<std::mutex> lock(m_);
    return lines_.size();
  }
  // All lines as one text, for failure messages.
  std::string text(size_t from = 0) const {
    std::string out;
    for (const auto &l : lines(from)) out += l + "\n";
    return out;
  }

 private:
  mutable std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
  bool closed_ = false;
};

// A child process whose standard output and error are collected line by line.
class Child {
 public:
  Child() = default;
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitExit(milliseconds(5000));
    }
    if (reader_.joinable()) reader_.join();
    if (pidfd_ >= 0) ::close(pidfd_);
  }

  // env's NAME=VALUE entries replace the test's own; cwd "" keeps the test's.
  bool start(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
             const std::string &cwd = "") {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 2);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
    std::vector<std::string> envStore;
    for (char **e = environ; *e; ++e) {
      bool replaced = false;
      for (const auto &mine : env)
        replaced = replaced || strncmp(*e, mine.c_str(), mine.find('=') + 1) == 0;
      if (!replaced) envStore.push_back(*e);
    }
    for (const auto &e : env) envStore.push_back(e);
    std::vector<char *> args, envp;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    for (auto &e : envStore) envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    int rc = posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    ::close(fds[1]);
    if (rc != 0) {
      ::close(fds[0]);
      pid_ = -1;
      return false;
    }
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    int fd = fds[0];
    reader_ = std::thread([this, fd] {
      std::string partial;
      char buf[4096];
      for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        partial.append(buf, static_cast<size_t>(n));
        size_t nl;
        while ((nl = partial.find('\n')) != std::string::npos) {
          out_.add(partial.substr(0, nl));
          partial.erase(0, nl + 1);
        }
      }
      if (!partial.empty()) out_.add(partial);
      ::close(fd);
      out_.close();
    });
    return true;
  }

  LineLog &out() { return out_; }
  pid_t pid() const { return pid_; }
  // Writes one line into a control FIFO and waits until this process says
  // "ctl LINE", its sign that it has taken the line.
  bool controlLine(const std::string &fifo, const std::string &line,
                   milliseconds within = milliseconds(5000)) {
    size_t from = out().size();
    int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    std::string l = line + "\n";
    bool written = write(fd, l.data(), l.size()) == static_cast<ssize_t>(l.size());
    ::close(fd);
    return written && out().waitForText("ctl " + line, within, from) >= 0;
  }
  void signal(int sig) {
    if (pid_ > 0) kill(pid_, sig);
  }
  // The exit status in waitpid's form, or -1 when the deadline passes first.
  int waitExit(milliseconds within) {
    if (pid_ <= 0) return status_;
    if (pidfd_ >= 0) {
      struct pollfd p = {pidfd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(within.count())) <= 0) return -1;
    }
    int st = 0;
    if (waitpid(pid_, &st, 0) != pid_) return -1;
    pid_ = -1;
    status_ = st;
    return st;
  }

 private:
  pid_t pid_ = -1;
  int pidfd_ = -1;
  int status_ = -1;
  std::thread reader_;
  LineLog out_;
};

// A temporary root directory laid out by the launcher (setup file, band
// table, stand-in commands), removed at the end of the test.
class SimRoot {
 public:
  SimRoot() {
    char tmpl[] = "/tmp/ombrix-sim-XXXXXX";
    dir_ = mkdtemp(tmpl);
    Child prep;
    // Generic mode of work: a test that wants a transceiver starts its
    // simulator and writes the band table's mode itself.
    ok_ = prep.start(
              {BuildDir() + "/sim/ombrix-sim", "--prepare", "--mode", "gen", "--root", dir_}) &&
          prep.waitExit(milliseconds(10000)) == 0;
  }
  ~SimRoot() {
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (system(cmd.c_str()) != 0) {
    }
  }
  bool ok() const { return ok_; }
  const std::string &dir() const { return dir_; }
  std::string path(const std::string &devicePath) const { return dir_ + devicePath; }
  void writeFile(const std::string &devicePath, const std::string &text) const {
    std::ofstream(path(devicePath), std::ios::binary | std::ios::trunc) << text;
  }
  void appendFile(const std::string &devicePath, const std::string &text) const {
    std::ofstream(path(devicePath), std::ios::binary | std::ios::app) << text;
  }

 private:
  std::string dir_;
  bool ok_ = false;
};

// The simulated controller. Its output is the wire: "> xxTEXT;" for every
// command received (xx its check digits), "< XXTEXT;" for every reply, with
// a note after a blank for faults and refusals; "ctl LINE" for every control
// line taken.
class ControllerSim : public Child {
 public:
  bool start(const SimRoot &root, const std::vector<std::string> &extra = {}) {
    return start(root.dir(), extra);
  }
  bool start(const std::string &rootDir, const std::vector<std::string> &extra = {}) {
    root_ = rootDir;
    std::vector<std::string> argv = {BuildDir() + "/sim/ombrix-sim-controller", "--root", root_};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return Child::start(argv) && out().waitForText("pty ", milliseconds(5000)) >= 0;
  }
  // Sends one control line and waits until the controller has taken it.
  bool control(const std::string &line) { return controlLine(root_ + "/sim/controller.ctl", line); }
  // The command text of a line the controller accepted ("ST;" of "> 4dST;",
  // also when it then stays silent); "" for a command it refused (bad check
  // digits, too short, overlong) and for every other line.
  static std::string CommandOf(const std::string &line) {
    if (line.size() < 5 || line.compare(0, 2, "> ") != 0) return "";
    size_t semi = line.find(';', 4);
    if (semi == std::string::npos) return "";
    std::string note = line.substr(semi + 1);
    return note.empty() || note == " (silent)" ? line.substr(4, semi - 3) : "";
  }
  // Index of the next line at or after `from` where the command was accepted.
  int waitCommand(const std::string &text, milliseconds within, size_t from = 0) {
    return out().waitFor([&](const std::string &l) { return CommandOf(l) == text; }, within, from);
  }
  // The commands accepted in the lines from `from` on, in order, up to and
  // including the first `until` ("" for all).
  std::vector<std::string> commands(size_t from = 0, const std::string &until = "") {
    std::vector<std::string> out;
    for (const auto &l : Child::out().lines(from)) {
      std::string c = CommandOf(l);
      if (!c.empty()) out.push_back(c);
      if (!c.empty() && c == until) break;
    }
    return out;
  }

 private:
  std::string root_;
};

// build/ombrix running in a root.
class OmbrixProcess : public Child {
 public:
  // cwd "" keeps the test's working directory.
  bool start(const std::string &rootDir, const std::string &cwd = "") {
    // ALSA finds the root's simulated audio interface (sim/audio_sim.h).
    return Child::start(
        {OmbrixBinary()},
        {"OMBRIX_ROOT=" + rootDir, "ALSA_CONFIG_PATH=" + rootDir + "/etc/asound.conf"}, cwd);
  }
  bool start(const SimRoot &root) { return start(root.dir()); }
  // A clean stop: SIGTERM, the closing line, exit status 0 (a sanitizer's
  // report would show in it).
  void stop(milliseconds within = milliseconds(40000)) {
    signal(SIGTERM);
    EXPECT_GE(out().waitForText("Closed!", within), 0) << out().text();
    int st = waitExit(milliseconds(10000));
    EXPECT_TRUE(WIFEXITED(st)) << st << "\n" << out().text();
    EXPECT_EQ(WIFEXITED(st) ? WEXITSTATUS(st) : -1, 0);
  }
  static std::string OmbrixBinary() {
#ifdef OMBRIX_BIN
    return OMBRIX_BIN;
#else
    return BuildDir() + "/ombrix";
#endif
  }
};

}  // namespace simtest
