#pragma once
// Drives the controller link's state machine without a port: the test plays
// the controller, reading the commands the link would write and handing it
// replies (with their check digits), time-outs and raw bytes.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "controller/link.h"
#include "core/process_globals.h"
#include "core/setup.h"
#include "core/threads.h"
#include "core/works.h"

// A record as main leaves it before the threads start: cleared, setup record
// attached, run-time defaults applied.
struct TestWorks {
  std::unique_ptr<Works> works = std::make_unique<Works>();
  std::unique_ptr<Lumosetup> setup = std::make_unique<Lumosetup>();
  TestWorks() {
    works->setup = setup.get();
    initSetup(works.get());
    linearProcessStatus = LP_ST;
    linearLinkState = LS_SEND;
    counterrortimeout = 0;
  }
  Works *operator->() { return works.get(); }
  Works *get() { return works.get(); }
};

// The two check digits the controller puts in front of a reply.
inline std::string WithDigits(const std::string &text) {
  char d[3];
  LinearReplyDigits(text.data(), static_cast<int>(text.size()), d);
  return std::string(d) + text;
}

struct LinkDriver {
  Works *works;
  LinearLink link{};
  int pauses = 0;  // LA_PAUSE steps taken since the last command
  bool halted = false;

  explicit LinkDriver(Works *w) : works(w) {}

  // Runs the link until it writes a command and returns that command's text
  // (without check digits); "" when it waits for a reply or is halted.
  std::string next() {
    pauses = 0;
    for (int i = 0; i < 200; ++i) {
      char text[kLinearCmdMax];
      int length = 0, pause = 0;
      switch (LinearAdvance(works, &link, text, &length, &pause)) {
        case LA_WRITE: return std::string(text, static_cast<size_t>(length));
        case LA_PAUSE: ++pauses; continue;
        case LA_HALTED: halted = true; return "";
        default: return "";
      }
    }
    return "";
  }
  // Bytes as they come off the port.
  void bytes(const std::string &raw) {
    size_t pos = 0;
    while (pos < raw.size()) {
      size_t room = sizeof link.in - static_cast<size_t>(link.inLen);
      if (room == 0) break;  // nobody reads: the rest is lost, as on a full port
      size_t n = raw.size() - pos < room ? raw.size() - pos : room;
      memcpy(link.in + link.inLen, raw.data() + pos, n);
      link.inLen += static_cast<int>(n);
      pos += n;
      LinearReceived(works, &link);
    }
  }
  // A well-formed reply with the right check digits.
  void reply(const std::string &text) { bytes(WithDigits(text)); }
  void timeout() { LinearTimeout(works, &link); }
};

// A plausible status frame: fields in the order of the frame, readings as
// four decimal digits, the fault byte low nibble first.
inline std::string StatusFrame(int st0 = 0, int st1 = 0, int pw = 0, int fwd = 0, int refl = 0,
                               int current = 0, int t1 = 2048, int t2 = 2048, int fault = 0,
                               int peak = -1) {
  char buf[64];
  snprintf(buf, sizeof buf, "ST%X%X%04d%04d%04d%04d%04d%04d%X%X00", st0 & 15, st1 & 15, pw, fwd,
           refl, current, t1, t2, fault & 15, (fault >> 4) & 15);
  std::string s(buf);
  if (peak >= 0) {
    snprintf(buf, sizeof buf, "%04d", peak);
    s += buf;
  }
  return s + ";";
}
