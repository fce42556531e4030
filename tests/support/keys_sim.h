#pragma once
// The simulator's key presser as a process of an integration test: presses
// go through its control channel and a press is done when it says so.
//
//   KeysSim keys;  keys.start(root);
//   ASSERT_TRUE(keys.press("5 4 6"));   // returns once the keys are up again
#include <string>

#include "support/sim_harness.h"

namespace simtest {

class KeysSim : public Child {
 public:
  bool start(const SimRoot &root) {
    root_ = root.dir();
    return Child::start({BuildDir() + "/sim/ombrix-sim-keys", "--root", root_}) &&
           out().waitForText("gpio ", milliseconds(5000)) >= 0;
  }
  // Runs one key command line and waits until it has been carried out.
  bool press(const std::string &line, milliseconds within = milliseconds(30000)) {
    return controlLine(root_ + "/sim/keys.ctl", line, within);
  }

 private:
  std::string root_;
};

}  // namespace simtest
