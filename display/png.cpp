// Full-screen PNG pictures decoded into the background buffer.
//
// The picture is decoded completely into row buffers first and copied to the
// background only when everything went well, so a broken file never leaves a
// half-replaced background. libpng reports errors by longjmp: the state that
// must survive it lives in a plain struct outside the frame that calls setjmp.
#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "display/display.h"
#include "platform/log.h"

namespace {

struct PngJob {
  const char *file;
  FILE *fp;
  png_structp png;
  png_infop info;
  png_bytep *rows;
  png_uint_32 rowCount;  // rows allocated so far
  bool reading;          // past png_read_update_info
};

void releaseJob(PngJob *job) {
  if (job->rows != nullptr) {
    for (png_uint_32 i = 0; i < job->rowCount; ++i) free(job->rows[i]);
    free(job->rows);
    job->rows = nullptr;
  }
  if (job->png != nullptr)
    png_destroy_read_struct(&job->png, job->info ? &job->info : nullptr, nullptr);
  job->png = nullptr;
  job->info = nullptr;
  if (job->fp != nullptr) fclose(job->fp);
  job->fp = nullptr;
}

// libpng's own message goes to standard error; ours to the system log.
void pngError(png_structp png, png_const_charp message) {
  LogStderr("libpng error: %s\n", message);
  png_longjmp(png, 1);
}

void pngWarning(png_structp, png_const_charp message) {
  LogStderr("libpng warning: %s\n", message);
}

int decode(PngJob *job, FrameBuffer *fb, int target) {
  job->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, pngError, pngWarning);
  if (job->png == nullptr) {
    LogErr("%s PNG_create_read_struct failed", job->file);
    return -1;
  }
  job->info = png_create_info_struct(job->png);
  if (job->info == nullptr) {
    LogErr("%s PNG_create_info_struct failed", job->file);
    return -1;
  }
  if (setjmp(png_jmpbuf(job->png))) {
    LogErr(job->reading ? "%s error during reading image" : "%s error during init_io", job->file);
    return -1;
  }
  png_init_io(job->png, job->fp);
  png_set_sig_bytes(job->png, 8);
  png_read_info(job->png, job->info);
  const png_uint_32 width = png_get_image_width(job->png, job->info);
  const png_uint_32 height = png_get_image_height(job->png, job->info);
  const int bitDepth = png_get_bit_depth(job->png, job->info);
  const int colorType = png_get_color_type(job->png, job->info);
  if (width > fb->width) {
    LogErr("%s image has %d cols not %d", job->file, static_cast<int>(width),
           static_cast<int>(fb->width));
    return -1;
  }
  if (height > fb->height) {
    LogErr("%s image has %d rows not %d", job->file, static_cast<int>(height),
           static_cast<int>(fb->height));
    return -1;
  }
  if (bitDepth != 8 || fb->pixelBytes != 4 || colorType != PNG_COLOR_TYPE_RGBA) {
    LogErr("%s image has %d pixels not %d or color_type is %d not %d", job->file, bitDepth,
           fb->pixelBytes, colorType, PNG_COLOR_TYPE_RGBA);
    return -1;
  }
  png_set_interlace_handling(job->png);
  png_read_update_info(job->png, job->info);
  job->reading = true;
  const size_t rowBytes = png_get_rowbytes(job->png, job->info);
  if (rowBytes < static_cast<size_t>(width) * 4) {
    LogErr("%s error during reading image", job->file);
    return -1;
  }
  job->rows = static_cast<png_bytep *>(calloc(height ? height : 1, sizeof(png_bytep)));
  if (job->rows == nullptr) {
    LogErr("%s unable to alloc row_pointers for image", job->file);
    return -1;
  }
  for (png_uint_32 y = 0; y < height; ++y) {
    job->rows[y] = static_cast<png_bytep>(malloc(rowBytes));
    if (job->rows[y] == nullptr) {
      LogErr("%s unable to alloc row_pointers[%d] for image", job->file, static_cast<int>(y));
      return -1;
    }
    job->rowCount = y + 1;
  }
  png_read_image(job->png, job->rows);

  uint8_t *dst = target != 0 ? fb->background : fb->back;
  for (png_uint_32 y = 0; y < height; ++y) {
    const png_bytep src = job->rows[y];
    uint8_t *p = dst + static_cast<long>(y) * fb->lineBytes;
    for (png_uint_32 x = 0; x < width; ++x, p += 4) {
      p[0] = src[x * 4 + 2];
      p[1] = src[x * 4 + 1];
      p[2] = src[x * 4 + 0];
      p[3] = 0;
    }
  }
  return 0;
}

}  // namespace

int getPng(Works *works, int target) {
  FrameBuffer *fb = works->fb;
  char name[SharedText<32>::capacity()];
  works->imageName.get(name, sizeof name);
  char file[200];
  snprintf(file, sizeof file, "%s.png", name);
  if (fb == nullptr) return -1;
  PngJob job = {file, nullptr, nullptr, nullptr, nullptr, 0, false};
  job.fp = fopen(file, "rb");
  if (job.fp == nullptr) {
    LogErr("%s image could not be opened", file);
    return -1;
  }
  unsigned char header[8];
  if (fread(header, 1, sizeof header, job.fp) != sizeof header || png_sig_cmp(header, 0, 8) != 0) {
    LogErr("%s image is not a PNG file", file);
    releaseJob(&job);
    return -1;
  }
  int rc = decode(&job, fb, target);
  releaseJob(&job);
  return rc;
}
