// Remote audio: mono widening, the USB audio interface's presence, and the
// playback of received SO frames on a real ALSA device (the file plugin over
// null, so what is played lands in a file).
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>
#include <opus/opus.h>

#include <cmath>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "core/setup.h"
#include "remote/audio.h"
#include "sim/audio_sim.h"
#include "support/temp_root.h"

namespace {

TEST(RemoteAudio, MonoPeriodIsWidenedSampleBySample) {
  std::vector<int16_t> period(960, -1);
  for (int k = 0; k < 480; ++k) period[static_cast<size_t>(k)] = static_cast<int16_t>(k * 3 - 700);
  WidenMonoToStereo(period.data(), 480);
  for (int k = 0; k < 480; ++k) {
    ASSERT_EQ(period[2 * static_cast<size_t>(k)], k * 3 - 700) << k;
    ASSERT_EQ(period[2 * static_cast<size_t>(k) + 1], k * 3 - 700) << k;
  }
}

TEST(RemoteAudio, InterfaceIsSeenWhilePluggedAndByItsIdOnly) {
  TempRoot root;
  Works w;
  EXPECT_EQ(VerifyAudioNEB(&w), 0);  // no USB device folder at all
  ASSERT_TRUE(sim::PlugUsbAudio(root.dir(), true));
  // Another device of the same maker, and an interface folder without ids.
  mkdir(root.path("/sys/bus/usb/devices/1-2").c_str(), 0755);
  root.writeFile("/sys/bus/usb/devices/1-2/idVendor", "0d8c\n");
  root.writeFile("/sys/bus/usb/devices/1-2/idProduct", "0014\n");
  mkdir(root.path("/sys/bus/usb/devices/1-1.3:1.0").c_str(), 0755);
  EXPECT_EQ(VerifyAudioNEB(&w), 1);
  EXPECT_EQ(Get_AudioNEB(&w), 2);
  ASSERT_TRUE(sim::PlugUsbAudio(root.dir(), false));
  EXPECT_EQ(VerifyAudioNEB(&w), 0);
  // A different device in the folder where the interface was seen last.
  ASSERT_TRUE(sim::PlugUsbAudio(root.dir(), true));
  EXPECT_EQ(VerifyAudioNEB(&w), 1);
  root.writeFile("/sys/bus/usb/devices/1-1.3/idProduct", "0014\n");
  EXPECT_EQ(VerifyAudioNEB(&w), 0);
}

// A playback device as the playback thread leaves it: 48 kHz stereo S16_LE,
// 20 periods of 1024 frames, a zeroed one-period buffer, ready.
class PlaybackRig : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/ombrix-audio-XXXXXX";
    dir_ = mkdtemp(tmpl);
    out_ = dir_ + "/played.raw";
    w_ = std::make_unique<Works>();
    w_->setup = &setup_;
    initSetup(w_.get());
    SetSetupChar(w_.get(), SB_EnableWrite, '1');
    w_->audioFrames = 480;
    w_->audioFormat = SND_PCM_FORMAT_S16_LE;
    w_->audioRate = 48000;
  }
  void TearDown() override {
    closeDevice();
    if (w_->opusDecoder) opus_decoder_destroy(static_cast<OpusDecoder *>(w_->opusDecoder));
    unlink(out_.c_str());
    rmdir(dir_.c_str());
  }
  void openDevice() {
    std::string conf =
        "pcm.played { type file slave.pcm { type null } file \"" + out_ + "\" format \"raw\" }\n";
    snd_config_t *cfg = nullptr;
    snd_input_t *in = nullptr;
    ASSERT_EQ(snd_config_top(&cfg), 0);
    ASSERT_EQ(snd_input_buffer_open(&in, conf.c_str(), static_cast<ssize_t>(conf.size())), 0);
    ASSERT_EQ(snd_config_load(cfg, in), 0);
    snd_input_close(in);
    snd_pcm_t *pcm = nullptr;
    ASSERT_EQ(snd_pcm_open_lconf(&pcm, "played", SND_PCM_STREAM_PLAYBACK, 0, cfg), 0);
    snd_config_delete(cfg);
    ASSERT_EQ(snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 2,
                                 48000, 0, 426667),
              0);
    w_->playbackPcm = pcm;
    w_->playbackBuffer = static_cast<uint8_t *>(calloc(480 * 4, 1));
    w_->playbackReady = 1;
  }
  void closeDevice() {
    if (w_->playbackPcm) snd_pcm_close(static_cast<snd_pcm_t *>(w_->playbackPcm));
    w_->playbackPcm = nullptr;
    free(w_->playbackBuffer);
    w_->playbackBuffer = nullptr;
  }
  std::vector<int16_t> played() {
    closeDevice();  // the file plugin writes out what it still holds
    std::ifstream in(out_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string bytes = ss.str();
    std::vector<int16_t> s(bytes.size() / 2);
    memcpy(s.data(), bytes.data(), s.size() * 2);
    return s;
  }
  void play(PlaybackSide side, const std::vector<uint8_t> &bytes) {
    PlayRemoteAudio(w_.get(), side, &levels_, bytes.data(), static_cast<int>(bytes.size()));
  }

  std::string dir_, out_;
  Lumosetup setup_;
  std::unique_ptr<Works> w_;
  PlaybackLevels levels_;
};

