// The relay word: bit layout of C, L and the network mode, the decoders and
// its one writer.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <thread>
#include <vector>

#include "core/link_requests.h"
#include "table_fixture.h"
#include "tuner/tuner.h"

namespace {

TEST(RelayWord, StepBitsLandOnTheirRelays) {
  TableFixture f;
  Works *w = f.w();
  w->tuneVal = 0;
  SetC(w, 0x3FF);
  EXPECT_EQ(w->tuneVal, 0x0050D554u);
  w->tuneVal = 0;
  SetI(w, 0x3FF);
  EXPECT_EQ(w->tuneVal, 0x002A2AAAu);
  // C = 1, L = 1 in network B.
  w->tuneVal = 0;
  SetC(w, 1);
  SetI(w, 1);
  SetMode(w, 1);
  EXPECT_EQ(w->tuneVal, 0x00808002u);
  // Bypass with nothing else.
  w->tuneVal = 0;
  SetMode(w, 3);
  EXPECT_EQ(w->tuneVal, 0x00010000u);
}

TEST(RelayWord, SettingOneElementKeepsTheRest) {
  TableFixture f;
  Works *w = f.w();
  w->tuneVal = 0x00802AAA;  // network B, L = 127, C = 0
  SetC(w, 5);
  EXPECT_EQ(w->tuneVal, 0x0080AABAu);
  SetI(w, 0);
  EXPECT_EQ(w->tuneVal, 0x00808010u);
  EXPECT_EQ(w->tuneC, 0);  // the decoded fields are the caller's business
}

TEST(RelayWord, EveryStepCountDecodesBack) {
  TableFixture f;
  Works *w = f.w();
  for (int v = 0; v < 1024; ++v) {
    w->tuneVal = 0;
    SetC(w, v);
    SetI(w, 1023 - v);
    uint32_t word = w->tuneVal;
    EXPECT_EQ(DecodeCapacitaFromTuneval(word), v & 511);
    EXPECT_EQ(DecodeInduttanzaFromTuneval(word), (1023 - v) & 511);
    EXPECT_EQ(DecodeCapacita10(word), v);
    EXPECT_EQ(DecodeInduttanza10(word), 1023 - v);
    EXPECT_EQ(word & ~(kCMask | kLMask), 0u);
  }
}

TEST(RelayWord, TheTenthBitIsNotDecoded) {
  TableFixture f;
  Works *w = f.w();
  w->tuneVal = 0;
  SetC(w, 512);
  SetI(w, 512);
  EXPECT_EQ(w->tuneVal, (1u << 22) | (1u << 17));
  EXPECT_EQ(DecodeCapacitaFromTuneval(w->tuneVal), 0);
  EXPECT_EQ(DecodeInduttanzaFromTuneval(w->tuneVal), 0);
}

TEST(RelayWord, ModesAndBypass) {
  TableFixture f;
  Works *w = f.w();
  EXPECT_EQ(DecodeModoFromTuneval(0), 0);
  EXPECT_EQ(DecodeModoFromTuneval(kModeBitB), 1);
  EXPECT_EQ(DecodeModoFromTuneval(kModeBitA | 0x2), 2);
  EXPECT_EQ(DecodeModoFromTuneval(kModeBitBypass), 3);
  // Two mode bits: no mode, and ReadTnePar turns the word into bypass.
  EXPECT_EQ(DecodeModoFromTuneval(kModeBitB | kModeBitA), 0);
  w->tuneVal = kModeBitB | kModeBitA | 0x8002;  // C 1, L 1
  w->atuBypass = 0;
  ReadTnePar(w);
  EXPECT_EQ(w->tuneVal & kModeMask, kModeBitBypass);
  EXPECT_EQ(w->tuneVal & ~kModeMask, 0x8002u);
  EXPECT_EQ(w->atuBypass, 1);
  EXPECT_EQ(w->tuneMode, 3);
  EXPECT_EQ(w->tuneC, 1);
  EXPECT_EQ(w->tuneL, 1);
  // Mode 0 gives bypass but keeps 0 as the mode; mode 4 and above only the mode.
  w->tuneVal = kModeBitA;
  SetMode(w, 0);
  EXPECT_EQ(w->tuneVal, kModeBitBypass);
  EXPECT_EQ(w->tuneMode, 0);
  SetMode(w, 2);
  EXPECT_EQ(w->tuneVal, kModeBitA);
  EXPECT_EQ(w->atuBypass, 0);
  SetMode(w, 7);
  EXPECT_EQ(w->tuneVal, kModeBitA);
  EXPECT_EQ(w->tuneMode, 7);
}

TEST(RelayWord, StepsOfSeveralThreadsAllReachTheWordThroughItsOneWriter) {
  TableFixture f;
  Works *w = f.w();
  w->tuneVal = kModeBitB;
  w->tuneL = 0;
  // A thread in the link's place, taking the requests as they come.
  std::atomic<bool> open{false}, stop{false};
  std::thread link([&] {
    int fd = OpenLinkRequests(w);
    open = true;
    while (!stop) {
      struct pollfd p = {fd, POLLIN, 0};
      poll(&p, 1, 10);
      ServeLinkRequests(w);
    }
    CloseLinkRequests(w);
  });
  while (!open) std::this_thread::yield();
  // Each step reads the L in force and writes it one higher: a step lost
  // between two threads would show in the count.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([w] {
      LinkRequest r;
      r.kind = LR_MANUAL_STEP;
      r.a = 1;
      r.b = 1;
      for (int i = 0; i < 100; ++i) EXPECT_TRUE(PostLinkRequest(w, r));
    });
  }
  for (auto &t : threads) t.join();
  stop = true;
  link.join();
  EXPECT_EQ(w->tuneL, 400);
  EXPECT_EQ(DecodeInduttanzaFromTuneval(w->tuneVal), 400);
  EXPECT_EQ(f.drain(), std::vector<int>{LP_MT1}) << "one pending write of the word";
}

}  // namespace
