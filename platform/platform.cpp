#include "platform/platform.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/log.h"

extern char **environ;

namespace {

std::string readRoot() {
  const char *r = getenv("OMBRIX_ROOT");
  if (r == nullptr || r[0] == 0) return std::string();
  std::string s(r);
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

std::string dirOf(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Resolves the program part of a command. Empty when it must not run.
std::string resolveProgram(const std::string &prog) {
  const std::string root = RootDir();
  if (root.empty()) return prog;
  if (!prog.empty() && prog[0] == '/') return root + prog;
  if (prog.find('/') != std::string::npos) return std::string();
  return root + "/bin/" + prog;
}

int systemMakeTemp(char *pathTemplate) {
  return mkostemp(pathTemplate, O_CLOEXEC);
}

const FileWriteCalls kSystemCalls = {systemMakeTemp, ::write, ::fsync, ::rename};
FileWriteCalls gCalls = kSystemCalls;

// Writers of /opt/set in progress. The partition goes read-write with the
// first and read-only after the last: a read-only remount inside another
// thread's write would make that write fail and the save be lost.
std::mutex gMountMutex;
int gWriters = 0;

}  // namespace

FileWriteCalls SetFileWriteCalls(const FileWriteCalls *calls) {
  FileWriteCalls before = gCalls;
  gCalls = calls != nullptr ? *calls : kSystemCalls;
  return before;
}

// Read on every use, so tests can point a process at a new root; nothing
// calls it on a hot path.
std::string RootDir() {
  return readRoot();
}

std::string MapPath(const std::string &devicePath) {
  const std::string root = RootDir();
  if (root.empty() || devicePath.empty() || devicePath[0] != '/') return devicePath;
  return root + devicePath;
}

int RunCommand(const std::vector<std::string> &argv, std::string *output, size_t maxOutput) {
  if (argv.empty()) return -1;
  std::string prog = resolveProgram(argv[0]);
  bool underRoot = !RootDir().empty();
  if (underRoot && (prog.empty() || access(prog.c_str(), X_OK) != 0)) {
    LogErr("command not available: %s", argv[0].c_str());
    return 127;
  }
  std::vector<std::string> args;
  args.reserve(argv.size());
  args.push_back(prog);
  for (size_t i = 1; i < argv.size(); ++i) args.push_back(MapPath(argv[i]));
  std::vector<char *> cargv;
  for (auto &a : args) cargv.push_back(a.data());
  cargv.push_back(nullptr);

  int pipefd[2] = {-1, -1};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  if (output != nullptr) {
    if (pipe2(pipefd, O_CLOEXEC) != 0) {
      posix_spawn_file_actions_destroy(&fa);
      return -1;
    }
    posix_spawn_file_actions_adddup2(&fa, pipefd[1], 1);
  }
  pid_t pid = -1;
  int rc = underRoot || prog.find('/') != std::string::npos
               ? posix_spawn(&pid, prog.c_str(), &fa, nullptr, cargv.data(), environ)
               : posix_spawnp(&pid, prog.c_str(), &fa, nullptr, cargv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (output != nullptr) close(pipefd[1]);
  if (rc != 0) {
    if (output != nullptr) close(pipefd[0]);
    LogErr("can't run %s: %s", argv[0].c_str(), strerror(rc));
    return rc == ENOENT ? 127 : -1;
  }
  if (output != nullptr) {
    output->clear();
    char buf[1024];
    for (;;) {
      ssize_t n = read(pipefd[0], buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      size_t room = maxOutput > output->size() ? maxOutput - output->size() : 0;
      output->append(buf, static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room);
    }
    close(pipefd[0]);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return -1;
}

bool RemountRW() {
  std::lock_guard<std::mutex> lock(gMountMutex);
  if (gWriters > 0) {
    ++gWriters;
    return true;
  }
  int rc = RunCommand({"mount", "-o", "remount", "defaults,rw", "/opt/set"});
  if (rc != 0) {
    LogErr("can't mount rw /opt/set/ error %d", rc);
    return false;
  }
  gWriters = 1;
  return true;
}

bool RemountRO() {
  std::lock_guard<std::mutex> lock(gMountMutex);
  if (gWriters > 1) {
    --gWriters;
    return true;
  }
  gWriters = 0;
  int rc = RunCommand({"mount", "-v", "-n", "-o", "remount", "-r", "/opt/set"});
  if (rc != 0) {
    LogErr("can't mount ro /opt/set/ error %d", rc);
    return false;
  }
  return true;
}

int WriteFileAtomic(const std::string &mappedPath, const std::string &data, int mode) {
  std::string tmp = mappedPath + ".tmpXXXXXX";
  int fd = gCalls.makeTemp(tmp.data());
  if (fd < 0) return -1;
  auto fail = [&](bool open) {
    int e = errno != 0 ? errno : EIO;
    if (open) close(fd);
    unlink(tmp.c_str());
    errno = e;
    return -1;
  };
  const char *p = data.data();
  size_t left = data.size();
  while (left > 0) {
    errno = 0;
    ssize_t n = gCalls.write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = ENOSPC;
    if (n <= 0) return fail(true);
    p += n;
    left -= static_cast<size_t>(n);
  }
  // Without a mode of its own the file keeps the old file's permission bits,
  // as a rewrite in place would.
  struct stat st;
  if (mode >= 0)
    fchmod(fd, static_cast<mode_t>(mode) & 07777);
  else
    fchmod(fd, stat(mappedPath.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644);
  if (gCalls.fsync(fd) != 0) return fail(true);
  if (close(fd) != 0) return fail(false);
  if (gCalls.rename(tmp.c_str(), mappedPath.c_str()) != 0) return fail(false);
  int dfd = open(dirOf(mappedPath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    gCalls.fsync(dfd);
    close(dfd);
  }
  return 0;
}

int WriteSetFile(const std::string &devicePath, const std::string &data, int mode) {
  if (!RemountRW()) return -2;
  int rc = WriteFileAtomic(MapPath(devicePath), data, mode);
  if (rc != 0) LogErr("can't write %s error %d", devicePath.c_str(), errno);
  RemountRO();
  return rc;
}

int RemoveFile(const std::string &devicePath) {
  return unlink(MapPath(devicePath).c_str());
}

int RenameFileDurable(const std::string &fromDevicePath, const std::string &toDevicePath) {
  const std::string from = MapPath(fromDevicePath), to = MapPath(toDevicePath);
  if (gCalls.rename(from.c_str(), to.c_str()) != 0) return -1;
  const size_t slash = to.find_last_of('/');
  const std::string dir = slash == std::string::npos ? std::string(".") : to.substr(0, slash + 1);
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  int rc = gCalls.fsync(fd);
  int err = errno;
  close(fd);
  errno = err;
  return rc;
}

bool FileExists(const std::string &devicePath) {
  return access(MapPath(devicePath).c_str(), F_OK) == 0;
}

void ReExecSelf(char **argv) {
  // Descriptors the new image must not inherit (listening sockets above all,
  // so it can bind again), whether or not they were opened close-on-exec.
  close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
  fflush(nullptr);
  // By its own path, so the process keeps its name; a binary replaced
  // meanwhile (an upgrade) is run as the new one.
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    self[n] = 0;
    const char *deleted = " (deleted)";
    if (n > 10 && strcmp(self + n - 10, deleted) == 0) self[n - 10] = 0;
    execv(self, argv);
  }
  execv("/proc/self/exe", argv);
  LogErr("can't start the program again: error %d", errno);
}

int OpenSerial(const std::string &devicePath, int extraFlags) {
  return open(MapPath(devicePath).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | extraFlags);
}

int ConfigureSerial(int fd, tcflag_t iflag, tcflag_t oflag, tcflag_t cflag, tcflag_t lflag,
                    int vmin, int vtime, speed_t speed) {
  struct termios tio;
  if (tcgetattr(fd, &tio) != 0) return -1;
  tio.c_iflag = iflag;
  tio.c_oflag = oflag;
  tio.c_cflag = cflag;
  tio.c_lflag = lflag;
  tio.c_cc[VMIN] = static_cast<cc_t>(vmin);
  tio.c_cc[VTIME] = static_cast<cc_t>(vtime);
  tcflush(fd, TCIFLUSH);
  if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) return -1;
  if (tcsetattr(fd, TCSANOW, &tio) != 0) return -1;
  return 0;
}
