// CPU time of one refresh pass of the screen: copy from the background, every
// label, box, needle and text, copy to the screen. The main screen with both
// meters and two listed errors, and the spectrum view with a full trace; each
// with the glyph cache and with every character rendered by FreeType.
#include <benchmark/benchmark.h>

#include "screen_scene.h"

namespace {

void runPasses(benchmark::State &state, int meterView, bool cache) {
  BenchScene scene(meterView);
  TTFSetGlyphCache(cache);
  scene.pass();  // fills the cache, as the first frames of a run do
  for (auto _ : state) {
    scene.pass();
    benchmark::DoNotOptimize(scene.fb->screen[1000]);
  }
  TTFSetGlyphCache(true);
}

void BM_MainScreenPass(benchmark::State &state) {
  runPasses(state, 1, true);
}
void BM_MainScreenPassNoGlyphCache(benchmark::State &state) {
  runPasses(state, 1, false);
}
void BM_SpectrumPass(benchmark::State &state) {
  runPasses(state, 4, true);
}
void BM_SpectrumPassNoGlyphCache(benchmark::State &state) {
  runPasses(state, 4, false);
}

// The floor of any pass: the copy in and the copy out.
void BM_FrameCopies(benchmark::State &state) {
  FrameBuffer *fb = fbCreateMemory(800, 480, 4);
  for (auto _ : state) {
    fbSetBack(fb);
    fbRealize(fb);
    benchmark::DoNotOptimize(fb->screen[1000]);
  }
  fbRelease(fb);
}

BENCHMARK(BM_FrameCopies)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MainScreenPass)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MainScreenPassNoGlyphCache)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SpectrumPass)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SpectrumPassNoGlyphCache)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
