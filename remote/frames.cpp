// Frame writers of the remote link. They run on the threads that produce the
// data (CAT, EXT IO, USB spectrum, audio capture, refresh loop) and never
// touch the connection: each builds its frame whole and hands it to the
// link's outbox, which the link thread alone writes to the peer. A writer
// therefore never waits for the network, however slow the peer.
#include <opus/opus.h>

#include <cstring>
#include <vector>

#include "core/setup.h"
#include "display/display.h"
#include "jpeg/jpeg.h"
#include "platform/log.h"
#include "remote/outbox.h"
#include "remote/remote.h"
#include "remote/websocket.h"

namespace {

bool peerConnected(const Works *works) {
  return works != nullptr && works->remoteConnected.load() != 0 && works->remoteOutbox != nullptr;
}

// Whole frames (one, or every chunk of one object) to the outbox.
bool sendFrames(Works *works, const uint8_t *frames, size_t n) {
  if (!peerConnected(works)) return false;
  return works->remoteOutbox->push(frames, n);
}

void sendShort(Works *works, const char *type, const void *data, int length) {
  uint8_t frame[kWsShortMax + 4];
  int n = WsBuildShort(frame, type, data, length);
  if (n > 0) sendFrames(works, frame, static_cast<size_t>(n));
}

// Every chunk of the object, queued together: the receiver shows an image
// when its last chunk arrives, so a part of one is worth nothing.
void sendChunked(Works *works, const char *type, const uint8_t *object, uint32_t total,
                 std::vector<uint8_t> &frames) {
  if (!peerConnected(works) || total == 0) return;
  const size_t chunks = (static_cast<size_t>(total) + kWsChunkBytes - 1) / kWsChunkBytes;
  frames.resize(chunks * kWsChunkFrame);
  for (size_t i = 0; i < chunks; ++i)
    WsBuildChunk(frames.data() + i * kWsChunkFrame, type, object, total,
                 static_cast<uint32_t>(i * kWsChunkBytes));
  sendFrames(works, frames.data(), frames.size());
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
  thread_local std::vector<uint8_t> frames;  // kept: a spectrum comes many times a second
  sendChunked(works, "SP", static_cast<const uint8_t *>(data), static_cast<uint32_t>(length),
              frames);
}

void sendWebSockEventFrame(Works *works, int x, int y) {
  char text[16];
  snprintf(text, sizeof text, "XY%05d%05d", x % 100000, y % 100000);
  uint8_t frame[6 + 12];
  int n = WsBuildText(frame, text, 12);
  sendFrames(works, frame, static_cast<size_t>(n));
}

void sendWebSockAudioFrame(Works *works, const int16_t *period) {
  if (period == nullptr || !peerConnected(works) || works->sendMutex == nullptr) return;
  const int frames = works->audioFrames.load();
  if (frames <= 0 || frames > 12 * 240) return;
  const size_t periodBytes = static_cast<size_t>(frames) * 4;
  // One buffer per capturing thread, kept: no allocation per period.
  thread_local std::vector<uint8_t> audio, frame;
  audio.resize(periodBytes);
  frame.resize(periodBytes + 10);
  // The encoder is one for the unit: encoding stays under the lock.
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
  if (len > 0) sendFrames(works, frame.data(), static_cast<size_t>(len));
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
  std::vector<uint8_t> frames;
  sendChunked(works, "FB", image.data(), total, frames);
}
