// ombrix-sim-audio: the sound that reaches the USB audio interface's input
// (the transceiver's receiver audio at the station, the microphone at the
// operator's place), and the interface's USB plug.
//
// It writes a tone, one period at a time in real time, into the named pipe
// that the root's ALSA capture device reads (sim/audio_sim.h). Periods go in
// whole, of the size ombrix reads, so each read takes exactly one; while
// nobody reads they are dropped, and the pipe holds at most about two, so
// what ombrix captures is never more than a few periods old. Control lines:
// "tone HZ", "level DBFS", "silence", "unplug", "plug", "status". A change of
// sound is reported with the monotonic time (ms) of the first period that
// carries it: "ctl tone 1000 at 123456".
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>

#include <cmath>
#include <cstdint>

#include "sim/audio_sim.h"
#include "sim/links/sim_port.h"
#include "sim/sim_common.h"

namespace {

volatile sig_atomic_t gStop = 0;
void onStop(int) {
  gStop = 1;
}

constexpr int kRate = 48000;

long long nowNs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

struct Sim {
  simlinks::Reporter report;
  std::string root;
  int fifo = -1;
  int channels = 2;
  int period = 480;
  double tone = 1000;  // Hz; 0 = silence
  double level = -10;  // dBFS
  double phase = 0;
  std::string pending;  // a change to report once its first period is out
  long long written = 0, dropped = 0;
};

void fillPeriod(Sim &s, std::vector<int16_t> *out) {
  out->resize(static_cast<size_t>(s.period * s.channels));
  const double amp = s.tone > 0 ? 32767.0 * std::pow(10.0, s.level / 20.0) : 0;
  const double step = 2 * M_PI * s.tone / kRate;
  for (int i = 0; i < s.period; ++i) {
    auto v = static_cast<int16_t>(std::lround(amp * std::sin(s.phase)));
    s.phase += step;
    for (int c = 0; c < s.channels; ++c) (*out)[static_cast<size_t>(i * s.channels + c)] = v;
  }
  s.phase = std::fmod(s.phase, 2 * M_PI);
}

void writePeriod(Sim &s) {
  std::vector<int16_t> samples;
  fillPeriod(s, &samples);
  ssize_t n = write(s.fifo, samples.data(), samples.size() * sizeof(int16_t));
  if (n < 0) {
    ++s.dropped;  // nobody reading: the interface's input goes on regardless
    return;
  }
  ++s.written;
  if (!s.pending.empty()) {
    s.report("ctl " + s.pending + " at " + std::to_string(nowNs() / 1000000));
    s.pending.clear();
  }
}

bool control(Sim &s, const std::string &line) {
  auto w = simlinks::words(line);
  double v = 0;
  if (w.size() == 2 && w[0] == "tone" && simlinks::decimal(w[1], &v) && v > 0 && v < kRate / 2) {
    s.tone = v;
    s.pending = line;
  } else if (w.size() == 2 && w[0] == "level" && simlinks::decimal(w[1], &v) && v <= 0) {
    s.level = v;
    s.pending = line;
  } else if (w.size() == 1 && w[0] == "silence") {
    s.tone = 0;
    s.pending = line;
  } else if (w.size() == 1 && (w[0] == "plug" || w[0] == "unplug")) {
    if (!sim::PlugUsbAudio(s.root, w[0] == "plug")) {
      s.report("ctl error: " + line + ": " + strerror(errno));
      return false;
    }
    s.report("ctl " + line);
  } else if (w.size() == 1 && w[0] == "status") {
    s.report("ctl status tone=" + std::to_string(s.tone) + " level=" + std::to_string(s.level) +
             " periods=" + std::to_string(s.written) + " dropped=" + std::to_string(s.dropped));
  } else {
    s.report("ctl error: " + line);
    return false;
  }
  return true;
}

void usage() {
  fprintf(stderr,
          "usage: ombrix-sim-audio [--root DIR] [--fifo PATH] [--tone HZ] [--level DBFS]\n"
          "         [--channels N] [--period FRAMES] [--log FILE] [--ctl FIFO] [--quiet]\n"
          "         [CONTROL]...\n"
          "  --root DIR     the capture pipe DIR/sim/audio-in.fifo, control channel\n"
          "                 DIR/sim/audio.ctl, log DIR/sim/audio.log; channels and period\n"
          "                 from the setup file (InChannels, Multiplier x 240)\n"
          "  --tone HZ      the tone at start (default 1000); --level its level (default -10)\n");
}

}  // namespace

