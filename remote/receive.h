#pragma once
// What a unit does with the frames its peer sends, on either side of the
// link, once the connection is authenticated.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/works.h"
#include "remote/audio.h"
#include "remote/websocket.h"

enum RemoteSide { REMOTE_SERVER, REMOTE_CLIENT };

// The receiving state of one link thread.
struct RemoteLink {
  RemoteSide side = REMOTE_SERVER;
  PlaybackLevels levels;         // latency control of this side's playback
  std::vector<uint8_t> image;    // screen image being assembled (display's size)
  std::vector<uint8_t> decoded;  // its pixels when it came as a JPEG image
};

// Receive buffer size: the largest frame the peer sends (a raw audio period)
// or 1024 bytes, whichever is larger.
size_t RemoteReceiveCapacity(const Works *works);

// Acts on one frame. Returns false when the connection must end.
bool RemoteDispatch(Works *works, RemoteLink *link, const WsFrame &frame);

// One "FB" chunk: data are the frame's bytes from its total field on (byte 6
// of the frame), n of them. Copies what fits, and shows the image when the
// chunk reaches its end (as the refresh loop's next background). Returns 0,
// or -1 when the chunk was refused.
int RemoteImageChunk(Works *works, RemoteLink *link, const uint8_t *data, int n);

// The audio of one "SO" frame (data from the frame's byte 6, n of them),
// bounded before it reaches playback. Returns 0, or -1 when refused.
int RemoteAudioFrame(Works *works, RemoteLink *link, const uint8_t *data, int n);
