#include "core/file_writer.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <iterator>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "platform/log.h"
#include "platform/platform.h"

namespace {

enum JobKind { JOB_REPLACE, JOB_REMOVE, JOB_APPEND };

struct Job {
  JobKind kind;
  std::string path;
  std::string bytes;
  std::string header;  // JOB_APPEND: written first into an empty file
  mode_t mode;
  SetFileFailed failed;
};

struct Writer {
  std::mutex m;
  std::condition_variable work;  // a job came, or the thread is to stop
  std::condition_variable done;  // a job ended
  std::deque<std::shared_ptr<Job>> queue;
  std::shared_ptr<Job> current;  // being written, out of the queue
  bool active = false;           // the thread takes the jobs
  bool stopping = false;
  unsigned long jobsDone = 0;
  std::set<std::string> frozen;  // FreezeSetFiles
  std::deque<std::shared_ptr<Job>> held;  // their jobs, until a thaw
  std::thread thread;
};
Writer gWriter;
// One start or stop at a time.
std::mutex gLifeMutex;

bool writeAll(int fd, const char *p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

int removeNow(const Job &job) {
  if (!RemountRW()) return -2;
  int rc = RemoveFile(job.path);
  const int err = errno;
  // A file that is not there is as good as deleted.
  if (rc != 0 && err == ENOENT) rc = 0;
  if (rc != 0 && job.failed) job.failed(rc, err);
  RemountRO();
  return rc;
}

int appendNow(const Job &job) {
  if (!RemountRW()) return -2;
  int rc = 0;
  int fd = open(MapPath(job.path).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, job.mode);
  if (fd < 0) {
    LogErr("can't open %s for writing error %d", job.path.c_str(), errno);
    rc = -1;
  } else {
    struct stat st;
    bool ok = true;
    if (!job.header.empty() && fstat(fd, &st) == 0 && st.st_size == 0)
      ok = writeAll(fd, job.header.data(), job.header.size());
    if (ok) ok = writeAll(fd, job.bytes.data(), job.bytes.size());
    // On the card before the next batch: a power cut loses at most the
    // appends still queued.
    if (ok) ok = fsync(fd) == 0;
    if (!ok) {
      LogErr("can't write %s error %d", job.path.c_str(), errno);
      rc = -1;
    }
    close(fd);
  }
  // Also after a failed open: /opt/set must not stay writable.
  RemountRO();
  return rc;
}

int replaceNow(const Job &job) {
  int rc = WriteSetFile(job.path, job.bytes, static_cast<int>(job.mode));
  const int err = errno;
  if (rc != 0 && job.failed) job.failed(rc, err);
  return rc;
}

int run(const Job &job) {
  switch (job.kind) {
    case JOB_REPLACE: return replaceNow(job);
    case JOB_REMOVE: return removeNow(job);
    case JOB_APPEND: return appendNow(job);
  }
  return -1;
}

// The newest job still waiting for path, or nullptr.
std::shared_ptr<Job> lastWaiting(const std::string &path) {
  for (auto it = gWriter.queue.rbegin(); it != gWriter.queue.rend(); ++it)
    if ((*it)->path == path) return *it;
  return nullptr;
}

bool jobFor(const std::string &path) {
  return lastWaiting(path) != nullptr || (gWriter.current && gWriter.current->path == path);
}

// Queues a job, or runs it at once without the thread. A replacement or
// deletion still waiting for the same file takes the new content in its
// place: the file's order stays, and the old bytes are never written.
int submit(std::shared_ptr<Job> job) {
  {
    std::lock_guard<std::mutex> lock(gWriter.m);
    if (gWriter.frozen.count(job->path) != 0) {
      LogErr("%s is being restored: not written", job->path.c_str());
      return -1;
    }
    if (gWriter.active) {
      std::shared_ptr<Job> last = lastWaiting(job->path);
      if (last && job->kind != JOB_APPEND && last->kind != JOB_APPEND) {
        *last = std::move(*job);
      } else if (last && job->kind == JOB_APPEND && last->kind == JOB_APPEND &&
                 last->header == job->header) {
        last->bytes += job->bytes;
      } else {
        gWriter.queue.push_back(std::move(job));
      }
      gWriter.work.notify_one();
      return 0;
    }
  }
  return run(*job);
}

void *writerThread() {
  pthread_setname_np(pthread_self(), "files");
  std::unique_lock<std::mutex> lock(gWriter.m);
  for (;;) {
    gWriter.work.wait(lock, [] { return !gWriter.queue.empty() || gWriter.stopping; });
    if (gWriter.queue.empty()) break;  // stopping, and everything written
    std::shared_ptr<Job> job = std::move(gWriter.queue.front());
    gWriter.queue.pop_front();
    gWriter.current = job;
    lock.unlock();
    run(*job);
    lock.lock();
    gWriter.current.reset();
    ++gWriter.jobsDone;
    gWriter.done.notify_all();
  }
  // Taken under the lock that submit checks: no job comes in after the last
  // look at the queue.
  gWriter.active = false;
  gWriter.done.notify_all();
  return nullptr;
}

}  // namespace

int QueueSetFile(const std::string &devicePath, std::string bytes, mode_t mode,
                 SetFileFailed failed) {
  return submit(std::make_shared<Job>(
      Job{JOB_REPLACE, devicePath, std::move(bytes), {}, mode, std::move(failed)}));
}

int QueueRemoveSetFile(const std::string &devicePath, SetFileFailed failed) {
  return submit(std::make_shared<Job>(Job{JOB_REMOVE, devicePath, {}, {}, 0, std::move(failed)}));
}

int QueueAppendSetFile(const std::string &devicePath, std::string bytes, std::string header,
                       mode_t mode) {
  return submit(std::make_shared<Job>(
      Job{JOB_APPEND, devicePath, std::move(bytes), std::move(header), mode, {}}));
}

FILE *OpenSetFile(const std::string &devicePath, std::string *holder) {
  {
    std::unique_lock<std::mutex> lock(gWriter.m);
    // Appended bytes are only part of a file: wait for them to be written.
    // A replacement or deletion says all there is to the file.
    for (;;) {
      std::shared_ptr<Job> last = lastWaiting(devicePath);
      if (!last && gWriter.current && gWriter.current->path == devicePath) last = gWriter.current;
      if (!last) break;
      if (last->kind == JOB_REPLACE) {
        *holder = last->bytes;
        return fmemopen(holder->data(), holder->size(), "rb");
      }
      if (last->kind == JOB_REMOVE) {
        errno = ENOENT;
        return nullptr;
      }
      gWriter.done.wait(lock, [&] { return !jobFor(devicePath); });
    }
  }
  return fopen(MapPath(devicePath).c_str(), "rb");
}

bool ReadSetFileText(const std::string &devicePath, size_t maxBytes, std::string *text) {
  std::string holder;
  FILE *f = OpenSetFile(devicePath, &holder);
  text->clear();
  if (f == nullptr) return false;
  char buf[4096];
  size_t n;
  while (text->size() < maxBytes &&
         (n = fread(buf, 1, std::min(sizeof buf, maxBytes - text->size()), f)) > 0)
    text->append(buf, n);
  fclose(f);
  return true;
}

void StartFileWriter() {
  std::lock_guard<std::mutex> life(gLifeMutex);
  std::lock_guard<std::mutex> lock(gWriter.m);
  if (gWriter.active || gWriter.thread.joinable()) return;
  gWriter.active = true;
  gWriter.stopping = false;
  gWriter.jobsDone = 0;
  gWriter.thread = std::thread(writerThread);
}

void StopFileWriter() {
  std::lock_guard<std::mutex> life(gLifeMutex);
  {
    std::lock_guard<std::mutex> lock(gWriter.m);
    if (!gWriter.thread.joinable()) return;
    gWriter.stopping = true;
    gWriter.work.notify_one();
  }
  gWriter.thread.join();
  std::lock_guard<std::mutex> lock(gWriter.m);
  gWriter.stopping = false;
}

void DrainFileWriter() {
  std::unique_lock<std::mutex> lock(gWriter.m);
  gWriter.done.wait(lock, [] { return gWriter.queue.empty() && !gWriter.current; });
}

void FreezeSetFiles(const std::vector<std::string> &devicePaths) {
  std::unique_lock<std::mutex> lock(gWriter.m);
  for (const std::string &p : devicePaths) gWriter.frozen.insert(p);
  auto &q = gWriter.queue;
  auto isFrozen = [](const std::shared_ptr<Job> &j) { return gWriter.frozen.count(j->path) != 0; };
  std::copy_if(q.begin(), q.end(), std::back_inserter(gWriter.held), isFrozen);
  q.erase(std::remove_if(q.begin(), q.end(), isFrozen), q.end());
  gWriter.done.notify_all();
  gWriter.done.wait(
      lock, [] { return !gWriter.current || gWriter.frozen.count(gWriter.current->path) == 0; });
}

void ThawSetFiles(const std::vector<std::string> &devicePaths) {
  std::lock_guard<std::mutex> lock(gWriter.m);
  for (const std::string &p : devicePaths) gWriter.frozen.erase(p);
  auto &h = gWriter.held;
  // No job for these files came in while they were frozen, so the held ones
  // are still the newest of each file.
  for (auto it = h.begin(); it != h.end();) {
    if (gWriter.frozen.count((*it)->path) == 0) {
      gWriter.queue.push_back(std::move(*it));
      it = h.erase(it);
    } else {
      ++it;
    }
  }
  gWriter.work.notify_one();
}

unsigned long FileWriterJobsDone() {
  std::lock_guard<std::mutex> lock(gWriter.m);
  return gWriter.jobsDone;
}