int main(int argc, char **argv) {
  Sim s;
  std::string fifoPath, tone, level, channels, period;
  simlinks::DeviceArgs args;
  if (!simlinks::ParseDeviceArgs(argc, argv,
                                 {{"--fifo", &fifoPath},
                                  {"--tone", &tone},
                                  {"--level", &level},
                                  {"--channels", &channels},
                                  {"--period", &period}},
                                 &args)) {
    usage();
    return 2;
  }
  s.root = args.root;
  if (!args.root.empty()) {
    if (fifoPath.empty()) fifoPath = sim::AudioInFifo(args.root);
    if (args.logPath.empty()) args.logPath = args.root + "/sim/audio.log";
    if (args.ctlPath.empty()) args.ctlPath = sim::AudioCtl(args.root);
    if (channels.empty()) channels = simlinks::setupValue(args.root, "InChannels", "2");
    if (period.empty())
      period =
          std::to_string(atoi(simlinks::setupValue(args.root, "Multiplier", "1").c_str()) * 240);
  }
  long long n = 0;
  double v = 0;
  if (fifoPath.empty() ||
      (!channels.empty() && (!simlinks::number(channels, &n) || n < 1 || n > 2)) ||
      (!period.empty() && (!simlinks::number(period, &n) || n < 1 || n > 48000)) ||
      (!tone.empty() && !simlinks::decimal(tone, &v)) ||
      (!level.empty() && !simlinks::decimal(level, &v))) {
    usage();
    return 2;
  }
  if (!channels.empty()) s.channels = atoi(channels.c_str());
  if (!period.empty()) s.period = atoi(period.c_str());
  if (!tone.empty()) s.tone = atof(tone.c_str());
  if (!level.empty()) s.level = atof(level.c_str());

  sigset_t waitMask;
  sim::InstallStopSignals(onStop, &waitMask);
  simlinks::ControlFifo ctl;
  if (!simlinks::OpenLogAndControl("ombrix-sim-audio", args, &s.report, &ctl)) return 1;
  struct stat st;
  if (stat(fifoPath.c_str(), &st) != 0) mkfifo(fifoPath.c_str(), 0644);
  // Read-write: the pipe always has a writer, so ALSA's open of it does not
  // wait and a reader that goes away does not end this program.
  s.fifo = open(fifoPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (s.fifo < 0) {
    fprintf(stderr, "ombrix-sim-audio: can't open %s: %s\n", fifoPath.c_str(), strerror(errno));
    return 1;
  }
  fcntl(s.fifo, F_SETPIPE_SZ, 4096);
  s.report("audio " + fifoPath + " " + std::to_string(s.channels) + " channel(s), " +
           std::to_string(s.period) + " frames a period");
  for (const auto &line : args.startLines)
    if (!control(s, line)) return 2;

  const long long periodNs = 1000000000LL * s.period / kRate;
  long long next = nowNs();
  while (!gStop) {
    long long now = nowNs();
    if (now >= next) {
      writePeriod(s);
      next += periodNs;
      if (now - next > 10 * periodNs) next = now + periodNs;  // was stopped: no catching up
      continue;
    }
    struct pollfd p = {ctl.fd, POLLIN, 0};
    timespec wait = {static_cast<time_t>((next - now) / 1000000000LL),
                     static_cast<long>((next - now) % 1000000000LL)};
    if (ppoll(&p, ctl.fd >= 0 ? 1 : 0, &wait, &waitMask) > 0 && (p.revents & POLLIN))
      for (const auto &line : ctl.lines()) control(s, line);
  }
  close(s.fifo);
  ctl.close();
  s.report("stopped");
  if (s.report.log) fclose(s.report.log);
  return 0;
}
