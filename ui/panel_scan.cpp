// Key scanning: debounce, one key at a time, long presses and repeats.
#include "core/process_globals.h"
#include "ui/panel.h"

namespace {

constexpr int kDebouncePasses = 5;
// The notice "Entering second function..." shows this long before a long press.
constexpr double kLongNotice = 0.15;

}  // namespace

void PanelKeysInit(PanelKeys *k) {
  for (int i = 0; i < kPanelKeys; ++i) {
    k->state[i] = 1;
    k->previous[i] = -1;
    k->diffs[i] = 0;
    k->pressStartMs[i] = 0;
    k->repeats[i] = 0;
    k->longDone[i] = false;
  }
}

double PanelLongThreshold(int repeats) {
  if (repeats == 0) return TIME_LONG_PRESS;
  if (repeats <= 14) return 0.1;
  return 0.02;
}

void PanelScanKeys(PanelKeys *k, Works *works, uint32_t level, long long nowMs,
                   KeyHandler handler) {
  for (int i = 0; i < kPanelKeys; ++i) {
    int raw = static_cast<int>((level >> (kKeyFirstGpio + i)) & 1u);
    if (raw == k->state[i]) continue;
    if (k->diffs[i] < kDebouncePasses) {
      ++k->diffs[i];
      continue;
    }
    bool othersReleased = true;
    for (int j = 0; j < kPanelKeys; ++j)
      if (j != i && k->state[j] != 1) othersReleased = false;
    if (!othersReleased) continue;  // one key at a time; the count waits
    k->diffs[i] = 0;
    int old = k->state[i];
    k->state[i] = raw;
    if (raw == 0) {
      k->pressStartMs[i] = nowMs;
      k->repeats[i] = 0;
      k->longDone[i] = false;
    } else {
      // A key that repeated has had its long presses: no extra step on release.
      if (k->previous[i] != -1 && !k->longDone[i] && k->repeats[i] == 0) handler(works, i + 1, 0);
      k->repeats[i] = 0;
      k->longDone[i] = false;
    }
    k->previous[i] = old;
  }
  for (int i = 0; i < kPanelKeys; ++i) {
    if (k->state[i] != 0 || k->longDone[i]) continue;
    double t = static_cast<double>(nowMs - k->pressStartMs[i]) / 1000.0;
    double threshold = PanelLongThreshold(k->repeats[i]);
    if (t > threshold - kLongNotice) works->uiFlags.fetch_or(kUiKeyBusy);
    if (t > threshold) {
      if (handler(works, i + 1, 1 << i) != 0) {
        k->pressStartMs[i] = nowMs;
        ++k->repeats[i];
      } else {
        k->longDone[i] = true;
      }
    }
  }
}
