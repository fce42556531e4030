// Text: TrueType faces in numbered slots, strict UTF-8 decoding, and the
// blend of rendered glyphs into the drawing buffer.
//
// FreeType faces are not thread-safe and a face's glyph slot is overwritten by
// every load, so every use of FreeType and of the glyph cache runs under one
// lock. Rendered glyphs are kept per slot and code point: a frame calls
// FreeType only for characters it has never drawn before.
#include <ft2build.h>
#include FT_FREETYPE_H

#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "display/display.h"
#include "display/fb_pixel.h"
#include "platform/log.h"

namespace {

// One rendered glyph: its coverage bitmap (rows of width bytes, top row
// first), the metrics the blend places it by, and its advance.
struct Glyph {
  bool loaded = false;  // false: FreeType could not load it, the character is skipped
  int width = 0;
  int rows = 0;
  FT_Pos height = 0;    // metrics.height, 26.6
  FT_Pos bearingY = 0;  // metrics.horiBearingY, 26.6
  FT_Vector advance = {0, 0};
  std::vector<uint8_t> bitmap;
};

struct SlotCache {
  // Most text on the screens is ASCII and Latin-1; those sit in a table.
  std::unique_ptr<Glyph> low[256];
  std::unordered_map<uint32_t, Glyph> high;
  void clear() {
    for (auto &g : low) g.reset();
    high.clear();
  }
};

std::mutex gFreeTypeMutex;
FT_Library library = nullptr;
FT_Face face[kFontSlots] = {};
FT_GlyphSlot slot[kFontSlots] = {};
int fontSize[kFontSlots] = {};
SlotCache gCache[kFontSlots];
bool gCacheEnabled = true;

bool usable(int slotIndex) {
  return slotIndex >= 0 && slotIndex < kFontSlots && face[slotIndex] != nullptr;
}

// Loads and renders a glyph the way the drawing has always done it: the pen
// as the transform's offset, an 8-bit coverage bitmap. Returns false when the
// character has to be skipped.
bool loadGlyph(int slotIndex, uint32_t codePoint, FT_Vector pen) {
  FT_Matrix identity = {0x10000, 0, 0, 0x10000};
  FT_Set_Transform(face[slotIndex], &identity, &pen);
  return FT_Load_Char(face[slotIndex], codePoint, FT_LOAD_RENDER) == 0;
}

// The top row of a bitmap; the pitch steps one row down whatever its sign.
const uint8_t *topRow(const FT_Bitmap &bm) {
  if (bm.pitch >= 0 || bm.rows == 0) return bm.buffer;
  return bm.buffer - static_cast<long>(bm.rows - 1) * bm.pitch;
}

// Blends one coverage bitmap into the drawing buffer: row i counted from the
// bottom lands at (pen.y + height - bearingY) / 64 - i, byte j at pen.x / 64 + j.
void blendGlyph(FrameBuffer *fb, FT_Vector pen, const uint8_t *bitmap, int width, int rows,
                int pitch, FT_Pos height, FT_Pos bearingY, int r, int g, int b) {
  const long size = fb->size;
  const int pb = fb->pixelBytes;
  const long x0 = pen.x / 64;
  const long yBottom = (pen.y + height - bearingY) / 64;
  const uint8_t cb = static_cast<uint8_t>(b), cg = static_cast<uint8_t>(g),
                cr = static_cast<uint8_t>(r);
  for (int i = 0; i < rows; ++i) {
    const uint8_t *src = bitmap + static_cast<long>(rows - 1 - i) * pitch;
    const long rowOff = (yBottom - i) * fb->lineBytes;
    for (int j = 0; j < width; ++j) {
      const long off = rowOff + (x0 + j) * pb;
      const unsigned a = src[j];
      if (pb == 4) {
        if (off < 0 || off + 3 >= size) continue;
        uint8_t *p = fb->back + off;
        if (a == 0) {
          p[3] = 0;
          continue;
        }
        p[0] = static_cast<uint8_t>(p[0] * (255 - a) / 255 + (cb & a));
        p[1] = static_cast<uint8_t>(p[1] * (255 - a) / 255 + (cg & a));
        p[2] = static_cast<uint8_t>(p[2] * (255 - a) / 255 + (cr & a));
        p[3] = 0;
      } else if (pb == 2) {
        // Same rule on the colour an RGB565 pixel stands for.
        if (off < 0 || off + 1 >= size || a == 0) continue;
        uint8_t *p = fb->back + off;
        int or_, og, ob;
        Unpack16(LoadPixel16(p), &or_, &og, &ob);
        StorePixel16(p, Pixel16(static_cast<int>(or_ * (255 - a) / 255 + (cr & a)),
                                static_cast<int>(og * (255 - a) / 255 + (cg & a)),
                                static_cast<int>(ob * (255 - a) / 255 + (cb & a))));
      }
    }
  }
}

// The cached rendering of a code point, filled on first use. The pen must lie
// on a whole pixel: the bitmap FreeType renders is then the same wherever the
// pen is, so one copy serves every position.
const Glyph *cachedGlyph(int slotIndex, uint32_t codePoint, FT_Vector pen) {
  SlotCache &cache = gCache[slotIndex];
  Glyph *glyph;
  if (codePoint < 256) {
    if (cache.low[codePoint]) return cache.low[codePoint].get();
    cache.low[codePoint] = std::make_unique<Glyph>();
    glyph = cache.low[codePoint].get();
  } else {
    auto it = cache.high.find(codePoint);
    if (it != cache.high.end()) return &it->second;
    glyph = &cache.high[codePoint];
  }
  if (!loadGlyph(slotIndex, codePoint, pen)) return glyph;
  FT_GlyphSlot gs = slot[slotIndex];
  glyph->loaded = true;
  glyph->width = static_cast<int>(gs->bitmap.width);
  glyph->rows = static_cast<int>(gs->bitmap.rows);
  glyph->height = gs->metrics.height;
  glyph->bearingY = gs->metrics.horiBearingY;
  glyph->advance = gs->advance;
  glyph->bitmap.resize(static_cast<size_t>(glyph->width) * glyph->rows);
  const uint8_t *top = topRow(gs->bitmap);
  for (int row = 0; row < glyph->rows; ++row) {
    const uint8_t *src = top + static_cast<long>(row) * gs->bitmap.pitch;
    memcpy(glyph->bitmap.data() + static_cast<size_t>(row) * glyph->width, src,
           static_cast<size_t>(glyph->width));
  }
  return glyph;
}

}  // namespace

