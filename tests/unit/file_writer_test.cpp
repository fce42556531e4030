// The writer of the files under /opt/set: per file the jobs keep their
// order, a rewrite still waiting is replaced by the next one, and a reader
// sees what the queue will leave.
#include "core/file_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "support/temp_root.h"
#include "support/wait.h"

namespace {

// The card as the writer meets it: each replacement's file and bytes, in
// the order the renames land; the first fsync waits for the test's word.
std::mutex gMutex;
std::vector<std::pair<std::string, std::string>> gLanded;
std::atomic<bool> gHeld{false}, gRelease{false};

int heldSync(int fd) {
  if (!gHeld.exchange(true))
    while (!gRelease) usleep(1000);
  return ::fsync(fd);
}

int recordingRename(const char *from, const char *to) {
  std::string bytes;
  if (FILE *f = fopen(from, "rb")) {
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
    fclose(f);
  }
  std::string name(to);
  name = name.substr(name.rfind('/') + 1);
  {
    std::lock_guard<std::mutex> lock(gMutex);
    gLanded.emplace_back(name, bytes);
  }
  return ::rename(from, to);
}

std::string readQueued(const std::string &path) {
  std::string holder;
  FILE *f = OpenSetFile(path, &holder);
  if (f == nullptr) return "(none)";
  std::string out;
  int c;
  while ((c = getc(f)) != EOF) out.push_back(static_cast<char>(c));
  fclose(f);
  return out;
}

}  // namespace

TEST(FileWriter, KeepsEachFilesOrderReplacesWaitingRewritesAndReadsAhead) {
  TempRoot root;
  const FileWriteCalls sys = SetFileWriteCalls(nullptr);
  const FileWriteCalls calls = {sys.makeTemp, sys.write, heldSync, recordingRename};
  SetFileWriteCalls(&calls);
  gLanded.clear();
  gHeld = false;
  gRelease = false;
  StartFileWriter();

  EXPECT_EQ(QueueSetFile("/opt/set/a.txt", "a1\n"), 0);
  // The first write is on the card's time; everything after it waits.
  ASSERT_TRUE(WaitUntil([] { return gHeld.load(); }, 5000));
  EXPECT_EQ(QueueSetFile("/opt/set/b.txt", "b1\n"), 0);
  EXPECT_EQ(QueueSetFile("/opt/set/a.txt", "a2\n"), 0);
  EXPECT_EQ(QueueSetFile("/opt/set/b.txt", "b2\n"), 0);
  EXPECT_EQ(QueueSetFile("/opt/set/a.txt", "a3\n", 0600), 0);
  EXPECT_EQ(QueueSetFile("/opt/set/c.txt", "c1\n"), 0);
  EXPECT_EQ(QueueRemoveSetFile("/opt/set/c.txt"), 0);
  // Readers see what the queue will leave, before any of it is written.
  EXPECT_EQ(readQueued("/opt/set/a.txt"), "a3\n");
  EXPECT_EQ(readQueued("/opt/set/b.txt"), "b2\n");
  EXPECT_EQ(readQueued("/opt/set/c.txt"), "(none)");
  EXPECT_FALSE(root.exists("/opt/set/b.txt"));

  gRelease = true;
  DrainFileWriter();
  StopFileWriter();
  SetFileWriteCalls(nullptr);

  // a1 was under way; a2 and b1 were replaced while they waited, in their
  // places; c's rewrite gave way to its deletion.
  const std::vector<std::pair<std::string, std::string>> landed = {
      {"a.txt", "a1\n"}, {"b.txt", "b2\n"}, {"a.txt", "a3\n"}};
  EXPECT_EQ(gLanded, landed);
  EXPECT_EQ(root.readFile("/opt/set/a.txt"), "a3\n");
  EXPECT_EQ(root.readFile("/opt/set/b.txt"), "b2\n");
  EXPECT_FALSE(root.exists("/opt/set/c.txt"));
  struct stat st;
  ASSERT_EQ(stat(root.path("/opt/set/a.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "the mode the last job asked for";

  // Appends keep their order behind a rewrite; a reader waits for them.
  StartFileWriter();
  QueueSetFile("/opt/set/log.txt", "");
  QueueAppendSetFile("/opt/set/log.txt", "one\n", "head\n");
  QueueAppendSetFile("/opt/set/log.txt", "two\n", "head\n");
  EXPECT_EQ(readQueued("/opt/set/log.txt"), "head\none\ntwo\n");
  StopFileWriter();
  // Without the thread every call writes at once.
  EXPECT_EQ(QueueSetFile("/opt/set/b.txt", "b3\n"), 0);
  EXPECT_EQ(root.readFile("/opt/set/b.txt"), "b3\n");
}
