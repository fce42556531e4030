#include "core/link_requests.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/log.h"

namespace {

struct Queued {
  uint64_t seq;
  LinkRequest request;
};

struct Queue {
  std::mutex m;
  std::condition_variable applied;
  std::deque<Queued> waiting;
  Works *link = nullptr;  // the record whose link thread takes the requests
  uint64_t posted = 0;
  uint64_t done = 0;
  int wakeFd = -1;
};
Queue gQueue;

// Posters that apply their own request (no link thread) do so one at a time;
// the link takes this lock to start and to end, so it never runs beside one.
std::mutex gOwnApply;
// Set on the link thread for its life and while a poster applies a request:
// a request made from there is applied at once, never queued behind itself.
thread_local int tApplying = 0;

std::mutex gViewMutex;
LinkView gView = {};

void fillView(Works *w, LinkView *v) {
  for (int i = 0; i < 3; ++i) v->stErr[i] = w->stErr[i];
  v->pwIn = w->pwIn;
  v->pwFwd = w->pwFwd;
  v->pwRefl = w->pwRefl;
  v->pwFwdPeak = w->pwFwdPeak;
  v->rawPw = w->rawPw;
  v->rawFwd = w->rawFwd;
  v->rawRefl = w->rawRefl;
  v->swr = w->swr;
  v->iAdc = w->iAdc;
  v->temp1 = w->temp1;
  v->temp2 = w->temp2;
  v->freqMeasured = w->freqMeasured;
  v->ampBypass = w->ampBypass;
  v->anSel = w->anSel;
  v->antenna = w->antenna;
  v->attenuator = w->attenuator;
  v->attenuatorSel = w->attenuatorSel;
  v->atuBypass = w->atuBypass;
  v->autoTuneState = w->autoTuneState;
  v->tuneVal = w->tuneVal;
  v->tuneL = w->tuneL;
  v->tuneC = w->tuneC;
  v->tuneMode = w->tuneMode;
  v->tuneFine = w->tuneFine;
  v->fanPercentSent = w->fanPercentSent;
  v->retryTotal = w->retryTotal;
  v->retryStops = w->retryStops;
  v->eeModel = w->eeModel;
  v->powerClass = w->powerClass;
}

void apply(Works *works, const LinkRequest &request) {
  ++tApplying;
  ApplyLinkRequest(works, request);
  --tApplying;
}

}  // namespace

bool OnLinkThread() {
  return tApplying > 0;
}

bool PostLinkRequest(Works *works, const LinkRequest &request) {
  if (tApplying > 0) {
    apply(works, request);
    return true;
  }
  std::unique_lock<std::mutex> own(gOwnApply);
  std::unique_lock<std::mutex> lock(gQueue.m);
  if (gQueue.link != works) {
    lock.unlock();
    apply(works, request);
    return true;
  }
  own.unlock();
  const uint64_t seq = ++gQueue.posted;
  gQueue.waiting.push_back({seq, request});
  const uint64_t one = 1;
  if (write(gQueue.wakeFd, &one, sizeof one) < 0 && errno != EAGAIN)
    LogErr("link request: wake-up failed (%d)", errno);
  const bool taken =
      gQueue.applied.wait_for(lock, std::chrono::milliseconds(kLinkRequestWaitMs),
                              [&] { return gQueue.done >= seq || gQueue.link != works; });
  if (!taken) LogErr("link request %d not taken within %d ms", request.kind, kLinkRequestWaitMs);
  return taken;
}

int OpenLinkRequests(Works *works) {
  std::lock_guard<std::mutex> own(gOwnApply);
  std::lock_guard<std::mutex> lock(gQueue.m);
  if (gQueue.wakeFd < 0) gQueue.wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  gQueue.link = works;
  tApplying = 1;
  {
    LinkView v;
    fillView(works, &v);
    std::lock_guard<std::mutex> view(gViewMutex);
    gView = v;
  }
  return gQueue.wakeFd;
}

int ServeLinkRequests(Works *works) {
  {
    std::lock_guard<std::mutex> lock(gQueue.m);
    if (gQueue.link != works) return 0;
  }
  int n = 0;
  for (;;) {
    Queued q;
    {
      std::lock_guard<std::mutex> lock(gQueue.m);
      if (gQueue.waiting.empty()) {
        uint64_t count;
        if (gQueue.wakeFd >= 0 && read(gQueue.wakeFd, &count, sizeof count) < 0) {
        }
        break;
      }
      q = std::move(gQueue.waiting.front());
      gQueue.waiting.pop_front();
    }
    apply(works, q.request);
    {
      std::lock_guard<std::mutex> lock(gQueue.m);
      gQueue.done = q.seq;
    }
    gQueue.applied.notify_all();
    ++n;
  }
  return n;
}

void CloseLinkRequests(Works *works) {
  // Held to the end: a poster that finds the queue closed applies its own
  // request only once the link is done.
  std::lock_guard<std::mutex> own(gOwnApply);
  for (;;) {
    Queued q;
    {
      std::lock_guard<std::mutex> lock(gQueue.m);
      if (gQueue.waiting.empty()) {
        gQueue.link = nullptr;
        break;
      }
      q = std::move(gQueue.waiting.front());
      gQueue.waiting.pop_front();
    }
    apply(works, q.request);
    std::lock_guard<std::mutex> lock(gQueue.m);
    gQueue.done = q.seq;
  }
  gQueue.applied.notify_all();
  tApplying = 0;
}

void PublishLinkView(Works *works) {
  LinkView v;
  fillView(works, &v);
  std::lock_guard<std::mutex> lock(gViewMutex);
  gView = v;
}

void ReadLinkView(Works *works, LinkView *out) {
  // The link itself, or a poster applying its own request, sees the fields
  // as they are now.
  bool published = !OnLinkThread();
  if (published) {
    std::lock_guard<std::mutex> lock(gQueue.m);
    published = gQueue.link == works;
  }
  if (!published) {
    fillView(works, out);
    return;
  }
  std::lock_guard<std::mutex> lock(gViewMutex);
  *out = gView;
}
