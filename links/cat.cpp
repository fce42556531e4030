// The CAT link: finds the transceiver's CAT port among the "/dev/KIVOCAT*"
// devices and bridges its messages to the remote peer.
#include <dirent.h>
#include <libusb-1.0/libusb.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "core/peer_outbound.h"
#include "core/setup.h"
#include "errors/errors.h"
#include "links/links.h"
#include "platform/log.h"
#include "platform/platform.h"

At<int> status_cat{0};

namespace {

// The CAT thread owns the descriptor it found; others only ask it to stop.
At<int> catThreadRunning{0};
thread_local bool onCatThread = false;

// Bytes of an answer as a log can show them.
std::string printable(const char *s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += (s[i] >= 0x20 && s[i] < 0x7F) ? s[i] : '.';
  return out;
}

std::vector<std::string> catDevices() {
  std::vector<std::string> names;
  DIR *d = opendir(MapPath("/dev").c_str());
  if (d == nullptr) return names;
  while (struct dirent *e = readdir(d)) {
    if (strncmp(e->d_name, "KIVOCAT", 7) == 0) names.push_back(std::string("/dev/") + e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

// Reads wait at most 1 s once the probe is out. No flush here: the answer
// may already be on its way.
void setProbeTimeout(int fd) {
  struct termios tio;
  if (tcgetattr(fd, &tio) != 0) return;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 10;
  tcsetattr(fd, TCSANOW, &tio);
}

bool catShouldRun(Works *works) {
  return works->running.load() != 0 && SetupChar(works, SB_EnableCAT) == '1';
}

// One candidate: open, set, send "DT;", read the answer. The open port
// when it answered "DT001", else -1.
int probeCat(const std::string &path) {
  int fd = OpenSerial(path);
  if (fd < 0) {
    int e = errno;
    LogInfo("Cannot open %s, error %d -%s", path.c_str(), e, strerror(e));
    return -1;
  }
  LogInfo("Opened  %s", path.c_str());
  LogStderr("Opened %s---------------------------------------------\n", path.c_str());
  if (ConfigureSerial(fd, IGNPAR, 0, CS8 | CREAD | CLOCAL, 0, 1, 0, B115200) != 0) {
    int e = errno;
    LogInfo("Cannot set %s, error %d -%s", path.c_str(), e, strerror(e));
    close(fd);
    return -1;
  }
  LogInfo("Set %s", path.c_str());
  LogStderr("set %s---------------------------------------------\n", path.c_str());
  LogInfo("Send \"DT;\" %s", path.c_str());
  WriteAll(fd, "DT;", 3);
  LogInfo("Sent \"DT;\" %s", path.c_str());
  LogStderr("sent %s---------------------------------------------\n", path.c_str());
  setProbeTimeout(fd);

  char answer[8] = {};
  int got = 0;
  // The whole answer, ';' included, so none of it is left in the port to be
  // read later as a message of its own.
  while (got < 6) {
    ssize_t k = 0;
    int r = WaitReadable(fd, 1000);
    if (r > 0) k = read(fd, answer + got, 1);
    if (k < 0 && errno == EINTR) continue;
    if (k > 0) got += static_cast<int>(k);
    LogInfo("Received %d \"%s\" %s", got, printable(answer, got).c_str(), path.c_str());
    // A second of silence ends the answer, however much of it came.
    if (k <= 0) break;
  }
  LogInfo("Received \"%s\" %s", printable(answer, got).c_str(), path.c_str());
  if (got >= 5 && memcmp(answer, "DT001", 5) == 0) {
    LogStderr("received DT001; %s---------------------------------------------\n", path.c_str());
    return fd;
  }
  close(fd);
  LogInfo("Cannot connect NEB using %s", path.c_str());
  return -1;
}

}  // namespace

int CatCollect(CatCollector *c, uint8_t byte) {
  c->text[c->have++] = static_cast<char>(byte);
  if (byte == ';') {
    int n = c->have;
    c->text[n] = 0;
    c->have = 0;
    return n;
  }
  if (c->have >= kCatMessageMax) {
    // 200 bytes without ';' are no message: drop them.
    memset(c->text, 0, sizeof c->text);
    c->have = 0;
  }
  return 0;
}

int VerifyCAT(Works *works) {
  LogStderr("CAT serial search...\n");
  // A port an earlier search left open, that no CAT thread uses: found again below.
  if (onCatThread || catThreadRunning.load() == 0) {
    std::lock_guard<std::mutex> lock(works->catPortMutex);
    int old = works->catFD.exchange(0);
    if (old > 0) close(old);
  }
  std::vector<std::string> paths = catDevices();
  if (paths.empty()) {
    LogStderr("No CAT serial port found\n");
    return -1;
  }
  int found = -1;
  std::string foundPath;
  for (auto it = paths.rbegin(); it != paths.rend(); ++it) {
    found = probeCat(*it);
    if (found >= 0) {
      foundPath = *it;
      break;
    }
    poll(nullptr, 0, 2);
  }
  if (found < 0) {
    std::string port = SetupText(works, SB_CatPort);
    LogErr("Unable to open device %s", port.c_str());
    LogStderr("CAT: Unable to open device %s\n", port.c_str());
    return -1;
  }
  works->catFD = found;
  LogStderr("CAT serial found:  %s---------------------------------------------\n",
            foundPath.c_str());
  return 0;
}

void ExitCAT(Works *works) {
  // The CAT thread closes its own port; from another thread (the remote link
  // after a failed write) a close could pull the descriptor from under the
  // thread's poll, so that thread only asks it to stop.
  if (onCatThread || catThreadRunning.load() == 0) {
    std::lock_guard<std::mutex> lock(works->catPortMutex);
    int fd = works->catFD.exchange(0);
    if (fd > 0) close(fd);
  }
  works->catClosed = 1;
  SetSetupChar(works, SB_EnableCAT, '0');
  AddErrore(works, ERR_REMOTE_CAT);
}

void *Cat(void *arg) {
  Works *works = static_cast<Works *>(arg);
  onCatThread = true;
  catThreadRunning = 1;
  status_cat = 0;
  const std::string port = SetupText(works, SB_CatPort);
  if (!PauseWhile(works, SB_EnableCAT, 3000) || VerifyCAT(works) != 0) {
    if (catShouldRun(works)) {
      LogInfo("Unable to open device %s", port.c_str());
      LogStderr("CAT: Unable to open device %s\n", port.c_str());
    }
    ExitCAT(works);
    catThreadRunning = 0;
    return nullptr;
  }
  int fd = works->catFD.load();
  LogInfo("OK works->catFD=%d (%s)", fd, port.c_str());
  status_cat = 1;

  CatCollector collector;
  char chunk[256];
  while (catShouldRun(works)) {
    // 5 ms steps: a cleared EnableCAT ends the thread within that time.
    int r = WaitReadable(fd, 5);
    if (r == 0) continue;
    if (r < 0) break;
    ssize_t k = read(fd, chunk, sizeof chunk);
    if (k < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (k <= 0) break;
    for (ssize_t i = 0; i < k; ++i) {
      int n = CatCollect(&collector, static_cast<uint8_t>(chunk[i]));
      if (n > 0 && works->remoteConnected.load()) PeerSendCat(works, collector.text, n);
    }
  }
  // Our own descriptor, even if a later search replaced catFD meanwhile.
  {
    std::lock_guard<std::mutex> lock(works->catPortMutex);
    int mine = fd;
    works->catFD.compare_exchange_strong(mine, 0);
    close(fd);
  }
  ExitCAT(works);
  status_cat = 0;
  catThreadRunning = 0;
  return nullptr;
}

int Find_Remote_Settings(Works *works) {
  const UsbOps &ops = CurrentUsbOps();
  libusb_context *ctx = nullptr;
  if (ops.init(&ctx) < 0) return 1;
  ops.setDebug(ctx, 3);
  libusb_device **list = nullptr;
  long n = ops.getDeviceList(ctx, &list);
  if (n < 0) {
    ops.exit(ctx);
    return 1;
  }
  bool found = false, failed = false;
  for (long i = 0; i < n && !found; ++i) {
    struct libusb_device_descriptor desc;
    if (ops.getDeviceDescriptor(list[i], &desc) < 0) {
      failed = true;
      break;
    }
    found = desc.idVendor == NebUsbVendor() && desc.idProduct == NebUsbProduct();
  }
  ops.freeDeviceList(list, 1);
  ops.exit(ctx);
  if (failed || !found) return 1;
  if (VerifyCAT(works) != 0) {
    LogStderr("---CAT: Unable to open device %s\n", SetupText(works, SB_CatPort).c_str());
    return 2;
  }
  return PeerAudioPresent(works) != 0 ? 0 : 3;
}
