// Screen images through the JPEG codec: colours survive the round trip, bad
// input never touches the display, and only 32-bit displays are encoded.
#include "jpeg/jpeg.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "display/display.h"

namespace {

struct Screen {
  std::unique_ptr<Works> works = std::make_unique<Works>();
  FrameBuffer *fb;
  Screen(int width, int height, int pixelBytes) : fb(fbCreateMemory(width, height, pixelBytes)) {
    works->fb = fb;
    works->jpegQuality = 75;
  }
  ~Screen() { fbRelease(fb); }
  std::vector<uint8_t> back() const { return {fb->back, fb->back + fb->size}; }
};

// Flat colour areas, a pure red, green and blue box and thin lines: what a
// screen of this program holds, and where a swapped channel would show.
void drawTestScreen(FrameBuffer *fb) {
  const int w = static_cast<int>(fb->width);
  const int h = static_cast<int>(fb->height);
  FillBox(0, 0, w, h, 20, 30, 60, fb, FB_BACK);
  FillBox(8, 8, w / 3, h / 2, 255, 0, 0, fb, FB_BACK);
  FillBox(w / 3, 8, 2 * w / 3, h / 2, 0, 255, 0, fb, FB_BACK);
  FillBox(2 * w / 3, 8, w - 8, h / 2, 0, 0, 255, fb, FB_BACK);
  FillBox(16, h / 2 + 16, w - 16, h - 16, 240, 240, 240, fb, FB_BACK);
  for (int x = 24; x < w - 24; x += 12)
    DrawLine(x, h / 2 + 24, x + 8, h - 24, 0, 0, 0, fb, FB_BACK);
}

// The test screen drawn on a 32-bit display of the given size, as a JPEG.
std::vector<uint8_t> testScreenJpeg(int width, int height) {
  Screen screen(width, height, 4);
  drawTestScreen(screen.fb);
  std::vector<uint8_t> jpeg(screen.fb->size);
  unsigned long size = jpeg.size();
  if (Compress(screen.works.get(), jpeg.data(), &size) != 0) return {};
  jpeg.resize(size);
  return jpeg;
}

TEST(Jpeg, ScreenRoundTripKeepsSizeAndColours) {
  Screen sender(160, 96, 4);
  drawTestScreen(sender.fb);
  const std::vector<uint8_t> original = sender.back();

  std::vector<uint8_t> jpeg(sender.fb->size);
  unsigned long size = jpeg.size();
  ASSERT_EQ(Compress(sender.works.get(), jpeg.data(), &size), 0);
  ASSERT_GT(size, 2u);
  ASSERT_LT(size, jpeg.size());
  EXPECT_EQ(jpeg[0], 0xFF);  // a JPEG stream begins with its start-of-image marker
  EXPECT_EQ(jpeg[1], 0xD8);

  Screen receiver(160, 96, 4);
  ASSERT_EQ(Uncompress(receiver.works.get(), jpeg.data(), size), 0);
  const std::vector<uint8_t> decoded = receiver.back();
  long sum = 0;
  for (size_t i = 0; i < original.size(); ++i) {
    if (i % 4 == 3) {
      ASSERT_EQ(decoded[i], 0) << "pad byte of pixel " << i / 4;
      continue;
    }
    sum += std::abs(decoded[i] - original[i]);
  }
  EXPECT_LT(static_cast<double>(sum) / (original.size() / 4 * 3), 4.0);
  // Inside the red box the pixel reads red again (blue, green, red, 0 in memory).
  const uint8_t *p = receiver.fb->back + 30 * receiver.fb->lineBytes + 20 * 4;
  EXPECT_GT(p[2], 230);
  EXPECT_LT(p[0], 25);
  EXPECT_LT(p[1], 25);

  // A buffer shorter than the image is refused rather than overrun.
  std::vector<uint8_t> tiny(64, 0xAB);
  unsigned long tinySize = tiny.size();
  EXPECT_EQ(Compress(sender.works.get(), tiny.data(), &tinySize), -1);
  // The pixel-level entry points agree with the display ones.
  std::vector<uint8_t> viaPixels;
  ASSERT_EQ(JpegEncodePixels(original.data(), 160, 96, 75, &viaPixels), 0);
  std::vector<uint8_t> pixels;
  int w = 0;
  int h = 0;
  ASSERT_EQ(JpegDecodePixels(viaPixels.data(), viaPixels.size(), &pixels, &w, &h), 0);
  EXPECT_EQ(w, 160);
  EXPECT_EQ(h, 96);
  EXPECT_EQ(pixels, decoded);
  // From outside: decoded only at the size asked for, judged by the header.
  std::vector<uint8_t> sized;
  ASSERT_EQ(JpegDecodeSized(viaPixels.data(), viaPixels.size(), 160, 96, &sized), 0);
  EXPECT_EQ(sized, decoded);
  EXPECT_EQ(JpegDecodeSized(viaPixels.data(), viaPixels.size(), 96, 160, &sized), -1);
}

TEST(Jpeg, BadImagesLeaveTheDisplayUnchanged) {
  const std::vector<uint8_t> jpeg = testScreenJpeg(160, 96);
  ASSERT_FALSE(jpeg.empty());
  const unsigned long size = jpeg.size();

  Screen receiver(160, 96, 4);
  FillBox(0, 0, 160, 96, 1, 2, 3, receiver.fb, FB_BACK);
  const std::vector<uint8_t> before = receiver.back();
  auto unchanged = [&](const uint8_t *bytes, unsigned long length) {
    EXPECT_EQ(Uncompress(receiver.works.get(), bytes, length), -1);
    return receiver.back() == before;
  };
  EXPECT_TRUE(unchanged(jpeg.data(), size / 2)) << "truncated";
  EXPECT_TRUE(unchanged(jpeg.data(), 0)) << "empty";
  EXPECT_TRUE(unchanged(nullptr, 100)) << "no bytes";
  std::vector<uint8_t> damaged(jpeg.begin(), jpeg.begin() + size);
  for (size_t i = size / 3; i < size - 2; i += 7) damaged[i] ^= 0x5A;
  EXPECT_TRUE(unchanged(damaged.data(), damaged.size())) << "damaged entropy data";
  std::vector<uint8_t> noise(4096);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(i * 131 + 7);
  EXPECT_TRUE(unchanged(noise.data(), noise.size())) << "not a JPEG";

  // A whole, valid image of another size than the display.
  const std::vector<uint8_t> other = testScreenJpeg(96, 160);
  ASSERT_FALSE(other.empty());
  EXPECT_TRUE(unchanged(other.data(), other.size())) << "other size";
}

TEST(Jpeg, OnlyThirtyTwoBitDisplaysAreEncodedOrDecoded) {
  const std::vector<uint8_t> jpeg = testScreenJpeg(160, 96);
  ASSERT_FALSE(jpeg.empty());

  Screen narrow(160, 96, 2);
  drawTestScreen(narrow.fb);
  const std::vector<uint8_t> before = narrow.back();
  std::vector<uint8_t> out(narrow.fb->size);
  unsigned long outSize = out.size();
  EXPECT_EQ(Compress(narrow.works.get(), out.data(), &outSize), -1);
  EXPECT_EQ(Uncompress(narrow.works.get(), jpeg.data(), jpeg.size()), -1);
  EXPECT_EQ(narrow.back(), before);
}

}  // namespace
