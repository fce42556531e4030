#pragma once
// The web panel of the real ombrix, run by the simulator's launcher in a
// temporary root, and what its tests read from it: the pass phrase, the
// certificate's fingerprint, the ombrix process.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "support/sim_harness.h"
#include "support/web_client.h"

namespace webtest {

using namespace std::chrono_literals;
using simtest::Child;

struct PanelSim {
  std::string root;
  int port = simtest::FreePort();
  Child sim;
  std::string phrase;
  std::string fingerprint;  // of the certificate the panel presents
  pid_t app = -1;           // the ombrix the launcher started
  explicit PanelSim(const std::string &remoteLines = "") {
    signal(SIGPIPE, SIG_IGN);  // TLS writes to a peer that closed
    char tmpl[] = "/tmp/ombrix-web-XXXXXX";
    root = mkdtemp(tmpl);
    if (!remoteLines.empty()) {
      // Kept by the launcher, which adds the port and the pass phrase.
      if (system(("mkdir -p '" + root + "/opt/set'").c_str()) != 0) {
      }
      std::ofstream(root + "/opt/set/remote.txt") << remoteLines;
    }
  }
  ~PanelSim() {
    sim.signal(SIGTERM);
    sim.waitExit(60000ms);
    if (system(("rm -rf '" + root + "'").c_str()) != 0) {
    }
  }
  // Up to the panel serving (not the end of the program's start-up).
  // descriptorLimit: the program's limit of open files (0: the test's own),
  // 1024 as a system service gets by default.
  bool startPanel(rlim_t descriptorLimit = 0) {
    rlimit own = {};
    getrlimit(RLIMIT_NOFILE, &own);
    rlimit child = own;
    if (descriptorLimit > 0) child.rlim_cur = descriptorLimit;
    setrlimit(RLIMIT_NOFILE, &child);
    bool started = sim.start({simtest::BuildDir() + "/sim/ombrix-sim", "--root", root, "--mode",
                              "gen", "--web-port", std::to_string(port)});
    setrlimit(RLIMIT_NOFILE, &own);
    if (!started) return false;
    int i = sim.out().waitForText("(pass phrase ", 20s);
    if (i < 0) return false;
    std::string line = sim.out().lines(static_cast<size_t>(i))[0];
    size_t at = line.find("(pass phrase ") + 13;
    phrase = line.substr(at, line.find(')', at) - at);
    if (sim.out().waitForText("Web panel on http", 20s) < 0) return false;
    fingerprint = webtest::FileFingerprint(root + "/opt/set/web-cert.pem");
    app = webtest::ChildNamed(sim.pid(), "ombrix");
    return true;
  }
  bool start() { return startPanel() && sim.out().waitForText("!!!mykivo", 40s) >= 0; }
  std::string origin() const { return "https://127.0.0.1:" + std::to_string(port); }
  httplib::Headers headers(const std::string &session, bool withOrigin = true) const {
    httplib::Headers h;
    if (!session.empty()) h.emplace("Cookie", "ombrix_session=" + session);
    if (withOrigin) h.emplace("Origin", origin());
    return h;
  }
  std::unique_ptr<httplib::SSLClient> client() const {
    return webtest::PinnedClient(port, &fingerprint);
  }
};

// The value of the Set-Cookie header that sets cookie name.
inline std::string SetCookie(const httplib::Result &r, const std::string &name) {
  for (size_t i = 0; i < r->get_header_value_count("Set-Cookie"); ++i) {
    std::string v = r->get_header_value("Set-Cookie", i);
    if (v.compare(0, name.size() + 1, name + "=") == 0) return v;
  }
  return "";
}

}  // namespace webtest
