// Files under /opt/set and the network settings survive a power cut: the real
// writers, killed at random moments, leave every file old or new, never a mix;
// with the medium full the old files survive; two writers at once both save.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "core/setup.h"
#include "network/lan.h"
#include "platform/platform.h"
#include "support/temp_root.h"
#include "tuner/tuner.h"

namespace {

const char *const kFiles[] = {"/opt/set/setup.txt", "/opt/set/antenna_b1.txt",
                              "/opt/set/atu_ant1_b1.txt", "/opt/set/filter.txt",
                              "/etc/network/interfaces"};
constexpr int kFileCount = sizeof kFiles / sizeof kFiles[0];

// fsync costs nothing in memory; a kill tests the same either way.
std::string fastBase() {
  return access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
}

struct Device {
  TempRoot root{fastBase()};
  std::unique_ptr<Works> works = std::make_unique<Works>();
  std::unique_ptr<Lumosetup> setup = std::make_unique<Lumosetup>();
  std::string text[2][kFileCount];  // every file as version 0 and 1 write it

  Device() {
    works->setup = setup.get();
    initSetup(works.get());
    // A remount that costs no shell: a copy of true (never a link to it, which
    // a later writeScript would write through).
    std::filesystem::copy_file("/bin/true", root.path("/bin/mount"),
                               std::filesystem::copy_options::overwrite_existing);
    root.writeFile("/etc/network/interfaces",
                   "auto eth0\niface eth0 inet static\naddress 192.168.1.10\n"
                   "netmask 255.255.255.0\ngateway 192.168.1.1\n");
    ReadLanParam();
    InitTabAntenna(works.get(), 0);
  }
  // Writer i of version v, with values that tell the versions apart.
  void write(int i, int v) {
    Works *w = works.get();
    switch (i) {
      case 0:
        w->maxBank = 3 + v;
        writeSetup(w);
        break;
      case 1:
        w->tabAntenna[0].pwr = static_cast<float>(v);
        SaveTabConfig(w, 1);
        break;
      case 2:
        SaveTuneValsuTabRam(w, TuneMemEntry{1, 1, static_cast<int16_t>(v), 7}, 100, 0);
        SaveTabAtu(w, 1, 0);
        break;
      case 3:
        w->tabFiltri[0].enabled = v;
        SaveTabFiltri(w);
        break;
      default:
        IP_v[3] = static_cast<uint8_t>(10 + v);
        SaveLanParam();
        break;
    }
  }
  void write(int v) {
    for (int i = 0; i < kFileCount; ++i) write(i, v);
  }
  // Writes both versions, remembering the texts, and leaves version 0 on
  // disk. Returns the time of one round of every writer in microseconds.
  long prepare() {
    auto start = std::chrono::steady_clock::now();
    for (int v : {1, 0}) {
      write(v);
      for (int i = 0; i < kFileCount; ++i) text[v][i] = root.readFile(kFiles[i]);
    }
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    for (int i = 0; i < kFileCount; ++i) EXPECT_NE(text[0][i], text[1][i]) << kFiles[i];
    return static_cast<long>(us / 2);
  }
  // A child process that rewrites everything in a loop until it is killed,
  // or that ends after `writes` writes. It starts at writer `first`, so a
  // short life still reaches every writer. With `report` it writes 'r' to that
  // pipe when it starts and 'w' after each finished write, never waiting.
  pid_t startWriter(const FileWriteCalls *calls, const std::string &log, int first,
                    int writes = -1, int report = -1) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(fd, 2);
    dup2(fd, 1);
    SetFileWriteCalls(calls);
    if (report >= 0) {
      fcntl(report, F_SETFL, O_NONBLOCK);
      (void)!::write(report, "r", 1);
    }
    for (int k = first; writes < 0 || k < first + writes; ++k) {
      write(k % kFileCount, (k / kFileCount + 1) % 2);
      if (report >= 0) (void)!::write(report, "w", 1);
    }
    _exit(0);
  }
  // Reads the child's reports until `want` comes (or the child is gone).
  static void awaitReport(int fd, char want) {
    char c = 0;
    while (c != want && read(fd, &c, 1) == 1) {
    }
  }
  // What a cut left behind of a replacement in progress.
  void removeTemps() {
    for (const char *dir : {"/opt/set", "/etc/network"})
      for (const auto &e : std::filesystem::directory_iterator(root.path(dir)))
        if (e.path().filename().string().find(".tmp") != std::string::npos)
          std::filesystem::remove(e.path());
  }
  // Kills the writer at random moments and checks every file after each kill.
  void cut(int times, const FileWriteCalls *calls, bool newAllowed, long roundUs,
           const std::string &log) {
    std::mt19937 rng(7);
    int seenNew = 0;
    for (int n = 0; n < times; ++n) {
      int pipeFds[2];
      ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
      pid_t pid = startWriter(calls, log, static_cast<int>(rng() % kFileCount), -1, pipeFds[1]);
      ASSERT_GT(pid, 0);
      close(pipeFds[1]);
      // The clock starts when the child runs (a fork under the sanitizers can
      // take longer than a write); every eighth cut comes after a finished
      // write, so new files are seen however slow the machine.
      awaitReport(pipeFds[0], 'r');
      if (n % 8 == 7) awaitReport(pipeFds[0], 'w');
      // The kill comes at a random moment within about one write.
      std::this_thread::sleep_for(std::chrono::microseconds(rng() % (roundUs / kFileCount + 1)));
      kill(pid, SIGKILL);
      close(pipeFds[0]);
      int status = 0;
      ASSERT_EQ(waitpid(pid, &status, 0), pid);
      for (int i = 0; i < kFileCount; ++i) {
        const std::string now = root.readFile(kFiles[i]);
        const bool isNew = now == text[1][i];
        seenNew += isNew;
        ASSERT_TRUE(now == text[0][i] || (newAllowed && isNew))
            << "cut " << n << ": " << kFiles[i] << " holds\n"
            << now;
      }
      removeTemps();
    }
    if (newAllowed) {
      EXPECT_GT(seenNew, 0) << "no cut came after a write";
    }
  }
};

