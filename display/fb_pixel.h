#pragma once
// Pixel encodings of the framebuffer, shared by the drawing code.
#include <bit>
#include <cstdint>

static_assert(std::endian::native == std::endian::little,
              "pixels are composed as little-endian words");

// 32 bits: bytes blue, green, red, 0.
inline uint32_t Pixel32(int r, int g, int b) {
  return static_cast<uint32_t>(b & 0xFF) | static_cast<uint32_t>(g & 0xFF) << 8 |
         static_cast<uint32_t>(r & 0xFF) << 16;
}

// 16 bits, RGB565: first byte (green >> 2) << 5 | blue >> 3, second byte
// (red & 0xF8) | green >> 5.
inline uint16_t Pixel16(int r, int g, int b) {
  uint8_t lo = static_cast<uint8_t>((((g & 0xFF) >> 2) << 5) | ((b & 0xFF) >> 3));
  uint8_t hi = static_cast<uint8_t>((r & 0xF8) | ((g & 0xFF) >> 5));
  return static_cast<uint16_t>(lo | hi << 8);
}

inline void StorePixel16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v & 0xFF);
  p[1] = static_cast<uint8_t>(v >> 8);
}

inline uint16_t LoadPixel16(const uint8_t *p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// The colour an RGB565 pixel stands for, each component widened to 8 bits.
inline void Unpack16(uint16_t v, int *r, int *g, int *b) {
  int r5 = (v >> 11) & 0x1F, g6 = (v >> 5) & 0x3F, b5 = v & 0x1F;
  *r = (r5 << 3) | (r5 >> 2);
  *g = (g6 << 2) | (g6 >> 4);
  *b = (b5 << 3) | (b5 >> 2);
}
