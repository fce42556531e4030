// ombrix-sim-neb: the NEB transceiver as the amplifier sees it.
//
// On its EXT IO port (a pseudo-terminal) it sends, unasked, parameter
// records (frequency, VFO A/B and memory, mode, the transmit bit, squelch,
// volumes) and spectrum records (a noise floor with stations around the
// dial frequency), and it answers the amplifier's carrier requests:
// "TU120;TX2;" starts a tune carrier, "RX;" ends it. On its CAT port (a
// second pseudo-terminal, /dev/KIVOCAT0 in the root) it answers "DT;" with
// "DT001;" and "FA;" with the frequency, and echoes any other message.
//
// Frequency, VFO, mode, transmit, band and faults come from a control FIFO
// (one command per line, see sim/README-links.md). Every carrier request,
// CAT message and state change is reported as a line on standard output
// and in a log file, so people and tests can watch it.
//
// The record layout here is written from the transceiver's side on
// purpose, apart from the program's decoder, so each checks the other.
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>

#include "sim/links/sim_port.h"
#include "sim/sim_common.h"

namespace {

volatile sig_atomic_t gStop = 0;
void onStop(int) {
  gStop = 1;
}

long long nowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

constexpr double kBinHz = 187.5;  // spectrum bins
constexpr int kBins = 1024;       // bin 512 is the dial frequency

struct Radio {
  long long freqA = 14074000, freqB = 7074000, freqMem = 3573000;
  bool useB = false, memMode = false;
  int modeA = 6, modeB = 4;  // this simulator's convention: 4 LSB, 6 USB
  bool tx = false;           // keyed from the control channel
  bool carrier = false;      // tune carrier asked for by the amplifier
  int tunePower = 0;         // the TU value of the last carrier request
  int squelch = 0, volume = 40, sqBit5 = 0, smeter = 20;
  double driveWatts = 10.0;  // drive into the amplifier while transmitting
  bool silent = false, spectrum = true;
  double spectraPerSecond = 8, paramsPerSecond = 5;