int TTFLoad(const char *file, int pixelSize, int slotIndex) {
  std::lock_guard<std::mutex> lock(gFreeTypeMutex);
  LogInfo("Iinitializing FreeType");
  // One library for every face: a library per call would only be leaked.
  if (library == nullptr && FT_Init_FreeType(&library) != 0) {
    LogErr("Error initializing FreeType");
    library = nullptr;
    return -1;
  }
  if (slotIndex < 0 || slotIndex >= kFontSlots || file == nullptr) return -1;
  if (face[slotIndex] != nullptr) {
    FT_Done_Face(face[slotIndex]);
    face[slotIndex] = nullptr;
    slot[slotIndex] = nullptr;
  }
  gCache[slotIndex].clear();
  LogInfo("Loading face: filename=%s", file);
  FT_Face f = nullptr;
  FT_Error err = FT_New_Face(library, file, 0, &f);
  if (err != 0) {
    LogErr(err == FT_Err_Unknown_File_Format ? "FreeType: file format not supported"
                                             : "FreeType: file error");
    return -1;
  }
  LogInfo("Face loaded");
  if (FT_Set_Pixel_Sizes(f, 0, static_cast<FT_UInt>(pixelSize)) != 0) {
    LogErr("Error Setting Pixel Size");
    FT_Done_Face(f);
    return -1;
  }
  LogInfo("Pixel size sat");
  face[slotIndex] = f;
  slot[slotIndex] = f->glyph;
  fontSize[slotIndex] = pixelSize;
  return 0;
}

void TTFSetGlyphCache(bool enabled) {
  std::lock_guard<std::mutex> lock(gFreeTypeMutex);
  gCacheEnabled = enabled;
  for (auto &c : gCache) c.clear();
}

