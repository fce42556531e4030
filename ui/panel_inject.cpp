// Key presses from elsewhere than the board, turned into pin levels for the
// front panel's scanning. One injected key is down at a time, like a finger:
// it is held until the scanning has seen what the press asks for, then let go
// until the scanning has seen the release, and only then the next one starts.
#include <atomic>
#include <deque>
#include <mutex>

#include "core/process_globals.h"
#include "ui/panel.h"

namespace {

// A press that the scanning never takes (another key held on the board) is
// dropped after this long, so the queue cannot stall.
constexpr long long kAcceptMaxMs = 3000;

struct Injected {
  int key = 0;  // 1..6
  PanelPress kind = PP_SHORT;
  bool upSeen = false;
  enum { QUEUED, HOLDING, RELEASING } phase = QUEUED;
  long long sinceMs = 0;  // start of the current phase
};

std::mutex gMutex;
std::deque<Injected> gQueue;  // front is the press in progress
// Set while anything is queued, so a pass with no web keys takes no lock.
std::atomic<bool> gActive{false};

// True when the front press has got what it asked for and may be let go.
bool pressDone(const Injected &p, const PanelKeys *keys, long long nowMs) {
  const int i = p.key - 1;
  const bool accepted = keys->state[i] == 0;
  const long long held = nowMs - p.sinceMs;
  switch (p.kind) {
    case PP_SHORT: return accepted || held > kAcceptMaxMs;
    case PP_LONG:
      return keys->longDone[i] || keys->repeats[i] > 0 ||
             held > static_cast<long long>(TIME_LONG_PRESS * 1000) + kAcceptMaxMs;
    default:
      // A quick click: held at least until the scanning took it, so it counts.
      return (p.upSeen && (accepted || held > kAcceptMaxMs)) || held > kInjectHoldMaxMs;
  }
}

}  // namespace

bool PanelInjectKey(int key, PanelPress press, long long nowMs) {
  if (key < 1 || key > kPanelKeys) return false;
  std::lock_guard<std::mutex> lock(gMutex);
  if (press == PP_UP) {
    // The newest hold of that key still waiting for its release.
    for (auto it = gQueue.rbegin(); it != gQueue.rend(); ++it)
      if (it->key == key && it->kind == PP_DOWN && !it->upSeen) {
        it->upSeen = true;
        break;
      }
    return true;
  }
  if (static_cast<int>(gQueue.size()) >= kInjectQueue) return false;
  Injected p;
  p.key = key;
  p.kind = press;
  p.sinceMs = nowMs;
  gQueue.push_back(p);
  gActive.store(true, std::memory_order_release);
  return true;
}

uint32_t PanelInjectLevel(uint32_t level, const PanelKeys *keys, long long nowMs) {
  if (!gActive.load(std::memory_order_acquire)) return level;
  std::lock_guard<std::mutex> lock(gMutex);
  while (!gQueue.empty()) {
    Injected &p = gQueue.front();
    const int i = p.key - 1;
    if (p.phase == Injected::QUEUED) {
      p.phase = Injected::HOLDING;
      p.sinceMs = nowMs;
    }
    if (p.phase == Injected::HOLDING) {
      if (!pressDone(p, keys, nowMs)) return level & ~(1u << (kKeyFirstGpio + i));
      p.phase = Injected::RELEASING;
      p.sinceMs = nowMs;
    }
    // Letting go: the next press waits until the scanning saw the release.
    if (keys->state[i] != 1 && nowMs - p.sinceMs <= kAcceptMaxMs) return level;
    gQueue.pop_front();
  }
  gActive.store(false, std::memory_order_release);
  return level;
}

void PanelInjectReset() {
  std::lock_guard<std::mutex> lock(gMutex);
  gQueue.clear();
  gActive.store(false, std::memory_order_release);
}
