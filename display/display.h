#pragma once
// Framebuffer and drawing primitives, text, PNG images.
#include "core/works.h"

// Opens and maps the display; nullptr when there is none.
FrameBuffer *fbInit();
void fbSetBack(FrameBuffer *fb);
void fbRealize(FrameBuffer *fb);
// Loads a face into a font slot.
int TTFLoad(const char *file, int pixelSize, int slotIndex);
// Draws text with its baseline starting at (x, y) into the drawing buffer.
void putString(int slotIndex, int x, int y, const char *text, int r, int g, int b,
               FrameBuffer *fb);
int getStringSpace(int slotIndex, const char *text);
// Loads the picture named by works->imageName into the background buffer.
int getPng(Works *works, int target);
