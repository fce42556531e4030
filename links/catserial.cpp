// The FT-817 frequency reader: asks the radio for frequency and mode over
// its CAT port and keeps works->catFrequency up to date.
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "core/setup.h"
#include "links/links.h"
#include "platform/log.h"
#include "platform/platform.h"

At<int> catProcessStatus{0};
At<int> lastCommandSent{0};
At<int> counterimeoutCAT{0};

namespace {

constexpr int kAnswerTimeoutMs = 1500;
// Four parameter bytes, then opcode 0x03: read frequency and mode.
const uint8_t kReadFreqMode[5] = {0x00, 0x00, 0x00, 0x00, 0x03};

bool catSerialShouldRun(Works *works) {
  return works->running.load() != 0 && SetupChar(works, SB_CatSerialEnable) == '1';
}

int openCatSerialPort(const std::string &path) {
  int fd = OpenSerial(path);
  if (fd < 0) return -1;
  if (ConfigureSerial(fd, IGNPAR, 0, CS8 | CSTOPB | CREAD | CLOCAL, 0, 1, 0, B38400) != 0) {
    close(fd);
    return -2;
  }
  return fd;
}

// The radio was unplugged (its port hung up): wait for it to come back.
int reopenCatSerial(Works *works, const std::string &path) {
  LogErr("CAT: device %s lost, waiting for it", path.c_str());
  while (PauseWhile(works, SB_CatSerialEnable, 1000)) {
    int fd = openCatSerialPort(path);
    if (fd >= 0) {
      LogInfo("OK works->catSerFD=%d (%s)", fd, path.c_str());
      LogStderr("---------------- OK works->catSerFD=%d (%s)\n", fd, path.c_str());
      return fd;
    }
  }
  return -1;
}

}  // namespace

bool VerifyByteFreq(uint8_t byte) {
  return (byte & 0x0F) > 9 || byte >= 0xA0;
}

void DecodeCatSerialCmd(Works *works, const uint8_t *answer, int n) {
  if (lastCommandSent.load() == 3 && answer != nullptr && n >= 5) {
    works->catMode = answer[4];
    bool bad = false;
    for (int i = 0; i < 4; ++i) bad = bad || VerifyByteFreq(answer[i]);
    if (bad) {
      LogStderr("CAT FT817 freq not decoded :  %02x %02x %02x %02x %02x\n", answer[0], answer[1],
                answer[2], answer[3], answer[4]);
    } else {
      int d[4];
      for (int i = 0; i < 4; ++i) d[i] = (answer[i] >> 4) * 10 + (answer[i] & 0x0F);
      works->catFrequency = d[0] * 10000000 + d[1] * 100000 + d[2] * 1000 + d[3] * 10;
    }
  }
  lastCommandSent = 0;
}

int writeSerialCatPort(int fd, const void *data, int n, Works *) {
  int r = WriteAll(fd, data, n);
  counterimeoutCAT = 0;
  return r;
}

void *CatSerial(void *arg) {
  Works *works = static_cast<Works *>(arg);
  const std::string path = SetupText(works, SB_CatSerialPort);
  LogInfo("Init CATSerial Port %s", path.c_str());
  int fd = openCatSerialPort(path);
  if (fd == -1) {
    LogErr("Unable to open device %s", path.c_str());
    works->deviceErrorText.setf("CAT: Unable to open device %s", path.c_str());
    works->deviceError = 2;
    return nullptr;
  }
  if (fd < 0) {
    LogInfo("Unable to set comm port %s", path.c_str());
    works->deviceErrorText.setf("CAT: Unable to set comm port %s", path.c_str());
    works->deviceError = 2;
    return nullptr;
  }
  LogInfo("OK works->catSerFD=%d (%s)", fd, path.c_str());
  LogStderr("---------------- OK works->catSerFD=%d (%s)\n", fd, path.c_str());
  lastCommandSent = 0;
  catProcessStatus = 3;

  uint8_t answer[5] = {};
  int have = 0;
  while (catSerialShouldRun(works)) {
    bool lost = false;
    switch (catProcessStatus.load()) {
      case 3:
        // Whatever a late or over-long answer left behind would shift every
        // later answer: start each poll from an empty input queue.
        tcflush(fd, TCIFLUSH);
        have = 0;
        if (writeSerialCatPort(fd, kReadFreqMode, 5, works) != 5) lost = true;
        lastCommandSent = 3;
        catProcessStatus = 2;
        break;
      case 2: {
        if (counterimeoutCAT.load() > kAnswerTimeoutMs - 1) {
          LogStderr("<<<<<<<<<<<<<<<<<<<<TIMEOUT SERIAL CAT!!!!\n");
          have = 0;
          catProcessStatus = 3;
          PauseWhile(works, SB_CatSerialEnable, 1000);
          break;
        }
        long long before = MonotonicMs();
        int wait = std::clamp(kAnswerTimeoutMs - counterimeoutCAT.load(), 1, 100);
        int r = WaitReadable(fd, wait);
        if (r == 0) {
          counterimeoutCAT += static_cast<int>(std::max(1LL, MonotonicMs() - before));
          break;
        }
        if (r < 0) {
          lost = true;
          break;
        }
        counterimeoutCAT += static_cast<int>(MonotonicMs() - before);
        ssize_t k = read(fd, answer + have, static_cast<size_t>(5 - have));
        if (k < 0 && (errno == EINTR || errno == EAGAIN)) break;
        if (k <= 0) {
          LogErr("timeout %d\n", static_cast<int>(k));
          PauseWhile(works, SB_CatSerialEnable, 20);
          // A port that reads nothing after poll said it could is gone.
          lost = true;
          break;
        }
        have += static_cast<int>(k);
        if (have == 5) catProcessStatus = 1;
        break;
      }
      case 1:
        DecodeCatSerialCmd(works, answer, have);
        have = 0;
        PauseWhile(works, SB_CatSerialEnable, 20);
        catProcessStatus = 3;
        break;
      default: catProcessStatus = 3; break;
    }
    if (lost) {
      close(fd);
      have = 0;
      fd = reopenCatSerial(works, path);
      if (fd < 0) break;
      catProcessStatus = 3;
    }
  }
  if (fd >= 0) close(fd);
  return nullptr;
}
