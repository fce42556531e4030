// CPU time of the web panel's screen path per frame: showing a frame with
// nobody watching (against the bare copy to the screen), and with a viewer:
// the compare and copy in fbRealize, the copy out and the JPEG encoding of
// the main screen's picture. Ten frames a second cost ten times one frame.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <vector>

#include "display/display.h"
#include "display/frame_share.h"
#include "jpeg/jpeg.h"
#include "platform/platform.h"

namespace {

struct Screen {
  std::unique_ptr<Works> works = std::make_unique<Works>();
  FrameBuffer *fb = fbCreateMemory(800, 480, 4);
  Screen() {
    works->fb = fb;
    if (chdir(OMBRIX_IMAGES_DIR) == 0) {
      works->imageName.set("img1");
      getPng(works.get(), 1);
    }
    fbSetBack(fb);
  }
  ~Screen() { fbRelease(fb); }
};

void BM_ShowBareCopy(benchmark::State &state) {
  Screen s;
  for (auto _ : state) {
    memcpy(s.fb->screen, s.fb->back, static_cast<size_t>(s.fb->size));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_ShowBareCopy);

void BM_ShowNobodyWatching(benchmark::State &state) {
  Screen s;
  for (auto _ : state) fbRealize(s.fb);
}
BENCHMARK(BM_ShowNobodyWatching);

// A viewer and a frame that changed every time: everything the panel does
// for one new frame.
void BM_ShowAndEncodeForAViewer(benchmark::State &state) {
  Screen s;
  SharedFrame frame;
  std::vector<uint8_t> jpeg;
  uint8_t v = 0;
  for (auto _ : state) {
    FrameShareWant(MonotonicMs());
    s.fb->back[800 * 4 * 20 + 400 * 4] = ++v;
    fbRealize(s.fb);
    FrameShareCopy(&frame);
    JpegEncodePixels(frame.pixels.data(), frame.width, frame.height, 80, &jpeg);
  }
  state.counters["jpeg_bytes"] = static_cast<double>(jpeg.size());
}
BENCHMARK(BM_ShowAndEncodeForAViewer)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
