// ombrix-sim: runs ombrix against the simulated device.
//
// It builds a root directory (default .sim/), starts every simulated device
// of kDevices, then ombrix with OMBRIX_ROOT pointing at the root, and shows
// their output: the wire traffic of each device and the program's log. Lines
// typed on its standard input go to a device's control channel ("controller
// silent 4 FM", or without the device name to the first device; key
// commands such as "5", "L1" or "hold 3 2.0" go to the keys). Ctrl-C stops
// ombrix first (SIGTERM, as the device's own shutdown), then the devices.
//
// With --remote it runs two units side by side, each in a root of its own:
// a station (remote server, with the transceivers) and an operator unit
// (remote client, with a CAT terminal on its CAT port), linked on loopback.
// Input lines may then begin with the unit's name.
//
// A new simulated device is one more entry in kDevices (its program, its
// control channel and how to tell its routine traffic) and, if it needs
// files in the root, one more step in buildRoot.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/audio_sim.h"
#include "sim/default_tables.h"
#include "sim/keys.h"
#include "sim/remote_pair.h"
#include "sim/sim_common.h"

extern char **environ;

namespace {

// ---- The root directory

// The setup file of a simulated run: only what differs from a new file. The
// service keyboard and the transceiver and remote links stay off until their
// simulated devices exist; the front-panel keys have theirs; the refresh loop
// runs (without a display it still follows the frequency with filters,
// thresholds, bands and the tuner).
const char kSetup[] =
    "EnableKeyb: 0\n"
    "EnableGPIO: 1\n"
    "EnableRead: 0\n"
    "EnableWrite: 0\n"
    "EnableCAT: 0\n"
    "EnableLinear: 1\n"
    "EnableTime: 1\n"
    "WebSocket: 0\n"
    "LinPort: /dev/ttyAMA0\n"
    "EnableFFT: 0\n"
    // The NEB transceiver's EXT IO port keeps its default, /dev/ttyUSB1; the
    // FT-817 gets a port of its own, so both radios can stay connected while
    // the mode of work changes.
    "CatSerialPort: /dev/ttyUSB2\n";

// Fan curve: the fan starts at 40 C on the hotter sensor and is at full speed from 60 C.
const char kFanTable[] =
    "; temperature (C)  fan (%)\n"
    "30 0\n"
    "40 30\n"
    "50 60\n"
    "60 100\n";

// Bank 0's band table (its mode of work is set by --mode): amplifier on, first
// antenna, tuner in.
const char kBandTable[] =
    "!Neb\n"
    "160m 1800000 2000000 1 1 0 0 0.0\n"
    "80m 3500000 4000000 1 1 0 0 0.0\n"
    "60m 5330500 5450000 1 1 0 0 0.0\n"
    "40m 7000000 7300000 1 1 0 0 0.0\n"
    "30m 10100000 10150000 1 1 0 0 0.0\n"
    "20m 14000000 14350000 1 1 0 0 0.0\n"
    "17m 18068000 18168000 1 1 0 0 0.0\n"
    "15m 21000000 21450000 1 1 0 0 0.0\n"
    "12m 24890000 24990000 1 1 0 0 0.0\n"
    "10m 28000000 29700000 1 1 0 0 0.0\n"
    "6m 50000000 54000000 1 1 0 0 0.0\n";

const char kInterfaces[] =
    "auto lo\n"
    "iface lo inet loopback\n"
    "\n"
    "auto eth0\n"
    "iface eth0 inet static\n"
    "address 192.168.1.50\n"
    "netmask 255.255.255.0\n"
    "gateway 192.168.1.1\n"
    "nameserver 192.168.1.1\n";

// Stand-ins for the commands of the device's system image. Each notes its
// call in DIR/sim/commands.log; none touches anything outside the root.
struct StandIn {
  const char *name;
  const char *body;
};
const StandIn kStandIns[] = {
    {"mount", "exit 0\n"},
    {"sudo", "exit 0\n"},
    {"reboot", "exit 0\n"},
    {"my_temp", "echo 48.3\necho \"temp=46.2'C\"\n"},
    {"my_kivo", "echo 00.061\necho 192.168.1.50\n"},
};

void mkdirs(const std::string &path) {
  for (size_t i = 1; i <= path.size(); ++i)
    if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
}

bool exists(const std::string &p) {
  return access(p.c_str(), F_OK) == 0;
}

bool writeFile(const std::string &path, const std::string &text, mode_t mode = 0644) {
  std::string tmp = path + ".new";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) return false;
  }
  chmod(tmp.c_str(), mode);
  return rename(tmp.c_str(), path.c_str()) == 0;
}

// The band files of bank 0 and of bank 1 (the setup file's current bank).
const char *const kBandFiles[] = {"/opt/set/antenna.txt", "/opt/set/antenna_b1.txt"};

