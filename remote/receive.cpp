#include "remote/receive.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/config.h"
#include "core/setup.h"
#include "core/threads.h"
#include "display/display.h"
#include "jpeg/jpeg.h"
#include "links/links.h"
#include "platform/log.h"
#include "platform/platform.h"
#include "remote/remote.h"

namespace {

bool isType(const WsFrame &f, const char *t) {
  return f.type[0] == t[0] && f.type[1] == t[1];
}

// Writes bytes from the peer to a port that another thread owns, under the
// lock its owner closes it under. A closed port (descriptor 0 or less) is
// never written: returns 0 then, and the caller's frame is skipped.
int writePort(Works *works, const uint8_t *data, int n, bool extIo, int *fdOut) {
  char buf[200] = {};
  if (n > static_cast<int>(sizeof buf)) n = sizeof buf;
  memcpy(buf, data, static_cast<size_t>(n));
  // The EXT IO port's lock also keeps these bytes out of the carrier commands.
  std::lock_guard<std::mutex> lock(extIo ? works->serWriteMutex : works->catPortMutex);
  int fd = extIo ? works->serFD.load() : works->catFD.load();
  *fdOut = fd;
  return fd > 0 ? WriteAll(fd, buf, n) : 0;
}

// An ST frame: its text replaces the status text, and is interpreted.
void takeStatus(Works *works, const WsFrame &f) {
  char text[200] = {};
  memcpy(text, f.data, std::min<size_t>(f.dataLen, sizeof text - 1));
  works->statusText.set(text);
  dispStat(works);
}

// The decimation of the spectrum: a value that becomes positive again
// restarts the countdown that stopped at 0.
void setDivide(Works *works, int value) {
  int old = works->divide.exchange(value);
  if (old <= 0 && value > 0) RestartSpectrumCountdown();
}

void rebootUnit(Works *works) {
  // The front panel's controller is told first; without the panel thread the
  // byte is dropped after a bounded wait and the reboot goes ahead.
  PostPanelCmd(works, 197);
  for (int i = 0; i < 4 && works->running.load(); ++i) poll(nullptr, 0, 1000);
  RunCommand({"reboot"});
}

bool serverFrame(Works *works, RemoteLink *link, const WsFrame &f) {
  if (f.text != nullptr) {
    // A touch event: read, and nothing more.
    if (f.textLen >= 12 && f.text[0] == 'X' && f.text[1] == 'Y') {
      char digits[11] = {};
      memcpy(digits, f.text + 2, 10);
      int x = 0, y = 0;
      sscanf(digits, "%05d%05d", &x, &y);
    }
    return true;
  }
  if (!f.longForm && f.op == kWsBinary) {
    if (isType(f, "CA")) {
      LogTrace("EIK, CA");
      // Nothing to write: not a failure of the CAT port.
      if (f.dataLen <= 0) return true;
      int fd = 0;
      int written = writePort(works, f.data, f.dataLen, false, &fd);
      if (fd <= 0) {
        LogInfo("CAT port closed: CA frame of %d bytes skipped", f.dataLen);
        return true;
      }
      if (written < 1) {
        LogInfo("TCP read Error 7a %d", errno);
        ExitCAT(works);
        return false;
      }
      return true;
    }
    if (isType(f, "ST")) {
      LogTrace("EIK, ST");
      takeStatus(works, f);
      return true;
    }
    if (isType(f, "SC") || isType(f, "PA")) {
      bool pa = isType(f, "PA");
      if (pa) LogStderr("S BUFFER WEB SERVER : %s\n", WsEscape(f.data, f.dataLen).c_str());
      LogTrace(pa ? "EIK, PA" : "EIK, SC");
      if (f.dataLen <= 0) return true;
      int fd = 0;
      int written = writePort(works, f.data, f.dataLen, true, &fd);
      if (fd <= 0) {
        LogInfo("EXT IO port closed: %s frame of %d bytes skipped", pa ? "PA" : "SC", f.dataLen);
        return true;
      }
      if (written < 1) {
        LogInfo(pa ? "TCP read Error 8a %d" : "TCP read Error 7a %d", errno);
        return false;
      }
      return true;
    }
  } else if (f.longForm && f.op == kWsBinary) {
    if (isType(f, "SP")) return true;
    if (isType(f, "FB")) {
      LogTrace("EIK, FB");
      RemoteImageChunk(works, link, f.data, f.dataLen);
      return true;
    }
    if (isType(f, "SO")) {
      RemoteAudioFrame(works, link, f.data, f.dataLen);
      return true;
    }
  } else if (f.longForm && f.op == kWsText) {
    LogTrace("EIK, XY");
    return true;
  }
  LogErr("wrong message type: %x", f.op);
  return true;
}

bool clientFrame(Works *works, RemoteLink *link, const WsFrame &f) {
  if (!f.longForm && f.op == kWsBinary && f.text == nullptr) {
    if (isType(f, "CA")) {
      int fd = 0;
      writePort(works, f.data, f.dataLen, false, &fd);  // a failed write is ignored
      if (fd <= 0) LogInfo("CAT port closed: CA frame of %d bytes skipped", f.dataLen);
      return true;
    }
    if (isType(f, "ST")) {
      takeStatus(works, f);
      return true;
    }
    if (isType(f, "PA")) {
      storeParameters(works, f.dataLen, f.data);
      return true;
    }
  } else if (f.longForm && f.op == kWsBinary) {
    if (isType(f, "SP")) return true;
    if (isType(f, "FB")) {
      RemoteImageChunk(works, link, f.data, f.dataLen);
      return true;
    }
    if (isType(f, "SO")) {
      RemoteAudioFrame(works, link, f.data, f.dataLen);
      return true;
    }
  } else if (f.longForm && f.op == kWsText) {
    return true;  // a touch event: no action
  }
  LogErr("wrong message type: %x", f.op);
  return true;
}

}  // namespace

