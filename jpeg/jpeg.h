#pragma once
// JPEG encoding and decoding of screen images (libjpeg-turbo underneath).
#include <cstdint>
#include <vector>

#include "core/works.h"

// Encodes the display's drawing buffer (32-bit pixels, the fourth byte
// ignored) as a baseline JPEG of quality works->jpegQuality, 4:2:0. size: in,
// the capacity of out; on return, the JPEG's length. Returns 0, or -1 when
// there is no 32-bit display or the image does not fit (out then holds
// nothing usable).
int Compress(Works *works, uint8_t *out, unsigned long *size);
// Decodes a JPEG into the display's drawing buffer, pixel bytes in the order
// Compress took them. A decode failure or an image of another size than the
// display leaves the buffer unchanged. Returns 0 or -1.
int Uncompress(Works *works, const uint8_t *jpeg, unsigned long length);

// The same codec for callers without a display record: 32-bit pixels of
// width x height (rows without gaps) to a JPEG of the given quality, 4:2:0.
// Returns 0 or -1.
int JpegEncodePixels(const uint8_t *pixels, int width, int height, int quality,
                     std::vector<uint8_t> *out);
// Decodes a JPEG into 32-bit pixels; width and height are set. Returns 0 or -1.
// Images of up to 4096 x 4096 are decoded: for trusted images only.
int JpegDecodePixels(const uint8_t *jpeg, unsigned long length, std::vector<uint8_t> *pixels,
                     int *width, int *height);
// Decodes a JPEG from outside only when its header announces exactly width
// x height (read before anything is decoded or allocated). Returns 0 or -1.
int JpegDecodeSized(const uint8_t *jpeg, unsigned long length, int width, int height,
                    std::vector<uint8_t> *pixels);
