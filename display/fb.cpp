// The framebuffer: opening the device (or the virtual display file), the
// three frame buffers and the drawing primitives.
#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "display/display.h"
#include "display/fb_pixel.h"
#include "display/frame_share.h"
#include "platform/log.h"
#include "platform/platform.h"

namespace {

constexpr int kVirtualWidth = 800;
constexpr int kVirtualHeight = 480;
constexpr off_t kVirtualBytes = static_cast<off_t>(kVirtualWidth) * kVirtualHeight * 4;

// The console cursor would blink through the picture.
void hideConsoleCursor() {
  std::string out;
  if (RunCommand({"/bin/echo", "-e", "-n", "\\033[?25l"}, &out, 64) != 0 || out.empty()) return;
  int fd = open(MapPath("/dev/tty0").c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  if (write(fd, out.data(), out.size()) < 0) {
  }
  close(fd);
}

uint8_t *targetBuffer(FrameBuffer *fb, int target) {
  return target != 0 ? fb->background : fb->back;
}

}  // namespace

FrameBuffer *fbInit() {
  hideConsoleCursor();
  auto *fb = static_cast<FrameBuffer *>(calloc(1, sizeof(FrameBuffer)));
  if (fb == nullptr) {
    LogErr("Unable to allocate framebuffer structure");
    return nullptr;
  }
  fb->fd = -1;
  int fd = open(MapPath("/dev/fb0").c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    LogErr("Unable to read framebuffer device: /dev/fb0\n");
    free(fb);
    return nullptr;
  }
  struct fb_var_screeninfo vinfo;
  memset(&vinfo, 0, sizeof vinfo);
  struct stat st;
  bool virtualDisplay = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == kVirtualBytes;
  if (virtualDisplay) {
    // The simulator's screen: a plain file laid out as a 32-bit framebuffer.
    vinfo.xres = kVirtualWidth;
    vinfo.yres = kVirtualHeight;
    vinfo.bits_per_pixel = 32;
  } else {
    if (ioctl(fd, FBIOGET_VSCREENINFO, &vinfo) != 0) {
      LogErr("Unable to read screen info.\n");
      LogErr("Do you have read+write privilages to /dev/fb0?\n");
      close(fd);
      free(fb);
      return nullptr;
    }
    vinfo.xoffset = 0;
    vinfo.yoffset = 0;
    if (ioctl(fd, FBIOPUT_VSCREENINFO, &vinfo) != 0) {
      LogErr("Unable to change screen data\n");
      LogErr("Do you have write privilages to /dev/fb0?\n");
      LogErr("Does your video card support double buffering?\n");
      close(fd);
      free(fb);
      return nullptr;
    }
  }
  int pixelBytes;
  switch (vinfo.bits_per_pixel) {
    case 4:
    case 8: pixelBytes = 1; break;
    case 5:
    case 15:
    case 16: pixelBytes = 2; break;
    case 24: pixelBytes = 3; break;
    case 32: pixelBytes = 4; break;
    default:
      LogErr("Unknown pixel format");
      close(fd);
      free(fb);
      return nullptr;
  }
  LogInfo("Pixel size =%d", pixelBytes);
  long long size = static_cast<long long>(vinfo.xres) * vinfo.yres * vinfo.bits_per_pixel / 8;
  void *map = size > 0 && size < (1LL << 30) ? mmap(nullptr, static_cast<size_t>(size),
                                                    PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                                             : MAP_FAILED;
  if (map == MAP_FAILED) {
    LogErr("Unable to map shared memory\n");
    LogErr("Make sure, that you have compiled shared memory support into your kernel.\n");
    close(fd);
    free(fb);
    return nullptr;
  }
  fb->width = vinfo.xres;
  fb->height = vinfo.yres;
  fb->size = static_cast<int32_t>(size);
  fb->pixelBytes = pixelBytes;
  fb->lineBytes = static_cast<int32_t>(vinfo.xres) * pixelBytes;
  fb->screen = static_cast<uint8_t *>(map);
  fb->mappedBytes = fb->size;
  fb->fd = fd;
  fb->back = static_cast<uint8_t *>(calloc(1, static_cast<size_t>(size)));
  fb->background = static_cast<uint8_t *>(calloc(1, static_cast<size_t>(size)));
  fb->mailbox = fbNewMailbox();
  if (fb->back == nullptr || fb->background == nullptr) {
    LogErr("Unable to allocate framebuffer structure");
    fbRelease(fb);
    return nullptr;
  }
  LogInfo("Screen Size x: %d, y: %d, Pixel Size %d Line size: %d, Mem size: %d\n",
          static_cast<int>(fb->width), static_cast<int>(fb->height), fb->pixelBytes, fb->lineBytes,
          fb->size);
  return fb;
}

FrameBuffer *fbCreateMemory(int width, int height, int pixelBytes) {
  if (width <= 0 || height <= 0 || pixelBytes < 1 || pixelBytes > 4) return nullptr;
  auto *fb = static_cast<FrameBuffer *>(calloc(1, sizeof(FrameBuffer)));
  if (fb == nullptr) return nullptr;
  fb->width = static_cast<uint32_t>(width);
  fb->height = static_cast<uint32_t>(height);
  fb->pixelBytes = pixelBytes;
  fb->lineBytes = width * pixelBytes;
  fb->size = fb->lineBytes * height;
  fb->fd = -1;
  fb->screen = static_cast<uint8_t *>(calloc(1, static_cast<size_t>(fb->size)));
  fb->back = static_cast<uint8_t *>(calloc(1, static_cast<size_t>(fb->size)));
  fb->background = static_cast<uint8_t *>(calloc(1, static_cast<size_t>(fb->size)));
  fb->mailbox = fbNewMailbox();
  if (fb->screen == nullptr || fb->back == nullptr || fb->background == nullptr) {
    fbRelease(fb);
    return nullptr;
  }
  return fb;
}

void fbRelease(FrameBuffer *fb) {
  if (fb == nullptr) return;
  if (fb->mappedBytes > 0 && fb->screen != nullptr)
    munmap(fb->screen, static_cast<size_t>(fb->mappedBytes));
  else
    free(fb->screen);
  if (fb->fd >= 0) close(fb->fd);
  free(fb->back);
  free(fb->background);
  fbDeleteMailbox(fb->mailbox);
  free(fb);
}

void fbSetBack(FrameBuffer *fb) {
  if (fb == nullptr) return;
  memcpy(fb->back, fb->background, static_cast<size_t>(fb->size));
}

void fbRealize(FrameBuffer *fb) {
  if (fb == nullptr) return;
  memcpy(fb->screen, fb->back, static_cast<size_t>(fb->size));
  FrameShareOffer(fb);
}

void DrawHorizontalLine(int x0, int y, int x1, int r, int g, int b, FrameBuffer *fb, int target) {
  if (fb == nullptr || x1 <= x0) return;
  uint8_t *p = targetBuffer(fb, target) + static_cast<long>(y) * fb->lineBytes;
  if (fb->pixelBytes == 4) {
    uint32_t v = Pixel32(r, g, b);
    for (int x = x0; x < x1; ++x) memcpy(p + x * 4, &v, 4);
  } else if (fb->pixelBytes == 2) {
    uint16_t v = Pixel16(r, g, b);
    for (int x = x0; x < x1; ++x) StorePixel16(p + x * 2, v);
  }
}

void DrawLine(int x0, int y0, int x1, int y1, int r, int g, int b, FrameBuffer *fb, int target) {
  if (fb == nullptr || (x0 == x1 && y0 == y1)) return;
  if (fb->pixelBytes != 2 && fb->pixelBytes != 4) return;
  uint8_t *buf = targetBuffer(fb, target);
  const long limit = static_cast<long>(fb->size) - fb->pixelBytes;
  const uint32_t v32 = Pixel32(r, g, b);
  const uint16_t v16 = Pixel16(r, g, b);
  auto plot = [&](int x, int y) {
    long off = static_cast<long>(y) * fb->lineBytes + static_cast<long>(x) * fb->pixelBytes;
    if (off < 0 || off >= limit) return;
    if (fb->pixelBytes == 4)
      memcpy(buf + off, &v32, 4);
    else
      StorePixel16(buf + off, v16);
  };
  int dx = std::abs(x1 - x0), dy = std::abs(y1 - y0);
  int sx = x1 >= x0 ? 1 : -1, sy = y1 >= y0 ? 1 : -1;
  int x = x0, y = y0;
  if (dx < dy) {
    // y is the major axis.
    int err = 2 * dx - dy;
    for (int i = 0; i <= dy; ++i) {
      plot(x, y);
      while (err >= 0) {
        x += sx;
        err -= 2 * dy;
      }
      y += sy;
      err += 2 * dx;
    }
  } else {
    int err = 2 * dy - dx;
    for (int i = 0; i <= dx; ++i) {
      plot(x, y);
      while (err >= 0) {
        y += sy;
        err -= 2 * dx;
      }
      x += sx;
      err += 2 * dy;
    }
  }
}

void DrawArc(int cx, int cy, int radius, int fromDeg, int toDeg, int r, int g, int b,
             FrameBuffer *fb, int target) {
  if (fb == nullptr) return;
  int px = 0, py = 0;
  for (int d = fromDeg; d <= toDeg; ++d) {
    double rad = d * M_PI / 180.0;
    int x = static_cast<int>(cx + 0.5 + radius * cos(rad));
    int y = static_cast<int>(cy + 0.5 - radius * sin(rad));
    if (px == 0) px = x;
    if (py == 0) py = y;
    DrawLine(px, py, x, y, r, g, b, fb, target);
    px = x;
    py = y;
  }
}

void FillBox(int x0, int y0, int x1, int y1, int r, int g, int b, FrameBuffer *fb, int target) {
  if (fb == nullptr) return;
  int xa = x0 < x1 ? x0 : x1, xb = x0 < x1 ? x1 : x0;
  int ya = y0 < y1 ? y0 : y1, yb = y0 < y1 ? y1 : y0;
  for (int y = ya; y < yb; ++y) DrawHorizontalLine(xa, y, xb, r, g, b, fb, target);
}

void FillRow(int x, int y, int r, int g, int b, FrameBuffer *fb, int skipR, int skipG, int skipB) {
  if (fb == nullptr) return;
  uint8_t *buf = fb->back;
  if (fb->pixelBytes == 4) {
    const uint32_t paint = Pixel32(r, g, b), skip = Pixel32(skipR, skipG, skipB),
                   white = Pixel32(255, 255, 255);
    for (int yy = y; yy > 0; --yy) {
      uint8_t *p = buf + static_cast<long>(yy) * fb->lineBytes + x * 4;
      // Byte 3 is padding; compare the colour bytes only.
      uint32_t v;
      memcpy(&v, p, 4);
      v &= 0x00FFFFFFu;
      if (v == skip) continue;
      if (v == white) break;
      memcpy(p, &paint, 4);
    }
  } else if (fb->pixelBytes == 2) {
    const uint16_t paint = Pixel16(r, g, b), skip = Pixel16(skipR, skipG, skipB),
                   white = Pixel16(255, 255, 255);
    for (int yy = y; yy > 0; --yy) {
      uint8_t *p = buf + static_cast<long>(yy) * fb->lineBytes + x * 2;
      uint16_t v = LoadPixel16(p);
      if (v == skip) continue;
      if (v == white) break;
      StorePixel16(p, paint);
    }
  }
}

void DrawRect(Works *works, int x0, int y0, int x1, int y1, int r, int g, int b) {
  FrameBuffer *fb = works->fb;
  DrawLine(x0, y0, x0, y1, r, g, b, fb, FB_BACK);
  DrawLine(x1, y0, x1, y1, r, g, b, fb, FB_BACK);
  DrawHorizontalLine(x0, y0, x1, r, g, b, fb, FB_BACK);
  DrawHorizontalLine(x0, y1, x1, r, g, b, fb, FB_BACK);
}
