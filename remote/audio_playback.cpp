// Audio playback for remote operation: th_scrivi opens the audio output and
// keeps it ready while a peer is connected; the link thread plays each
// received SO frame through PlayRemoteAudio.
//
// The two threads share the device and playbackBuffer under playbackMutex:
// playbackReady is cleared before the buffer is freed or the device closed,
// and the handle is cleared after the close, so the link never writes to a
// device or buffer that is going away.
#include <alsa/asoundlib.h>
#include <opus/opus.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "core/setup.h"
#include "errors/errors.h"
#include "platform/log.h"
#include "remote/audio.h"

At<int> status_th_scrivi{0};

namespace {

constexpr int kOpenAttempts = 100;
constexpr int kPresenceCheckMs = 10;
constexpr int kMaxQueuedFrames = 4800;  // 100 ms at 48 kHz

bool playbackWanted(Works *works) {
  return works->running && SetupChar(works, SB_EnableWrite) == '1';
}

void pauseMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Closes the device and frees the buffer; the caller holds playbackMutex.
void releasePlaybackLocked(Works *works) {
  works->playbackReady = 0;
  if (works->playbackPcm != nullptr) snd_pcm_close(static_cast<snd_pcm_t *>(works->playbackPcm));
  works->playbackPcm = nullptr;
  free(works->playbackBuffer);
  works->playbackBuffer = nullptr;
}

snd_pcm_t *openPlayback(Works *works, const std::string &device, int *err) {
  snd_pcm_t *pcm = nullptr;
  for (int attempt = 1; attempt <= kOpenAttempts && playbackWanted(works); ++attempt) {
    *err = snd_pcm_open(&pcm, device.c_str(), SND_PCM_STREAM_PLAYBACK, 0);
    if (*err >= 0) return pcm;
    pcm = nullptr;
    LogStderr("EIK 2 audio out %d (%i)\n", *err, attempt);
    pauseMs(100);
  }
  return nullptr;
}

bool configurePlayback(Works *works, snd_pcm_t *pcm) {
  snd_pcm_hw_params_t *hw = nullptr;
  int err = snd_pcm_hw_params_malloc(&hw);
  if (err < 0) {
    LogErr("cannot allocate playback hardware parameter structure (%s)\n", snd_strerror(err));
    return false;
  }
  const int periods = works->audioBuffers;
  snd_pcm_uframes_t bufferFrames = 1024 * static_cast<snd_pcm_uframes_t>(periods > 0 ? periods : 1);
  unsigned rate = static_cast<unsigned>(works->audioRate.load());
  char failed[160] = "";
  if ((err = snd_pcm_hw_params_any(pcm, hw)) < 0) {
    snprintf(failed, sizeof failed,
             "cannot initialize playback hardware parameter structure (%s)\n", snd_strerror(err));
  } else if ((err = snd_pcm_hw_params_set_rate_resample(pcm, hw, 1)) < 0) {
    snprintf(failed, sizeof failed, "cannot set playback resample to yes (%s)\n",
             snd_strerror(err));
  } else if ((err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0) {
    snprintf(failed, sizeof failed, "cannot set playback access type (%s)\n", snd_strerror(err));
  } else if ((err = snd_pcm_hw_params_set_format(
                  pcm, hw, static_cast<snd_pcm_format_t>(works->audioFormat.load()))) < 0) {
    snprintf(failed, sizeof failed, "cannot set playback sample format (%s)\n", snd_strerror(err));
  } else if ((err = snd_pcm_hw_params_set_rate_near(pcm, hw, &rate, nullptr)) < 0) {
    snprintf(failed, sizeof failed, "cannot set playback sample rate (%s)\n", snd_strerror(err));
  } else if ((err = snd_pcm_hw_params_set_channels(pcm, hw, 2)) < 0) {
    snprintf(failed, sizeof failed, "Cannot set playback channel count (%s)\n", snd_strerror(err));
  } else if ((err = snd_pcm_hw_params_set_periods(pcm, hw, static_cast<unsigned>(periods), 0)) <
             0) {
    snprintf(failed, sizeof failed, "Cannot set periods %d (%s)", periods, snd_strerror(err));
  } else if ((err = snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &bufferFrames)) < 0) {
    snprintf(failed, sizeof failed, "Cannot set buffersize %d (%s)", 1024 * periods,
             snd_strerror(err));
  } else if ((err = snd_pcm_hw_params(pcm, hw)) < 0) {
    snprintf(failed, sizeof failed, "cannot set playback parameters (%s)\n", snd_strerror(err));
  }
  snd_pcm_hw_params_free(hw);
  if (failed[0] != '\0') {
    LogErr("%s", failed);
    return false;
  }
  LogInfo("playback hw_params rate set to %u", rate);
  return true;
}

// Checks the USB audio interface every 10 ms while the state holds; false
// when it is gone.
template <typename Hold>
bool watchDevice(Works *works, Hold hold) {
  while (hold() && playbackWanted(works)) {
    if (VerifyAudioNEB(works) == 0) return false;
    pauseMs(kPresenceCheckMs);
  }
  return true;
}

// Bytes of one period of silence, as the decoder's error path fills it.
size_t periodBytes(Works *works) {
  int width =
      snd_pcm_format_physical_width(static_cast<snd_pcm_format_t>(works->audioFormat.load()));
  if (width <= 0) width = 16;
  return static_cast<size_t>(works->audioFrames) * static_cast<size_t>(width) * 2 / 8;
}

// Decodes one frame's audio into playbackBuffer; returns the frames to play.
int decodeRemoteAudio(Works *works, const uint8_t *data, int n) {
  const int frames = works->audioFrames;
  if (works->audioCompress == 0) {
    size_t bytes = static_cast<size_t>(n) & ~static_cast<size_t>(3);
    if (bytes > static_cast<size_t>(frames) * 4) bytes = static_cast<size_t>(frames) * 4;
    memcpy(works->playbackBuffer, data, bytes);
    return static_cast<int>(bytes / 4);
  }
  // A fresh malloc'd buffer holds 16-bit samples in the host's (little-endian) order.
  auto *samples = reinterpret_cast<opus_int16 *>(works->playbackBuffer);
  int decoded = works->opusDecoder == nullptr
                    ? OPUS_INVALID_STATE
                    : opus_decode(static_cast<OpusDecoder *>(works->opusDecoder), data, n, samples,
                                  frames, 0);
  if (decoded < 0) {
    memset(works->playbackBuffer, 0, periodBytes(works));
    return frames;
  }
  return decoded;
}

}  // namespace