int utf8_get_next_char(const char *text, int length, int *position, int *valid,
                       uint32_t *codePoint) {
  const int pos = *position;
  if (pos >= length) return -1;
  const auto *s = reinterpret_cast<const unsigned char *>(text);
  auto at = [&](int i) -> int { return pos + i < length ? s[pos + i] : -1; };
  auto cont = [](int c) { return c >= 0x80 && c <= 0xBF; };
  *valid = 0;
  *codePoint = 0;
  int advance = 1;
  const int c0 = s[pos];
  if (c0 < 0x80) {
    *valid = 1;
    *codePoint = static_cast<uint32_t>(c0);
  } else if (c0 >= 0xC2 && c0 <= 0xDF) {
    if (cont(at(1))) {
      *valid = 1;
      *codePoint = static_cast<uint32_t>((c0 & 0x1F) << 6 | (at(1) & 0x3F));
      advance = 2;
    }
  } else if (c0 >= 0xE0 && c0 <= 0xEF) {
    const int c1 = at(1);
    const int lo = c0 == 0xE0 ? 0xA0 : 0x80, hi = c0 == 0xED ? 0x9F : 0xBF;
    if (c1 >= lo && c1 <= hi) {
      advance = 2;
      if (cont(at(2))) {
        *valid = 1;
        *codePoint = static_cast<uint32_t>((c0 & 0x0F) << 12 | (c1 & 0x3F) << 6 | (at(2) & 0x3F));
        advance = 3;
      }
    }
  } else if (c0 >= 0xF0 && c0 <= 0xF4) {
    const int c1 = at(1);
    const int lo = c0 == 0xF0 ? 0x90 : 0x80, hi = c0 == 0xF4 ? 0x8F : 0xBF;
    if (c1 >= lo && c1 <= hi) {
      advance = 2;
      if (cont(at(2))) {
        advance = 3;
        if (cont(at(3))) {
          *valid = 1;
          *codePoint = static_cast<uint32_t>((c0 & 0x07) << 18 | (c1 & 0x3F) << 12 |
                                             (at(2) & 0x3F) << 6 | (at(3) & 0x3F));
          advance = 4;
        }
      }
    }
  }
  *position = pos + advance;
  return 1;
}

int utf8_length(const char *text, int length) {
  int n = 0, pos = 0, valid;
  uint32_t cp;
  while (utf8_get_next_char(text, length, &pos, &valid, &cp) == 1) ++n;
  return n;
}

void putString(int slotIndex, int x, int y, const char *text, int r, int g, int b,
               FrameBuffer *fb) {
  if (fb == nullptr || text == nullptr) return;
  std::lock_guard<std::mutex> lock(gFreeTypeMutex);
  if (!usable(slotIndex)) return;
  const int length = static_cast<int>(strlen(text));
  FT_Vector pen = {static_cast<FT_Pos>(x) * 64, static_cast<FT_Pos>(y) * 64};
  int pos = 0, valid;
  uint32_t cp;
  while (utf8_get_next_char(text, length, &pos, &valid, &cp) == 1) {
    if (gCacheEnabled && (pen.x & 63) == 0 && (pen.y & 63) == 0) {
      const Glyph *glyph = cachedGlyph(slotIndex, cp, pen);
      if (!glyph->loaded) continue;
      blendGlyph(fb, pen, glyph->bitmap.data(), glyph->width, glyph->rows, glyph->width,
                 glyph->height, glyph->bearingY, r, g, b);
      pen.x += glyph->advance.x;
      pen.y += glyph->advance.y;
      continue;
    }
    if (!loadGlyph(slotIndex, cp, pen)) continue;
    FT_GlyphSlot gs = slot[slotIndex];
    blendGlyph(fb, pen, topRow(gs->bitmap), static_cast<int>(gs->bitmap.width),
               static_cast<int>(gs->bitmap.rows), gs->bitmap.pitch, gs->metrics.height,
               gs->metrics.horiBearingY, r, g, b);
    pen.x += gs->advance.x;
    pen.y += gs->advance.y;
  }
}

int getStringSpace(int slotIndex, const char *text) {
  if (text == nullptr) return 0;
  std::lock_guard<std::mutex> lock(gFreeTypeMutex);
  if (!usable(slotIndex)) return 0;
  const int length = static_cast<int>(strlen(text));
  FT_Vector pen = {0, 0};
  int pos = 0, valid;
  uint32_t cp;
  while (utf8_get_next_char(text, length, &pos, &valid, &cp) == 1) {
    if (gCacheEnabled && (pen.x & 63) == 0 && (pen.y & 63) == 0) {
      const Glyph *glyph = cachedGlyph(slotIndex, cp, pen);
      if (!glyph->loaded) continue;
      pen.x += glyph->advance.x;
      pen.y += glyph->advance.y;
      continue;
    }
    if (!loadGlyph(slotIndex, cp, pen)) continue;
    pen.x += slot[slotIndex]->advance.x;
    pen.y += slot[slotIndex]->advance.y;
  }
  return static_cast<int>(pen.x / 64);
}