// Puts the mode of work's header ("!Neb", "!817", "!rig", "!Gen") on a band file.
bool setModeOfWork(const std::string &path, const std::string &header) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return true;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!text.empty() && text[0] == '!')
    text.erase(0, text.find('\n') == std::string::npos ? text.size() : text.find('\n') + 1);
  return writeFile(path, header + "\n" + text);
}

// Builds (or completes) the root. Files a person may have changed since
// (setup, band table, fan curve, network settings) are kept unless fresh is set.
// Band files written now take the mode of work given (header); kept ones
// take it only when it was asked for (forceMode).
bool buildRoot(const std::string &root, bool fresh, const std::string &header, bool forceMode) {
  for (const char *d : {"/bin", "/opt/set", "/opt/fonts", "/dev", "/etc/network", "/tmp", "/sim"})
    mkdirs(root + d);
  std::vector<std::string> written;
  auto keep = [&](const std::string &devicePath, const char *text) {
    std::string p = root + devicePath;
    if (!fresh && exists(p)) return true;
    written.push_back(devicePath);
    return writeFile(p, text);
  };
  bool ok = keep("/opt/set/setup.txt", kSetup) && keep("/opt/set/antenna.txt", kBandTable) &&
            keep("/opt/set/ventola.txt", kFanTable) && keep("/etc/network/interfaces", kInterfaces);
  // Thresholds and tune presets, filters and the default bank's band table.
  for (const SimTableFile &f : SimDefaultTables()) ok = keep(f.devicePath, f.text) && ok;
  for (const char *band : kBandFiles) {
    bool now = std::find(written.begin(), written.end(), band) != written.end();
    if (now || forceMode) ok = setModeOfWork(root + band, header) && ok;
  }
  // The front panel's GPIO block, every key up; the key presser presses them.
  sim::KeyPanel keys;
  std::string error;
  ok = sim::KeyPanelOpen(&keys, sim::KeysMem(root), &error) && ok;
  sim::KeyPanelClose(&keys);
  // The USB audio interface: its ALSA devices, capture pipe and plug.
  ok = sim::BuildAudioRoot(root) && ok;
  for (const StandIn &s : kStandIns) {
    std::string body = std::string("#!/bin/sh\n") + "echo \"$(date +%T) " + s.name +
                       " $*\" >> \"$(dirname \"$0\")/../sim/commands.log\"\n" + s.body;
    ok = writeFile(root + "/bin/" + s.name, body, 0755) && ok;
  }
  return ok;
}

// ---- A remote pair's roots