void ExitAUDIOwrite(Works *works) {
  LogStderr("th_scrivi ERR\n");
  AddErrore(works, ERR_AUDIO_WRITE);
  {
    std::lock_guard<std::mutex> lock(works->playbackMutex);
    releasePlaybackLocked(works);
  }
  works->catClosed = 1;
  SetSetupChar(works, SB_EnableWrite, '0');
}

void *th_scrivi(void *arg) {
  Works *works = static_cast<Works *>(arg);
  status_th_scrivi = 0;
  works->playbackReady = 0;
  for (int waited = 0; waited < 3000 && works->running; waited += 100) pauseMs(100);

  for (;;) {
    if (!playbackWanted(works)) {
      LogInfo("output audio interface closed");
      {
        std::lock_guard<std::mutex> lock(works->playbackMutex);
        releasePlaybackLocked(works);
      }
      // At program end the byte stays as the setup file has it.
      if (works->running) SetSetupChar(works, SB_EnableWrite, '0');
      LogStderr("th_scrivi END\n");
      return nullptr;
    }

    const std::string device = SetupText(works, SB_AudioOut);
    int err = 0;
    snd_pcm_t *pcm = openPlayback(works, device, &err);
    if (pcm == nullptr) {
      if (!playbackWanted(works)) continue;
      LogStderr("EIK 3 audio out\n");
      LogErr("cannot open output audio device %s (%s)", device.c_str(), snd_strerror(err));
      ExitAUDIOwrite(works);
      return nullptr;
    }
    LogInfo("output audio interface %s opened", device.c_str());
    status_th_scrivi = 1;
    if (!configurePlayback(works, pcm)) {
      snd_pcm_close(pcm);
      ExitAUDIOwrite(works);
      return nullptr;
    }
    auto *buffer = static_cast<uint8_t *>(calloc(static_cast<size_t>(works->audioFrames) * 4, 1));
    if (buffer == nullptr || works->audioFrames <= 0) {
      free(buffer);
      snd_pcm_close(pcm);
      LogErr("playback buffer not allocated\n");
      ExitAUDIOwrite(works);
      return nullptr;
    }
    LogInfo("playback buffer allocated (%d)", works->audioFrames * 4);
    {
      std::lock_guard<std::mutex> lock(works->playbackMutex);
      works->playbackPcm = pcm;
      works->playbackBuffer = buffer;
      works->playbackReady = 1;
    }

    if (!watchDevice(works, [&] { return works->remoteConnected == 0; })) {
      ExitAUDIOwrite(works);
      return nullptr;
    }
    if (!playbackWanted(works)) continue;  // closed at the top of the loop
    {
      std::lock_guard<std::mutex> lock(works->playbackMutex);
      err = snd_pcm_prepare(pcm);
    }
    if (err < 0) {
      LogErr("cannot prepare output audio interface for use (%s)", snd_strerror(err));
      ExitAUDIOwrite(works);
      return nullptr;
    }
    LogStderr("output audio interface prepared\n");
    if (!watchDevice(works, [&] { return works->remoteConnected == 1; })) {
      ExitAUDIOwrite(works);
      return nullptr;
    }

    LogInfo("output audio interface to be stopped");
    std::lock_guard<std::mutex> lock(works->playbackMutex);
    works->playbackReady = 0;
    if ((err = snd_pcm_drain(pcm)) < 0)
      LogErr("cannot drain playback pcm handler (%s)", snd_strerror(err));
    free(works->playbackBuffer);
    works->playbackBuffer = nullptr;
    LogInfo("playback buffer freed");
    snd_pcm_close(pcm);
    works->playbackPcm = nullptr;
  }
}

