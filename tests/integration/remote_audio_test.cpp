// Remote audio with the real ombrix on the simulated USB audio interface
// (sim/audio_sim.h): the interface unplugged stops playback and capture with
// their errors in time.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

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
  app.signal(SIGTERM);
  EXPECT_GE(app.out().waitForText("Closed!", 40s), 0) << app.out().text(from);
}

}  // namespace
