// Placeholder display until the screen work: no framebuffer.
#include "display/display.h"

FrameBuffer *fbInit() { return nullptr; }
void fbSetBack(FrameBuffer *) {}
void fbRealize(FrameBuffer *) {}
int TTFLoad(const char *, int, int) { return 0; }
void putString(int, int, int, const char *, int, int, int, FrameBuffer *) {}
int getStringSpace(int, const char *) { return 0; }
int getPng(Works *, int) { return -1; }
