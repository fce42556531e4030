// Remote audio with the real ombrix on the simulated USB audio interface
// (sim/audio_sim.h): a tone captured at the station reaches the operator
// unit's playback, raw and through Opus, mono widened to stereo; the
// interface unplugged stops playback and capture with their errors in time.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/audio_sim.h"
#include "support/sim_harness.h"

using namespace std::chrono_literals;
using simtest::Child;
using simtest::Clock;
using simtest::OmbrixProcess;
using simtest::SimRoot;

namespace {

// The sound at the interface's input (ombrix-sim-audio).
class AudioSim : public Child {
 public:
  bool start(const SimRoot &root, const std::string &tone) {
    return Child::start({simtest::BuildDir() + "/sim/ombrix-sim-audio", "--root", root.dir(),
                         "--tone", tone}) &&
           out().waitForText("audio ", 5000ms) >= 0;
  }
};

// A unit with audio both ways, its controller link on (errors are listed
// only once the controller has answered), on the simulated interface and the remote link
// as given ("0" none, "1" server, "2" client of 127.0.0.1 on port).
void prepareUnit(const SimRoot &root, int inChannels, int compress, const char *webSocket,
                 int port) {
  std::string setup =
      "EnableKeyb: 0\nEnableGPIO: 0\nEnableCAT: 0\nEnableLinear: 1\nLinPort: /dev/ttyAMA0\n"
      "EnableTime: 0\n"
      "EnableFFT: 0\nServer: 127.0.0.1\nWebSocket: " +
      std::string(webSocket) + "\nTcpPort: " + std::to_string(port) + "\n";
  for (const sim::SetupKey &k : sim::AudioSetupKeys(inChannels, compress))
    setup += k.key + ": " + k.value + "\n";
  root.writeFile("/opt/set/setup.txt", setup);
}

// What the unit's playback device has played: interleaved stereo samples.
std::vector<int16_t> played(const SimRoot &root) {
  std::ifstream in(sim::AudioOutFile(root.dir()), std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  std::string bytes = ss.str();
  std::vector<int16_t> s(bytes.size() / 4 * 2);
  memcpy(s.data(), bytes.data(), s.size() * 2);
  return s;
}

// A tone's frequency (from the positive-going zero crossings, interpolated)
// and its signal-to-noise ratio against the best sine of that frequency, on
// the left channel of the last `frames` stereo frames; and whether the right
// channel stays within maxDiff of the left.
struct ToneFit {
  double hz = 0, snrDb = 0;
  bool channelsMatch = true;
};
ToneFit fitTone(const std::vector<int16_t> &s, size_t frames, int maxDiff) {
  ToneFit fit;
  const size_t start = s.size() / 2 - frames;
  std::vector<double> x(frames);
  for (size_t i = 0; i < frames; ++i) {
    x[i] = s[2 * (start + i)];
    if (std::abs(s[2 * (start + i)] - s[2 * (start + i) + 1]) > maxDiff) fit.channelsMatch = false;
  }
  double first = -1, last = -1;
  int crossings = 0;
  for (size_t i = 0; i + 1 < frames; ++i)
    if (x[i] < 0 && x[i + 1] >= 0) {
      double t = static_cast<double>(i) + (-x[i]) / (x[i + 1] - x[i]);
      if (first < 0) first = t;
      last = t;
      ++crossings;
    }
  if (crossings < 2) return fit;
  fit.hz = (crossings - 1) / (last - first) * 48000.0;
  double ss = 0, sc = 0, w = 2 * M_PI * fit.hz / 48000.0;
  for (size_t i = 0; i < frames; ++i) {
    ss += x[i] * std::sin(w * static_cast<double>(i));
    sc += x[i] * std::cos(w * static_cast<double>(i));
  }
  double a = 2 * ss / static_cast<double>(frames), b = 2 * sc / static_cast<double>(frames);
  double sig = 0, noise = 0;
  for (size_t i = 0; i < frames; ++i) {
    double m = a * std::sin(w * static_cast<double>(i)) + b * std::cos(w * static_cast<double>(i));
    sig += m * m;
    noise += (x[i] - m) * (x[i] - m);
  }
  fit.snrDb = 10 * std::log10(sig / std::max(noise, 1e-9));
  return fit;
}

long long msSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

TEST(RemoteAudioRun, UnpluggedInterfaceStopsPlaybackAndCaptureWithTheirErrors) {
  SimRoot root;
  ASSERT_TRUE(root.ok());
  prepareUnit(root, 2, 0, "0", 0);
  simtest::ControllerSim ctl;
  ASSERT_TRUE(ctl.start(root));
  AudioSim audio;
  ASSERT_TRUE(audio.start(root, "1000"));
  OmbrixProcess app;
  ASSERT_TRUE(app.start(root));
  // Both sides open: playback waits for a peer, capture reads periods.
  ASSERT_GE(app.out().waitForText("playback buffer allocated", 60s), 0) << app.out().text();
  ASSERT_GE(app.out().waitForText("EIK 3 audio in", 5s), 0) << app.out().text();
  size_t from = app.out().size();
  auto unplugged = Clock::now();
  ASSERT_TRUE(sim::PlugUsbAudio(root.dir(), false));
  ASSERT_GE(app.out().waitForText("th_scrivi ERR", 2s, from), 0) << app.out().text(from);
  long long playbackMs = msSince(unplugged);
  ASSERT_GE(app.out().waitForText("th_leggi ERR", 4s, from), 0) << app.out().text(from);
  long long captureMs = msSince(unplugged);
  printf("unplugged: playback stopped after %lld ms, capture after %lld ms\n", playbackMs,
         captureMs);
  // Within the checks' periods (10 ms and 2 s), with room for a loaded machine.
  EXPECT_LT(playbackMs, 500);
  EXPECT_LT(captureMs, 2500);
  // Both listed: "Add: N: <count> err:<code>".
  EXPECT_GE(app.out().waitForText(" err:10", 1s, from), 0);
  EXPECT_GE(app.out().waitForText(" err:9", 1s, from), 0);
  app.stop();
}

// A station (server) whose receiver audio comes in mono, and an operator
// unit (client) on loopback, both with their controller and interface.
struct Pair {
  SimRoot station, op;
  simtest::ControllerSim stationCtl, opCtl;
  AudioSim stationAudio, opAudio;
  OmbrixProcess stationApp, opApp;

  void start(int compress) {
    ASSERT_TRUE(station.ok() && op.ok());
    int port = simtest::FreePort();
    prepareUnit(station, 1, compress, "1", port);
    prepareUnit(op, 2, compress, "2", port);
    ASSERT_TRUE(stationCtl.start(station) && opCtl.start(op));
    ASSERT_TRUE(stationAudio.start(station, "1000") && opAudio.start(op, "700"));
    ASSERT_TRUE(stationApp.start(station) && opApp.start(op));
    // Playback is prepared once the peer is there.
    ASSERT_GE(opApp.out().waitForText("output audio interface prepared", 90s), 0)
        << opApp.out().text();
    ASSERT_GE(stationApp.out().waitForText("output audio interface prepared", 10s), 0)
        << stationApp.out().text();
  }
  // Waits until the unit has played at least `frames` frames: woken by each
  // change in its sim folder, where the playback file is.
  bool waitPlayed(const SimRoot &root, size_t frames) {
    int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    inotify_add_watch(fd, (root.dir() + "/sim").c_str(), IN_MODIFY | IN_CREATE);
    auto deadline = Clock::now() + 20s;
    bool enough = false;
    auto size = [&] {
      struct stat st;
      return stat(sim::AudioOutFile(root.dir()).c_str(), &st) == 0 ? static_cast<size_t>(st.st_size)
                                                                   : 0;
    };
    while (!(enough = size() / 4 >= frames) && Clock::now() < deadline) {
      struct pollfd p = {fd, POLLIN, 0};
      poll(&p, 1, 1000);
      char events[4096];
      while (read(fd, events, sizeof events) > 0) {
      }
    }
    close(fd);
    return enough;
  }
  void stop() {
    stationApp.stop();
    opApp.stop();
  }
};

void toneBothWays(int compress, double minSnrDb, int maxChannelDiff) {
  Pair pair;
  ASSERT_NO_FATAL_FAILURE(pair.start(compress));
  // Two seconds of audio each way; the last second is measured.
  ASSERT_TRUE(pair.waitPlayed(pair.op, 2 * 48000)) << pair.opApp.out().text();
  ASSERT_TRUE(pair.waitPlayed(pair.station, 2 * 48000)) << pair.stationApp.out().text();
  ToneFit atOperator = fitTone(played(pair.op), 48000, maxChannelDiff);
  ToneFit atStation = fitTone(played(pair.station), 48000, maxChannelDiff);
  printf(
      "audio compress %d: station -> operator %.3f Hz SNR %.1f dB; operator -> station %.3f Hz "
      "SNR %.1f dB\n",
      compress, atOperator.hz, atOperator.snrDb, atStation.hz, atStation.snrDb);
  EXPECT_NEAR(atOperator.hz, 1000, 2);
  EXPECT_NEAR(atStation.hz, 700, 2);
  EXPECT_GT(atOperator.snrDb, minSnrDb);
  EXPECT_GT(atStation.snrDb, minSnrDb);
  // The station captured mono: both channels carry it.
  EXPECT_TRUE(atOperator.channelsMatch);
  pair.stop();
}

TEST(RemoteAudioRun, ToneGoesBothWaysRaw) {
  toneBothWays(0, 40, 0);
}

TEST(RemoteAudioRun, ToneGoesBothWaysThroughOpusAt64kbits) {
  toneBothWays(64000, 15, 2000);
}

}  // namespace