  long long freq() const { return memMode ? freqMem : (useB ? freqB : freqA); }
  void setFreq(long long hz) {
    if (memMode)
      freqMem = hz;
    else if (useB)
      freqB = hz;
    else
      freqA = hz;
  }
  int mode() const { return useB ? modeB : modeA; }
  void setMode(int m) { (useB ? modeB : modeA) = m; }
  bool transmitting() const { return tx || carrier; }
};

struct Sim {
  Radio radio;
  simlinks::PtyPort extio, cat;
  std::string extioLink, catLink;
  simlinks::Reporter report;
  std::string fromAmp, fromCat;  // partial messages
  std::mt19937 rng{1};
  std::string ampCtl, ampFormat = "amp drive %g";  // where the drive goes, if anywhere
  bool lastTransmitting = false;
};

// ---- records ----

std::string frame(uint8_t type, const std::string &body) {
  std::string r;
  r += static_cast<char>(type);
  r += type == 0 ? '0' : '1';
  for (int i = 0; i < 4; ++i) r += static_cast<char>(0x30 + ((body.size() >> (4 * i)) & 0xF));
  return r + body;
}

std::string parameterBody(const Radio &r) {
  std::string b(31, '\0');
  uint32_t f = static_cast<uint32_t>(r.freq());
  b[0] = static_cast<char>((r.useB ? 0x30 : 0x00) | (r.memMode ? 0x01 : 0x00));
  for (int i = 1; i <= 8; ++i) b[i] = static_cast<char>(0x30 | ((f >> (4 * (8 - i))) & 0xF));
  b[9] = static_cast<char>(0x80 | (r.transmitting() ? 0x40 : 0) | (r.mode() & 0x0F));
  b[10] = static_cast<char>(0x40);  // main volume, signs +
  b[11] = static_cast<char>(0x40 | (r.sqBit5 ? 0x20 : 0) | (r.squelch & 0x0F));
  b[12] = static_cast<char>(0x80 | (2 << 3));  // filter 3
  b[13] = static_cast<char>(0x40 | 0x01);
  b[14] = static_cast<char>(0x30 | 1);  // noise reduction 1
  b[15] = static_cast<char>(0x30 | 0);  // noise blanker off
  b[16] = static_cast<char>(0x60 | 4);
  b[17] = static_cast<char>(0x60 | 9);
  b[18] = static_cast<char>(0x30 | 2);
  b[19] = static_cast<char>(0x60 | (1 << 2) | 1);
  b[20] = static_cast<char>(0x40 | (1 << 1) | 1);  // antenna 1
  b[21] = static_cast<char>(211 + std::clamp(r.smeter, -211, 44));
  b[22] = static_cast<char>(r.volume & 0x7F);
  for (int i = 23; i <= 30; ++i) b[i] = 0x30;  // no shift, no offset
  return b;
}

// A deterministic band full of stations: each 5 kHz slot may hold one, so
// signals stay where they are while the dial moves.
uint32_t hash(long long v) {
  uint64_t x = static_cast<uint64_t>(v) * 0x9E3779B97F4A7C15ull;
  x ^= x >> 29;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 32;
  return static_cast<uint32_t>(x);
}

std::string spectrumBody(Sim &s) {
  const Radio &r = s.radio;
  std::vector<double> mw(kBins);  // power per bin, milliwatts
  std::normal_distribution<double> jitter(0.0, 1.5);
  for (int i = 0; i < kBins; ++i) mw[i] = std::pow(10.0, (-125.0 + jitter(s.rng)) / 10);
  const long long centre = r.freq();
  const double span = kBins / 2 * kBinHz;
  auto add = [&](double hz, double dbm, double widthHz) {
    double bin = (hz - centre) / kBinHz + kBins / 2;
    double w = std::max(widthHz / kBinHz, 0.6);
    for (int i = std::max(0, static_cast<int>(bin - 3 * w)); i < kBins && i <= bin + 3 * w; ++i) {
      double d = (i - bin) / w;
      mw[i] += std::pow(10.0, dbm / 10) * std::exp(-d * d);
    }
  };
  for (long long slot = (centre - static_cast<long long>(span)) / 5000 - 1;
       slot <= (centre + static_cast<long long>(span)) / 5000 + 1; ++slot) {
    uint32_t h = hash(slot);
    if (h % 3 != 0) continue;
    double hz = slot * 5000.0 + (h >> 8) % 4000;
    double dbm = -112.0 + (h >> 16) % 50;
    double width = (h >> 24) % 2 ? 2400.0 : 150.0;  // a voice or a telegraphy signal
    // Voices come and go.
    if (width > 1000 && std::uniform_int_distribution<int>(0, 9)(s.rng) < 3) continue;
    add(hz, dbm, width);
  }
  if (r.transmitting()) add(static_cast<double>(centre), -15.0, 100.0);
  std::string b(kBins, '\0');
  for (int i = 0; i < kBins; ++i) {
    double level = 10 * std::log10(mw[i]);
    b[i] = static_cast<char>(std::clamp(static_cast<int>(std::lround(level)) + 192, 0, 255));
  }
  return b;
}

void sendParameters(Sim &s) {
  if (!s.radio.silent) s.extio.send(frame(1, parameterBody(s.radio)), true);
}

// The amplifier model hears the drive change, if it was given a channel.
void driveChanged(Sim &s) {
  bool tx = s.radio.transmitting();
  if (tx == s.lastTransmitting) return;
  s.lastTransmitting = tx;
  s.report(std::string("tx ") + (tx ? "on" : "off") + (s.radio.carrier ? " carrier" : ""));
  if (s.ampCtl.empty()) return;
  char line[128];
  snprintf(line, sizeof line, s.ampFormat.c_str(), tx ? s.radio.driveWatts : 0.0);
  std::string l = std::string(line) + "\n";
  int fd = open(s.ampCtl.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    s.report("amp channel " + s.ampCtl + " not open: " + strerror(errno));
    return;
  }
  if (write(fd, l.data(), l.size()) < 0) s.report("amp channel write failed");
  close(fd);
}

// ---- what the amplifier writes on the EXT IO port ----

void fromAmplifier(Sim &s, const std::string &bytes) {
  for (char c : bytes) {
    if (c == ';') {
      std::string msg = s.fromAmp;
      s.fromAmp.clear();
      s.report("> " + msg + ";");
      if (msg.rfind("TU", 0) == 0) {
        long long v = 0;
        if (simlinks::number(msg.substr(2), &v)) s.radio.tunePower = static_cast<int>(v);
      } else if (msg == "TX2" || msg == "TX1" || msg == "TX") {
        s.radio.carrier = true;
      } else if (msg == "RX") {
        s.radio.carrier = false;
      }
      driveChanged(s);
      sendParameters(s);
    } else if (static_cast<unsigned char>(c) >= 0x20 && c < 0x7F) {
      s.fromAmp += c;
      if (s.fromAmp.size() > 200) s.fromAmp.clear();
    }
  }
}

// ---- the CAT port ----

void fromCatPort(Sim &s, const std::string &bytes) {
  for (char c : bytes) {
    s.fromCat += c;
    if (c == ';') {
      std::string msg = s.fromCat;
      s.fromCat.clear();
      s.report("cat> " + msg);
      std::string answer;
      if (msg == "DT;") {
        answer = "DT001;";
      } else if (msg == "FA;") {
        char b[32];
        snprintf(b, sizeof b, "FA%011lld;", s.radio.freq());
        answer = b;
      } else {
        answer = msg;  // echoed, as a loop-back for remote CAT traffic
      }
      s.cat.send(answer, false);
      s.report("cat< " + answer);
    } else if (s.fromCat.size() > 256) {
      s.fromCat.clear();
    }
  }
}

// ---- the control channel ----

bool control(Sim &s, const std::string &line) {
  auto w = simlinks::words(line);
  if (w.empty()) return true;
  Radio &r = s.radio;
  long long v = 0;
  double d = 0;
  bool ok = false, params = true;
  const std::string &cmd = w[0];
  const std::string arg = w.size() > 1 ? w[1] : std::string();
  if (cmd == "freq" && w.size() == 2 && simlinks::number(arg, &v) && v > 0 && v < 100000000) {
    r.setFreq(v);
    ok = true;
  } else if (cmd == "band" && w.size() == 2 && simlinks::bandFrequency(arg, &v)) {
    r.setFreq(v);
    ok = true;
  } else if (cmd == "vfo" && w.size() == 2 && (arg == "a" || arg == "b")) {
    r.useB = arg == "b";
    r.memMode = false;
    ok = true;
  } else if (cmd == "mem" && w.size() == 2) {
    if (arg == "on" || arg == "off") {
      r.memMode = arg == "on";
      ok = true;
    } else if (simlinks::number(arg, &v) && v > 0 && v < 100000000) {
      r.memMode = true;
      r.freqMem = v;
      ok = true;
    }
  } else if (cmd == "mode" && w.size() == 2) {
    if (arg == "lsb")
      v = 4;
    else if (arg == "usb")
      v = 6;
    else if (!simlinks::number(arg, &v))
      v = -1;
    if (v >= 0 && v <= 15) {
      r.setMode(static_cast<int>(v));
      ok = true;
    }
  } else if (cmd == "tx" && (w.size() == 2 || w.size() == 3) && (arg == "on" || arg == "off")) {
    ok = w.size() == 2 || (simlinks::decimal(w[2], &d) && d >= 0);
    if (ok) {
      if (w.size() == 3) r.driveWatts = d;
      r.tx = arg == "on";
      driveChanged(s);
    }
  } else if (cmd == "power" && w.size() == 2 && simlinks::decimal(arg, &d) && d >= 0) {
    r.driveWatts = d;
    ok = true;
  } else if (cmd == "squelch" && w.size() == 2 && simlinks::number(arg, &v) && v >= 0 && v <= 15) {
    r.squelch = static_cast<int>(v);
    ok = true;
  } else if (cmd == "sqbit5" && w.size() == 2 && (arg == "0" || arg == "1")) {
    r.sqBit5 = arg == "1";
    ok = true;
  } else if (cmd == "volume" && w.size() == 2 && simlinks::number(arg, &v) && v >= 0 && v <= 127) {
    r.volume = static_cast<int>(v);
    ok = true;
  } else if (cmd == "smeter" && w.size() == 2 && simlinks::number(arg, &v)) {
    r.smeter = static_cast<int>(v);
    ok = true;
  } else if (cmd == "silent" && (arg == "on" || arg == "off")) {
    r.silent = arg == "on";
    ok = true;
  } else if (cmd == "spectrum" && (arg == "on" || arg == "off")) {
    r.spectrum = arg == "on";
    ok = true;
  } else if (cmd == "rate" && w.size() == 3 && simlinks::decimal(w[2], &d) && d > 0 && d <= 50 &&
             (arg == "spectrum" || arg == "params")) {
    (arg == "spectrum" ? r.spectraPerSecond : r.paramsPerSecond) = d;
    ok = true;
  } else if (cmd == "unplug" && w.size() == 1) {
    s.extio.unplug();
    s.report("unplugged");
    ok = true;
    params = false;
  } else if (cmd == "plug" && w.size() == 1) {
    if (!s.extio.isOpen() && s.extio.open(s.extioLink)) {
      s.report("pty " + s.extio.name + " linked at " + s.extioLink);
      ok = true;
    }
  } else if (cmd == "status" && w.size() == 1) {
    char b[200];
    snprintf(b, sizeof b, "status freq %lld vfo %s mem %d mode %d tx %d carrier %d tune %d",
             r.freq(), r.useB ? "b" : "a", r.memMode ? 1 : 0, r.mode(), r.tx ? 1 : 0,
             r.carrier ? 1 : 0, r.tunePower);
    s.report(b);
    return true;
  }
  s.report((ok ? "ctl " : "ctl error: ") + line);
  if (ok && params) sendParameters(s);
  return ok;
}

void usage() {
  fprintf(stderr,
          "usage: ombrix-sim-neb [--root DIR] [--port PATH] [--cat PATH|none] [--log FILE]\n"
          "         [--ctl FIFO] [--amp-ctl FIFO] [--amp-drive FORMAT] [--quiet] [CONTROL]...\n"
          "  --root DIR   EXT IO port at DIR + the setup's SerPort (default /dev/ttyUSB1), CAT\n"
          "               port at DIR/dev/KIVOCAT0, control channel DIR/sim/neb.ctl,\n"
          "               log DIR/sim/neb.log\n"
          "  --amp-ctl    FIFO of the amplifier model that hears the drive while transmitting,\n"
          "               as FORMAT with the watts (default \"amp drive %%g\")\n"
          "  CONTROL      control lines applied at start, e.g. \"band 40m\" \"vfo b\"\n");
}

}  // namespace

