// Text: strict UTF-8 decoding, the blend rule, widths, and the glyph cache
// drawing exactly what FreeType draws.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "display/display.h"
#include "support/screen_fonts.h"

namespace {

struct Decoded {
  uint32_t cp;
  int valid;
  int advance;
};

std::vector<Decoded> decode(const std::string &s) {
  std::vector<Decoded> out;
  int pos = 0, valid = 0;
  uint32_t cp = 0;
  for (;;) {
    int before = pos;
    if (utf8_get_next_char(s.data(), static_cast<int>(s.size()), &pos, &valid, &cp) != 1) break;
    out.push_back({cp, valid, pos - before});
  }
  return out;
}

TEST(Utf8, ListedSequences) {
  auto d = decode(
      "\xC2\xB0"
      "C");
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(d[0].cp, 0xB0u);
  EXPECT_EQ(d[0].valid, 1);
  EXPECT_EQ(d[1].cp, static_cast<uint32_t>('C'));
  EXPECT_EQ(utf8_length("\xC2\xB0"
                        "C",
                        3),
            2);

  d = decode("\xE0\x80\x80");  // overlong lead: three invalid single bytes
  ASSERT_EQ(d.size(), 3u);
  for (const auto &x : d) {
    EXPECT_EQ(x.valid, 0);
    EXPECT_EQ(x.cp, 0u);
    EXPECT_EQ(x.advance, 1);
  }

  d = decode("\xED\xA0\x80");  // surrogate
  ASSERT_GE(d.size(), 1u);
  EXPECT_EQ(d[0].valid, 0);
  EXPECT_EQ(d[0].advance, 1);

  d = decode("a\xC3");  // lone lead at the end
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(d[1].valid, 0);
  EXPECT_EQ(d[1].advance, 1);

  int pos = 5, valid = 7;
  uint32_t cp = 9;
  EXPECT_EQ(utf8_get_next_char("abc", 3, &pos, &valid, &cp), -1);
  EXPECT_EQ(utf8_length("", 0), 0);

  // Good second byte, bad third: the pair is skipped together.
  d = decode(
      "\xE2\x82"
      "A");
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(d[0].advance, 2);
  EXPECT_EQ(d[0].valid, 0);
  // Four-byte forms: the bad byte decides the advance.
  d = decode(
      "\xF0\x9F\x98\x80\xF0\x9F\x98"
      "x\xF4\x90\x80\x80\xF0\x9F"
      "x");
  ASSERT_EQ(d.size(), 9u);
  EXPECT_EQ(d[0].cp, 0x1F600u);
  EXPECT_EQ(d[0].advance, 4);
  EXPECT_EQ(d[1].advance, 3);  // good second and third, bad fourth
  EXPECT_EQ(d[1].valid, 0);
  EXPECT_EQ(d[3].advance, 1);  // F4 90: above U+10FFFF
  EXPECT_EQ(d[4].advance, 1);  // a continuation byte is no lead
  EXPECT_EQ(d[7].advance, 2);  // F0 9F then 'x'
  EXPECT_EQ(d[8].cp, static_cast<uint32_t>('x'));
  EXPECT_EQ(decode("\xF5\x80")[0].advance, 1);
  EXPECT_EQ(decode("\xC1\xBF")[0].valid, 0);
  EXPECT_EQ(decode("Rel\xC3\xA8")[3].cp, 0xE8u);
}

// Encodes a code point the one way UTF-8 allows.
std::string encode(uint32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | cp >> 6);
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    s += static_cast<char>(0xE0 | cp >> 12);
    s += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | cp >> 18);
    s += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    s += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return s;
}

