// PNG pictures: what is accepted, what is refused with which message, and a
// background that stays as it was on every refusal.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "display/display.h"
#include "support/temp_root.h"
#include "ui/panel.h"

namespace {

// Writes a picture whose pixel (x, y) is (x, y, x + y, 255) in each channel's low byte.
void writePng(const std::string &path, int width, int height, int colorType, int bitDepth = 8) {
  FILE *fp = fopen(path.c_str(), "wb");
  ASSERT_NE(fp, nullptr);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, fp);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height),
               bitDepth, colorType, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  const int channels = colorType == PNG_COLOR_TYPE_RGBA  ? 4
                       : colorType == PNG_COLOR_TYPE_RGB ? 3
                                                         : 1;
  const int bytes = bitDepth / 8 > 0 ? bitDepth / 8 : 1;
  std::vector<uint8_t> row(static_cast<size_t>(width) * channels * bytes);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < channels; ++c) {
        int v = c == 0 ? x : c == 1 ? y : c == 2 ? x + y : 255;
        row[(static_cast<size_t>(x) * channels + c) * bytes + bytes - 1] = static_cast<uint8_t>(v);
      }
    png_write_row(png, row.data());
  }
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  fclose(fp);
}

struct Screen {
  TempRoot root;
  Works works;
  FrameBuffer *fb = fbCreateMemory(800, 480, 4);
  Screen() {
    works.fb = fb;
    FillBox(0, 0, 800, 480, 7, 8, 9, fb, FB_BACKGROUND);
    FillBox(0, 0, 800, 480, 1, 1, 1, fb, FB_BACK);
  }
  ~Screen() { fbRelease(fb); }
  std::string name(const char *base) const { return root.dir() + "/" + base; }
  // Loads the picture and returns the log it wrote.
  std::string load(const char *base, int *rc) {
    works.imageName.set(name(base).c_str());
    testing::internal::CaptureStderr();
    *rc = getPng(&works, 1);
    return testing::internal::GetCapturedStderr();
  }
  std::vector<uint8_t> background() const { return {fb->background, fb->background + fb->size}; }
  const uint8_t *bg(int x, int y) const { return fb->background + y * fb->lineBytes + x * 4; }
};

TEST(Png, FullScreenAndQuarterPictures) {
  Screen s;
  writePng(s.name("full") + ".png", 800, 480, PNG_COLOR_TYPE_RGBA);
  int rc = -5;
  s.load("full", &rc);
  EXPECT_EQ(rc, 0);
  const uint8_t *p = s.bg(300, 200);
  EXPECT_EQ(p[0], (300 + 200) & 0xFF);  // blue from the picture's blue
  EXPECT_EQ(p[1], 200);
  EXPECT_EQ(p[2], 300 & 0xFF);
  EXPECT_EQ(p[3], 0);  // alpha ignored
  EXPECT_EQ(s.bg(799, 479)[1], 479 & 0xFF);
  // The drawing buffer and the screen are the caller's business.
  EXPECT_EQ(s.fb->back[0], 1);
  EXPECT_EQ(s.fb->screen[0], 0);

  Screen q;
  writePng(q.name("quarter") + ".png", 400, 240, PNG_COLOR_TYPE_RGBA);
  q.load("quarter", &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(q.bg(399, 239)[2], 399 & 0xFF);
  EXPECT_EQ(q.bg(399, 239)[1], 239);
  EXPECT_EQ(q.bg(400, 239)[0], 9);
  EXPECT_EQ(q.bg(399, 240)[0], 9);
  EXPECT_EQ(q.bg(799, 479)[2], 7);
}

TEST(Png, RefusalsLeaveTheBackgroundAlone) {
  Screen s;
  const std::vector<uint8_t> before = s.background();
  struct Case {
    const char *base;
    int w, h, type, depth;
    const char *message;
  };
  const Case cases[] = {
      {"rgb", 800, 480, PNG_COLOR_TYPE_RGB, 8,
       "rgb.png image has 8 pixels not 4 or color_type is 2 not 6"},
      {"wide", 801, 10, PNG_COLOR_TYPE_RGBA, 8, "wide.png image has 801 cols not 800"},
      {"tall", 10, 481, PNG_COLOR_TYPE_RGBA, 8, "tall.png image has 481 rows not 480"},
      {"deep", 10, 10, PNG_COLOR_TYPE_RGBA, 16,
       "deep.png image has 16 pixels not 4 or color_type is 6 not 6"},
      {"grey", 10, 10, PNG_COLOR_TYPE_GRAY, 8,
       "grey.png image has 8 pixels not 4 or color_type is 0 not 6"},
  };
  for (const Case &c : cases) {
    writePng(s.name(c.base) + ".png", c.w, c.h, c.type, c.depth);
    int rc = 0;
    std::string log = s.load(c.base, &rc);
    EXPECT_EQ(rc, -1) << c.base;
    EXPECT_NE(log.find(c.message), std::string::npos) << log;
    EXPECT_EQ(s.background(), before) << c.base;
  }

  int rc = 0;
  std::string log = s.load("missing", &rc);
  EXPECT_EQ(rc, -1);
  EXPECT_NE(log.find("missing.png image could not be opened"), std::string::npos) << log;

  s.root.writeFile("/notpng.png", "GIF89a, certainly not a PNG");
  log = s.load("notpng", &rc);
  EXPECT_NE(log.find("notpng.png image is not a PNG file"), std::string::npos) << log;
  s.root.writeFile("/short.png", "\x89PN");
  log = s.load("short", &rc);
  EXPECT_NE(log.find("short.png image is not a PNG file"), std::string::npos) << log;

  // A picture cut short in its header, and one cut short in its pixel data.
  writePng(s.name("whole") + ".png", 800, 480, PNG_COLOR_TYPE_RGBA);
  std::string whole = s.root.readFile("/whole.png");
  s.root.writeFile("/cuthead.png", whole.substr(0, 20));
  log = s.load("cuthead", &rc);
  EXPECT_EQ(rc, -1);
  EXPECT_NE(log.find("cuthead.png error during init_io"), std::string::npos) << log;
  s.root.writeFile("/cutdata.png", whole.substr(0, whole.size() / 2));
  log = s.load("cutdata", &rc);
  EXPECT_EQ(rc, -1);
  EXPECT_NE(log.find("cutdata.png error during reading image"), std::string::npos) << log;
  std::string garbled = whole;
  for (size_t i = 200; i < garbled.size(); i += 97)
    garbled[i] = static_cast<char>(garbled[i] ^ 0x5A);
  s.root.writeFile("/garbled.png", garbled);
  log = s.load("garbled", &rc);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(s.background(), before);

  // A 16-bit screen takes no pictures.
  Screen h;
  FrameBuffer *fb16 = fbCreateMemory(800, 480, 2);
  h.works.fb = fb16;
  writePng(h.name("ok") + ".png", 8, 8, PNG_COLOR_TYPE_RGBA);
  log = h.load("ok", &rc);
  EXPECT_EQ(rc, -1);
  EXPECT_NE(log.find("ok.png image has 8 pixels not 2 or color_type is 6 not 6"),
            std::string::npos);
  fbRelease(fb16);
}

}  // namespace

