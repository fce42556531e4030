// Screen images for the remote link: one 800 x 480 frame of the program's own
// main screen and spectrum view encoded as JPEG at quality 75 (what a station
// sends) and decoded onto a second display (what an operator unit shows).
#include <benchmark/benchmark.h>

#include <vector>

#include "jpeg/jpeg.h"
#include "screen_scene.h"

namespace {

constexpr int kQuality = 75;

void encodeScreen(benchmark::State &state, int meterView) {
  BenchScene scene(meterView);
  scene.pass();
  scene.works->jpegQuality = kQuality;
  std::vector<uint8_t> out(scene.fb->size);
  unsigned long size = 0;
  for (auto _ : state) {
    size = out.size();
    if (Compress(scene.works.get(), out.data(), &size) != 0) state.SkipWithError("Compress failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["jpeg_bytes"] = static_cast<double>(size);
}

void decodeScreen(benchmark::State &state, int meterView) {
  BenchScene scene(meterView);
  scene.pass();
  scene.works->jpegQuality = kQuality;
  std::vector<uint8_t> jpeg(scene.fb->size);
  unsigned long size = jpeg.size();
  if (Compress(scene.works.get(), jpeg.data(), &size) != 0) {
    state.SkipWithError("Compress failed");
    return;
  }
  Works receiver;
  receiver.fb = fbCreateMemory(800, 480, 4);
  for (auto _ : state) {
    if (Uncompress(&receiver, jpeg.data(), size) != 0) state.SkipWithError("Uncompress failed");
    benchmark::DoNotOptimize(receiver.fb->back[1000]);
  }
  fbRelease(receiver.fb);
}

void BM_EncodeMainScreen(benchmark::State &state) {
  encodeScreen(state, 1);
}
void BM_EncodeSpectrumScreen(benchmark::State &state) {
  encodeScreen(state, 4);
}
void BM_DecodeMainScreen(benchmark::State &state) {
  decodeScreen(state, 1);
}
void BM_DecodeSpectrumScreen(benchmark::State &state) {
  decodeScreen(state, 4);
}

BENCHMARK(BM_EncodeMainScreen)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EncodeSpectrumScreen)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DecodeMainScreen)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DecodeSpectrumScreen)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