TEST(Utf8, RandomBytesDecodeWithinBoundsAndOnlyShortestForms) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 3000; ++round) {
    std::string s(rng() % 24, '\0');
    for (auto &c : s) {
      // Mostly high bytes, where the interesting cases are.
      unsigned v = rng() % 4 == 0 ? rng() % 0x80 : 0x80 + rng() % 0x80;
      c = static_cast<char>(v);
    }
    int pos = 0, valid = 0, count = 0;
    uint32_t cp = 0;
    for (;;) {
      int before = pos;
      if (utf8_get_next_char(s.data(), static_cast<int>(s.size()), &pos, &valid, &cp) != 1) break;
      ++count;
      ASSERT_GE(pos - before, 1);
      ASSERT_LE(pos - before, 4);
      ASSERT_LE(pos, static_cast<int>(s.size()));
      if (valid) {
        ASSERT_FALSE(cp >= 0xD800 && cp <= 0xDFFF);
        ASSERT_LE(cp, 0x10FFFFu);
        ASSERT_EQ(encode(cp),
                  s.substr(static_cast<size_t>(before), static_cast<size_t>(pos - before)));
      } else {
        ASSERT_EQ(cp, 0u);
      }
    }
    ASSERT_EQ(pos, static_cast<int>(s.size()));
    ASSERT_EQ(count, utf8_length(s.data(), static_cast<int>(s.size())));
  }
}

struct Canvas {
  FrameBuffer *fb;
  explicit Canvas(int pb = 4, int w = 320, int h = 120) : fb(fbCreateMemory(w, h, pb)) {}
  ~Canvas() { fbRelease(fb); }
  void fill(int r, int g, int b) {
    FillBox(0, 0, static_cast<int>(fb->width), static_cast<int>(fb->height), r, g, b, fb, FB_BACK);
  }
  std::vector<uint8_t> bytes() const { return {fb->back, fb->back + fb->size}; }
};

class Text : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadScreenFonts());
    TTFSetGlyphCache(true);
  }
  void TearDown() override { TTFSetGlyphCache(true); }
};

TEST_F(Text, WhiteTextBlendsByCoverage) {
  // On black, white text leaves the coverage itself in every component.
  Canvas black, grey;
  putString(8, 10, 60, "Wg\xC2\xB0", 255, 255, 255, black.fb);
  grey.fill(200, 100, 30);
  putString(8, 10, 60, "Wg\xC2\xB0", 255, 255, 255, grey.fb);
  int covered = 0;
  for (int i = 0; i < black.fb->size; i += 4) {
    const unsigned a = black.fb->back[i];
    EXPECT_EQ(black.fb->back[i + 1], a);
    EXPECT_EQ(black.fb->back[i + 2], a);
    const uint8_t *p = grey.fb->back + i;
    ASSERT_EQ(p[0], 30 * (255 - a) / 255 + a);
    ASSERT_EQ(p[1], 100 * (255 - a) / 255 + a);
    ASSERT_EQ(p[2], 200 * (255 - a) / 255 + a);
    ASSERT_EQ(p[3], 0);
    if (a > 0) ++covered;
  }
  EXPECT_GT(covered, 50);

  // Coloured text adds (component AND coverage).
  Canvas red;
  red.fill(0, 0, 0);
  putString(8, 10, 60, "W", 250, 150, 0, red.fb);
  for (int i = 0; i < red.fb->size; i += 4) {
    const unsigned a = black.fb->back[i];
    if (a == 0) continue;
    EXPECT_EQ(red.fb->back[i + 2], 250u & a);
    EXPECT_EQ(red.fb->back[i + 1], 150u & a);
    break;
  }
}

