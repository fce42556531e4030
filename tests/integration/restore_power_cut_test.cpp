// A restore cut by a power cut at any moment: after the next start's
// roll-forward or roll-back, the restored files are all old or all new,
// never a mix, and nothing staged is left behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/temp_root.h"
#include "web/set_restore.h"

namespace {

const char *const kNames[] = {"antenna.txt", "atu_ant1.txt", "filter.txt", "web-key.pem"};

std::vector<SetFileBytes> version(int v) {
  std::vector<SetFileBytes> files;
  for (const char *name : kNames)
    files.push_back({name, std::string(name) + " version " + std::to_string(v) + "\n"});
  return files;
}

// Renames as slow as a card's, so the cuts also land between the renames
// of one restore, where only the commit marker tells forward from back.
int slowRename(const char *from, const char *to) {
  usleep(2000);
  return ::rename(from, to);
}

TEST(PowerCut, ARestoreLeavesAllOldOrAllNew) {
  TempRoot root(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
  std::filesystem::copy_file("/bin/true", root.path("/bin/mount"),
                             std::filesystem::copy_options::overwrite_existing);
  std::string why;
  ASSERT_TRUE(ReplaceSetFiles(version(0), &why)) << why;
  // One restore's time, so the cuts fall inside one.
  FileWriteCalls slow = SetFileWriteCalls(nullptr);
  slow.rename = slowRename;
  SetFileWriteCalls(&slow);
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(ReplaceSetFiles(version(1), &why)) << why;
  ASSERT_TRUE(ReplaceSetFiles(version(0), &why)) << why;
  SetFileWriteCalls(nullptr);
  const long roundUs =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0)
          .count() /
      2;
  std::mt19937 rng(11);
  int seen[2] = {0, 0};
  for (int n = 0; n < 200; ++n) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      SetFileWriteCalls(&slow);
      for (int k = 1;; ++k) ReplaceSetFiles(version(k % 2), &why);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % (2 * roundUs + 1)));
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    FinishSetFileReplacement();  // the next start
    // Temporary files of a write cut short are the atomic write's own.
    for (const auto &e : std::filesystem::directory_iterator(root.path("/opt/set")))
      if (e.path().filename().string().find(".tmp") != std::string::npos)
        std::filesystem::remove(e.path());
    int v = -1;
    for (int w : {0, 1})
      if (root.readFile("/opt/set/antenna.txt") == version(w)[0].bytes) v = w;
    ASSERT_GE(v, 0) << "cut " << n;
    ++seen[v];
    for (const SetFileBytes &f : version(v))
      ASSERT_EQ(root.readFile("/opt/set/" + f.name), f.bytes) << "cut " << n << ": " << f.name;
    ASSERT_FALSE(root.exists(kRestoreMarker)) << "cut " << n;
    for (const char *name : kNames)
      ASSERT_FALSE(root.exists(std::string("/opt/set/") + name + kStagedSuffix)) << "cut " << n;
  }
  // Cuts landed on both sides of commits.
  EXPECT_GT(seen[0], 0);
  EXPECT_GT(seen[1], 0);
}

}  // namespace
