// Framebuffer: the virtual display, pixel formats and the primitives' rules.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "display/display.h"
#include "support/temp_root.h"

namespace {

struct Mem {
  FrameBuffer *fb;
  Mem(int w, int h, int pb) : fb(fbCreateMemory(w, h, pb)) {}
  ~Mem() { fbRelease(fb); }
  const uint8_t *px(int x, int y) const {
    return fb->back + y * fb->lineBytes + x * fb->pixelBytes;
  }
  int changed() const {
    int n = 0;
    for (int i = 0; i < fb->size; i += fb->pixelBytes)
      for (int k = 0; k < fb->pixelBytes; ++k)
        if (fb->back[i + k] != 0) {
          ++n;
          break;
        }
    return n;
  }
};

std::vector<uint8_t> readAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

TEST(FrameBuffer, VirtualDisplayIsMappedAndShowsEachRealizedFrame) {
  TempRoot root;
  const std::string file = root.path("/dev/fb0");
  { std::ofstream(file, std::ios::binary) << std::string(800 * 480 * 4, '\0'); }
  FrameBuffer *fb = fbInit();
  ASSERT_NE(fb, nullptr);
  EXPECT_EQ(fb->width, 800u);
  EXPECT_EQ(fb->height, 480u);
  EXPECT_EQ(fb->pixelBytes, 4);
  EXPECT_EQ(fb->lineBytes, 3200);
  EXPECT_EQ(fb->size, 800 * 480 * 4);

  // A frame starts from the background and reaches the file only when realized.
  FillBox(0, 0, 800, 480, 10, 20, 30, fb, FB_BACKGROUND);
  fbSetBack(fb);
  DrawHorizontalLine(5, 7, 6, 255, 128, 1, fb, FB_BACK);
  EXPECT_EQ(readAll(file)[0], 0);
  fbRealize(fb);
  std::vector<uint8_t> bytes = readAll(file);
  ASSERT_EQ(bytes.size(), 800u * 480 * 4);
  EXPECT_EQ(bytes[0], 30);
  EXPECT_EQ(bytes[1], 20);
  EXPECT_EQ(bytes[2], 10);
  EXPECT_EQ(bytes[3], 0);
  const size_t at = 7 * 3200 + 5 * 4;
  EXPECT_EQ(bytes[at + 0], 1);
  EXPECT_EQ(bytes[at + 1], 128);
  EXPECT_EQ(bytes[at + 2], 255);
  fbRelease(fb);
}

TEST(FrameBuffer, NoDisplayWhenTheFileIsMissingOrNotAScreen) {
  TempRoot root;
  testing::internal::CaptureStderr();
  EXPECT_EQ(fbInit(), nullptr);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Unable to read framebuffer device: /dev/fb0"), std::string::npos);

  std::ofstream(root.path("/dev/fb0"), std::ios::binary) << std::string(1000, '\0');
  testing::internal::CaptureStderr();
  EXPECT_EQ(fbInit(), nullptr);
  log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Unable to read screen info."), std::string::npos);

  // Every drawing call takes the missing display in its stride.
  fbSetBack(nullptr);
  fbRealize(nullptr);
  DrawLine(0, 0, 10, 10, 1, 2, 3, nullptr, FB_BACK);
  FillBox(0, 0, 10, 10, 1, 2, 3, nullptr, FB_BACK);
  putString(0, 10, 10, "x", 1, 2, 3, nullptr);
}

TEST(FrameBuffer, PixelFormats) {
  Mem m16(8, 4, 2), m32(8, 4, 4);
  DrawHorizontalLine(0, 0, 1, 255, 255, 255, m16.fb, FB_BACK);
  DrawHorizontalLine(1, 0, 2, 255, 0, 0, m16.fb, FB_BACK);
  DrawHorizontalLine(2, 0, 3, 0, 255, 0, m16.fb, FB_BACK);
  DrawHorizontalLine(3, 0, 4, 0, 0, 255, m16.fb, FB_BACK);
  const uint8_t *p = m16.px(0, 0);
  EXPECT_EQ(p[0], 0xFF);
  EXPECT_EQ(p[1], 0xFF);
  EXPECT_EQ(p[2], 0x00);
  EXPECT_EQ(p[3], 0xF8);
  EXPECT_EQ(p[4], 0xE0);  // green: low three bits in the first byte
  EXPECT_EQ(p[5], 0x07);
  EXPECT_EQ(p[6], 0x1F);
  EXPECT_EQ(p[7], 0x00);

  m32.fb->back[3] = 0x55;  // the padding byte is rewritten with the pixel
  DrawHorizontalLine(0, 0, 1, 255, 0, 0, m32.fb, FB_BACK);
  DrawHorizontalLine(1, 0, 2, 1, 2, 3, m32.fb, FB_BACKGROUND);
  const uint8_t *q = m32.px(0, 0);
  EXPECT_EQ(q[0], 0);
  EXPECT_EQ(q[1], 0);
  EXPECT_EQ(q[2], 255);
  EXPECT_EQ(q[3], 0);
  const uint8_t *bg = m32.fb->background + 4;
  EXPECT_EQ(bg[0], 3);
  EXPECT_EQ(bg[1], 2);
  EXPECT_EQ(bg[2], 1);
  EXPECT_EQ(m32.fb->back[4], 0);  // the target flag chose the background
}

TEST(FrameBuffer, LinesAndTheirBounds) {
  for (int pb : {2, 4}) {
    Mem m(40, 20, pb);
    DrawLine(10, 10, 10, 10, 255, 255, 255, m.fb, FB_BACK);
    EXPECT_EQ(m.changed(), 0);
    DrawHorizontalLine(5, 3, 5, 255, 255, 255, m.fb, FB_BACK);
    EXPECT_EQ(m.changed(), 0);

    DrawLine(0, 0, 3, 1, 255, 255, 255, m.fb, FB_BACK);
    EXPECT_EQ(m.changed(), 4);
    EXPECT_NE(m.px(0, 0)[0], 0);
    EXPECT_NE(m.px(1, 0)[0], 0);
    EXPECT_NE(m.px(2, 1)[0], 0);
    EXPECT_NE(m.px(3, 1)[0], 0);

    // Steep lines walk the y axis and include both end points.
    Mem s(40, 20, pb);
    DrawLine(5, 2, 7, 12, 255, 255, 255, s.fb, FB_BACK);
    EXPECT_EQ(s.changed(), 11);
    EXPECT_NE(s.px(5, 2)[0], 0);
    EXPECT_NE(s.px(7, 12)[0], 0);
    Mem rev(40, 20, pb);
    DrawLine(7, 12, 5, 2, 255, 255, 255, rev.fb, FB_BACK);
    EXPECT_EQ(rev.changed(), 11);

    // A line may leave the frame: pixels outside it are skipped, and so is
    // the very last pixel of the frame.
    Mem o(40, 20, pb);
    DrawLine(-50, 10, 100, 10, 255, 255, 255, o.fb, FB_BACK);
    DrawLine(39, -5, 39, 30, 255, 255, 255, o.fb, FB_BACK);
    EXPECT_EQ(o.px(39, 19)[0], 0);
    EXPECT_NE(o.px(39, 18)[0], 0);
    EXPECT_NE(o.px(0, 11)[0], 0);  // x beyond the row end wraps into the next row
  }
}

TEST(FrameBuffer, ArcFollowsWholeDegrees) {
  Mem m(120, 120, 4);
  DrawArc(50, 50, 10, 0, 180, 255, 255, 255, m.fb, FB_BACK);
  EXPECT_NE(m.px(60, 50)[0], 0);
  EXPECT_NE(m.px(40, 50)[0], 0);
  EXPECT_NE(m.px(50, 40)[0], 0);
  EXPECT_EQ(m.px(50, 60)[0], 0);  // the lower half is not drawn
  EXPECT_EQ(m.px(61, 50)[0], 0);
}

TEST(FrameBuffer, BoxesAndRectangles) {
  Mem m(20, 20, 4);
  FillBox(8, 6, 2, 3, 9, 9, 9, m.fb, FB_BACK);  // corners in any order
  EXPECT_EQ(m.changed(), 6 * 3);
  EXPECT_EQ(m.px(2, 3)[0], 9);
  EXPECT_EQ(m.px(7, 5)[0], 9);
  EXPECT_EQ(m.px(8, 5)[0], 0);

  Mem w(20, 20, 2);
  FillBox(0, 0, 2, 2, 255, 255, 255, w.fb, FB_BACK);
  EXPECT_EQ(w.changed(), 4);
  EXPECT_EQ(w.fb->back[w.fb->lineBytes * 2], 0);

  Works works;
  Mem r(20, 20, 4);
  works.fb = r.fb;
  DrawRect(&works, 2, 2, 6, 5, 200, 200, 200);
  EXPECT_NE(r.px(2, 2)[0], 0);
  EXPECT_NE(r.px(6, 5)[0], 0);
  EXPECT_NE(r.px(5, 5)[0], 0);
  EXPECT_EQ(r.px(4, 3)[0], 0);
  EXPECT_EQ(r.changed(), 2 * 4 + 2 * 4 - 2);  // two edges of 4, two of 4 sharing the left corners
}

TEST(FrameBuffer, FillRowStopsAtWhiteAndPassesTheSkipColour) {
  for (int pb : {2, 4}) {
    Mem m(4, 12, pb);
    // Column 1 from the bottom: 11 plain, 10 skip colour, 9 plain, 5 white, 3 plain.
    DrawHorizontalLine(1, 10, 2, 0, 0, 255, m.fb, FB_BACK);
    DrawHorizontalLine(1, 5, 2, 255, 255, 255, m.fb, FB_BACK);
    DrawHorizontalLine(1, 3, 2, 7, 7, 7, m.fb, FB_BACK);
    std::vector<uint8_t> before(m.fb->back, m.fb->back + m.fb->size);
    FillRow(1, 11, 255, 0, 0, m.fb, 0, 0, 255);
    auto red = [&](int y) {
      return memcmp(m.px(1, y), pb == 4 ? "\x00\x00\xff" : "\x00\xf8", pb == 4 ? 3 : 2) == 0;
    };
    for (int y : {11, 9, 8, 7, 6}) EXPECT_TRUE(red(y)) << "pb " << pb << " y " << y;
    EXPECT_FALSE(red(10));
    EXPECT_EQ(memcmp(m.px(1, 10), before.data() + 10 * m.fb->lineBytes + pb, pb), 0);
    for (int y = 0; y <= 5; ++y)
      EXPECT_EQ(memcmp(m.px(1, y), before.data() + y * m.fb->lineBytes + pb, pb), 0) << y;
    // Row 0 is never painted, even without a white pixel above.
    Mem n(2, 4, pb);
    FillRow(0, 3, 255, 0, 0, n.fb, 50, 50, 50);
    EXPECT_EQ(n.changed(), 3);
    EXPECT_EQ(n.px(0, 0)[pb - 1], 0);
    EXPECT_EQ(n.px(0, 1)[pb == 4 ? 2 : 1], pb == 4 ? 0xFF : 0xF8);
  }
}

}  // namespace