// Other threads only ask for a background; the refresh loop loads the newest
// request, a picture or a ready-made frame, at the top of its pass.
TEST(BackgroundRequests, OnlyTheLoopLoadsAndTheNewestWins) {
  Screen s;
  writePng(s.name("page") + ".png", 800, 480, PNG_COLOR_TYPE_RGBA);
  const std::vector<uint8_t> before = s.background();
  std::vector<uint8_t> frame(static_cast<size_t>(s.fb->size), 0x55);
  PostBackgroundImage(&s.works, s.name("page").c_str());
  EXPECT_EQ(s.background(), before) << "asking loads nothing";
  EXPECT_EQ(PostBackgroundPixels(&s.works, frame.data(), frame.size() - 1), -1);
  EXPECT_EQ(PostBackgroundPixels(&s.works, frame.data(), frame.size()), 0);
  frame.assign(frame.size(), 0);  // the request holds its own copy
  EXPECT_EQ(TakeBackgroundRequest(&s.works), 1);
  EXPECT_EQ(s.bg(0, 0)[0], 0x55);
  EXPECT_EQ(s.bg(799, 479)[3], 0x55);
  EXPECT_EQ(TakeBackgroundRequest(&s.works), 0) << "taken once";
  PostBackgroundPixels(&s.works, frame.data(), frame.size());
  PostBackgroundImage(&s.works, s.name("page").c_str());
  EXPECT_EQ(TakeBackgroundRequest(&s.works), 1);
  EXPECT_EQ(s.bg(300, 200)[1], 200) << "the picture asked for last";
}

// A key press that ends the screen saver asks for the work image; the
// front-panel thread itself leaves the buffers the loop draws from alone.
TEST(BackgroundRequests, TheFrontPanelOnlyAsks) {
  Screen s;
  writePng(s.name("img1") + ".png", 800, 480, PNG_COLOR_TYPE_RGBA);
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(s.root.dir().c_str()), 0);
  const std::vector<uint8_t> before = s.background();
  const std::vector<uint8_t> back(s.fb->back, s.fb->back + s.fb->size);
  s.works.screenSaverOn = 1;
  s.works.meterView = 1;
  testing::internal::CaptureStderr();
  DecodeTasto(&s.works, 3, 0);
  EXPECT_EQ(s.works.screenSaverOn, 0);
  EXPECT_EQ(s.background(), before);
  EXPECT_TRUE(std::equal(back.begin(), back.end(), s.fb->back));
  EXPECT_EQ(TakeBackgroundRequest(&s.works), 1);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(s.bg(300, 200)[1], 200);
  ASSERT_EQ(chdir(cwd), 0);
}
