// Audio capture for remote operation: th_leggi reads the audio input period
// by period and hands each period to the SO frame writer.
//
// Periods are read by a loop in this thread rather than by ALSA's signal
// handler: the writer encodes under sendMutex, and a signal handler could
// interrupt a thread that already holds it.
#include <alsa/asoundlib.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "core/setup.h"
#include "errors/errors.h"
#include "platform/log.h"
#include "platform/platform.h"
#include "remote/audio.h"
#include "remote/remote.h"

At<int> status_th_leggi{0};

namespace {

constexpr int kOpenAttempts = 100;
constexpr int kPresenceCheckMs = 2000;
constexpr int kWaitMs = 100;  // bound of one wait, so stop requests are seen

bool captureWanted(Works *works) {
  return works->running && SetupChar(works, SB_EnableRead) == '1';
}

snd_pcm_t *openCapture(Works *works, const std::string &device, int *err) {
  snd_pcm_t *pcm = nullptr;
  int attempt = 0;
  while (attempt < kOpenAttempts && captureWanted(works)) {
    ++attempt;
    *err = snd_pcm_open(&pcm, device.c_str(), SND_PCM_STREAM_CAPTURE, 0);
    if (*err >= 0) break;
    pcm = nullptr;
    LogStderr("EIK 2 audio in %s (%i)\n", device.c_str(), attempt);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  LogStderr("EIK 3 audio in %s\n", device.c_str());
  if (pcm == nullptr && captureWanted(works)) {
    LogErr("cannot open capture audio device '%s' (%s) after %d/10\"", device.c_str(),
           snd_strerror(*err), attempt);
    LogStderr("cannot open capture audio device '%s' (%s)\n", device.c_str(), snd_strerror(*err));
  }
  return pcm;
}

// Hardware and wake-up settings; logs the failing step and returns false.
bool configureCapture(Works *works, snd_pcm_t *pcm, int channels) {
  snd_pcm_hw_params_t *hw = nullptr;
  int err = snd_pcm_hw_params_malloc(&hw);
  if (err < 0) {
    LogErr("cannot allocate capture hardware parameter structure (%s)\n", snd_strerror(err));
    return false;
  }
  const char *failed = nullptr;
  unsigned rate = static_cast<unsigned>(works->audioRate.load());
  if ((err = snd_pcm_hw_params_any(pcm, hw)) < 0)
    failed = "cannot initialize capture hardware parameter structure (%s)\n";
  else if ((err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0)
    failed = "cannot set capture access type (%s)\n";
  else if ((err = snd_pcm_hw_params_set_format(
                pcm, hw, static_cast<snd_pcm_format_t>(works->audioFormat.load()))) < 0)
    failed = "cannot set capture sample format (%s)\n";
  else if ((err = snd_pcm_hw_params_set_rate_near(pcm, hw, &rate, nullptr)) < 0)
    failed = "cannot set capture sample rate (%s)\n";
  else if ((err = snd_pcm_hw_params_set_channels(pcm, hw, static_cast<unsigned>(channels))) < 0)
    failed = "cannot set capture channel count (%s)\n";
  else if ((err = snd_pcm_hw_params(pcm, hw)) < 0)
    failed = "cannot set capture parameters (%s)\n";
  snd_pcm_hw_params_free(hw);
  if (failed != nullptr) {
    LogErr(failed, snd_strerror(err));
    return false;
  }
  // Wake up once a whole period is in, whatever the device's own period.
  snd_pcm_sw_params_t *sw = nullptr;
  if (snd_pcm_sw_params_malloc(&sw) == 0) {
    if (snd_pcm_sw_params_current(pcm, sw) == 0 &&
        snd_pcm_sw_params_set_avail_min(pcm, sw,
                                        static_cast<snd_pcm_uframes_t>(works->audioFrames)) == 0)
      snd_pcm_sw_params(pcm, sw);
    snd_pcm_sw_params_free(sw);
  }
  if ((err = snd_pcm_prepare(pcm)) < 0) {
    LogErr("cannot prepare capture audio interface for use (%s)\n", snd_strerror(err));
    return false;
  }
  return true;
}

// An overrun (the thread was late) loses audio but not the device: start again.
bool recoverCapture(snd_pcm_t *pcm, int err) {
  if (err != -EPIPE && err != -ESTRPIPE) return false;
  return snd_pcm_prepare(pcm) >= 0 && snd_pcm_start(pcm) >= 0;
}

void endCapture(Works *works, int16_t *buffer) {
  free(buffer);
  if (works->capturePcm != nullptr) snd_pcm_close(static_cast<snd_pcm_t *>(works->capturePcm));
  works->capturePcm = nullptr;
}

}  // namespace

void WidenMonoToStereo(int16_t *samples, int frames) {
  // From the last sample backwards, so no mono sample is overwritten before it is copied.
  for (int k = frames - 1; k >= 0; --k) {
    int16_t s = samples[k];
    samples[2 * k] = s;
    samples[2 * k + 1] = s;
  }
}

void ExitAUDIOread(Works *works) {
  LogStderr("th_leggi ERR\n");
  AddErrore(works, ERR_AUDIO_READ);
  if (works->capturePcm != nullptr) snd_pcm_close(static_cast<snd_pcm_t *>(works->capturePcm));
  works->capturePcm = nullptr;
  works->catClosed = 1;
  {
    std::lock_guard<std::mutex> lock(works->playbackMutex);
    works->playbackReady = 0;
  }
  SetSetupChar(works, SB_EnableRead, '0');
}

void *th_leggi(void *arg) {
  Works *works = static_cast<Works *>(arg);
  const std::string device = SetupText(works, SB_AudioIn);
  const int channels = atoi(SetupText(works, SB_InChannels).c_str());
  const int frames = works->audioFrames;
  works->captureChannels = channels;
  status_th_leggi = 0;
  // The period buffer holds two channels: more would overrun it.
  if (channels != 1 && channels != 2) {
    LogErr("capture channel count %d refused: 1 or 2 only", channels);
    ExitAUDIOread(works);
    return nullptr;
  }
  if (frames <= 0) {
    LogErr("capture period of %d frames refused", frames);
    ExitAUDIOread(works);
    return nullptr;
  }

  int err = 0;
  snd_pcm_t *pcm = openCapture(works, device, &err);
  if (pcm == nullptr) {
    if (captureWanted(works)) ExitAUDIOread(works);
    return nullptr;
  }
  works->capturePcm = pcm;
  status_th_leggi = 1;
  if (!configureCapture(works, pcm, channels)) {
    ExitAUDIOread(works);
    return nullptr;
  }
  auto *buffer = static_cast<int16_t *>(calloc(static_cast<size_t>(frames) * 2, sizeof(int16_t)));
  if (buffer == nullptr) {
    LogErr("capture buffer not allocated\n");
    ExitAUDIOread(works);
    return nullptr;
  }
  if ((err = snd_pcm_start(pcm)) < 0) {
    LogErr("cannot start capture pcm handler (%s)\n", snd_strerror(err));
    free(buffer);
    ExitAUDIOread(works);
    return nullptr;
  }

  long long nextCheck = MonotonicMs() + kPresenceCheckMs;
  for (;;) {
    if (!works->running) {
      endCapture(works, buffer);
      return nullptr;
    }
    if (SetupChar(works, SB_EnableRead) != '1') {
      // Drop discards what is queued; a capture stream has nothing to drain.
      if ((err = snd_pcm_drop(pcm)) < 0) {
        LogErr("cannot drop capture pcm handler (%s)", snd_strerror(err));
        free(buffer);
        ExitAUDIOread(works);
        return nullptr;
      }
      endCapture(works, buffer);
      SetSetupChar(works, SB_EnableRead, '0');
      LogStderr("th_leggi END\n");
      return nullptr;
    }
    if (MonotonicMs() >= nextCheck) {
      nextCheck += kPresenceCheckMs;
      if (VerifyAudioNEB(works) == 0) {
        free(buffer);
        ExitAUDIOread(works);
        return nullptr;
      }
    }
    err = snd_pcm_wait(pcm, kWaitMs);
    if (err == 0) continue;
    snd_pcm_sframes_t got = err < 0 ? err : snd_pcm_avail_update(pcm);
    if (got >= 0 && got < frames) continue;
    if (got >= 0) got = snd_pcm_readi(pcm, buffer, static_cast<snd_pcm_uframes_t>(frames));
    if (got < 0) {
      if (recoverCapture(pcm, static_cast<int>(got))) continue;
      LogErr("cannot read from capture audio interface (%s)", snd_strerror(static_cast<int>(got)));
      free(buffer);
      ExitAUDIOread(works);
      return nullptr;
    }
    if (got != frames) continue;
    if (channels == 1) WidenMonoToStereo(buffer, frames);
    sendWebSockAudioFrame(works, buffer);
  }
}
