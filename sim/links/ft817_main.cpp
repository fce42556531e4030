// ombrix-sim-ft817: an FT-817's CAT port on a pseudo-terminal.
//
// Commands are five bytes: four parameter bytes, then the opcode. It
// answers 0x03 (read frequency and mode) with the frequency as eight BCD
// digits in units of 10 Hz and the mode byte; 0x01 sets the frequency and
// 0x07 the mode (no answer, as the radio does). Bytes of a command that
// stay incomplete for 200 ms are dropped, so a stray byte cannot shift
// every later command.
//
// The control FIFO (one command per line, see sim/README-links.md) sets
// the frequency, mode and band and injects faults: no answers, an answer
// that is not BCD, an answer one byte short, an answer in two pieces, the
// radio unplugged.
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cstdint>

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

struct Sim {
  long long freq = 14074000;
  int mode = 1;  // the radio's mode byte: 0 LSB, 1 USB, 2 CW, ...
  bool silent = false;
  int garbage = 0, shortAnswers = 0, split = 0;  // faults for the next N answers
  simlinks::PtyPort port;
  std::string link;
  simlinks::Reporter report;
  std::string command;
  long long commandStarted = 0;
  std::string pendingTail;  // second piece of a split answer
  long long tailAt = 0;
};

uint8_t bcd(int v) {
  return static_cast<uint8_t>((v / 10) << 4 | (v % 10));
}

int fromBcd(uint8_t b) {
  return (b >> 4) * 10 + (b & 0x0F);
}

std::string hex(const std::string &bytes) {
  std::string out;
  char b[4];
  for (unsigned char c : bytes) {
    snprintf(b, sizeof b, "%02x ", c);
    out += b;
  }
  if (!out.empty()) out.pop_back();
  return out;
}

void handleCommand(Sim &s, const std::string &cmd) {
  const uint8_t op = static_cast<uint8_t>(cmd[4]);
  s.report("> " + hex(cmd));
  if (op == 0x01) {
    long long f = 0;
    for (int i = 0; i < 4; ++i) f = f * 100 + fromBcd(static_cast<uint8_t>(cmd[i]));
    s.freq = f * 10;
    return;
  }
  if (op == 0x07) {
    s.mode = static_cast<uint8_t>(cmd[0]);
    return;
  }
  if (op != 0x03 || s.silent) return;
  long long tens = s.freq / 10;
  std::string a(5, '\0');
  a[0] = static_cast<char>(bcd(static_cast<int>(tens / 1000000 % 100)));
  a[1] = static_cast<char>(bcd(static_cast<int>(tens / 10000 % 100)));
  a[2] = static_cast<char>(bcd(static_cast<int>(tens / 100 % 100)));
  a[3] = static_cast<char>(bcd(static_cast<int>(tens % 100)));
  a[4] = static_cast<char>(s.mode);
  if (s.garbage > 0) {
    --s.garbage;
    a[2] = static_cast<char>(0x4A);
  }
  if (s.shortAnswers > 0) {
    --s.shortAnswers;
    a.pop_back();
  }
  if (s.split > 0 && a.size() > 2) {
    --s.split;
    s.pendingTail = a.substr(2);
    s.tailAt = nowMs() + 30;
    a = a.substr(0, 2);
  }
  s.port.send(a, false);
  s.report("< " + hex(a) + (s.pendingTail.empty() ? "" : " ..."));
}

void fromProgram(Sim &s, const std::string &bytes) {
  long long now = nowMs();
  for (char c : bytes) {
    if (!s.command.empty() && now - s.commandStarted > 200) {
      s.report("> " + hex(s.command) + " incomplete, dropped");
      s.command.clear();
    }
    if (s.command.empty()) s.commandStarted = now;
    s.command += c;
    if (s.command.size() == 5) {
      handleCommand(s, s.command);
      s.command.clear();
    }
  }
}

