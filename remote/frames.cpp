// Frame writers of the remote link (not built yet: they send nothing).
#include "remote/remote.h"

void sendWebSockSerParFrame(Works *, const void *, int) {}
void sendWebSockSerSpectrFrame(Works *, const void *, int) {}
void sendWebSockCatFrame(Works *, const char *, int) {}
void sendWebSockStatusFrame(Works *, const char *, int) {}
void sendWebSockSerFrame(Works *, const void *, int) {}
void sendWebSockEventFrame(Works *, int, int) {}
void sendWebSockAudioFrame(Works *, const int16_t *) {}
void sendWebSockFbFrame() {}