std::string readText(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Audio both ways, Opus at 64 kbit/s: the station's receiver audio comes
// in mono (widened to stereo before it is sent), the operator's microphone
// in stereo.
std::vector<sim::SetupKey> pairAudioKeys(bool station) {
  return sim::AudioSetupKeys(station ? 1 : 2, 64000);
}

// Gives a built root its part in a remote pair: the link's setup keys
// (always, so a kept setup file cannot leave a unit in the wrong part) and
// the pair's pass phrase in remote.txt (kept from run to run unless fresh).
bool preparePairUnit(const std::string &root, bool station, int tcpPort, bool fresh) {
  const std::string setup = root + "/opt/set/setup.txt";
  const std::string remote = root + "/opt/set/remote.txt";
  std::vector<sim::SetupKey> keys = sim::PairSetupKeys(station, tcpPort);
  for (const sim::SetupKey &k : pairAudioKeys(station)) keys.push_back(k);
  return writeFile(setup, sim::SetSetupKeys(readText(setup), keys)) &&
         writeFile(remote, sim::WithPairPassword(readText(remote), fresh));
}

// The web panel on 127.0.0.1:port (0: off): /opt/set/remote.txt gets the
// port, the address and, unless it has one already, a pass phrase of its own.
// Other lines of the file are kept (WebTls: 0 among them serves plain HTTP).
// Returns the pass phrase ("" when off); *tls: HTTPS.
std::string prepareWebPanel(const std::string &root, int port, bool *tls) {
  const std::string path = root + "/opt/set/remote.txt";
  std::ifstream in(path, std::ios::binary);
  std::string line, kept, phrase;
  *tls = true;
  while (std::getline(in, line)) {
    if (line.rfind("WebPort: ", 0) == 0 || line.rfind("WebBind: ", 0) == 0) continue;
    if (line == "WebTls: 0" || line == "WebTls: 0\r") *tls = false;
    if (line.rfind("Password: ", 0) == 0) {
      phrase = line.substr(10);
      continue;
    }
    kept += line + "\n";
  }
  if (port > 0 && (phrase.empty() || phrase == "lamparillosa")) {
    unsigned char bits[6] = {0};
    std::ifstream("/dev/urandom", std::ios::binary).read(reinterpret_cast<char *>(bits), sizeof bits);
    char text[24];
    snprintf(text, sizeof text, "sim-%02x%02x%02x%02x%02x%02x", bits[0], bits[1], bits[2], bits[3],
             bits[4], bits[5]);
    phrase = text;
  }
  if (!phrase.empty()) kept += "Password: " + phrase + "\n";
  if (port > 0) kept += "WebPort: " + std::to_string(port) + "\nWebBind: 127.0.0.1\n";
  if (!writeFile(path, kept)) return "";
  return port > 0 ? phrase : "";
}

// ---- Processes

// One program the launcher runs and whose output it shows.
struct Proc {
  std::string name;  // shown in front of each line
  std::string kind;  // the device kind's name, as input lines address it
  std::vector<std::string> argv;
  std::string ctl;                                     // control channel (FIFO), empty for none
  std::string ready = "pty ";                          // first line once the device is there
  bool (*routine)(const std::string &line) = nullptr;  // lines hidden unless --all
  pid_t pid = -1;
  int out = -1;
  std::string partial;
  FILE *log = nullptr;  // copy of the output, if any
  int hidden = 0;       // routine lines not shown since the last summary
  int status = -1;
};

// Status polls and frequency reads with their replies: shown as a count.
bool controllerRoutine(const std::string &line) {
  if (line.size() < 6 || (line[0] != '>' && line[0] != '<')) return false;
  std::string l = line.substr(4, 2);
  return (l == "ST" || l == "FM") && line.find(' ', 4) == std::string::npos;
}

// The FT-817's answers to the program's frequency polls, about 40 a second.
bool ft817Routine(const std::string &line) {
  return line.compare(0, 2, "> ") == 0 || line.compare(0, 2, "< ") == 0;
}

// The program's trace of each status, parameter, spectrum, screen and audio
// frame of a remote link, several a second each way; CAT frames stay shown.
bool remoteFrameRoutine(const std::string &line) {
  for (const char *trace : {"EIK, ST", "EIK, PA", "EIK, SP", "EIK, FB", "EIK, SO", "EIK, XY",
                            "BUFFER Wsocket : ", "S BUFFER WEB SERVER"})
    if (line.compare(0, strlen(trace), trace) == 0) return true;
  return false;
}

// The NEB transceiver keys the amplifier model: while it transmits, its
// drive goes into the model.
std::vector<std::string> nebArgs(const std::string &root) {
  return {"--amp-ctl", sim::ControllerCtl(root), "--amp-drive", sim::kNebDriveLine};
}

struct DeviceKind {
  const char *name;
  const char *program;  // next to the launcher
  std::string (*ctl)(const std::string &root);
  bool (*routine)(const std::string &line);
  const char *ready;  // start of the first line, once the device is there
  std::vector<std::string> (*args)(const std::string &root);  // beyond --root, if any
};

// The controller's antennas: a dipole for 40 m on port 1, one for 80 m on
// port 2, a 50 ohm load on port 3 (the default band table's choices).
std::vector<std::string> controllerArgs(const std::string &) {
  return {"--antenna", "1=dipole40", "--antenna", "2=dipole80"};
}

// In this order: the NEB transceiver talks to the controller's channel.
const DeviceKind kDevices[] = {
    {"controller", "ombrix-sim-controller", sim::ControllerCtl, controllerRoutine, "pty ",
     controllerArgs},
    {"neb", "ombrix-sim-neb", sim::NebCtl, nullptr, "pty ", nebArgs},
    {"ft817", "ombrix-sim-ft817", sim::Ft817Ctl, ft817Routine, "pty ", nullptr},
    {"keys", "ombrix-sim-keys", sim::KeysCtl, nullptr, "gpio ", nullptr},
};

// The radio behind rigctld (--rig): the Hamlib mode of work's transceiver.
const DeviceKind kRigDevice = {"rig", "ombrix-sim-rig", sim::RigCtl, nullptr, "rigctld ", nullptr};

// The operator unit of a remote pair: no transceiver at its place, and a CAT
// terminal where the station has its transceiver's CAT port.
const DeviceKind kOperatorDevices[] = {
    {"controller", "ombrix-sim-controller", sim::ControllerCtl, controllerRoutine, "pty ",
     controllerArgs},
    {"catterm", "ombrix-sim-catterm", sim::CatTermCtl, nullptr, "pty ", nullptr},
    {"keys", "ombrix-sim-keys", sim::KeysCtl, nullptr, "gpio ", nullptr},
};

// The sound at each unit's USB audio interface in a pair: the station's
// receiver audio and the operator's microphone, two tones told apart.
std::vector<std::string> stationAudioArgs(const std::string &) {
  return {"--tone", "1000"};
}
std::vector<std::string> operatorAudioArgs(const std::string &) {
  return {"--tone", "700"};
}
const DeviceKind kStationAudio = {"audio", "ombrix-sim-audio", sim::AudioCtl,
                                  nullptr, "audio ",           stationAudioArgs};
const DeviceKind kOperatorAudio = {"audio", "ombrix-sim-audio", sim::AudioCtl,
                                   nullptr, "audio ",           operatorAudioArgs};

// A line that is a key command goes to the keys without naming them.
bool isKeyCommand(const std::string &line) {
  std::vector<sim::KeyStep> steps;
  std::string error;
  return sim::ParseKeyCommand(line, &steps, &error);
}

bool spawn(Proc *p, const std::vector<std::string> &env) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 2);
  posix_spawnattr_t at;
  posix_spawnattr_init(&at);
  // A group of its own: Ctrl-C reaches the launcher only, which then stops
  // everything in order.
  posix_spawnattr_setflags(&at, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
  posix_spawnattr_setpgroup(&at, 0);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&at, &none);
  std::vector<char *> args, envp;
  for (auto &a : p->argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> envStore;
  for (char **e = environ; *e; ++e) envStore.push_back(*e);
  for (const auto &e : env) envStore.push_back(e);
  for (auto &e : envStore) envp.push_back(const_cast<char *>(e.c_str()));
  envp.push_back(nullptr);
  int rc = posix_spawn(&p->pid, args[0], &fa, &at, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&at);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    fprintf(stderr, "ombrix-sim: can't start %s: %s\n", args[0], strerror(rc));
    p->pid = -1;
    return false;
  }
  p->out = fds[0];
  return true;
}

