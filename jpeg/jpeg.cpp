// Screen images as baseline JPEG through the TurboJPEG API of libjpeg-turbo.
//
// Pixels are taken and given back as blue, green, red, pad (the display's
// 32-bit layout), so the JPEG itself holds the right colours and two displays
// of one format exchange images unchanged. Each thread keeps its own codec
// handles and scratch buffers: a screen a second must not cost an allocation.
#include "jpeg/jpeg.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cstring>

#include "display/display.h"
#include "platform/log.h"

namespace {

constexpr int kPixelFormat = TJPF_BGRX;
constexpr int kSubsampling = TJSAMP_420;
// The largest image a decoder accepts from outside: far above any display,
// far below a size whose buffer could exhaust the memory of the unit.
constexpr int kMaxSide = 4096;

struct Codec {
  tjhandle encoder = nullptr;
  tjhandle decoder = nullptr;
  std::vector<uint8_t> jpeg;    // encoder output when the caller's buffer is short
  std::vector<uint8_t> pixels;  // decoder output, copied out only on success
  ~Codec() {
    if (encoder) tjDestroy(encoder);
    if (decoder) tjDestroy(decoder);
  }
};

Codec &codec() {
  thread_local Codec c;
  return c;
}

tjhandle encoder() {
  Codec &c = codec();
  if (!c.encoder) c.encoder = tjInitCompress();
  return c.encoder;
}

tjhandle decoder() {
  Codec &c = codec();
  if (!c.decoder) c.decoder = tjInitDecompress();
  return c.decoder;
}

int clampQuality(int quality) {
  return std::clamp(quality, 1, 100);
}

// Encodes into out (capacity *size). The library assumes a buffer of at
// least tjBufSize bytes whenever it may not reallocate, whatever *size says,
// so a smaller buffer is filled through the thread's scratch buffer instead.
int encode(const uint8_t *pixels, int width, int pitch, int height, int quality, uint8_t *out,
           unsigned long *size) {
  tjhandle h = encoder();
  if (!h || !pixels || !out || !size || width <= 0 || height <= 0 || width > 65535 ||
      height > 65535)
    return -1;
  const unsigned long worst = tjBufSize(width, height, kSubsampling);
  if (worst == static_cast<unsigned long>(-1)) return -1;
  const int flags = TJFLAG_NOREALLOC;
  if (*size >= worst) {
    unsigned char *dest = out;
    unsigned long length = *size;
    if (tjCompress2(h, pixels, width, pitch, height, kPixelFormat, &dest, &length, kSubsampling,
                    quality, flags) != 0) {
      LogErr("JPEG encoding failed: %s", tjGetErrorStr2(h));
      return -1;
    }
    *size = length;
    return 0;
  }
  std::vector<uint8_t> &scratch = codec().jpeg;
  if (scratch.size() < worst) scratch.resize(worst);
  unsigned char *dest = scratch.data();
  unsigned long length = scratch.size();
  if (tjCompress2(h, pixels, width, pitch, height, kPixelFormat, &dest, &length, kSubsampling,
                  quality, flags) != 0) {
    LogErr("JPEG encoding failed: %s", tjGetErrorStr2(h));
    return -1;
  }
  if (length > *size) return -1;
  memcpy(out, scratch.data(), length);
  *size = length;
  return 0;
}

// Decodes into the thread's pixel buffer (width x height x 4 bytes) after
// checking the header (and, when wantWidth is not 0, the image's size); any
// warning (truncated or damaged data) is a failure.
int decode(const uint8_t *jpeg, unsigned long length, int wantWidth, int wantHeight, int *width,
           int *height) {
  tjhandle h = decoder();
  if (!h || !jpeg || length == 0) return -1;
  int w = 0;
  int ht = 0;
  int subsampling = 0;
  int colourspace = 0;
  if (tjDecompressHeader3(h, jpeg, length, &w, &ht, &subsampling, &colourspace) != 0) return -1;
  if (w <= 0 || ht <= 0 || w > kMaxSide || ht > kMaxSide) return -1;
  if (wantWidth != 0 && (w != wantWidth || ht != wantHeight)) return -1;
  std::vector<uint8_t> &pixels = codec().pixels;
  const size_t bytes = static_cast<size_t>(w) * ht * 4;
  if (pixels.size() < bytes) pixels.resize(bytes);
  if (tjDecompress2(h, jpeg, length, pixels.data(), w, w * 4, ht, kPixelFormat,
                    TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS) != 0)
    return -1;
  // The decoder fills the fourth byte; the display's pixels carry 0 there.
  for (size_t i = 3; i < bytes; i += 4) pixels[i] = 0;
  *width = w;
  *height = ht;
  return 0;
}

}  // namespace

int Compress(Works *works, uint8_t *out, unsigned long *size) {
  if (!works || !size) return -1;
  const FrameBuffer *fb = works->fb;
  if (!fb || fb->pixelBytes != 4 || !fb->back) return -1;
  return encode(fb->back, static_cast<int>(fb->width), fb->lineBytes, static_cast<int>(fb->height),
                clampQuality(works->jpegQuality), out, size);
}

int Uncompress(Works *works, const uint8_t *jpeg, unsigned long length) {
  if (!works) return -1;
  FrameBuffer *fb = works->fb;
  if (!fb || fb->pixelBytes != 4 || !fb->back || fb->width == 0 || fb->height == 0) return -1;
  int width = 0;
  int height = 0;
  if (decode(jpeg, length, static_cast<int>(fb->width), static_cast<int>(fb->height), &width,
             &height) != 0)
    return -1;
  const uint8_t *pixels = codec().pixels.data();
  for (int y = 0; y < height; ++y)
    memcpy(fb->back + static_cast<size_t>(y) * fb->lineBytes,
           pixels + static_cast<size_t>(y) * width * 4, static_cast<size_t>(width) * 4);
  return 0;
}

int JpegEncodePixels(const uint8_t *pixels, int width, int height, int quality,
                     std::vector<uint8_t> *out) {
  if (!out || width <= 0 || height <= 0 || width > 65535 || height > 65535) return -1;
  const unsigned long worst = tjBufSize(width, height, kSubsampling);
  if (worst == static_cast<unsigned long>(-1)) return -1;
  // A reused vector keeps its capacity, so steady encoding allocates nothing.
  out->resize(worst);
  unsigned long size = worst;
  if (encode(pixels, width, width * 4, height, clampQuality(quality), out->data(), &size) != 0) {
    out->clear();
    return -1;
  }
  out->resize(size);
  return 0;
}

int JpegDecodePixels(const uint8_t *jpeg, unsigned long length, std::vector<uint8_t> *pixels,
                     int *width, int *height) {
  if (!pixels || !width || !height) return -1;
  int w = 0;
  int h = 0;
  if (decode(jpeg, length, 0, 0, &w, &h) != 0) return -1;
  const std::vector<uint8_t> &decoded = codec().pixels;
  pixels->assign(decoded.begin(), decoded.begin() + static_cast<ptrdiff_t>(w) * h * 4);
  *width = w;
  *height = h;
  return 0;
}

int JpegDecodeSized(const uint8_t *jpeg, unsigned long length, int width, int height,
                    std::vector<uint8_t> *pixels) {
  if (!pixels || width <= 0 || height <= 0) return -1;
  int w = 0;
  int h = 0;
  if (decode(jpeg, length, width, height, &w, &h) != 0) return -1;
  const std::vector<uint8_t> &decoded = codec().pixels;
  pixels->assign(decoded.begin(), decoded.begin() + static_cast<ptrdiff_t>(w) * h * 4);
  return 0;
}
