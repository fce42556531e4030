// The event log through power cuts: a writer appending batches (and
// halving the file past its bound) is killed at random moments, and the
// part of its last batch that was not yet on the card is torn off at a
// random byte. At the next start the log reads back whole: nothing that was
// on the card before the last batch is lost, the ids run on without a gap,
// and the file passes the strict check again.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "core/event_log.h"
#include "support/temp_root.h"

namespace {

// What the writer reports after each batch is on the card.
struct Synced {
  uint64_t size;
  uint64_t lastId;
};

EventLog::Limits smallLog() {
  EventLog::Limits l;
  l.maxBytes = 3000;  // a halving every few dozen batches
  return l;
}

[[noreturn]] void writer(int reportFd, int seed) {
  EventLog log(kEventLogFile, smallLog());
  log.Open();
  std::mt19937 rng(static_cast<unsigned>(seed));
  for (int n = 0;; ++n) {
    const int events = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < events; ++i)
      log.Record("tune", {EventField("frequency", 7000000 + n), EventField("band", "40m"),
                          EventField("swr", 1.1 + i * 0.1, 2), EventField("stored", i % 2 == 0)},
                 1796745600 + n);
    log.Flush(n * 1000LL, 1796745600 + n);
    struct stat st;
    if (stat(getenv("OMBRIX_EVENTS_PATH"), &st) != 0) _exit(2);
    Synced s{static_cast<uint64_t>(st.st_size), log.lastId()};
    if (write(reportFd, &s, sizeof s) != sizeof s) _exit(3);
  }
}

TEST(PowerCut, EventAppendsLoseAtMostTheLastBatch) {
  TempRoot root(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
  std::filesystem::copy_file("/bin/true", root.path("/bin/mount"),
                             std::filesystem::copy_options::overwrite_existing);
  const std::string file = root.path(kEventLogFile);
  setenv("OMBRIX_EVENTS_PATH", file.c_str(), 1);
  std::mt19937 rng(11);
  uint64_t lastKept = 0, lastSize = 0;
  int torn = 0;
  uint64_t oldest = 0;
  const int cuts = getenv("OMBRIX_POWER_CUTS") ? atoi(getenv("OMBRIX_POWER_CUTS")) : 150;
  for (int cut = 0; cut < cuts; ++cut) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 2);
      writer(fds[1], cut);
    }
    close(fds[1]);
    // The cut comes within about two batches after the first, however fast
    // the writer runs (a sanitizer build is several times slower).
    const auto started = std::chrono::steady_clock::now();
    Synced last{lastSize, lastKept}, s;  // before a report: what the last start left
    struct pollfd first = {fds[0], POLLIN, 0};
    ASSERT_EQ(poll(&first, 1, 10000), 1) << "cut " << cut << ": the writer never wrote";
    ASSERT_EQ(read(fds[0], &last, sizeof last), static_cast<ssize_t>(sizeof last));
    const auto batchUs = std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::steady_clock::now() - started)
                             .count();
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % (2 * batchUs + 1)));
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    while (read(fds[0], &s, sizeof s) == sizeof s) last = s;
    close(fds[0]);
    // The bytes after the last batch on the card may be any part of the next.
    std::error_code missing;
    const uint64_t size = std::filesystem::file_size(file, missing);
    ASSERT_FALSE(missing) << "cut " << cut;
    if (last.lastId > 0 && size > last.size) {
      std::filesystem::resize_file(file, last.size + rng() % (size - last.size + 1));
      torn += std::filesystem::file_size(file) < size;
    } else if (last.lastId > 0 && size == last.size && rng() % 2 == 0) {
      // The kill came between batches: the cut comes within the next one.
      const std::string next = std::to_string(last.lastId + 1) + "\t2026-12-08T16:00:00Z\ttune\tba";
      std::ofstream(file, std::ios::app | std::ios::binary) << next.substr(0, 1 + rng() % next.size());
      ++torn;
    }

    EventLog reread(kEventLogFile, smallLog());
    reread.Open();
    const std::string text = root.readFile(kEventLogFile);
    int line = 0;
    std::string error;
    ASSERT_TRUE(CheckEventLogText(text, &line, &error))
        << "cut " << cut << " line " << line << ": " << error << "\n" << text;
    ASSERT_GE(reread.lastId(), std::max(lastKept, last.lastId)) << "cut " << cut << "\n" << text;
    lastKept = reread.lastId();
    lastSize = text.size();
    // No gap: every id from the oldest kept to the newest.
    uint64_t expect = 0;
    for (size_t pos = text.find('\n') + 1; pos < text.size(); pos = text.find('\n', pos) + 1) {
      const uint64_t id = std::stoull(text.substr(pos, text.find('\t', pos) - pos));
      ASSERT_TRUE(expect == 0 || id == expect) << "cut " << cut << ": id " << id << "\n" << text;
      if (expect == 0) oldest = id;
      expect = id + 1;
    }
  }
  EXPECT_GT(torn, 0) << "no cut tore a line";
  EXPECT_GT(oldest, 1u) << "the log never passed its bound";
  unsetenv("OMBRIX_EVENTS_PATH");
}

}  // namespace