bool gShowAll = false;
int gNameWidth = 10;  // of the name column; wider when names carry their unit
// The ombrix serving the web panel over HTTPS, and its address: the
// certificate's fingerprint it logs is repeated beside the address.
const Proc *gWebOmbrix = nullptr;
std::string gWebUrl;

void show(Proc *p, const std::string &line) {
  if (p->log) {
    fprintf(p->log, "%s\n", line.c_str());
    fflush(p->log);
  }
  const std::string kPrint = "SHA-256 fingerprint ";
  size_t at = line.find(kPrint);
  if (p == gWebOmbrix && at != std::string::npos) {
    printf("ombrix-sim| web panel: %s presents the certificate with SHA-256 fingerprint %s\n",
           gWebUrl.c_str(), line.substr(at + kPrint.size()).c_str());
    gWebOmbrix = nullptr;  // once
  }
  if (!gShowAll && p->routine && p->routine(line)) {
    ++p->hidden;
    return;
  }
  printf("%-*s| %s\n", gNameWidth, p->name.c_str(), line.c_str());
  fflush(stdout);
}

// Reads what is there; false at end of output.
bool drain(Proc *p) {
  char buf[4096];
  ssize_t n = read(p->out, buf, sizeof buf);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  if (n <= 0) {
    if (!p->partial.empty()) show(p, p->partial);
    p->partial.clear();
    close(p->out);
    p->out = -1;
    return false;
  }
  p->partial.append(buf, static_cast<size_t>(n));
  size_t nl;
  while ((nl = p->partial.find('\n')) != std::string::npos) {
    show(p, p->partial.substr(0, nl));
    p->partial.erase(0, nl + 1);
  }
  return true;
}

long long nowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// Waits for a line of p that starts with prefix, up to ms.
bool waitLine(Proc *p, const std::string &prefix, int ms) {
  long long end = nowMs() + ms;
  while (p->out >= 0 && nowMs() < end) {
    struct pollfd pf = {p->out, POLLIN, 0};
    if (poll(&pf, 1, static_cast<int>(end - nowMs())) <= 0) continue;
    char buf[512];
    ssize_t n = read(p->out, buf, sizeof buf);
    if (n <= 0) return false;
    p->partial.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = p->partial.find('\n')) != std::string::npos) {
      std::string line = p->partial.substr(0, nl);
      p->partial.erase(0, nl + 1);
      show(p, line);
      if (line.compare(0, prefix.size(), prefix) == 0) return true;
    }
  }
  return false;
}

void sendControl(const Proc &p, const std::string &line) {
  int fd = open(p.ctl.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    printf("ombrix-sim| %s: no control channel (%s)\n", p.name.c_str(), strerror(errno));
    return;
  }
  std::string l = line + "\n";
  if (write(fd, l.data(), l.size()) != static_cast<ssize_t>(l.size()))
    printf("ombrix-sim| %s: control line not taken\n", p.name.c_str());
  close(fd);
}

// ---- The display of a run a person watches

constexpr long kFbBytes = 800L * 480 * 4;

bool copyFile(const std::string &from, const std::string &to) {
  std::ifstream in(from, std::ios::binary);
  if (!in) return false;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return writeFile(to, bytes);
}

