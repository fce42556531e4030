#pragma once
// Framebuffer and drawing primitives, text, PNG images.
//
// Every frame is composed in `back` from `background` and then copied to the
// device in one go, so the display never shows half a picture. Primitives
// write 16-bit (RGB565, little-endian) and 32-bit (blue, green, red, 0)
// pixels; on other pixel sizes they draw nothing. Every function accepts a
// null handle and then does nothing: a device without a display still runs.
#include <cstddef>
#include <cstdint>

#include "core/works.h"

struct BackgroundMailbox;

struct FrameBuffer {
  uint32_t width;       // visible width in pixels
  uint32_t height;      // visible height in pixels
  int32_t size;         // bytes of one frame
  int32_t lineBytes;    // bytes of one row (no gap at the end of a row)
  int32_t pixelBytes;   // 1, 2, 3 or 4
  uint8_t *screen;      // the device memory (or the virtual display file)
  uint8_t *back;        // drawing buffer
  uint8_t *background;  // background image buffer
  // Bookkeeping for fbRelease: how screen was obtained.
  int32_t mappedBytes;  // > 0: screen is a mapping of this length
  int32_t fd;           // the device descriptor, -1 when none
  BackgroundMailbox *mailbox;  // background requests to the refresh loop
};

// Opens and maps the display; nullptr when there is none. /dev/fb0 (mapped
// under OMBRIX_ROOT) may be a framebuffer device or, off the device, a regular
// file of exactly 800 x 480 x 4 bytes that is drawn as a 32-bit screen.
FrameBuffer *fbInit();
// A display whose screen is ordinary memory (tests, benchmarks, tools).
FrameBuffer *fbCreateMemory(int width, int height, int pixelBytes);
// Unmaps and frees a display made by fbInit or fbCreateMemory. The program
// keeps its display for the whole run; tests and tools release theirs.
void fbRelease(FrameBuffer *fb);

// Starts a frame from the background image.
void fbSetBack(FrameBuffer *fb);
// Shows the frame.
void fbRealize(FrameBuffer *fb);

// Drawing targets of the primitives.
enum : int { FB_BACK = 0, FB_BACKGROUND = 1 };

// Pixels (x, y) for x0 <= x < x1.
void DrawHorizontalLine(int x0, int y, int x1, int r, int g, int b, FrameBuffer *fb, int target);
// Straight line including both end points; pixels outside the frame are skipped.
void DrawLine(int x0, int y0, int x1, int y1, int r, int g, int b, FrameBuffer *fb, int target);
// Polyline through the whole degrees fromDeg..toDeg of a circle (counter-clockwise,
// y upwards on screen).
void DrawArc(int cx, int cy, int radius, int fromDeg, int toDeg, int r, int g, int b,
             FrameBuffer *fb, int target);
// Filled box min(x)..max(x)-1 by min(y)..max(y)-1.
void FillBox(int x0, int y0, int x1, int y1, int r, int g, int b, FrameBuffer *fb, int target);
// Paints column x upwards from row y (row 0 excluded) into the drawing buffer,
// passing over the skip colour and stopping at the first white pixel.
void FillRow(int x, int y, int r, int g, int b, FrameBuffer *fb, int skipR, int skipG, int skipB);
// Rectangle outline into the drawing buffer of works->fb.
void DrawRect(Works *works, int x0, int y0, int x1, int y1, int r, int g, int b);

// ---- Text
constexpr int kFontSlots = 20;

// Loads face 0 of a font file at a pixel size into a slot. Returns 0, or -1
// when the slot cannot be used.
int TTFLoad(const char *file, int pixelSize, int slotIndex);
// Draws UTF-8 text with its baseline starting at (x, y) into the drawing buffer.
void putString(int slotIndex, int x, int y, const char *text, int r, int g, int b, FrameBuffer *fb);
// Width of the text in pixels (sum of the glyph advances).
int getStringSpace(int slotIndex, const char *text);
// Decodes one code point of strict UTF-8 at *position and advances it.
// Returns 1, or -1 when *position >= length. An invalid sequence gives
// *valid = 0 and code point 0.
int utf8_get_next_char(const char *text, int length, int *position, int *valid,
                       uint32_t *codePoint);
// Number of code points (each invalid byte sequence counts as one).
int utf8_length(const char *text, int length);
// Rendered glyphs are kept per slot and code point; switching the cache off
// (benchmarks, tests) makes every character go through FreeType again.
void TTFSetGlyphCache(bool enabled);

// ---- Images
// Loads the picture named by works->imageName (+ ".png", relative to the
// working directory) into the background buffer. Returns 0, or -1 with a log
// line; on failure the background keeps what it held.
int getPng(Works *works, int target);

// ---- Background requests to the refresh loop
// While the refresh loop runs it is the only thread that touches `background`
// and `back`. Any other thread asks it for a new background through the
// display's mailbox; the loop carries the request out at the top of its next
// pass. The mailbox holds one request: a newer one, of either kind, replaces
// one the loop has not taken yet. Without a display a request does nothing.

// Asks for the picture `name` (as getPng takes it) and sets works->imageName.
void PostBackgroundImage(Works *works, const char *name);
// Asks for a whole frame of pixels in the display's own layout (fb->size
// bytes, fb->lineBytes a row); they are copied in before the call returns.
// Returns 0, or -1 without a display or when bytes is not the frame size.
int PostBackgroundPixels(Works *works, const uint8_t *pixels, size_t bytes);
// Refresh loop only: moves the newest request into the background. Returns 1
// when the background changed, 0 without a request, -1 when the picture
// could not be loaded (the background keeps what it held).
int TakeBackgroundRequest(Works *works);
// Made and freed with the display.
BackgroundMailbox *fbNewMailbox();
void fbDeleteMailbox(BackgroundMailbox *box);