size_t RemoteReceiveCapacity(const Works *works) {
  long frames = std::clamp<long>(works->audioFrames.load(), 0, 12 * 240);
  return std::max<size_t>(1024, 10 + 4 * static_cast<size_t>(frames));
}

bool RemoteDispatch(Works *works, RemoteLink *link, const WsFrame &frame) {
  return link->side == REMOTE_SERVER ? serverFrame(works, link, frame)
                                     : clientFrame(works, link, frame);
}

int RemoteImageChunk(Works *works, RemoteLink *link, const uint8_t *data, int n) {
  FrameBuffer *fb = works->fb;
  if (n < 8) {
    LogErr("FB frame without its total and offset: skipped");
    return -1;
  }
  uint32_t total = WsBe32(data);
  uint32_t offset = WsBe32(data + 4);
  if (fb == nullptr || fb->size <= 0) {
    LogErr("FB chunk skipped: no display");
    return -1;
  }
  const uint32_t screenBytes = static_cast<uint32_t>(fb->size);
  if (total == 0 || total > screenBytes || offset >= total) {
    LogErr("FB chunk refused: total %u offset %u (screen %u bytes)", total, offset, screenBytes);
    return -1;
  }
  if (link->image.size() != screenBytes) link->image.assign(screenBytes, 0);
  uint32_t count = std::min<uint32_t>(
      {static_cast<uint32_t>(kWsChunkBytes), total - offset, static_cast<uint32_t>(n - 8)});
  memcpy(link->image.data() + offset, data + 8, count);
  if (static_cast<uint64_t>(offset) + kWsChunkBytes < total) return 0;
  // The chunk that reaches the end: raw pixels when the object is a whole
  // screen, a JPEG image otherwise. The picture goes to the refresh loop,
  // the only thread that draws on the screen's buffers.
  if (total == screenBytes) {
    PostBackgroundPixels(works, link->image.data(), screenBytes);
    return 0;
  }
  // The image's size comes from its header before anything is decoded: an
  // image of another size than the screen is refused without a byte spent.
  int width = static_cast<int>(fb->width), height = static_cast<int>(fb->height);
  if (fb->pixelBytes != 4 ||
      JpegDecodeSized(link->image.data(), total, width, height, &link->decoded) != 0 ||
      link->decoded.size() != screenBytes)
    return 0;  // not an image of this screen: the screen stays as it was
  PostBackgroundPixels(works, link->decoded.data(), screenBytes);
  return 0;
}

int RemoteAudioFrame(Works *works, RemoteLink *link, const uint8_t *data, int n) {
  if (n < 4) {
    LogErr("SO frame without its length: skipped");
    return -1;
  }
  uint32_t bytes = WsBe32(data);
  if (bytes > static_cast<uint32_t>(n - 4)) {
    LogErr("SO frame announces %u audio bytes, carries %d: skipped", bytes, n - 4);
    return -1;
  }
  if (works->audioCompress.load() == 0) {
    uint32_t period = 4 * static_cast<uint32_t>(std::max(0, works->audioFrames.load()));
    if (bytes > period || bytes % 4 != 0) {
      LogErr("SO frame of %u raw bytes does not fit a period of %u: skipped", bytes, period);
      return -1;
    }
  }
  PlayRemoteAudio(works, link->side == REMOTE_SERVER ? PLAYBACK_SERVER : PLAYBACK_CLIENT,
                  &link->levels, data + 4, static_cast<int>(bytes));
  return 0;
}

void dispStat(Works *works) {
  char text[200];
  works->statusText.get(text, sizeof text);
  LogStderr("BUFFER Wsocket : %s\n", WsEscape(text, strlen(text)).c_str());
  auto begins = [&](const char *p) { return strncmp(text, p, strlen(p)) == 0; };
  if (begins("KIVOBANK") || begins("KIVOPA1")) {
    LogStderr("ChangeBanco\n");
    ChangeBanco(works);
  } else if (begins("KIVOTU2")) {
  } else if (begins("KIVOFT00")) {
    SetSetupChar(works, SB_EnableFFTCopy, '0');
  } else if (begins("KIVOFT01") || begins("KIVOFT02")) {
    SetSetupChar(works, SB_EnableFFTCopy, '1');
    SetSetupChar(works, SB_Enable1600, begins("KIVOFT02") ? '1' : '0');
    if (works->divide.load() <= 1) setDivide(works, 2);
  } else if (begins("KIVOFD")) {
    // Any digits at all: out-of-range numbers are clamped, none reads as 0.
    errno = 0;
    long v = strtol(text + 6, nullptr, 10);
    if (v > INT_MAX) v = INT_MAX;
    if (v < INT_MIN) v = INT_MIN;
    setDivide(works, static_cast<int>(v));
  } else if (begins("KIVORB")) {
    rebootUnit(works);
  }
}