TEST_F(Text, BaselineAndWidths) {
  EXPECT_EQ(getStringSpace(8, ""), 0);
  EXPECT_EQ(getStringSpace(19, "abc"), 0);  // an empty slot
  const int w = getStringSpace(8, "FORWARD");
  EXPECT_GT(w, 50);
  EXPECT_EQ(getStringSpace(8, "FORWARD FORWARD"), 2 * w + getStringSpace(8, " "));
  EXPECT_GT(getStringSpace(9, "FORWARD"), w);

  Canvas c;
  putString(8, 20, 50, "H", 255, 255, 255, c.fb);
  int top = 1000, bottom = -1, left = 1000;
  for (int y = 0; y < 120; ++y)
    for (int x = 0; x < 320; ++x)
      if (c.fb->back[y * c.fb->lineBytes + x * 4] != 0) {
        top = std::min(top, y);
        bottom = std::max(bottom, y);
        left = std::min(left, x);
      }
  // The capital sits on the baseline, its bitmap starting at the pen.
  EXPECT_EQ(bottom, 50);
  EXPECT_GT(50 - top, 10);
  EXPECT_EQ(left, 20);
  // Nothing draws with an empty slot.
  Canvas e;
  putString(19, 20, 50, "H", 255, 255, 255, e.fb);
  EXPECT_EQ(e.bytes(), std::vector<uint8_t>(static_cast<size_t>(e.fb->size), 0));
}

TEST_F(Text, GlyphCacheDrawsExactlyWhatFreeTypeDraws) {
  struct Call {
    int slot, x, y;
    const char *text;
  };
  const Call calls[] = {
      {0, 20, 445, "  MEM"},
      {1, 30, 472, "BANK 1"},
      {8, 10, 327,
       "PA1:25.0\xC2\xB0"
       "C   P2:26.1\xC2\xB0"
       "C"},
      {4, 339, 52, "14.070MHz"},
      {7, 70, 335, "Rel\xC3\xA8 TEMPERATURE ALARM"},
      {6, 700, 17, "2024-05-01 12:00:00"},
      {10, 669, 390, "Error \xE2\x82\xAC \xF0\x9F\x98\x80 \xE0\x80\x80"},
      {11, -15, 8, "edge top-left"},
      {9, 760, 478, "edge bottom-right wraps"},
      {2, 100, 200, "PT Sans 55 \x01\x7F"},
      {5, 3, 100, "tiny"},
  };
  auto drawAll = [&](FrameBuffer *fb) {
    for (const Call &c : calls) putString(c.slot, c.x, c.y, c.text, 250, 150, 0, fb);
    for (const Call &c : calls) putString(c.slot, c.x + 3, c.y + 2, c.text, 255, 255, 255, fb);
  };
  for (int pb : {4, 2}) {
    Canvas plain(pb, 800, 480), cached(pb, 800, 480), again(pb, 800, 480);
    for (Canvas *c : {&plain, &cached, &again}) c->fill(30, 60, 90);
    TTFSetGlyphCache(false);
    drawAll(plain.fb);
    std::vector<int> widths;
    for (const Call &c : calls) widths.push_back(getStringSpace(c.slot, c.text));
    TTFSetGlyphCache(true);
    drawAll(cached.fb);  // fills the cache
    drawAll(again.fb);   // drawn from the cache alone
    EXPECT_EQ(plain.bytes(), cached.bytes()) << "pb " << pb;
    EXPECT_EQ(plain.bytes(), again.bytes()) << "pb " << pb;
    for (size_t i = 0; i < std::size(calls); ++i)
      EXPECT_EQ(widths[i], getStringSpace(calls[i].slot, calls[i].text)) << calls[i].text;
  }
}

TEST_F(Text, TwoThreadsDrawingAtOnce) {
  Canvas a(4, 200, 60), b(4, 200, 60), ref(4, 200, 60);
  putString(8, 5, 40, "Thread safe 0123", 255, 255, 255, ref.fb);
  auto work = [](FrameBuffer *fb) {
    for (int i = 0; i < 200; ++i) {
      FillBox(0, 0, 200, 60, 0, 0, 0, fb, FB_BACK);
      putString(8, 5, 40, "Thread safe 0123", 255, 255, 255, fb);
      if (i % 50 == 0) TTFSetGlyphCache(true);
    }
  };
  std::thread t1(work, a.fb), t2(work, b.fb);
  t1.join();
  t2.join();
  EXPECT_EQ(a.bytes(), ref.bytes());
  EXPECT_EQ(b.bytes(), ref.bytes());
}

}  // namespace
