// Frame writers of the remote link. They run on the threads that produce the
// data (CAT, EXT IO, USB spectrum, audio capture, refresh loop) and share one
// socket: each frame is written whole under sendMutex, with a deadline, so a
// peer that stops reading costs a caller about a second once and then marks
// the connection down instead of stalling every thread behind it.
#include <opus/opus.h>
#include <sys/socket.h>

#include <cstring>
#include <vector>

#include "core/setup.h"
#include "display/display.h"
#include "jpeg/jpeg.h"
#include "platform/log.h"
#include "remote/connection.h"
#include "remote/remote.h"

namespace {

constexpr int kSendTimeoutMs = 1000;

// With sendMutex held: the whole frame, or the connection marked down.
bool sendLocked(Works *works, const uint8_t *frame, size_t n) {
  int fd = works->remoteSock.load();
  if (works->remoteConnected.load() == 0 || fd < 0) return false;
  if (WsWriteAll(fd, frame, n, kSendTimeoutMs) == WS_IO_OK) return true;
  // A half-written frame cannot be followed by another: the link thread
  // sees the shutdown, ends the connection and closes the socket.
  works->remoteConnected = 0;
  shutdown(fd, SHUT_RDWR);
  LogErr("remote peer not taking frames: connection marked down");
  return false;
}

bool sendFrame(Works *works, const uint8_t *frame, size_t n) {
  if (works == nullptr || works->remoteConnected.load() == 0 || works->sendMutex == nullptr)
    return false;
  std::lock_guard<std::mutex> lock(*works->sendMutex);
  return sendLocked(works, frame, n);
}

void sendShort(Works *works, const char *type, const void *data, int length) {
  uint8_t frame[kWsShortMax + 4];
  int n = WsBuildShort(frame, type, data, length);
  if (n > 0) sendFrame(works, frame, static_cast<size_t>(n));
}

void sendChunked(Works *works, const char *type, const uint8_t *object, uint32_t total) {
  uint8_t frame[kWsChunkFrame];
  for (uint32_t offset = 0; offset < total; offset += kWsChunkBytes) {
    if (works->remoteConnected.load() == 0) return;
    WsBuildChunk(frame, type, object, total, offset);
    if (!sendFrame(works, frame, sizeof frame)) return;
  }
}

}  // namespace

Works *staticworks = nullptr;

void sendWebSockSerParFrame(Works *works, const void *data, int length) {
  sendShort(works, "PA", data, length);
}

void sendWebSockStatusFrame(Works *works, const char *status, int length) {
  sendShort(works, "ST", status, length);
}

void sendWebSockSerFrame(Works *works, const void *data, int length) {
  sendShort(works, "SC", data, length);
}

void sendWebSockCatFrame(Works *works, const char *text, int length) {
  // A CAT message longer than one short frame goes out in several.
  for (int at = 0; at < length; at += kWsShortMax) {
    int n = length - at < kWsShortMax ? length - at : kWsShortMax;
    sendShort(works, "CA", text + at, n);
  }
}

void sendWebSockSerSpectrFrame(Works *works, const void *data, int length) {
  if (works == nullptr || length <= 0) return;
  sendChunked(works, "SP", static_cast<const uint8_t *>(data), static_cast<uint32_t>(length));
}

void sendWebSockEventFrame(Works *works, int x, int y) {
  char text[16];
  snprintf(text, sizeof text, "XY%05d%05d", x % 100000, y % 100000);
  uint8_t frame[6 + 12];
  int n = WsBuildText(frame, text, 12);
  sendFrame(works, frame, static_cast<size_t>(n));
}

void sendWebSockAudioFrame(Works *works, const int16_t *period) {
  if (works == nullptr || period == nullptr || works->remoteConnected.load() == 0 ||
      works->sendMutex == nullptr)
    return;
  const int frames = works->audioFrames.load();
  if (frames <= 0 || frames > 12 * 240) return;
  const size_t periodBytes = static_cast<size_t>(frames) * 4;
  // One buffer per capturing thread, kept: no allocation per period.
  thread_local std::vector<uint8_t> audio, frame;
  audio.resize(periodBytes);
  frame.resize(periodBytes + 10);
  std::lock_guard<std::mutex> lock(*works->sendMutex);
  int n;
  if (works->audioCompress.load() != 0 && works->opusEncoder != nullptr) {
    n = opus_encode(static_cast<OpusEncoder *>(works->opusEncoder), period, frames, audio.data(),
                    static_cast<opus_int32>(periodBytes));
    if (n < 0) {
      LogStderr("encode failed: %s\n", opus_strerror(n));
      return;
    }
  } else {
    // Samples as little-endian byte pairs, whatever the host's order.
    for (int i = 0; i < frames * 2; ++i) {
      uint16_t s = static_cast<uint16_t>(period[i]);
      audio[2 * i] = static_cast<uint8_t>(s & 0xff);
      audio[2 * i + 1] = static_cast<uint8_t>(s >> 8);
    }
    n = static_cast<int>(periodBytes);
  }
  if (n <= 0) return;
  int len = WsBuildAudio(frame.data(), frame.size(), audio.data(), n);
  if (len < 0) return;
  if (!sendLocked(works, frame.data(), static_cast<size_t>(len)))
    LogErr("rc(%d) != length+10(%d)", -1, n + 10);
}

void sendWebSockFbFrame() {
  Works *works = staticworks;
  if (works == nullptr || works->remoteConnected.load() == 0) return;
  if (SetupChar(works, SB_WebSocket) != '1') return;
  FrameBuffer *fb = works->fb;
  if (fb == nullptr || fb->size <= 0) return;
  std::vector<uint8_t> image(static_cast<size_t>(fb->size));
  uint32_t total = static_cast<uint32_t>(fb->size);
  unsigned long size = image.size();
  if (works->jpegQuality.load() != 0 && Compress(works, image.data(), &size) == 0) {
    total = static_cast<uint32_t>(size);
  } else {
    memcpy(image.data(), fb->screen, image.size());
  }
  sendChunked(works, "FB", image.data(), total);
}
