// The controller link against a slow flash card: the real link thread on a
// pseudo-terminal, the simulated controller with the tuner model at its other
// end, one automatic tune that ends with its store to the tune memory. The
// card's fsync is made slow through the file-call table of platform/ (every
// fsync, the file's and the directory's, sleeps first). For each card:
// the longest gap between two commands the controller receives from the
// tune's start until a second after its store, the median gap, whether the
// stored word is in the file once the writer's queue has drained, and how
// long after the tune's end the queue was drained.
//
//   build/bench/slow_card_bench [FSYNC_MS ...]   default: 0 and 1500
//   SLOW_CARD_BENCH_INLINE=1                      also without the writer
//                                                 thread (every write on the
//                                                 asking thread, the link's)
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "controller/link.h"
#include "core/file_writer.h"
#include "core/link_requests.h"
#include "core/setup.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "sim/controller_model.h"
#include "tuner/tuner.h"

namespace {

std::atomic<int> gFsyncMs{0};

int slowFsync(int fd) {
  if (gFsyncMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gFsyncMs.load()));
  return ::fsync(fd);
}

// The controller's end of the port: answers every command from the model
// and notes when each one arrived.
struct Controller {
  int fd = -1;
  sim::ControllerModel model;
  std::mutex m;
  std::vector<long long> arrivals;  // ms, monotonic
  std::atomic<bool> stop{false};
  std::thread thread;

  void run() {
    std::string in;
    char buf[256];
    long long last = MonotonicMs();
    while (!stop) {
      struct pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) continue;
      in.append(buf, static_cast<size_t>(n));
      size_t end;
      while ((end = in.find(';')) != std::string::npos) {
        std::string command = in.substr(0, end + 1);
        in.erase(0, end + 1);
        if (command.size() < 3) continue;
        const long long now = MonotonicMs();
        {
          std::lock_guard<std::mutex> lock(m);
          arrivals.push_back(now);
        }
        sim::ControllerAdvance(&model, static_cast<double>(now - last) / 1000.0);
        last = now;
        std::string reply = sim::ControllerAnswer(&model, command.substr(2));
        char digits[3];
        LinearReplyDigits(reply.data(), static_cast<int>(reply.size()), digits);
        std::string wire = digits + reply;
        if (write(fd, wire.data(), wire.size()) < 0) {
        }
      }
    }
  }
};

struct Result {
  long long maxGapMs = 0;
  long long medianGapMs = 0;
  int commands = 0;
  long long tuneMs = 0;
  bool stored = false;
  long long storedAfterMs = -1;  // from the tune's end until the queue had drained
};

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