// The virtual display DIR/dev/fb0, the screen images the program loads from
// its working directory (DIR/opt/Ombrix) and the device's two fonts, all from
// the build. Tests build roots of their own and leave the display out.
bool installDisplay(const std::string &root, const std::string &buildDir) {
  mkdirs(root + "/opt/Ombrix");
  mkdirs(root + "/opt/fonts");
  bool ok = true;
  for (const char *name :
       {"start", "start120", "statusB", "status", "img1", "img1b", "img3", "img3b", "m5a"})
    ok = copyFile(buildDir + "/assets/images/" + name + ".png",
                  root + "/opt/Ombrix/" + name + ".png") &&
         ok;
  for (const char *font : {"PTS55F_W.ttf", "PTS75F_W.ttf"})
    ok = copyFile(buildDir + "/assets/fonts/" + font, root + "/opt/fonts/" + font) && ok;
  int fd = open((root + "/dev/fb0").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_size != kFbBytes) ok = ftruncate(fd, kFbBytes) == 0 && ok;
  close(fd);
  return ok;
}

// Saves the virtual display as a PNG (DIR/sim/shot-NNN.png unless named).
void screenshot(const std::string &root, const std::string &buildDir, std::string file) {
  static int count = 0;
  if (file.empty()) {
    char name[32];
    snprintf(name, sizeof name, "/sim/shot-%03d.png", ++count);
    file = root + name;
  }
  std::string tool = buildDir + "/assets/fbshot";
  std::string fb = root + "/dev/fb0";
  char *args[] = {const_cast<char *>(tool.c_str()), const_cast<char *>("-f"),
                  const_cast<char *>(fb.c_str()), const_cast<char *>(file.c_str()), nullptr};
  pid_t pid = -1;
  int st = -1;
  if (posix_spawn(&pid, args[0], nullptr, nullptr, args, environ) == 0) waitpid(pid, &st, 0);
  if (st == 0)
    printf("ombrix-sim| screenshot %s\n", file.c_str());
  else
    printf("ombrix-sim| no screenshot (%s)\n", tool.c_str());
  fflush(stdout);
}

// One unit of the run: a root, its simulated devices and its ombrix. A
// single run has one unit without a name; a remote pair has two.
struct Unit {
  std::string name;
  std::string root;
  std::vector<Proc> devices;
  Proc ombrix;
};

void help(const std::vector<Unit> &units) {
  printf("ombrix-sim| commands: [DEVICE] LINE sends LINE to a device's control channel;\n");
  if (units.size() > 1)
    printf("ombrix-sim|   [UNIT] [DEVICE] LINE in a pair: UNIT %s (the default) or %s\n",
           units[0].name.c_str(), units[1].name.c_str());
  for (const Unit &u : units) {
    printf("ombrix-sim|   devices%s:", u.name.empty() ? "" : (" of " + u.name).c_str());
    for (const auto &d : u.devices) printf(" %s", d.kind.c_str());
    printf(" (the first one when none is named)\n");
  }
  printf(
      "ombrix-sim|   controller: silent|corrupt|reject on|off|N [XX]; set NAME VALUE; status\n"
      "ombrix-sim|     amp drive|swr|ambient|board|sink|timescale|fan|fault VALUE; amp reset;\n"
      "ombrix-sim|     amp state\n"
      "ombrix-sim|   neb: freq HZ; band 40m; vfo a|b; mem on|off|HZ; mode N; tx on [W]|off;\n"
      "ombrix-sim|        silent on|off; unplug; plug; status (sim/README-links.md)\n"
      "ombrix-sim|   ft817: freq HZ; band 20m; mode N; silent on|off; garbage; short; split\n"
      "ombrix-sim|   rig (with --rig): FREQ (moves the radio through rigctl); band 20m;\n"
      "ombrix-sim|        stop; start (rigctld itself); status\n"
      "ombrix-sim|   keys: 5 (short press), L1 (long press), 2+3 (two keys), hold 3 2.0,\n"
      "ombrix-sim|         down 4, up 4, wait 0.5 (keys 1..6 left to right; no name needed)\n");
  if (units.size() > 1)
    printf(
        "ombrix-sim|   catterm: send TEXT (CAT text into the operator unit's CAT port); status\n"
        "ombrix-sim|   shot [UNIT] [FILE]: a unit's screen as a PNG "
        "(ROOT/UNIT/sim/shot-NNN.png)\n");
  else
    printf("ombrix-sim|   shot [FILE]: the screen as a PNG (DIR/sim/shot-NNN.png)\n");
  printf("ombrix-sim|   all: show routine polls too; quiet: hide them; help; quit\n");
  fflush(stdout);
}