bool PlaybackQueueTooDeep(PlaybackLevels *levels, long freeFrames) {
  levels->free = static_cast<int>(freeFrames);
  if (levels->free1 == 0 && levels->free > 0) levels->free1 = levels->minfree = levels->free;
  if (levels->free > 0 && levels->free < levels->minfree) levels->minfree = levels->free;
  if (levels->free1 - levels->minfree <= kMaxQueuedFrames) return false;
  levels->minfree = levels->free1;
  return true;
}

void PlayRemoteAudio(Works *works, PlaybackSide side, PlaybackLevels *levels, const uint8_t *data,
                     int n) {
  if (SetupChar(works, SB_EnableWrite) != '1' || n < 0) return;
  std::lock_guard<std::mutex> lock(works->playbackMutex);
  auto *pcm = static_cast<snd_pcm_t *>(works->playbackPcm);
  if (pcm == nullptr || works->playbackBuffer == nullptr) return;
  // The client plays whatever it can while the device exists; the server
  // waits until the playback thread calls it ready.
  if (side == PLAYBACK_SERVER && works->playbackReady == 0) return;

  LogTrace("EIK, SO 01");
  const int frames = decodeRemoteAudio(works, data, n);
  LogTrace("EIK, SO 03");

  if (PlaybackQueueTooDeep(levels, snd_pcm_avail(pcm))) {
    snd_pcm_reset(pcm);
    return;
  }
  if (works->playbackReady == 0 || frames <= 0) return;
  snd_pcm_sframes_t written =
      snd_pcm_writei(pcm, works->playbackBuffer, static_cast<snd_pcm_uframes_t>(frames));
  if (written >= frames) return;
  LogErr("write to output audio interface failed %d (%d - %s)\n", frames, static_cast<int>(written),
         snd_strerror(static_cast<int>(written)));
  fflush(stderr);
  if (written != -EPIPE) return;  // any other failure loses this frame only
  snd_pcm_prepare(pcm);
  if (side == PLAYBACK_SERVER)
    snd_pcm_writei(pcm, works->playbackBuffer, static_cast<snd_pcm_uframes_t>(frames));
}
