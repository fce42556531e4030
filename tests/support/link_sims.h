#pragma once
// The simulated transceivers for integration tests, next to the controller
// of sim_harness.h:
//
//   NebSim neb;      neb.start(root, ControllerCtlArgs(root));
//   neb.control("band 40m");
//   Ft817Sim radio;  radio.start(root);
//   RigSim rig;      rig.start(root);  rig.control("freq 7074000");
//
// Their output is what they see: "> TX2;" for a carrier request, "tx on",
// "cat> DT;", "ctl LINE" for each control line taken.
#include <string>
#include <vector>

#include "support/sim_harness.h"

namespace simtest {

// A simulated device with a FIFO control channel in the root's sim/ folder.
class LinkSim : public Child {
 public:
  // Sends one control line and waits until the device has taken it.
  bool control(const std::string &line) { return controlLine(ctl_, line); }

 protected:
  bool startSim(const SimRoot &root, const std::string &program, const std::string &ctlName,
                const std::vector<std::string> &extra, const std::string &ready = "pty ") {
    ctl_ = root.dir() + "/sim/" + ctlName;
    std::vector<std::string> argv = {BuildDir() + "/sim/" + program, "--root", root.dir()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return Child::start(argv) && out().waitForText(ready, milliseconds(5000)) >= 0;
  }

 private:
  std::string ctl_;
};

class NebSim : public LinkSim {
 public:
  bool start(const SimRoot &root, const std::vector<std::string> &extra = {}) {
    return startSim(root, "ombrix-sim-neb", "neb.ctl", extra);
  }
};

class Ft817Sim : public LinkSim {
 public:
  bool start(const SimRoot &root, const std::vector<std::string> &extra = {}) {
    return startSim(root, "ombrix-sim-ft817", "ft817.ctl", extra);
  }
};

// Hamlib's rigctld with its dummy rig, moved through rigctl; it points the
// root's rig.txt at itself.
class RigSim : public LinkSim {
 public:
  bool start(const SimRoot &root, const std::vector<std::string> &extra = {}) {
    return startSim(root, "ombrix-sim-rig", "rig.ctl", extra, "rigctld ");
  }
};

}  // namespace simtest
