// ombrix-sim-catterm: the computer at the operator's end of a remote pair,
// on the operator unit's CAT port.
//
// At the operator's place no transceiver is attached: the unit's CAT port
// (DIR/dev/KIVOCAT0) leads to whatever program drives CAT there, and the
// remote link carries its messages to the station's transceiver and the
// answers back. This program is that port's far side. It answers the unit's
// own port probe ("DT;") as the transceiver would, so the unit takes the
// port, and passes every other message through to a second pseudo-terminal
// (DIR/sim/cat-terminal) that a person or a test opens to talk CAT; the
// control FIFO's "send TEXT" types a message as if from there. Each message
// is reported: "cat> " towards the unit, "cat< " from it.
#include <signal.h>

#include "sim/links/sim_port.h"
#include "sim/sim_common.h"

namespace {

volatile sig_atomic_t gStop = 0;
void onStop(int) {
  gStop = 1;
}

constexpr size_t kMaxMessage = 256;  // bytes without ';' beyond this are dropped

struct Sim {
  simlinks::PtyPort unit, person;
  std::string unitLink, personLink;
  simlinks::Reporter report;
  std::string fromUnit, fromPerson;  // partial messages
  long toUnit = 0, fromUnitCount = 0, probes = 0;
};

// Splits bytes into messages ending in ';'; calls take(message) for each.
template <typename Take>
void messages(std::string *partial, const std::string &bytes, Take take) {
  for (char c : bytes) {
    *partial += c;
    if (c == ';') {
      std::string msg;
      msg.swap(*partial);
      take(msg);
    } else if (partial->size() > kMaxMessage) {
      partial->clear();
    }
  }
}

void toUnit(Sim &s, const std::string &msg) {
  s.unit.send(msg, false);
  ++s.toUnit;
  s.report("cat> " + msg);
}

void fromUnitPort(Sim &s, const std::string &bytes) {
  messages(&s.fromUnit, bytes, [&](const std::string &msg) {
    if (msg == "DT;") {
      // The unit probing its port: the answer its transceiver would give.
      s.unit.send("DT001;", false);
      ++s.probes;
      s.report("probe DT; answered DT001;");
      return;
    }
    ++s.fromUnitCount;
    s.report("cat< " + msg);
    // Nobody reading the terminal must not hold the unit up: drop instead.
    s.person.send(msg, true);
  });
}

bool control(Sim &s, const std::string &line) {
  auto w = simlinks::words(line);
  if (w.empty()) return true;
  if (w[0] == "send" && w.size() >= 2) {
    std::string text = line.substr(line.find("send") + 5);
    if (text.back() != ';') text += ';';
    s.report("ctl " + line);
    messages(&s.fromPerson, text, [&](const std::string &msg) { toUnit(s, msg); });
    return true;
  }
  if (w[0] == "status" && w.size() == 1) {
    s.report("ctl status to-unit=" + std::to_string(s.toUnit) + " from-unit=" +
             std::to_string(s.fromUnitCount) + " probes=" + std::to_string(s.probes));
    return true;
  }
  s.report("ctl error: " + line);
  return false;
}

void usage() {
  fprintf(stderr,
          "usage: ombrix-sim-catterm [--root DIR] [--port PATH] [--terminal PATH] [--log FILE]\n"
          "         [--ctl FIFO] [--quiet] [CONTROL]...\n"
          "  --root DIR   the unit's CAT port at DIR/dev/KIVOCAT0, the terminal at\n"
          "               DIR/sim/cat-terminal, control channel DIR/sim/catterm.ctl,\n"
          "               log DIR/sim/catterm.log\n"
          "  CONTROL      control lines applied once the ports exist, e.g. \"send FA;\"\n");
}

}  // namespace

int main(int argc, char **argv) {
  Sim s;
  simlinks::DeviceArgs args;
  if (!simlinks::ParseDeviceArgs(argc, argv,
                                 {{"--port", &s.unitLink}, {"--terminal", &s.personLink}}, &args)) {
    usage();
    return 2;
  }
  if (!args.root.empty()) {
    if (s.unitLink.empty()) s.unitLink = args.root + "/dev/KIVOCAT0";
    if (s.personLink.empty()) s.personLink = sim::CatTerminal(args.root);
    if (args.logPath.empty()) args.logPath = args.root + "/sim/catterm.log";
    if (args.ctlPath.empty()) args.ctlPath = sim::CatTermCtl(args.root);
  }

  sigset_t waitMask;
  sim::InstallStopSignals(onStop, &waitMask);
  simlinks::ControlFifo ctl;
  if (!simlinks::OpenLogAndControl("ombrix-sim-catterm", args, &s.report, &ctl)) return 1;
  if (!s.unit.open(s.unitLink) || !s.person.open(s.personLink)) {
    fprintf(stderr, "ombrix-sim-catterm: no pseudo-terminal: %s\n", strerror(errno));
    return 1;
  }
  s.report("pty " + s.unit.name + (s.unitLink.empty() ? "" : " linked at " + s.unitLink));
  s.report("terminal pty " + s.person.name +
           (s.personLink.empty() ? "" : " linked at " + s.personLink));
  for (const auto &line : args.startLines)
    if (!control(s, line)) return 2;

  while (!gStop) {
    struct pollfd p[3] = {
        {s.unit.master, POLLIN, 0}, {s.person.master, POLLIN, 0}, {ctl.fd, POLLIN, 0}};
    if (!s.unit.out.empty()) p[0].events |= POLLOUT;
    if (!s.person.out.empty()) p[1].events |= POLLOUT;
    int r = ppoll(p, 3, nullptr, &waitMask);
    if (r < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (p[0].revents & POLLIN) fromUnitPort(s, s.unit.receive());
    if (p[0].revents & POLLOUT) s.unit.flush();
    if (p[1].revents & POLLIN)
      messages(&s.fromPerson, s.person.receive(), [&](const std::string &msg) { toUnit(s, msg); });
    if (p[1].revents & POLLOUT) s.person.flush();
    if (p[2].revents & POLLIN)
      for (const auto &line : ctl.lines()) control(s, line);
  }

  s.unit.unplug();
  s.person.unplug();
  ctl.close();
  s.report("stopped");
  if (s.report.log) fclose(s.report.log);
  return 0;
}
