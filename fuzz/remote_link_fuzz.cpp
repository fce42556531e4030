// The remote link on any bytes from a peer: handshake lines as both ends
// count them, then the same bytes as a stream of frames read by the
// receiver's rules and dispatched on the operator's side (ports closed, a
// memory display), as a hostile server could send them.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "core/setup.h"
#include "core/works.h"
#include "display/display.h"
#include "links/nebparam.h"
#include "remote/receive.h"
#include "remote/websocket.h"

namespace {

struct Rig {
  Works works;
  Lumosetup setup;
  NebParam param{};
  std::mutex serMut;
  Rig() {
    // "KIVORB" reboots through the command runner: under a root without
    // commands it runs nothing.
    setenv("OMBRIX_ROOT", "/nonexistent/ombrix-fuzz-root", 1);
    works.setup = &setup;
    works.nebParam = &param;
    works.serMut = &serMut;
    works.audioFrames = 480;
    works.fb = fbCreateMemory(800, 480, 4);
  }
};

Rig &rig() {
  static Rig *r = new Rig();
  return *r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Works *w = &rig().works;
  const char *text = reinterpret_cast<const char *>(data);

  WsServerHandshake server;
  WsClientHandshake client;
  size_t at = 0;
  while (at < size) {
    const void *nl = memchr(text + at, '\n', size - at);
    size_t end = nl ? static_cast<size_t>(static_cast<const char *>(nl) - text) + 1 : size;
    size_t len = end - at > 1023 ? 1023 : end - at;
    WsServerLine(&server, text + at, len);
    WsClientLine(&client, "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=", text + at, len);
    at = end;
  }

  RemoteLink link;
  link.side = REMOTE_CLIENT;
  w->audioCompress = size > 0 && (data[0] & 1) ? 64000 : 0;
  const size_t cap = RemoteReceiveCapacity(w);
  std::vector<uint8_t> frame(cap);
  at = size > 0 ? 1 : 0;  // the first byte chose raw or Opus audio
  while (size - at >= 4) {
    WsHead head;
    if (WsReadHead(data + at, cap, &head) != WS_HEAD_OK) break;
    if (size - at < 4 + head.rest) break;
    memcpy(frame.data(), data + at, 4 + head.rest);
    WsFrame f;
    if (WsParseFrame(frame.data(), 4 + head.rest, head, &f) == 0) RemoteDispatch(w, &link, f);
    at += 4 + head.rest;
  }
  return 0;
}