int gWrites = 0;
ssize_t fullMedium(int fd, const void *data, size_t size) {
  // A little goes in before the medium is full.
  if (gWrites++ % 2 == 0) return ::write(fd, data, size < 16 ? size : 16);
  errno = ENOSPC;
  return -1;
}

}  // namespace

TEST(PowerCut, EveryFileIsOldOrNewAfterEachCut) {
  Device d;
  const long roundUs = d.prepare();
  const char *env = getenv("OMBRIX_POWER_CUTS");
  const int times = env != nullptr ? atoi(env) : 600;
  d.cut(times, nullptr, true, roundUs, "/dev/null");
  // Whatever a cut left, the files still read: the bank loads its band row.
  Works *w = d.works.get();
  LoadTabConfig(w, 1);
  EXPECT_EQ(w->numBands, 11);
}

TEST(PowerCut, AFullMediumKeepsTheOldFiles) {
  Device d;
  const long roundUs = d.prepare();
  FileWriteCalls calls = SetFileWriteCalls(nullptr);
  calls.write = fullMedium;
  const std::string logPath = d.root.path("/writer.log");
  d.cut(200, &calls, false, roundUs, logPath);
  // One whole round that no cut ends: every writer meets the full medium,
  // however early the cuts above came.
  pid_t pid = d.startWriter(&calls, logPath, 0, kFileCount);
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int i = 0; i < kFileCount; ++i)
    EXPECT_EQ(d.root.readFile(kFiles[i]), d.text[0][i]) << kFiles[i];
  const std::string log = d.root.readFile("/writer.log");
  EXPECT_NE(log.find("can't write /opt/set/setup.txt error 28"), std::string::npos) << log;
}

namespace {

std::string gState;
bool readOnly() {
  char c = 'R';
  int fd = open(gState.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    if (read(fd, &c, 1) != 1) c = 'R';
    close(fd);
  }
  return c == 'R';
}
int tempOnMount(char *tmpl) {
  if (readOnly()) {
    errno = EROFS;
    return -1;
  }
  return mkostemp(tmpl, O_CLOEXEC);
}
ssize_t writeOnMount(int fd, const void *data, size_t size) {
  if (readOnly()) {
    errno = EROFS;
    return -1;
  }
  return ::write(fd, data, size);
}
int renameOnMount(const char *from, const char *to) {
  if (readOnly()) {
    errno = EROFS;
    return -1;
  }
  return ::rename(from, to);
}

}  // namespace

// The panel saves while the controller link stores a tune: one writer's
// read-only remount must not land inside the other's write.
TEST(PowerCut, TwoWritersAtOnceBothSave) {
  Device d;
  gState = d.root.path("/state");
  d.root.writeFile("/state", "R\n");
  d.root.writeScript("mount",
                     "case \" $* \" in *\" -r \"*) echo R > \"$OMBRIX_ROOT/state\";;"
                     " *) echo W > \"$OMBRIX_ROOT/state\";; esac\n");
  const FileWriteCalls sys = SetFileWriteCalls(nullptr);
  const FileWriteCalls onMount = {tempOnMount, writeOnMount, sys.fsync, renameOnMount};
  SetFileWriteCalls(&onMount);
  Works *w = d.works.get();
  int failedA = 0, failedB = 0;
  std::thread a([&] {
    for (int i = 0; i < 25; ++i) failedA += SaveTabAtu(w, 1, 0) != 0;
  });
  std::thread b([&] {
    for (int i = 0; i < 25; ++i) failedB += SaveTabFiltri(w) != 0;
  });
  a.join();
  b.join();
  SetFileWriteCalls(nullptr);
  EXPECT_EQ(failedA + failedB, 0);
  EXPECT_EQ(d.root.readFile("/state"), "R\n") << "left writable";
}
