#pragma once
// The simulated USB audio interface of a root: its ALSA devices, the files
// behind them and its folder among the USB devices.
//
// ALSA is pointed at the root's own configuration (ALSA_CONFIG_PATH). Its
// capture device reads a named pipe that ombrix-sim-audio feeds in real time
// (over ALSA's null device a plain file would be read as fast as it can be);
// its playback device writes what is played to a file (null underneath, so
// it plays at once). Plugging and unplugging the interface is creating and
// removing its folder under sys/bus/usb/devices.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sim/remote_pair.h"

namespace sim {

// ALSA device names as the setup file gives them (AudioIn, AudioOut).
inline constexpr char kAudioInDevice[] = "sim_audio_in";
inline constexpr char kAudioOutDevice[] = "sim_audio_out";

inline std::string AlsaConfig(const std::string &root) {
  return root + "/etc/asound.conf";
}
// The environment entry that gives a program the root's ALSA devices.
inline std::string AlsaConfigEnv(const std::string &root) {
  return "ALSA_CONFIG_PATH=" + AlsaConfig(root);
}
// What the capture device reads: 16-bit little-endian samples, interleaved.
inline std::string AudioInFifo(const std::string &root) {
  return root + "/sim/audio-in.fifo";
}
// What the playback device has played since it was last opened: 16-bit
// little-endian stereo at 48 kHz.
inline std::string AudioOutFile(const std::string &root) {
  return root + "/sim/audio-out.raw";
}
inline std::string AudioCtl(const std::string &root) {
  return root + "/sim/audio.ctl";
}
// The interface's folder (USB id 0d8c:01af) among the USB devices.
inline std::string UsbAudioFolder(const std::string &root) {
  return root + "/sys/bus/usb/devices/1-1.3";
}

inline bool WriteSmallFile(const std::string &path, const std::string &text) {
  FILE *f = fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  bool ok = fputs(text.c_str(), f) >= 0;
  return fclose(f) == 0 && ok;
}

// Plugs (creates the folder with its id files) or unplugs (removes it) the
// USB audio interface.
inline bool PlugUsbAudio(const std::string &root, bool plugged) {
  const std::string dir = UsbAudioFolder(root);
  const std::string files[] = {dir + "/idVendor", dir + "/idProduct"};
  if (!plugged) {
    for (const std::string &f : files) unlink(f.c_str());
    return rmdir(dir.c_str()) == 0 || access(dir.c_str(), F_OK) != 0;
  }
  for (size_t i = 1; i <= dir.size(); ++i)
    if (i == dir.size() || dir[i] == '/') mkdir(dir.substr(0, i).c_str(), 0755);
  return WriteSmallFile(files[0], "0d8c\n") && WriteSmallFile(files[1], "01af\n");
}

// The root's ALSA configuration, the capture pipe and a plugged interface.
inline bool BuildAudioRoot(const std::string &root) {
  mkdir((root + "/etc").c_str(), 0755);
  mkdir((root + "/sim").c_str(), 0755);
  const std::string conf =
      std::string("# The simulated USB audio interface (written by ombrix-sim).\n") + "pcm." +
      kAudioInDevice +
      " {\n"
      "  type file\n"
      "  slave.pcm { type null }\n"
      "  file \"/dev/null\"\n"
      "  infile \"" +
      AudioInFifo(root) +
      "\"\n"
      "  format \"raw\"\n"
      "}\n"
      "pcm." +
      kAudioOutDevice +
      " {\n"
      "  type file\n"
      "  slave.pcm { type null }\n"
      "  file \"" +
      AudioOutFile(root) +
      "\"\n"
      "  format \"raw\"\n"
      "  perm 0644\n"
      "}\n";
  struct stat st;
  if (stat(AudioInFifo(root).c_str(), &st) != 0 && mkfifo(AudioInFifo(root).c_str(), 0644) != 0)
    return false;
  return WriteSmallFile(AlsaConfig(root), conf) && PlugUsbAudio(root, true);
}

// Setup lines that run remote audio on the simulated interface: capture and
// playback on, 10 ms periods, the given channel count and Opus bit rate
// (0 = raw PCM).
inline std::vector<SetupKey> AudioSetupKeys(int inChannels, int compress) {
  return {{"EnableRead", "1"},
          {"EnableWrite", "1"},
          {"AudioIn", kAudioInDevice},
          {"AudioOut", kAudioOutDevice},
          {"InChannels", std::to_string(inChannels)},
          {"Multiplier", "2"},
          {"AudioCompress", std::to_string(compress)}};
}

}  // namespace sim
