// Failures of the atomic file replacement under /opt/set.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/platform.h"
#include "support/temp_root.h"

namespace {

int gWrites = 0;

int noTemp(char *) {
  errno = ENOSPC;
  return -1;
}
// The first write goes half through, the next finds the medium full.
ssize_t halfThenFull(int fd, const void *data, size_t size) {
  if (gWrites++ == 0) return ::write(fd, data, size / 2);
  errno = ENOSPC;
  return -1;
}
int failedSync(int) {
  errno = EIO;
  return -1;
}
int failedRename(const char *, const char *) {
  errno = EROFS;
  return -1;
}

int openFiles() {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n;
}

bool tempLeft(const std::string &dir) {
  DIR *d = opendir(dir.c_str());
  bool found = false;
  while (dirent *e = readdir(d)) found |= std::string(e->d_name).find(".tmp") != std::string::npos;
  closedir(d);
  return found;
}

}  // namespace

TEST(FileReplace, AnyFailingStepKeepsTheOldFileWhole) {
  TempRoot root;
  root.writeScript("mount", "echo \"$*\" >> \"$OMBRIX_ROOT/mounts\"\n");
  const FileWriteCalls sys = SetFileWriteCalls(nullptr);
  struct Case {
    const char *name;
    FileWriteCalls calls;
  } cases[] = {
      {"temporary file", {noTemp, sys.write, sys.fsync, sys.rename}},
      {"short write", {sys.makeTemp, halfThenFull, sys.fsync, sys.rename}},
      {"fsync", {sys.makeTemp, sys.write, failedSync, sys.rename}},
      {"rename", {sys.makeTemp, sys.write, sys.fsync, failedRename}},
  };
  const std::string old = "Filter: 1 1800000 2000000\n";
  for (const Case &c : cases) {
    root.writeFile("/opt/set/filter.txt", old);
    root.writeFile("/mounts", "");
    gWrites = 0;
    const int files = openFiles();
    SetFileWriteCalls(&c.calls);
    testing::internal::CaptureStderr();
    int rc = WriteSetFile("/opt/set/filter.txt", std::string(4096, 'n'));
    std::string log = testing::internal::GetCapturedStderr();
    SetFileWriteCalls(nullptr);
    EXPECT_EQ(rc, -1) << c.name;
    EXPECT_EQ(openFiles(), files) << c.name << ": descriptor left open";
    EXPECT_EQ(root.readFile("/opt/set/filter.txt"), old) << c.name;
    EXPECT_FALSE(tempLeft(root.path("/opt/set"))) << c.name;
    std::string mounts = root.readFile("/mounts");
    EXPECT_EQ(mounts.substr(mounts.rfind("remount")), "remount -r " + root.path("/opt/set") + "\n")
        << c.name << ": left writable";
    EXPECT_NE(log.find("can't write /opt/set/filter.txt"), std::string::npos) << c.name;
  }
  // The same calls succeeding replace the file.
  EXPECT_EQ(WriteSetFile("/opt/set/filter.txt", "new\n"), 0);
  EXPECT_EQ(root.readFile("/opt/set/filter.txt"), "new\n");
}
