// Draws the screen images the program loads as backgrounds: the splash, the
// meter faces, the status pages and the spectrum page, as 800 x 480 RGBA PNGs.
//
//   ombrix_draw_screens OUTDIR FONTDIR_DEJAVU FONTDIR_PARATYPE
//
// The meter scales are laid out with the very needle geometry the refresh
// loop uses, so a needle points at the mark of the value it shows.
#include <ft2build.h>
#include FT_FREETYPE_H
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr int W = 800, H = 480;

struct Color {
  float r, g, b;
};
Color rgb(int r, int g, int b) {
  return {r / 255.0f, g / 255.0f, b / 255.0f};
}
Color mix(Color a, Color b, float t) {
  return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

float clamp01(float v) {
  return v < 0 ? 0 : v > 1 ? 1 : v;
}
float smooth(float e0, float e1, float x) {
  float t = clamp01((x - e0) / (e1 - e0));
  return t * t * (3 - 2 * t);
}

// Deterministic value noise, for the brushed metal and the paper grain.
float hash(int x, int y) {
  uint32_t h = static_cast<uint32_t>(x) * 374761393u + static_cast<uint32_t>(y) * 668265263u;
  h = (h ^ (h >> 13)) * 1274126177u;
  return static_cast<float>((h ^ (h >> 16)) & 0xFFFF) / 65535.0f;
}

struct Canvas {
  std::vector<Color> px = std::vector<Color>(W * H, Color{0, 0, 0});
  void blend(int x, int y, Color c, float a) {
    if (x < 0 || y < 0 || x >= W || y >= H || a <= 0) return;
    Color &p = px[y * W + x];
    p = mix(p, c, clamp01(a));
  }
  // Paints every pixel of the box through a shader.
  void shade(int x0, int y0, int x1, int y1, const std::function<Color(int, int, Color)> &f) {
    for (int y = std::max(0, y0); y < std::min(H, y1); ++y)
      for (int x = std::max(0, x0); x < std::min(W, x1); ++x)
        px[y * W + x] = f(x, y, px[y * W + x]);
  }
  // Fills the shape whose signed distance (pixels, negative inside) is d.
  void fill(float bx0, float by0, float bx1, float by1, const std::function<float(float, float)> &d,
            Color c, float alpha = 1) {
    for (int y = static_cast<int>(by0) - 2; y <= static_cast<int>(by1) + 2; ++y)
      for (int x = static_cast<int>(bx0) - 2; x <= static_cast<int>(bx1) + 2; ++x)
        blend(x, y, c, alpha * clamp01(0.5f - d(x + 0.5f, y + 0.5f)));
  }
  bool save(const std::string &path) const;
};

bool Canvas::save(const std::string &path) const {
  FILE *fp = fopen(path.c_str(), "wb");
  if (fp == nullptr) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (png == nullptr || info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    fclose(fp);
    return false;
  }
  png_init_io(png, fp);
  png_set_IHDR(png, info, W, H, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  std::vector<png_byte> row(W * 4);
  for (int y = 0; y < H; ++y) {
    for (int x = 0; x < W; ++x) {
      const Color &c = px[y * W + x];
      // A touch of dither keeps the gradients free of bands.
      float d = (hash(x * 7, y * 13) - 0.5f) / 255.0f;
      row[x * 4 + 0] = static_cast<png_byte>(std::lround(clamp01(c.r + d) * 255));
      row[x * 4 + 1] = static_cast<png_byte>(std::lround(clamp01(c.g + d) * 255));
      row[x * 4 + 2] = static_cast<png_byte>(std::lround(clamp01(c.b + d) * 255));
      row[x * 4 + 3] = 255;
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return fclose(fp) == 0;
}

// ---- Shapes (signed distances)
float dRoundRect(float x, float y, float x0, float y0, float x1, float y1, float r) {
  float cx = (x0 + x1) / 2, cy = (y0 + y1) / 2, hx = (x1 - x0) / 2 - r, hy = (y1 - y0) / 2 - r;
  float qx = std::fabs(x - cx) - hx, qy = std::fabs(y - cy) - hy;
  float ox = std::max(qx, 0.0f), oy = std::max(qy, 0.0f);
  return std::sqrt(ox * ox + oy * oy) + std::min(std::max(qx, qy), 0.0f) - r;
}
float dSegment(float x, float y, float ax, float ay, float bx, float by) {
  float px = x - ax, py = y - ay, vx = bx - ax, vy = by - ay;
  float t = clamp01((px * vx + py * vy) / (vx * vx + vy * vy + 1e-9f));
  float dx = px - vx * t, dy = py - vy * t;
  return std::sqrt(dx * dx + dy * dy);
}

void roundRect(Canvas &c, float x0, float y0, float x1, float y1, float r, Color col, float a = 1) {
  c.fill(
      x0, y0, x1, y1, [=](float x, float y) { return dRoundRect(x, y, x0, y0, x1, y1, r); }, col,
      a);
}
void roundRectOutline(Canvas &c, float x0, float y0, float x1, float y1, float r, float w,
                      Color col, float a = 1) {
  c.fill(
      x0 - w, y0 - w, x1 + w, y1 + w,
      [=](float x, float y) { return std::fabs(dRoundRect(x, y, x0, y0, x1, y1, r)) - w / 2; }, col,
      a);
}
void line(Canvas &c, float ax, float ay, float bx, float by, float w, Color col, float a = 1) {
  c.fill(
      std::min(ax, bx) - w, std::min(ay, by) - w, std::max(ax, bx) + w, std::max(ay, by) + w,
      [=](float x, float y) { return dSegment(x, y, ax, ay, bx, by) - w / 2; }, col, a);
}
void disc(Canvas &c, float cx, float cy, float r, Color col, float a = 1) {
  c.fill(
      cx - r, cy - r, cx + r, cy + r,
      [=](float x, float y) { return std::hypot(x - cx, y - cy) - r; }, col, a);
}

// A stroke along a polyline, covered once (no darker joints).
void polyline(Canvas &c, const std::vector<std::pair<float, float>> &pts, float w, Color col,
              float a = 1) {
  if (pts.size() < 2) return;
  float x0 = 1e9f, y0 = 1e9f, x1 = -1e9f, y1 = -1e9f;
  for (auto &p : pts) {
    x0 = std::min(x0, p.first);
    y0 = std::min(y0, p.second);
    x1 = std::max(x1, p.first);
    y1 = std::max(y1, p.second);
  }
  c.fill(
      x0 - w, y0 - w, x1 + w, y1 + w,
      [&](float x, float y) {
        float d = 1e9f;
        for (size_t i = 0; i + 1 < pts.size(); ++i)
          d = std::min(
              d, dSegment(x, y, pts[i].first, pts[i].second, pts[i + 1].first, pts[i + 1].second));
        return d - w / 2;
      },
      col, a);
}

// ---- Text
struct Font {
  FT_Face face = nullptr;
};
FT_Library gLib;

enum Align { LEFT, CENTER, RIGHT };

// Code points of a UTF-8 text (the images use only well-formed text).
std::vector<uint32_t> codePoints(const std::string &s) {
  std::vector<uint32_t> out;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    int n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    uint32_t cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
    for (int k = 1; k < n && i + k < s.size(); ++k) cp = cp << 6 | (s[i + k] & 0x3F);
    out.push_back(cp);
    i += n;
  }
  return out;
}

float textWidth(const Font &f, int size, const std::string &s, float spacing = 0) {
  FT_Set_Pixel_Sizes(f.face, 0, size);
  float w = 0;
  auto cps = codePoints(s);
  for (size_t i = 0; i < cps.size(); ++i) {
    if (FT_Load_Char(f.face, cps[i], FT_LOAD_DEFAULT) != 0) continue;
    w += f.face->glyph->advance.x / 64.0f + (i + 1 < cps.size() ? spacing : 0);
  }
  return w;
}

// Draws text with its baseline at y; x is its left end, centre or right end.
void text(Canvas &c, const Font &f, int size, float x, float y, const std::string &s, Color col,
          Align align = LEFT, float spacing = 0, float alpha = 1) {
  float w = textWidth(f, size, s, spacing);
  float pen = align == LEFT ? x : align == CENTER ? x - w / 2 : x - w;
  pen = std::round(pen);
  for (uint32_t cp : codePoints(s)) {
    if (FT_Load_Char(f.face, cp, FT_LOAD_RENDER) != 0) continue;
    FT_GlyphSlot g = f.face->glyph;
    for (unsigned r = 0; r < g->bitmap.rows; ++r)
      for (unsigned k = 0; k < g->bitmap.width; ++k) {
        float a = g->bitmap.buffer[r * g->bitmap.pitch + k] / 255.0f;
        c.blend(static_cast<int>(pen) + g->bitmap_left + static_cast<int>(k),
                static_cast<int>(y) - g->bitmap_top + static_cast<int>(r), col, a * alpha);
      }
    pen += g->advance.x / 64.0f + spacing;
  }
}

Font gSans, gSansBold, gPt, gPtBold, gCond;

// ---- Common parts of the screens

// Dark anodised panel with a faint horizontal brush.
void panelBackground(Canvas &c) {
  c.shade(0, 0, W, H, [](int x, int y, Color) {
    float t = static_cast<float>(y) / H;
    Color base = mix(rgb(40, 43, 48), rgb(20, 21, 24), t);
    float brush = (hash(y, 17) - 0.5f) * 0.012f + (hash(x / 3, y) - 0.5f) * 0.006f;
    return Color{base.r + brush, base.g + brush, base.b + brush};
  });
}

// The strip at the top that carries the clock line (white, right-aligned to 780).
void topStrip(Canvas &c, bool brand = true) {
  c.shade(0, 0, W, 25,
          [](int, int y, Color) { return mix(rgb(14, 15, 17), rgb(24, 26, 29), y / 25.0f); });
  line(c, 0, 25.5f, W, 25.5f, 1, rgb(70, 74, 80));
  line(c, 0, 26.5f, W, 26.5f, 1, rgb(8, 8, 9));
  if (brand) {
    text(c, gPtBold, 15, 14, 18, "OMBRIX", rgb(235, 140, 20), LEFT, 2.5f);
    text(c, gPt, 13, 92, 18, "HF LINEAR AMPLIFIER", rgb(150, 154, 160), LEFT, 1.2f);
  }
}

// Recessed band behind the two rows of parameter boxes.
void parameterBand(Canvas &c) {
  roundRect(c, -10, 274, W + 10, 337, 0, rgb(16, 17, 19));
  line(c, 0, 273.5f, W, 273.5f, 1, rgb(8, 8, 9));
  line(c, 0, 337.5f, W, 337.5f, 1, rgb(58, 61, 66));
}

// The recess under the key labels (the program paints the keys themselves).
void keyShelf(Canvas &c) {
  c.shade(0, 417, W, H, [](int, int, Color) { return rgb(12, 13, 14); });
}

// ---- Meter faces

constexpr double kPivotY = 260, kR = 200, kSide = 15;

// The tip of the needle for value v on a scale of `steps`, exactly as drawn.
void needleTip(double cx, double v, double steps, double *x, double *y) {
  double a = (0.24 - v * 0.48 / steps) * 3.141692653;
  *x = cx - kR * std::sin(a) + kSide * std::cos(a + 1.5708463265);
  *y = kPivotY - kR * std::cos(a) + kSide * std::sin(a + 1.5708463265);
}

// The point at fraction s of the way from the pivot to the needle's tip.
std::pair<float, float> onNeedle(double cx, double v, double steps, double s) {
  double tx, ty;
  needleTip(cx, v, steps, &tx, &ty);
  return {static_cast<float>(cx + (tx - cx) * s), static_cast<float>(kPivotY + (ty - kPivotY) * s)};
}

const Color kInk = rgb(28, 24, 20);
const Color kRed = rgb(196, 30, 24);

struct Mark {
  double steps;       // position on the needle's scale
  int kind;           // 0 minor, 1 medium, 2 major
  std::string label;  // major marks only
};

// One scale: the arc, a red zone, the marks and their numbers.
void scale(Canvas &c, double cx, double fullSteps, const std::vector<Mark> &marks, double redFrom,
           const std::string &unit) {
  constexpr double kArc = 0.905;
  std::vector<std::pair<float, float>> arc, red;
  for (double v = 0; v <= fullSteps + 1e-9; v += fullSteps / 240)
    arc.push_back(onNeedle(cx, v, fullSteps, kArc));
  if (redFrom < fullSteps)
    for (double v = redFrom; v <= fullSteps + 1e-9; v += fullSteps / 240)
      red.push_back(onNeedle(cx, v, fullSteps, kArc + 0.022));
  polyline(c, red, 6.5f, kRed, 0.9f);
  polyline(c, arc, 1.8f, kInk);
  for (const Mark &m : marks) {
    const double in[] = {0.875, 0.865, 0.85}, out[] = {0.93, 0.945, 0.955};
    const float w[] = {1.1f, 1.5f, 2.3f};
    auto a = onNeedle(cx, m.steps, fullSteps, in[m.kind]);
    auto b = onNeedle(cx, m.steps, fullSteps, out[m.kind]);
    line(c, a.first, a.second, b.first, b.second, w[m.kind],
         m.steps >= redFrom - 1e-9 && m.kind > 0 ? kRed : kInk);
    if (!m.label.empty()) {
      auto p = onNeedle(cx, m.steps, fullSteps, 0.775);
      const Color ink = m.steps > redFrom - 1e-9 ? kRed : kInk;
      if (m.label == "\u221E")
        text(c, gSansBold, 22, p.first, p.second + 7, m.label, ink, CENTER);
      else
        text(c, gPtBold, 17, p.first, p.second + 6, m.label, ink, CENTER);
      // The unit follows the number at full scale.
      if (!unit.empty() && m.steps >= fullSteps - 1e-9)
        text(c, gPt, 13, p.first + textWidth(gPtBold, 17, m.label) / 2 + 3, p.second + 6, unit,
             rgb(90, 80, 65));
    }
  }
}

// Marks of a power scale in watts on a meter whose full scale is `fullWatts` steps.
std::vector<Mark> wattMarks(int fullWatts) {
  std::vector<Mark> m;
  const int major = fullWatts / 6, minor = fullWatts / 30;
  for (int w = 0; w <= fullWatts; w += minor) {
    int kind = w % major == 0 ? 2 : (w % (major / 2) == 0 ? 1 : 0);
    m.push_back({static_cast<double>(w), kind, kind == 2 ? std::to_string(w) : ""});
  }
  return m;
}

// The SWR scale: marks where the needle stands for each ratio, by the same
// table the program converts with.
double swrSteps(double swr) {
  static const double t[12][2] = {{1.0, 0},  {1.5, 11}, {2.0, 20},  {3.0, 30},
                                  {4.0, 36}, {5.0, 40}, {6.0, 43},  {7.0, 45},
                                  {8.0, 47}, {9.0, 48}, {10.0, 50}, {100.0, 60}};
  if (swr < 1) return 0;
  if (swr >= 100) return 60;
  for (int i = 1; i < 12; ++i)
    if (t[i][0] > swr)
      return t[i - 1][1] + (t[i][1] - t[i - 1][1]) * (swr - t[i - 1][0]) / (t[i][0] - t[i - 1][0]);
  return 60;
}

std::vector<Mark> swrMarks() {
  std::vector<Mark> m;
  for (double s : {1.1, 1.2, 1.3, 1.4, 1.6, 1.7, 1.8, 1.9, 2.5, 3.5, 4.5, 7.0, 9.0, 20.0, 30.0})
    m.push_back({swrSteps(s), 0, ""});
  for (double s : {1.5, 2.0, 3.0, 4.0, 5.0, 6.0, 8.0, 10.0, 100.0}) {
    std::string l;
    if (s == 1.5)
      l = "1.5";
    else if (s == 100.0)
      l = "\u221E";
    else if (s == 6.0 || s == 8.0)
      l = "";
    else
      l = std::to_string(static_cast<int>(s));
    m.push_back({swrSteps(s), l.empty() ? 1 : 2, l});
  }
  m.push_back({swrSteps(1.0), 2, "1"});
  return m;
}

// The backlit window that holds both meters, the frequency and the TX lamp.
void meterWindow(Canvas &c) {
  const float x0 = 10, y0 = 30, x1 = 790, y1 = 268;
  // Bezel: a dark groove with a lit lower lip.
  roundRect(c, x0 - 6, y0 - 6, x1 + 6, y1 + 6, 14, rgb(6, 6, 7));
  roundRectOutline(c, x0 - 6, y0 - 6, x1 + 6, y1 + 6, 14, 1.2f, rgb(88, 92, 98), 0.8f);
  // Warm backlight, brightest behind the middle of each scale.
  c.shade(static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1) + 1,
          static_cast<int>(y1) + 1, [&](int x, int y, Color old) {
            float d = dRoundRect(x + 0.5f, y + 0.5f, x0, y0, x1, y1, 9);
            float cover = clamp01(0.5f - d);
            if (cover <= 0) return old;
            float l1 = std::hypot((x - 210) / 260.0f, (y - 150) / 190.0f);
            float l2 = std::hypot((x - 590) / 260.0f, (y - 150) / 190.0f);
            float glow = 1 - smooth(0.2f, 1.25f, std::min(l1, l2));
            Color face = mix(rgb(214, 196, 160), rgb(250, 241, 218), glow);
            float grain = (hash(x, y) - 0.5f) * 0.018f;
            face = {face.r + grain, face.g + grain, face.b + grain * 0.8f};
            // Inner shadow along the top edge of the window.
            float shadow = smooth(14, 0, y - y0) * 0.22f + smooth(8, 0, d + 8) * 0.1f;
            face = mix(face, rgb(60, 45, 25), shadow);
            return mix(old, face, cover);
          });
  // Frequency read-out above the scales.
  roundRect(c, 330, 33, 470, 60, 5, rgb(198, 182, 148), 0.55f);
  roundRectOutline(c, 330, 33, 470, 60, 5, 1, rgb(120, 100, 70), 0.6f);
  // The TX lamp, dark until the program lights it.
  roundRect(c, 374, 174, 430, 210, 4, rgb(120, 100, 80), 0.35f);
  roundRectOutline(c, 374, 174, 430, 210, 4, 1.2f, rgb(110, 90, 65), 0.7f);
  text(c, gPtBold, 15, 402, 198, "TX", rgb(110, 90, 65), CENTER, 1, 0.7f);
  // Between the meters, below the lamp.
  line(c, 400, 216, 400, 246, 1, rgb(150, 130, 100), 0.6f);
  text(c, gPtBold, 12, 400, 258, "OMBRIX", rgb(125, 108, 82), CENTER, 3);
  // Glass: a soft sheen across the upper part.
  c.shade(static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1) + 1, 120,
          [&](int x, int y, Color old) {
            float d = dRoundRect(x + 0.5f, y + 0.5f, x0, y0, x1, y1, 9);
            if (d > 0) return old;
            float band = smooth(120, 40, static_cast<float>(y) + (x - 400) * 0.05f) * 0.10f;
            return mix(old, rgb(255, 255, 255), band);
          });
}

void hub(Canvas &c, float cx) {
  disc(c, cx, 262, 17, rgb(20, 20, 22));
  disc(c, cx, 262, 13, rgb(52, 54, 58));
  disc(c, cx - 3, 259, 5, rgb(110, 114, 120), 0.5f);
}

// A main-screen background: meters over the parameter rows.
void meterScreen(Canvas &c, int fwdWatts, bool swrRight) {
  panelBackground(c);
  topStrip(c);
  meterWindow(c);
  scale(c, 210, fwdWatts, wattMarks(fwdWatts), fwdWatts + 1.0, "W");
  if (swrRight)
    scale(c, 590, 60, swrMarks(), swrSteps(3.0), "");
  else
    scale(c, 590, 60, wattMarks(60), 50, "W");
  hub(c, 210);
  hub(c, 590);
  parameterBand(c);
  keyShelf(c);
}

// ---- Pages

// Table pages (memory table, filter table, the main screen before the meters):
// stripes under the rows the program writes at y = 130 + 22 r.
void tablePage(Canvas &c) {
  panelBackground(c);
  topStrip(c);
  roundRect(c, 28, 66, 772, 362, 10, rgb(14, 15, 17));
  roundRectOutline(c, 28, 66, 772, 362, 10, 1.2f, rgb(70, 74, 80), 0.8f);
  line(c, 40, 107.5f, 760, 107.5f, 1, rgb(235, 140, 20), 0.6f);
  for (int r = 0; r < 11; ++r) {
    float top = 130 + 22 * r - 17, bottom = top + 22;
    if (r % 2 == 0) roundRect(c, 36, top, 764, bottom, 3, rgb(30, 32, 36), 0.9f);
  }
  keyShelf(c);
}

// The status information page: captions at x 5, values at x 180, rows at
// y = 110 + 22 i.
void statusPage(Canvas &c) {
  panelBackground(c);
  topStrip(c);
  text(c, gPtBold, 26, 400, 62, "SYSTEM STATUS", rgb(235, 140, 20), CENTER, 4);
  line(c, 250, 74.5f, 550, 74.5f, 1, rgb(235, 140, 20), 0.5f);
  roundRect(c, 0, 90, 800, 360, 0, rgb(14, 15, 17));
  roundRect(c, 0, 90, 172, 360, 0, rgb(26, 28, 32));
  for (int i = 0; i < 12; ++i) {
    float top = 110 + 22 * i - 17;
    if (i % 2 == 1) roundRect(c, 0, top, 800, top + 22, 0, rgb(255, 255, 255), 0.035f);
  }
  line(c, 172.5f, 90, 172.5f, 360, 1, rgb(235, 140, 20), 0.5f);
  line(c, 0, 89.5f, W, 89.5f, 1, rgb(70, 74, 80));
  line(c, 0, 360.5f, W, 360.5f, 1, rgb(70, 74, 80));
  keyShelf(c);
}

// The spectrum page: a dark screen behind the grid of x 70..758, y 60..230.
void spectrumPage(Canvas &c) {
  panelBackground(c);
  topStrip(c);
  roundRect(c, 4, 30, 796, 266, 10, rgb(6, 6, 7));
  roundRectOutline(c, 4, 30, 796, 266, 10, 1.2f, rgb(88, 92, 98), 0.8f);
  c.shade(64, 54, 765, 237, [](int x, int y, Color) {
    float t = (y - 54) / 183.0f;
    Color base = mix(rgb(10, 16, 28), rgb(4, 6, 12), t);
    float glow = std::exp(-std::pow((x - 414) / 300.0f, 2)) * 0.03f;
    return Color{base.r + glow * 0.4f, base.g + glow * 0.7f, base.b + glow};
  });
  roundRectOutline(c, 64, 54, 764, 236, 2, 1, rgb(60, 70, 90), 0.8f);
  parameterBand(c);
  keyShelf(c);
}

// The splash: also the screen saver, and the screen behind "Loading ..." at
// (300, 400) and the closing message at (330, 400).
void splash(Canvas &c, const char *power) {
  c.shade(0, 0, W, H, [](int x, int y, Color) {
    float d = std::hypot((x - 400) / 520.0f, (y - 190) / 380.0f);
    Color base = mix(rgb(34, 38, 46), rgb(8, 9, 11), smooth(0.0f, 1.1f, d));
    float brush = (hash(y, 5) - 0.5f) * 0.01f;
    return Color{base.r + brush, base.g + brush, base.b + brush};
  });
  // A meter arc as the emblem.
  std::vector<std::pair<float, float>> arc, hot;
  for (int i = 0; i <= 200; ++i) {
    double a = 3.14159265 * (0.78 - 0.56 * i / 200.0);
    float x = static_cast<float>(400 + 170 * std::cos(a)),
          y = static_cast<float>(250 - 170 * std::sin(a));
    arc.push_back({x, y});
    if (i >= 150) hot.push_back({x, y});
  }
  polyline(c, arc, 3, rgb(170, 174, 182), 0.9f);
  polyline(c, hot, 7, rgb(235, 140, 20));
  for (int i = 0; i <= 10; ++i) {
    double a = 3.14159265 * (0.78 - 0.56 * i / 10.0);
    float r0 = i % 5 == 0 ? 150.0f : 158.0f;
    line(c, static_cast<float>(400 + r0 * std::cos(a)), static_cast<float>(250 - r0 * std::sin(a)),
         static_cast<float>(400 + 166 * std::cos(a)), static_cast<float>(250 - 166 * std::sin(a)),
         i % 5 == 0 ? 3.0f : 2.0f, i >= 8 ? rgb(235, 140, 20) : rgb(170, 174, 182));
  }
  text(c, gPtBold, 86, 400, 236, "OMBRIX", rgb(238, 240, 244), CENTER, 10);
  line(c, 230, 258.5f, 570, 258.5f, 1.2f, rgb(235, 140, 20), 0.9f);
  text(c, gPt, 19, 400, 290, "HF LINEAR AMPLIFIER  \u00B7  AUTOMATIC ANTENNA TUNER",
       rgb(178, 182, 190), CENTER, 2.2f);
  roundRect(c, 350, 310, 450, 340, 6, rgb(235, 140, 20));
  text(c, gPtBold, 20, 400, 332, power, rgb(20, 20, 22), CENTER, 1.5f);
}

bool loadFont(Font &f, const std::string &path) {
  if (FT_New_Face(gLib, path.c_str(), 0, &f.face) != 0) {
    fprintf(stderr, "draw_screens: cannot load %s\n", path.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s OUTDIR DEJAVU_DIR PARATYPE_DIR\n", argv[0]);
    return 2;
  }
  const std::string out = argv[1], dejavu = argv[2], pt = argv[3];
  if (FT_Init_FreeType(&gLib) != 0) return 1;
  if (!loadFont(gSans, dejavu + "/DejaVuSans.ttf") ||
      !loadFont(gSansBold, dejavu + "/DejaVuSans-Bold.ttf") || !loadFont(gPt, pt + "/PTS55F.ttf") ||
      !loadFont(gPtBold, pt + "/PTS75F.ttf"))
    return 1;

  struct Job {
    const char *name;
    std::function<void(Canvas &)> draw;
  };
  const Job jobs[] = {
      {"start", [](Canvas &c) { splash(c, "60 W"); }},
      {"start120", [](Canvas &c) { splash(c, "120 W"); }},
      {"img1", [](Canvas &c) { meterScreen(c, 60, false); }},
      {"img1b", [](Canvas &c) { meterScreen(c, 120, false); }},
      {"img3", [](Canvas &c) { meterScreen(c, 60, true); }},
      {"img3b", [](Canvas &c) { meterScreen(c, 120, true); }},
      {"statusB", tablePage},
      {"status", statusPage},
      {"m5a", spectrumPage},
  };
  for (const Job &j : jobs) {
    Canvas c;
    j.draw(c);
    std::string path = out + "/" + j.name + ".png";
    if (!c.save(path)) {
      fprintf(stderr, "draw_screens: cannot write %s\n", path.c_str());
      return 1;
    }
  }
  FT_Done_FreeType(gLib);  // closes every face too
  return 0;
}
