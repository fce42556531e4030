#pragma once
// Remote operation: WebSocket server and client, frames, audio.
#include "core/works.h"

void *Wsocket(void *works);
void *Wclient(void *works);
void *th_leggi(void *works);
void *th_scrivi(void *works);
void sendWebSockSerParFrame(Works *works, const void *data, int length);
void sendWebSockSerSpectrFrame(Works *works, const void *data, int length);
void sendWebSockCatFrame(Works *works, const char *text, int length);
void sendWebSockStatusFrame(Works *works, const char *status, int length);

// Number of the transceiver's USB audio devices found (0 = none).
int Get_AudioNEB(Works *works);
// Number of the transceiver's USB audio interfaces present (0 = missing).
int VerifyAudioNEB(Works *works);