void usage() {
  fprintf(
      stderr,
      "usage: ombrix-sim [--root DIR] [--fresh] [--mode neb|817|rig|gen] [--rig] [--prepare]\n"
      "                  [--no-ombrix] [--all] [--remote [--tcp-port N]] [--web-port N]\n"
      "  --root DIR   the simulated device's root (default .sim)\n"
      "  --fresh      write the setup, band and network files anew\n"
      "  --mode M     mode of work of the band tables of banks 0 and 1: the NEB transceiver\n"
      "               (default for new files), the FT-817, a radio behind rigctld, or a\n"
      "               generic transceiver\n"
      "  --rig        also run Debian's rigctld with Hamlib's dummy rig on a free port,\n"
      "               point DIR/opt/set/rig.txt at it, and take the Hamlib mode of work\n"
      "               (the rig device: \"rig 7074000\" moves the radio)\n"
      "  --prepare    build the root and exit\n"
      "  --no-ombrix  run the simulated devices only\n"
      "  --all        show every status poll and frequency read on the wire\n"
      "  --remote     a remote pair: a station (remote server, with the transceivers) in\n"
      "               DIR/station and an operator unit (remote client) in DIR/operator,\n"
      "               linked on 127.0.0.1\n"
      "  --tcp-port N the pair's TCP port (default 6666)\n"

      "  --web-port N the web panel's port on 127.0.0.1 (default 8080, 0: off; the station's\n"
      "               in a pair); HTTPS with the unit's own certificate, whose fingerprint\n"
      "               is shown, unless the root's /opt/set/remote.txt says WebTls: 0\n");
}

std::string selfDir() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  buf[n] = 0;
  std::string p(buf);
  return p.substr(0, p.rfind('/'));
}

void stopProc(Proc *p, int sig) {
  if (p->pid > 0) kill(p->pid, sig);
}

// One device of the unit, named for the unit when it has a name.
void addDevice(Unit *u, const DeviceKind &k, const std::string &dir) {
  Proc p;
  p.kind = k.name;
  p.name = u->name.empty() ? p.kind : u->name + "/" + p.kind;
  p.argv = {dir + "/" + k.program, "--root", u->root};
  if (k.args != nullptr)
    for (const std::string &a : k.args(u->root)) p.argv.push_back(a);
  p.ctl = k.ctl(u->root);
  p.routine = k.routine;
  p.ready = k.ready;
  u->devices.push_back(p);
}

// The unit's devices of kinds, in order, and its ombrix.
template <size_t N>
void addDevices(Unit *u, const DeviceKind (&kinds)[N], const std::string &dir) {
  for (const DeviceKind &k : kinds) addDevice(u, k, dir);
  u->ombrix.kind = "ombrix";
  u->ombrix.name = u->name.empty() ? "ombrix" : u->name + "/ombrix";
  u->ombrix.argv = {dir + "/../ombrix"};
  u->ombrix.routine = remoteFrameRoutine;
}

// Starts the unit's devices, each once it has said it is there, then gives
// it a display and starts its ombrix. False when something did not start.
bool startUnit(Unit *u, const std::string &dir, bool withOmbrix) {
  for (Proc &d : u->devices) {
    if (!spawn(&d, {})) return false;
    // A device is ready when it has said where its port is.
    if (!waitLine(&d, d.ready, 5000)) {
      fprintf(stderr, "ombrix-sim: %s did not start\n", d.name.c_str());
      return false;
    }
  }
  // The program finds its screen images in its working directory, which
  // it takes from the launcher's at its start.
  if (!installDisplay(u->root, dir + "/..") || chdir((u->root + "/opt/Ombrix").c_str()) != 0)
    printf("ombrix-sim| no display: build the target ombrix_assets first\n");
  if (!withOmbrix) return true;
  u->ombrix.log = fopen(sim::OmbrixLog(u->root).c_str(), "w");
  return spawn(&u->ombrix, {"OMBRIX_ROOT=" + u->root, sim::AlsaConfigEnv(u->root)});
}

// Takes the unit's name off the front of an input line: the unit it names,
// or the first unit when it names none.
Unit *lineUnit(std::vector<Unit> *units, std::string *line) {
  std::string first = line->substr(0, line->find(' '));
  for (Unit &u : *units)
    if (!u.name.empty() && u.name == first) {
      *line = line->size() > first.size() ? line->substr(first.size() + 1) : std::string();
      return &u;
    }
  return &units->front();
}

// An input line for a device of the unit: a named one, the keys for a key
// command, the unit's first device otherwise.
void sendToDevice(Unit *u, std::string line) {
  std::string first = line.substr(0, line.find(' '));
  Proc *target = &u->devices[0];
  if (isKeyCommand(line))
    for (Proc &d : u->devices)
      if (d.kind == "keys") target = &d;
  for (Proc &d : u->devices)
    if (d.kind == first && line.size() > first.size()) {
      target = &d;
      line = line.substr(first.size() + 1);
    }
  sendControl(*target, line);
}

}  // namespace

