#pragma once
// The remote link's transport without I/O: the WebSocket opening handshake
// as both ends count it, the accept value, and the private frame format both
// units share (frames are never masked; 7-bit text frames carry a four-byte
// masking key all the same). Everything here takes bytes and returns bytes,
// so tests and fuzzers call it directly.
#include <cstddef>
#include <cstdint>
#include <string>

#include "remote/preauth_log.h"

// ---- Handshake

// RFC 6455 accept value of a key text: Base64 of the SHA-1 of key + GUID.
std::string WsAcceptValue(const std::string &key);
// The client's key: Base64 of 16 random bytes (24 characters).
std::string WsKeyFromBytes(const uint8_t bytes[16]);

// The server's count of request lines; complete at 8.
struct WsServerHandshake {
  int count = 0;
  std::string key;
  PreAuthLog log;  // the handshake's texts, once per connection
};
constexpr int kWsServerCount = 8;
// Counts one complete received line (newline included, len <= 1023).
void WsServerLine(WsServerHandshake *hs, const char *line, size_t len);

// The client's count of response lines; done when it exceeds 5 or failed.
struct WsClientHandshake {
  int count = 0;
  bool acceptSeen = false;
  bool failed = false;
  PreAuthLog log;
};
constexpr int kWsClientCount = 5;
void WsClientLine(WsClientHandshake *hs, const std::string &expectedAccept, const char *line,
                  size_t len);

// The request lines the client writes, in order (one write each).
int WsClientRequestLines(const std::string &host, int port, const std::string &key,
                         std::string lines[6]);
// The server's whole response for a key.
std::string WsServerResponse(const std::string &key, std::string lines[5]);

// ---- Frames

constexpr uint8_t kWsText = 0x81;
constexpr uint8_t kWsBinary = 0x82;
constexpr int kWsShortMax = 123;    // data bytes of a short binary frame
constexpr int kWsTextMax = 125;     // payload bytes of a 7-bit text frame
constexpr int kWsChunkBytes = 512;  // object bytes per chunked frame
constexpr int kWsChunkFrame = 526;  // every chunked frame's size on the wire

// Short binary frame ("PA", "ST", "CA", "SC"): n + 4 bytes into out (at
// least n + 4 long). Returns the frame's size, or -1 when n > 123 or < 0.
int WsBuildShort(uint8_t *out, const char type[2], const void *data, int n);
// One 526-byte chunk of an object of total bytes at offset ("SP", "FB");
// bytes past the object's end are zero.
void WsBuildChunk(uint8_t out[kWsChunkFrame], const char type[2], const uint8_t *object,
                  uint32_t total, uint32_t offset);
// Audio frame ("SO") of n audio bytes: n + 10 bytes. -1 when n does not fit
// the 16-bit form or out's capacity.
int WsBuildAudio(uint8_t *out, size_t capacity, const uint8_t *audio, int n);
// 7-bit text frame with a zero masking key: n + 6 bytes; -1 when n > 125.
int WsBuildText(uint8_t *out, const void *payload, int n);

// What the four first bytes of a frame announce.
struct WsHead {
  uint8_t op = 0;         // byte 0
  uint8_t code = 0;       // byte 1, the length code
  bool longForm = false;  // 16-bit length form
  size_t rest = 0;        // bytes that follow the first four
};
enum WsHeadResult { WS_HEAD_OK = 0, WS_HEAD_TOO_SHORT, WS_HEAD_LONG64, WS_HEAD_TOO_BIG };
// Reads the first four bytes of a frame. A binary 7-bit frame with a payload
// under 2 bytes is shorter than those four bytes (the stream can no longer
// be followed); a length code of 127 or more (the 64-bit form, or a MASK bit)
// is none of ours; a frame larger than capacity does not fit the buffer.
// Only 0x81 is a text frame (with its masking key); every other first byte
// is read by the binary frame's rules.
WsHeadResult WsReadHead(const uint8_t head[4], size_t capacity, WsHead *out);

// One received frame, ready for dispatch.
struct WsFrame {
  uint8_t op = 0;
  bool longForm = false;
  char type[2] = {0, 0};          // binary frames: the type letters
  const uint8_t *data = nullptr;  // binary: after the type letters (short form)
                                  // or after them as well (long form: header fields first)
  int dataLen = 0;
  const uint8_t *text = nullptr;  // 7-bit text frames: the unmasked payload
  int textLen = 0;
};
// Builds the view of a whole frame of len bytes (head included); text
// payloads are unmasked in place. Returns 0, or -1 when the frame cannot be a
// frame of this kind (the caller has already bounded len by WsReadHead).
int WsParseFrame(uint8_t *frame, size_t len, const WsHead &head, WsFrame *out);

// The pass phrase check: the whole payload (length, then bytes) against the
// stored text, in time that does not depend on where they differ.
bool WsPassphraseMatches(const std::string &stored, const uint8_t *got, size_t n);

// Big-endian 32-bit field.
uint32_t WsBe32(const uint8_t *p);

// Printable copy of bytes from a peer (others as \xNN), at most max bytes
// of input.
std::string WsEscape(const void *bytes, size_t n, size_t max = 200);
