#pragma once
// The shown frame, shared with readers in other threads (the web panel).
// fbRealize offers every frame; it is copied only while a reader has asked
// for frames in the last few seconds and only when it differs from the last
// copy, so without readers the display pays one relaxed atomic load a frame.
#include <atomic>
#include <cstdint>
#include <vector>

#include "display/display.h"

// How long one request for frames keeps the copying on.
constexpr long long kFrameShareWantMs = 3000;

struct SharedFrame {
  std::vector<uint8_t> pixels;  // width x height x pixelBytes, rows without gaps
  int width = 0;
  int height = 0;
  int pixelBytes = 0;
  uint64_t number = 0;  // grows by one for every changed frame; 0 = none yet
};

// A reader wants frames from now on (for kFrameShareWantMs).
void FrameShareWant(long long nowMs);
// Called with every frame that is shown.
void FrameShareOffer(const FrameBuffer *fb);
// Number of the newest shared frame (0 = none yet).
uint64_t FrameShareNumber();
// Waits until the newest frame's number exceeds `after`, deadlineMs
// (monotonic) passes or *stop turns true; returns the newest number.
uint64_t FrameShareWait(uint64_t after, long long deadlineMs, const std::atomic<bool> *stop);
// Copies the newest shared frame; false when there is none yet.
bool FrameShareCopy(SharedFrame *out);
