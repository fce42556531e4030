// Remote audio. Capture and playback are not built yet: the threads end at
// once, no USB audio interface is seen and received audio is dropped.
#include "remote/audio.h"

#include "platform/log.h"

void *th_leggi(void *) {
  LogInfo("th_leggi: audio capture not built yet");
  return nullptr;
}

void *th_scrivi(void *) {
  LogInfo("th_scrivi: audio playback not built yet");
  return nullptr;
}

void ExitAUDIOread(Works *) {}
void ExitAUDIOwrite(Works *) {}
int VerifyAudioNEB(Works *) {
  return 0;
}
int Get_AudioNEB(Works *) {
  return 0;
}
void PlayRemoteAudio(Works *, PlaybackSide, PlaybackLevels *, const uint8_t *, int) {}