bool control(Sim &s, const std::string &line) {
  auto w = simlinks::words(line);
  if (w.empty()) return true;
  long long v = 0;
  bool ok = false;
  const std::string arg = w.size() > 1 ? w[1] : std::string();
  auto count = [&](int *n) {
    long long k = 1;
    if (w.size() == 2 && !(simlinks::number(arg, &k) && k >= 0)) return false;
    if (w.size() > 2) return false;
    *n = static_cast<int>(k);
    return true;
  };
  if (w[0] == "freq" && w.size() == 2 && simlinks::number(arg, &v) && v > 0 && v < 1000000000) {
    s.freq = v;
    ok = true;
  } else if (w[0] == "band" && w.size() == 2 && simlinks::bandFrequency(arg, &v)) {
    s.freq = v;
    ok = true;
  } else if (w[0] == "mode" && w.size() == 2 && simlinks::number(arg, &v) && v >= 0 && v < 256) {
    s.mode = static_cast<int>(v);
    ok = true;
  } else if (w[0] == "silent" && (arg == "on" || arg == "off")) {
    s.silent = arg == "on";
    ok = true;
  } else if (w[0] == "garbage") {
    ok = count(&s.garbage);
  } else if (w[0] == "short") {
    ok = count(&s.shortAnswers);
  } else if (w[0] == "split") {
    ok = count(&s.split);
  } else if (w[0] == "unplug" && w.size() == 1) {
    s.port.unplug();
    s.report("unplugged");
    ok = true;
  } else if (w[0] == "plug" && w.size() == 1) {
    if (!s.port.isOpen() && s.port.open(s.link)) {
      s.report("pty " + s.port.name + " linked at " + s.link);
      ok = true;
    }
  } else if (w[0] == "status" && w.size() == 1) {
    s.report("status freq " + std::to_string(s.freq) + " mode " + std::to_string(s.mode));
    return true;
  }
  s.report((ok ? "ctl " : "ctl error: ") + line);
  return ok;
}

void usage() {
  fprintf(stderr,
          "usage: ombrix-sim-ft817 [--root DIR] [--port PATH] [--log FILE] [--ctl FIFO]\n"
          "         [--quiet] [CONTROL]...\n"
          "  --root DIR   port at DIR + the setup's CatSerialPort (default /dev/ttyUSB1),\n"
          "               control channel DIR/sim/ft817.ctl, log DIR/sim/ft817.log\n"
          "  CONTROL      control lines applied at start, e.g. \"freq 7074000\"\n");
}

}  // namespace

int main(int argc, char **argv) {
  Sim s;
  simlinks::DeviceArgs args;
  if (!simlinks::ParseDeviceArgs(argc, argv, {{"--port", &s.link}}, &args)) {
    usage();
    return 2;
  }
  if (!args.root.empty()) {
    if (s.link.empty())
      s.link = args.root + simlinks::setupValue(args.root, "CatSerialPort", "/dev/ttyUSB1");
    if (args.logPath.empty()) args.logPath = args.root + "/sim/ft817.log";
    if (args.ctlPath.empty()) args.ctlPath = args.root + "/sim/ft817.ctl";
  }

  sigset_t waitMask;
  sim::InstallStopSignals(onStop, &waitMask);
  simlinks::ControlFifo ctl;
  if (!simlinks::OpenLogAndControl("ombrix-sim-ft817", args, &s.report, &ctl)) return 1;
  for (const auto &line : args.startLines)
    if (!control(s, line)) return 2;
  if (!s.port.open(s.link)) {
    fprintf(stderr, "ombrix-sim-ft817: no port at %s: %s\n", s.link.c_str(), strerror(errno));
    return 1;
  }
  s.report("pty " + s.port.name + (s.link.empty() ? "" : " linked at " + s.link));

  while (!gStop) {
    struct pollfd p[2] = {{s.port.master, POLLIN, 0}, {ctl.fd, POLLIN, 0}};
    if (!s.port.out.empty()) p[0].events |= POLLOUT;
    long long wait = s.pendingTail.empty() ? -1 : std::max(0LL, s.tailAt - nowMs());
    struct timespec ts = {static_cast<time_t>(wait / 1000),
                          static_cast<long>(wait % 1000) * 1000000};
    int r = ppoll(p, 2, wait < 0 ? nullptr : &ts, &waitMask);
    if (r < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (!s.pendingTail.empty() && nowMs() >= s.tailAt) {
      s.port.send(s.pendingTail, false);
      s.report("< ... " + hex(s.pendingTail));
      s.pendingTail.clear();
    }
    if (p[0].revents & POLLIN) fromProgram(s, s.port.receive());
    if (p[0].revents & POLLOUT) s.port.flush();
    if (p[1].revents & POLLIN)
      for (const auto &line : ctl.lines()) control(s, line);
  }
  s.port.unplug();
  ctl.close();
  s.report("stopped");
  if (s.report.log) fclose(s.report.log);
  return 0;
}