std::vector<uint8_t> rawPeriod(int16_t first) {
  std::vector<uint8_t> b(480 * 4);
  for (size_t i = 0; i < 960; ++i) {
    auto v = static_cast<uint16_t>(first + static_cast<int16_t>(i));
    b[2 * i] = static_cast<uint8_t>(v & 0xFF);
    b[2 * i + 1] = static_cast<uint8_t>(v >> 8);
  }
  return b;
}

TEST_F(PlaybackRig, RawFramesArePlayedAsTheyCameOnlyWhileEnabledAndReady) {
  openDevice();
  play(PLAYBACK_SERVER, rawPeriod(100));
  play(PLAYBACK_CLIENT, rawPeriod(-3000));
  SetSetupChar(w_.get(), SB_EnableWrite, '0');
  play(PLAYBACK_CLIENT, rawPeriod(5));  // dropped: playback switched off
  SetSetupChar(w_.get(), SB_EnableWrite, '1');
  w_->playbackReady = 0;
  play(PLAYBACK_SERVER, rawPeriod(7));     // dropped: the server waits for ready
  play(PLAYBACK_CLIENT, rawPeriod(9));     // the client measures, plays nothing
  EXPECT_EQ(levels_.free1, levels_.free);  // measured though nothing was played
  std::vector<int16_t> s = played();
  ASSERT_EQ(s.size(), 1920u);
  EXPECT_EQ(s[0], 100);
  EXPECT_EQ(s[959], 100 + 959);
  EXPECT_EQ(s[960], -3000);
  EXPECT_EQ(s[1919], -3000 + 959);
}

TEST_F(PlaybackRig, OpusFramesAreDecodedAndABadOneBecomesSilence) {
  int err = 0;
  w_->audioCompress = 64000;
  w_->opusDecoder = opus_decoder_create(48000, 2, &err);
  OpusEncoder *enc = opus_encoder_create(48000, 2, OPUS_APPLICATION_AUDIO, &err);
  opus_encoder_ctl(enc, OPUS_SET_BITRATE(64000));
  openDevice();
  std::vector<int16_t> pcm(2 * 960);
  std::vector<uint8_t> packet(4000);
  double phase = 0;
  const int periods = 20;
  for (int p = 0; p < periods; ++p) {
    for (int i = 0; i < 480; ++i, phase += 2 * M_PI * 1000 / 48000)
      pcm[2 * i] = pcm[2 * i + 1] = static_cast<int16_t>(10000 * std::sin(phase));
    int n = opus_encode(enc, pcm.data(), 480, packet.data(), static_cast<int>(packet.size()));
    ASSERT_GT(n, 0);
    play(PLAYBACK_CLIENT, std::vector<uint8_t>(packet.begin(), packet.begin() + n));
  }
  // A 20 ms packet does not fit a 10 ms period: one period of silence instead.
  int n = opus_encode(enc, pcm.data(), 960, packet.data(), static_cast<int>(packet.size()));
  ASSERT_GT(n, 0);
  play(PLAYBACK_SERVER, std::vector<uint8_t>(packet.begin(), packet.begin() + n));
  opus_encoder_destroy(enc);

  std::vector<int16_t> s = played();
  ASSERT_EQ(s.size(), static_cast<size_t>(2 * 480 * (periods + 1)));
  // The tone is there after the codec's start-up: count its sign changes
  // over the last 10 periods (100 ms of 1 kHz: 200 of them).
  int changes = 0;
  double energy = 0;
  for (size_t i = 2 * 480 * 10; i < 2 * 480 * periods; i += 2) {
    if (i > 2 * 480 * 10 && (s[i] >= 0) != (s[i - 2] >= 0)) ++changes;
    energy += double(s[i]) * s[i];
  }
  EXPECT_NEAR(changes, 200, 4);
  EXPECT_GT(std::sqrt(energy / (480 * 10)), 5000);
  for (size_t i = 2 * 480 * periods; i < s.size(); ++i) ASSERT_EQ(s[i], 0) << i;
}

TEST(RemoteAudio, MoreThan4800QueuedFramesAskForAResetThenPlayingGoesOn) {
  PlaybackLevels lv;
  EXPECT_FALSE(PlaybackQueueTooDeep(&lv, -32));  // an underrun measures nothing
  EXPECT_EQ(lv.free1, 0);
  const long empty = 20480;
  for (int k = 0; k <= 10; ++k) ASSERT_FALSE(PlaybackQueueTooDeep(&lv, empty - 480 * k)) << k;
  EXPECT_EQ(lv.free1 - lv.minfree, 4800);  // exactly 100 ms still plays
  EXPECT_TRUE(PlaybackQueueTooDeep(&lv, empty - 480 * 11));
  EXPECT_EQ(lv.minfree, lv.free1);
  // After the reset the device is empty again and frames play.
  EXPECT_FALSE(PlaybackQueueTooDeep(&lv, empty));
  EXPECT_FALSE(PlaybackQueueTooDeep(&lv, empty - 480));
  EXPECT_EQ(lv.free1, empty);
}

}  // namespace
