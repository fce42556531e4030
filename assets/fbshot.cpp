// fbshot: writes the virtual display (DIR/dev/fb0, 800 x 480, bytes blue,
// green, red, 0 per pixel) to a PNG file.
//
//   fbshot [-r ROOT | -f FRAMEBUFFER_FILE] OUT.png
//
// Without -r or -f the display of $OMBRIX_ROOT is taken. The picture is
// written to a temporary file and renamed, so a reader never sees half of it.
#include <png.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 800, kHeight = 480;

int usage(const char *self) {
  fprintf(stderr, "usage: %s [-r ROOT | -f FRAMEBUFFER_FILE] OUT.png\n", self);
  return 2;
}

bool writePng(const std::string &path, const std::vector<unsigned char> &frame) {
  FILE *fp = fopen(path.c_str(), "wb");
  if (fp == nullptr) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (png == nullptr || info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    fclose(fp);
    return false;
  }
  png_init_io(png, fp);
  png_set_IHDR(png, info, kWidth, kHeight, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  std::vector<png_byte> row(kWidth * 4);
  for (int y = 0; y < kHeight; ++y) {
    const unsigned char *src = frame.data() + static_cast<size_t>(y) * kWidth * 4;
    for (int x = 0; x < kWidth; ++x) {
      row[x * 4 + 0] = src[x * 4 + 2];
      row[x * 4 + 1] = src[x * 4 + 1];
      row[x * 4 + 2] = src[x * 4 + 0];
      row[x * 4 + 3] = 255;
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return fclose(fp) == 0;
}

}  // namespace

int main(int argc, char **argv) {
  std::string fb, out;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "-r") == 0 && i + 1 < argc) {
      fb = std::string(argv[++i]) + "/dev/fb0";
    } else if (strcmp(argv[i], "-f") == 0 && i + 1 < argc) {
      fb = argv[++i];
    } else if (argv[i][0] == '-' || !out.empty()) {
      return usage(argv[0]);
    } else {
      out = argv[i];
    }
  }
  if (out.empty()) return usage(argv[0]);
  if (fb.empty()) {
    const char *root = getenv("OMBRIX_ROOT");
    if (root == nullptr || root[0] == 0) {
      fprintf(stderr, "fbshot: no display given and OMBRIX_ROOT is not set\n");
      return 2;
    }
    fb = std::string(root) + "/dev/fb0";
  }
  std::vector<unsigned char> frame(static_cast<size_t>(kWidth) * kHeight * 4);
  FILE *in = fopen(fb.c_str(), "rb");
  if (in == nullptr) {
    fprintf(stderr, "fbshot: cannot open %s\n", fb.c_str());
    return 1;
  }
  size_t got = fread(frame.data(), 1, frame.size(), in);
  fclose(in);
  if (got != frame.size()) {
    fprintf(stderr, "fbshot: %s is not an 800 x 480 x 4 display\n", fb.c_str());
    return 1;
  }
  std::string tmp = out + ".tmp" + std::to_string(getpid());
  if (!writePng(tmp, frame) || rename(tmp.c_str(), out.c_str()) != 0) {
    unlink(tmp.c_str());
    fprintf(stderr, "fbshot: cannot write %s\n", out.c_str());
    return 1;
  }
  return 0;
}
