#pragma once
// The service keyboard: a USB keyboard grabbed for this process, whose
// function keys take a screenshot, save the setup, open the remote service
// shell or end the program.
#include <linux/input.h>

#include <cstddef>
#include <cstdint>

#include "core/works.h"

void *keyb(void *works);  // service keyboard thread

// Runs the remote service shell and waits for it to end.
void RemoteConnection();

// Key codes with an action.
enum KeybCode : int { KC_F10 = 68, KC_F11 = 87, KC_F12 = 88, KC_SYSRQ = 99 };

// Assembles whole events from the bytes of a device that may hand them over
// in pieces (a FIFO does).
struct KeybReader {
  uint8_t buf[sizeof(struct input_event)];
  size_t have = 0;
};

// Feeds bytes; calls onEvent for every complete event, in order.
template <class F>
void KeybFeed(KeybReader *r, const uint8_t *data, size_t n, F &&onEvent) {
  while (n > 0) {
    size_t take = sizeof r->buf - r->have;
    if (take > n) take = n;
    for (size_t i = 0; i < take; ++i) r->buf[r->have + i] = data[i];
    r->have += take;
    data += take;
    n -= take;
    if (r->have == sizeof r->buf) {
      struct input_event ev;
      __builtin_memcpy(&ev, r->buf, sizeof ev);
      r->have = 0;
      onEvent(ev);
    }
  }
}

// Acts on one event: only presses (type 1, value 1) of the four keys do
// anything. Returns 1 when the event ends the thread (F12), else 0.
int KeybHandleEvent(Works *works, const struct input_event &ev);
