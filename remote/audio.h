#pragma once
// Remote audio: capture and playback threads, presence of the transceiver's
// USB audio interface, and playback of the audio frames the link receives.
#include <cstdint>

#include "core/works.h"

void *th_leggi(void *works);   // capture thread
void *th_scrivi(void *works);  // playback thread
void ExitAUDIOread(Works *works);
void ExitAUDIOwrite(Works *works);

// Widens a period of mono samples to interleaved stereo in place; the
// buffer holds 2 x frames samples.
void WidenMonoToStereo(int16_t *samples, int frames);

// Number of the transceiver's USB audio interfaces present (0 = missing).
int VerifyAudioNEB(Works *works);

// Number of the transceiver's USB audio devices found (0 = none), each
// listed on standard error.
int Get_AudioNEB(Works *works);

// Playback-level counters of one side's latency control, in frames.
struct PlaybackLevels {
  int free = 0;
  int free1 = 0;
  int minfree = 0;
};
enum PlaybackSide { PLAYBACK_SERVER, PLAYBACK_CLIENT };

// Latency control of one side, given the device's free space (frames) before
// a frame is played. The largest free space seen is the empty buffer, the
// least since the last reset the deepest queue. True when more than 4800
// frames (100 ms) have piled up: the caller then drops the queued audio and
// this frame, and measuring starts afresh.
bool PlaybackQueueTooDeep(PlaybackLevels *levels, long freeFrames);

// Plays the audio bytes of one received SO frame. The link has bounded them:
// n bytes are present, and raw PCM has n <= 4 x audioFrames, a multiple of 4.
// Nothing is done unless EnableWrite is '1' and playback is ready.
void PlayRemoteAudio(Works *works, PlaybackSide side, PlaybackLevels *levels, const uint8_t *data,
                     int n);