Result runOnce(int fsyncMs, bool writerThread) {
  char tmpl[] = "/tmp/ombrix-slow-card-XXXXXX";
  const std::string root = mkdtemp(tmpl);
  for (const char *d : {"/bin", "/opt", "/opt/set", "/dev"}) mkdir((root + d).c_str(), 0755);
  {
    std::ofstream(root + "/bin/mount") << "#!/bin/sh\nexit 0\n";
    chmod((root + "/bin/mount").c_str(), 0755);
  }
  setenv("OMBRIX_ROOT", root.c_str(), 1);

  Controller controller;
  controller.fd = posix_openpt(O_RDWR | O_NOCTTY);
  grantpt(controller.fd);
  unlockpt(controller.fd);
  struct termios tio;
  tcgetattr(controller.fd, &tio);
  cfmakeraw(&tio);
  tcsetattr(controller.fd, TCSANOW, &tio);
  if (symlink(ptsname(controller.fd), (root + "/dev/ttyAMA0").c_str()) != 0) perror("symlink");
  sim::ControllerUseTuner(&controller.model, true);
  controller.model.measuredHz = 14200000;
  sim::ControllerSetLoad(&controller.model, {"antenna", "1", "150", "-80"});
  controller.model.amp.driveW = 2.0;
  controller.model.transmitting = 1;

  auto works = std::make_unique<Works>();
  auto setup = std::make_unique<Lumosetup>();
  works->setup = setup.get();
  initSetup(works.get());
  Works *w = works.get();
  w->running = 1;
  w->cpPending = 0;
  w->frequency = 14200000;
  w->numBanco = 1;
  w->antenna = 0;
  w->autoTuneMode = kAutoTuneOn;
  w->txDetected = 1;
  w->swrEscAutoTune = 0;  // no target: the whole sweep
  w->tuneVal = kModeBitB;
  SetSetupChar(w, SB_AutoTuneTipo, '0');

  // The amplifier in operation on antenna 1, as the band row would have it.
  IncPNTIn_CMDLinear(LP_AB0, w);
  IncPNTIn_CMDLinear(LP_SA, w);

  gFsyncMs = fsyncMs;
  const FileWriteCalls sys = SetFileWriteCalls(nullptr);
  const FileWriteCalls slow = {sys.makeTemp, sys.write, slowFsync, sys.rename};
  SetFileWriteCalls(&slow);
  if (writerThread) StartFileWriter();

  controller.thread = std::thread([&] { controller.run(); });
  pthread_t link;
  pthread_create(&link, nullptr, Linear, w);
  // The link settles into its status polls.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  const long long start = MonotonicMs();
  LinkRequest key;
  key.kind = LR_TUNE_KEY;
  PostLinkRequest(w, key);  // the tune key, as the front panel asks for it
  long long end = -1;
  while (MonotonicMs() - start < 60000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (w->autoTuneState == 0) {
      end = MonotonicMs();
      break;
    }
  }
  Result r;
  r.tuneMs = end > 0 ? end - start : -1;
  // The writer's queue drains while the link goes on; the window of the
  // gaps closes a second after the store, so a stall it causes is seen whole.
  std::atomic<long long> drained{-1};
  std::thread drain([&] {
    if (writerThread) DrainFileWriter();
    drained = MonotonicMs();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  drain.join();
  const long long windowEnd = MonotonicMs();
  r.storedAfterMs = end > 0 ? drained - end : -1;
  const uint32_t word = w->tuneVal;
  char line[64];
  int index = AtuIdxSearch(14200000, nullptr, nullptr, nullptr, nullptr);
  snprintf(line, sizeof line, "%d %ld 1 %d %d %d\n", index,
           static_cast<long>(AtuFreqfromIdx(index)), DecodeModoFromTuneval(word),
           DecodeInduttanza10(word), DecodeCapacita10(word));
  r.stored = readFile(root + "/opt/set/atu_ant1_b1.txt").find(line) != std::string::npos;

  w->running = 0;
  pthread_join(link, nullptr);
  controller.stop = true;
  controller.thread.join();
  if (writerThread) StopFileWriter();
  SetFileWriteCalls(nullptr);
  close(controller.fd);

  std::vector<long long> gaps;
  {
    std::lock_guard<std::mutex> lock(controller.m);
    for (size_t i = 1; i < controller.arrivals.size(); ++i)
      if (controller.arrivals[i] >= start && controller.arrivals[i] <= windowEnd)
        gaps.push_back(controller.arrivals[i] - controller.arrivals[i - 1]);
  }
  r.commands = static_cast<int>(gaps.size());
  if (!gaps.empty()) {
    r.maxGapMs = *std::max_element(gaps.begin(), gaps.end());
    std::nth_element(gaps.begin(), gaps.begin() + static_cast<long>(gaps.size() / 2), gaps.end());
    r.medianGapMs = gaps[gaps.size() / 2];
  }
  std::string cmd = "rm -rf '" + root + "'";
  if (system(cmd.c_str()) != 0) {
  }
  unsetenv("OMBRIX_ROOT");
  return r;
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<int> cards;
  for (int i = 1; i < argc; ++i) cards.push_back(atoi(argv[i]));
  if (cards.empty()) cards = {0, 1500};
  std::vector<bool> modes = {true};
  const char *inl = getenv("SLOW_CARD_BENCH_INLINE");
  if (inl != nullptr && inl[0] == '1') modes.push_back(false);
  // The link and the tuner log every step; the table is what counts here.
  int saved = dup(2);
  int devnull = open("/dev/null", O_WRONLY);
  printf("%-10s %-12s %9s %10s %9s %8s %7s %12s\n", "fsync", "files", "tune", "commands", "max gap",
         "median", "stored", "drained");
  for (bool writer : modes) {
    for (int ms : cards) {
      dup2(devnull, 2);
      Result r = runOnce(ms, writer);
      dup2(saved, 2);
      printf("%-10s %-12s %7lldms %10d %7lldms %6lldms %7s %10lldms\n",
             (std::to_string(ms) + " ms").c_str(), writer ? "writer" : "link thread", r.tuneMs,
             r.commands, r.maxGapMs, r.medianGapMs, r.stored ? "yes" : "NO", r.storedAfterMs);
      fflush(stdout);
    }
  }
  close(devnull);
  close(saved);
  return 0;
}