int main(int argc, char **argv) {
  std::string root = ".sim";
  bool fresh = false, prepareOnly = false, withOmbrix = true, forceMode = false, pair = false,
       rig = false;
  int tcpPort = sim::kPairTcpPort;
  int webPort = 8080;
  std::string modeHeader = "!Neb";
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--root" && i + 1 < argc)
      root = argv[++i];
    else if (a == "--fresh")
      fresh = true;
    else if (a == "--mode" && i + 1 < argc) {
      std::string m = argv[++i];
      if (m != "neb" && m != "817" && m != "rig" && m != "gen") {
        usage();
        return 2;
      }
      modeHeader = m == "neb" ? "!Neb" : m == "817" ? "!817" : m == "rig" ? "!rig" : "!Gen";
      forceMode = true;
    } else if (a == "--rig") {
      rig = true;
    } else if (a == "--prepare")
      prepareOnly = true;
    else if (a == "--no-ombrix")
      withOmbrix = false;
    else if (a == "--all")
      gShowAll = true;
    else if (a == "--remote")
      pair = true;
    else if (a == "--tcp-port" && i + 1 < argc) {
      char *end = nullptr;
      long v = strtol(argv[++i], &end, 10);
      if (*end != 0 || v < 1 || v > 65535) {
        usage();
        return 2;
      }
      tcpPort = static_cast<int>(v);
    } else if (a == "--web-port" && i + 1 < argc) {
      char *end = nullptr;
      long v = strtol(argv[++i], &end, 10);
      if (*end != 0 || v < 0 || v > 65535) {
        usage();
        return 2;
      }
      webPort = static_cast<int>(v);
    } else {
      usage();
      return 2;
    }
  }
  // The radio behind rigctld is what the Hamlib mode of work follows.
  if (rig && !forceMode) {
    modeHeader = "!rig";
    forceMode = true;
  }
  mkdirs(root);
  char abs[PATH_MAX];
  if (realpath(root.c_str(), abs) == nullptr) {
    fprintf(stderr, "ombrix-sim: no root %s: %s\n", root.c_str(), strerror(errno));
    return 1;
  }
  root = abs;
  std::string dir = selfDir();
  std::vector<Unit> units(pair ? 2 : 1);
  if (pair) {
    units[0].name = "station";
    units[1].name = "operator";
    gNameWidth = 18;
  }
  for (Unit &u : units) {
    u.root = u.name.empty() ? root : root + "/" + u.name;
    mkdirs(u.root);
    bool ok = buildRoot(u.root, fresh, modeHeader, forceMode);
    if (ok && pair) ok = preparePairUnit(u.root, &u == &units[0], tcpPort, fresh);
    if (!ok) {
      fprintf(stderr, "ombrix-sim: can't build the root in %s\n", u.root.c_str());
      return 1;
    }
    if (&u == &units[0])
      addDevices(&u, kDevices, dir);
    else
      addDevices(&u, kOperatorDevices, dir);
    if (pair) addDevice(&u, &u == &units[0] ? kStationAudio : kOperatorAudio, dir);
    if (rig && &u == &units[0]) addDevice(&u, kRigDevice, dir);
  }
  if (prepareOnly) return 0;

  // Signals arrive through a descriptor, so the loop below is the only
  // place that acts on them.
  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGINT);
  sigaddset(&sigs, SIGTERM);
  sigaddset(&sigs, SIGCHLD);
  sigprocmask(SIG_BLOCK, &sigs, nullptr);
  int sigfd = signalfd(-1, &sigs, SFD_CLOEXEC);
  signal(SIGPIPE, SIG_IGN);

  auto all = [&]() {
    std::vector<Proc *> v;
    for (Unit &u : units) {
      for (Proc &d : u.devices) v.push_back(&d);
      if (withOmbrix) v.push_back(&u.ombrix);
    }
    return v;
  };
  if (withOmbrix) {
    bool tls = true;
    std::string phrase = prepareWebPanel(units[0].root, webPort, &tls);
    if (!phrase.empty()) {
      gWebUrl =
          (tls ? "https" : "http") + std::string("://127.0.0.1:") + std::to_string(webPort) + "/";
      if (tls) gWebOmbrix = &units[0].ombrix;
      printf("ombrix-sim| web panel: open %s (pass phrase %s)\n", gWebUrl.c_str(), phrase.c_str());
    }
  }
  for (Unit &u : units) {
    printf("ombrix-sim| root %s%s\n", u.root.c_str(),
           u.name.empty() ? "" : (" (" + u.name + ")").c_str());
    if (!startUnit(&u, dir, withOmbrix)) {
      for (Proc *p : all()) stopProc(p, SIGTERM);
      return 1;
    }
  }
  help(units);

  bool stopping = false;
  long long stopAt = 0, summaryAt = nowMs() + 10000;
  std::string input;
  bool stdinOpen = true;
  auto beginStop = [&]() {
    if (stopping) {
      // Second request: no more waiting.
      for (Proc *p : all()) stopProc(p, SIGKILL);
      return;
    }
    stopping = true;
    stopAt = nowMs();
    printf("ombrix-sim| stopping\n");
    fflush(stdout);
    if (withOmbrix)
      for (Unit &u : units)
        if (u.ombrix.pid > 0) stopProc(&u.ombrix, SIGTERM);
  };

  for (;;) {
    // A unit's devices stop once its ombrix has gone (or at once without it).
    if (stopping)
      for (Unit &u : units)
        if (!withOmbrix || u.ombrix.pid <= 0)
          for (Proc &d : u.devices)
            if (d.pid > 0 && d.status < 0) stopProc(&d, SIGTERM);
    bool anyRunning = false;
    for (Proc *p : all()) anyRunning |= p->pid > 0;
    if (!anyRunning) break;
    // ombrix spends up to ~15 s in its start-up before it looks at the stop.
    if (stopping && nowMs() - stopAt > 40000)
      for (Proc *p : all()) stopProc(p, SIGKILL);

    std::vector<struct pollfd> pf;
    std::vector<Proc *> owners;
    pf.push_back({sigfd, POLLIN, 0});
    owners.push_back(nullptr);
    if (stdinOpen) {
      pf.push_back({0, POLLIN, 0});
      owners.push_back(nullptr);
    }
    for (Proc *p : all())
      if (p->out >= 0) {
        pf.push_back({p->out, POLLIN, 0});
        owners.push_back(p);
      }
    int r = poll(pf.data(), pf.size(), 1000);
    if (r < 0 && errno != EINTR) break;

    if (!gShowAll && nowMs() >= summaryAt) {
      summaryAt = nowMs() + 10000;
      for (Proc *p : all())
        if (p->hidden > 0) {
          printf("%-*s| (%d routine lines in 10 s; 'all' shows them)\n", gNameWidth,
                 p->name.c_str(), p->hidden);
          p->hidden = 0;
        }
      fflush(stdout);
    }
    for (size_t i = 0; i < pf.size(); ++i) {
      if (!(pf[i].revents & (POLLIN | POLLHUP))) continue;
      if (pf[i].fd == sigfd) {
        struct signalfd_siginfo si;
        if (read(sigfd, &si, sizeof si) != sizeof si) continue;
        if (si.ssi_signo == SIGINT || si.ssi_signo == SIGTERM) {
          beginStop();
          continue;
        }
        // SIGCHLD: reap whoever ended.
        for (Proc *p : all()) {
          if (p->pid <= 0) continue;
          int st;
          if (waitpid(p->pid, &st, WNOHANG) == p->pid) {
            p->status = st;
            while (p->out >= 0) drain(p);  // its last words first
            printf("ombrix-sim| %s ended (%s %d)\n", p->name.c_str(),
                   WIFEXITED(st) ? "exit" : "signal",
                   WIFEXITED(st) ? WEXITSTATUS(st) : WTERMSIG(st));
            fflush(stdout);
            p->pid = -1;
            if (!stopping) beginStop();
          }
        }
      } else if (pf[i].fd == 0) {
        char buf[512];
        ssize_t n = read(0, buf, sizeof buf);
        if (n <= 0) {
          stdinOpen = false;
          continue;
        }
        input.append(buf, static_cast<size_t>(n));
        size_t nl;
        while ((nl = input.find('\n')) != std::string::npos) {
          std::string line = input.substr(0, nl);
          input.erase(0, nl + 1);
          if (line.empty()) continue;
          std::string first = line.substr(0, line.find(' '));
          if (line == "quit")
            beginStop();
          else if (line == "help")
            help(units);
          else if (line == "all")
            gShowAll = true;
          else if (line == "quiet")
            gShowAll = false;
          else if (first == "shot") {
            std::string rest = line.size() > 5 ? line.substr(5) : std::string();
            Unit *u = lineUnit(&units, &rest);
            screenshot(u->root, dir + "/..", rest);
          } else {
            Unit *u = lineUnit(&units, &line);
            if (!line.empty()) sendToDevice(u, line);
          }
        }
      } else {
        drain(owners[i]);
      }
    }
  }
  for (Proc *p : all())
    while (p->out >= 0) drain(p);
  if (!withOmbrix) return 0;
  int rc = 0;
  for (Unit &u : units) {
    if (u.ombrix.log) fclose(u.ombrix.log);
    int st = u.ombrix.status;
    int unitRc = st >= 0 && WIFEXITED(st) ? WEXITSTATUS(st) : 1;
    if (rc == 0) rc = unitRc;
  }
  return rc;
}
