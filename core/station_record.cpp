#include "core/station_record.h"

#include <pthread.h>

#include <chrono>
#include <cstring>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <thread>

#include "core/event_log.h"
#include "core/trends.h"
#include "platform/clock.h"
#include "platform/log.h"

namespace {

struct Recorder {
  std::mutex m;
  std::condition_variable wake;
  bool stop = false;
  std::thread thread;
};
Recorder gRecorder;

void tick(Works *works, StationView *seen) {
  const int64_t now = static_cast<int64_t>(time(nullptr));
  TrendSample s;
  s.forward = works->pwFwd;
  s.reflected = works->pwRefl;
  s.swr = works->swr;
  s.temp1 = works->temp1;
  s.temp2 = works->temp2;
  s.fan = static_cast<float>(works->fanPercent.load());
  StationTrends().Add(s, now);
  StationView view = ViewStation(works);
  RecordChanges(*seen, view, works, now);
  // A band between two others (or briefly none while the bank loads) keeps
  // the last one seen until the next.
  if (view.band.empty() && works->bandIdx < 0) view.band = seen->band;
  *seen = view;
  StationEvents().Flush(MonotonicMs(), now);
}

void recorderThread(Works *works) {
  pthread_setname_np(pthread_self(), "record");
  StationView seen = ViewStation(works);
  auto next = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> lock(gRecorder.m);
  for (;;) {
    next += std::chrono::seconds(1);
    if (gRecorder.wake.wait_until(lock, next, [] { return gRecorder.stop; })) break;
    lock.unlock();
    tick(works, &seen);
    lock.lock();
    // Behind by more than a second (a stopped process, a loaded machine):
    // one sample now, not a burst to catch up.
    const auto now = std::chrono::steady_clock::now();
    if (now - next > std::chrono::seconds(1)) next = now;
  }
}

}  // namespace

std::string BandNameOf(Works *works) {
  std::lock_guard<std::recursive_mutex> lock(works->tablesMutex);
  const int b = works->bandIdx;
  if (b < 0 || b >= works->numBands || b >= kBandRows) return "";
  const char *name = works->tabAntenna[b].name;
  std::string s(name, strnlen(name, sizeof works->tabAntenna[b].name));
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

StationView ViewStation(Works *works) {
  StationView v;
  v.band = BandNameOf(works);
  v.antenna = works->antenna + 1;
  v.bank = works->numBanco;
  v.operate = works->ampBypass == 1 ? 0 : 1;
  return v;
}

void RecordChanges(const StationView &before, const StationView &now, Works *works,
                   int64_t wallSeconds) {
  EventLog &log = StationEvents();
  if (!now.band.empty() && now.band != before.band)
    log.Record("band", {EventField("band", now.band), EventField("frequency", works->frequency.load())},
               wallSeconds);
  if (before.antenna >= 0 && now.antenna != before.antenna)
    log.Record("antenna", {EventField("antenna", now.antenna)}, wallSeconds);
  if (before.bank >= 0 && now.bank != before.bank)
    log.Record("bank", {EventField("bank", now.bank)}, wallSeconds);
  if (before.operate >= 0 && now.operate != before.operate)
    log.Record("operate", {EventField("operate", now.operate == 1)}, wallSeconds);
}

void OpenStationRecord(Works *works) {
  StationEvents().Open();
  char version[32];
  works->version.get(version, sizeof version);
  StationEvents().Record("start", {EventField("version", std::string(version))});
}

void StartStationRecord(Works *works) {
  std::lock_guard<std::mutex> lock(gRecorder.m);
  if (gRecorder.thread.joinable()) return;
  gRecorder.stop = false;
  gRecorder.thread = std::thread(recorderThread, works);
}

void StopStationRecord() {
  {
    std::lock_guard<std::mutex> lock(gRecorder.m);
    if (!gRecorder.thread.joinable()) return;
    gRecorder.stop = true;
    gRecorder.wake.notify_all();
  }
  gRecorder.thread.join();
  StationEvents().Record("stop", {});
  StationEvents().Flush(MonotonicMs(), static_cast<int64_t>(time(nullptr)), true);
}