int main(int argc, char **argv) {
  Sim s;
  simlinks::DeviceArgs args;
  if (!simlinks::ParseDeviceArgs(argc, argv,
                                 {{"--port", &s.extioLink},
                                  {"--cat", &s.catLink},
                                  {"--amp-ctl", &s.ampCtl},
                                  {"--amp-drive", &s.ampFormat}},
                                 &args)) {
    usage();
    return 2;
  }
  if (s.ampFormat.find("%g") == std::string::npos ||
      s.ampFormat.find('%') != s.ampFormat.rfind('%')) {
    fprintf(stderr, "ombrix-sim-neb: --amp-drive needs one %%g\n");
    return 2;
  }
  if (!args.root.empty()) {
    if (s.extioLink.empty())
      s.extioLink = args.root + simlinks::setupValue(args.root, "SerPort", "/dev/ttyUSB1");
    if (s.catLink.empty()) s.catLink = args.root + "/dev/KIVOCAT0";
    if (args.logPath.empty()) args.logPath = args.root + "/sim/neb.log";
    if (args.ctlPath.empty()) args.ctlPath = args.root + "/sim/neb.ctl";
  }
  if (s.catLink == "none") s.catLink.clear();

  sigset_t waitMask;
  sim::InstallStopSignals(onStop, &waitMask);
  simlinks::ControlFifo ctl;
  if (!simlinks::OpenLogAndControl("ombrix-sim-neb", args, &s.report, &ctl)) return 1;
  for (const auto &line : args.startLines)
    if (!control(s, line)) return 2;
  if (!s.extio.open(s.extioLink)) {
    fprintf(stderr, "ombrix-sim-neb: no EXT IO port at %s: %s\n", s.extioLink.c_str(),
            strerror(errno));
    return 1;
  }
  s.report("pty " + s.extio.name + (s.extioLink.empty() ? "" : " linked at " + s.extioLink));
  if (!s.catLink.empty()) {
    if (!s.cat.open(s.catLink)) {
      fprintf(stderr, "ombrix-sim-neb: no CAT port at %s: %s\n", s.catLink.c_str(),
              strerror(errno));
      return 1;
    }
    s.report("cat pty " + s.cat.name + " linked at " + s.catLink);
  }

  long long nextSpectrum = nowMs(), nextParams = nowMs();
  while (!gStop) {
    long long now = nowMs();
    if (now >= nextParams) {
      sendParameters(s);
      nextParams = now + static_cast<long long>(1000 / s.radio.paramsPerSecond);
    }
    if (now >= nextSpectrum) {
      if (!s.radio.silent && s.radio.spectrum) s.extio.send(frame(0, spectrumBody(s)), true);
      nextSpectrum = now + static_cast<long long>(1000 / s.radio.spectraPerSecond);
    }
    struct pollfd p[3] = {
        {s.extio.master, POLLIN, 0}, {s.cat.master, POLLIN, 0}, {ctl.fd, POLLIN, 0}};
    if (!s.extio.out.empty()) p[0].events |= POLLOUT;
    if (!s.cat.out.empty()) p[1].events |= POLLOUT;
    long long wait = std::max(0LL, std::min(nextParams, nextSpectrum) - nowMs());
    struct timespec ts = {static_cast<time_t>(wait / 1000),
                          static_cast<long>(wait % 1000) * 1000000};
    int r = ppoll(p, 3, &ts, &waitMask);
    if (r < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (p[0].revents & POLLIN) fromAmplifier(s, s.extio.receive());
    if (p[0].revents & POLLOUT) s.extio.flush();
    if (p[1].revents & POLLIN) fromCatPort(s, s.cat.receive());
    if (p[1].revents & POLLOUT) s.cat.flush();
    if (p[2].revents & POLLIN)
      for (const auto &line : ctl.lines()) control(s, line);
  }

  s.extio.unplug();
  s.cat.unplug();
  ctl.close();
  s.report("stopped");
  if (s.report.log) fclose(s.report.log);
  return 0;
}
