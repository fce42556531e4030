#include "remote/websocket.h"

#include <glib.h>
#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <cstdio>
#include <cstring>

#include "platform/log.h"
#include "remote/preauth_log.h"

namespace {

const char kGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

std::string base64(const uint8_t *bytes, size_t n) {
  gchar *text = g_base64_encode(bytes, n);
  std::string out(text);
  g_free(text);
  return out;
}

bool startsWith(const char *line, size_t len, const char *prefix) {
  size_t n = strlen(prefix);
  return len >= n && memcmp(line, prefix, n) == 0;
}

// The rest of a line after its prefix, with a trailing carriage return or
// line feed taken off, twice.
std::string restOfLine(const char *line, size_t len, size_t prefix) {
  std::string v(line + prefix, len - prefix);
  for (int i = 0; i < 2; ++i)
    if (!v.empty() && (v.back() == '\r' || v.back() == '\n')) v.pop_back();
  return v;
}

const char *const kServerPrefixes[] = {"GET ",
                                       "Host: ",
                                       "Sec-WebSocket-Version: ",
                                       "Sec-WebSocket-Protocol: ",
                                       "Sec-WebSocket-Key: ",
                                       "Connection: keep-alive, Upgrade",
                                       "Upgrade: websocket"};
const char *const kClientPrefixes[] = {"HTTP/1.1 101 Switching Protocols", "Upgrade: websocket",
                                       "Connection: Upgrade",
                                       "Sec-WebSocket-Accept:", "Sec-WebSocket-Protocol: chat"};

void putBe32(uint8_t *p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

}  // namespace

std::string WsAcceptValue(const std::string &key) {
  std::string joined = key + kGuid;
  uint8_t digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char *>(joined.data()), joined.size(), digest);
  return base64(digest, sizeof digest);
}

std::string WsKeyFromBytes(const uint8_t bytes[16]) {
  return base64(bytes, 16);
}

std::string WsEscape(const void *bytes, size_t n, size_t max) {
  const auto *b = static_cast<const uint8_t *>(bytes);
  std::string out;
  size_t take = n < max ? n : max;
  for (size_t i = 0; i < take; ++i) {
    uint8_t c = b[i];
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  if (take < n) out += "...";
  return out;
}

void WsServerLine(WsServerHandshake *hs, const char *line, size_t len) {
  PreAuthLog *log = &hs->log;
  PreAuthLogLine(log, PRE_RECEIVED, false, "Received %d bytes %s", static_cast<int>(len),
                 WsEscape(line, len).c_str());
  for (const char *prefix : kServerPrefixes) {
    if (!startsWith(line, len, prefix)) continue;
    ++hs->count;
    PreAuthLogLine(log, PRE_CAUGHT, false, "Caught %s go to status %d/%d\n", prefix, hs->count, 7);
    if (strcmp(prefix, "Sec-WebSocket-Key: ") == 0) {
      hs->key = restOfLine(line, len, strlen(prefix));
      PreAuthLogLine(log, PRE_KEY, false, "Caught key %s",
                     WsEscape(hs->key.data(), hs->key.size()).c_str());
    }
  }
  if (len <= 2) {
    ++hs->count;
    PreAuthLogLine(log, PRE_ADVANCED, false, "status advanced %d", hs->count);
  }
}

void WsClientLine(WsClientHandshake *hs, const std::string &expectedAccept, const char *line,
                  size_t len) {
  PreAuthLog *log = &hs->log;
  PreAuthLogLine(log, PRE_RECEIVED, false, "Received %d bytes %s", static_cast<int>(len),
                 WsEscape(line, len).c_str());
  for (const char *prefix : kClientPrefixes) {
    if (!startsWith(line, len, prefix)) continue;
    ++hs->count;
    PreAuthLogLine(log, PRE_CAUGHT, false, "Caught %s go to status %d/%d\n", prefix, hs->count,
                   kWsClientCount);
  }
  const char kAccept[] = "Sec-WebSocket-Accept: ";
  if (startsWith(line, len, kAccept)) {
    std::string got = restOfLine(line, len, strlen(kAccept));
    std::string shown = WsEscape(got.data(), got.size());
    PreAuthLogLine(log, PRE_KEY, false, "Caught key %s", shown.c_str());
    hs->acceptSeen = true;
    if (got == expectedAccept) {
      PreAuthLogLine(log, PRE_ACCEPT, true, "keys correct %s %s", expectedAccept.c_str(),
                     shown.c_str());
    } else {
      PreAuthLogLine(log, PRE_ACCEPT, true, "keys not correct %s %s", expectedAccept.c_str(),
                     shown.c_str());
      hs->failed = true;
    }
  }
  if (len <= 2) {
    ++hs->count;
    PreAuthLogLine(log, PRE_ADVANCED, false, "status advanced %d", hs->count);
  }
}

int WsClientRequestLines(const std::string &host, int port, const std::string &key,
                         std::string lines[6]) {
  char hostLine[160];
  snprintf(hostLine, sizeof hostLine, "Host: %s:%d\r\n", host.c_str(), port);
  lines[0] = "GET /chat HTTP/1.1\r\n";
  lines[1] = hostLine;
  lines[2] = "Upgrade: websocket\r\n";
  lines[3] = "Connection: keep-alive, Upgrade\r\n";
  lines[4] = "Sec-WebSocket-Key: " + key + "\r\n";
  lines[5] = "Sec-WebSocket-Version: 13\r\n\r\n\r\n";
  return 6;
}

std::string WsServerResponse(const std::string &key, std::string lines[5]) {
  lines[0] = "HTTP/1.1 101 Switching Protocols\r\n";
  lines[1] = "Upgrade: websocket\r\n";
  lines[2] = "Connection: Upgrade\r\n";
  lines[3] = "Sec-WebSocket-Accept: " + WsAcceptValue(key) + "\r\n";
  lines[4] = "Sec-WebSocket-Protocol: chat\r\n\r\n";
  return lines[0] + lines[1] + lines[2] + lines[3] + lines[4];
}

int WsBuildShort(uint8_t *out, const char type[2], const void *data, int n) {
  if (n < 0 || n > kWsShortMax) return -1;
  out[0] = kWsBinary;
  out[1] = static_cast<uint8_t>(n + 2);
  out[2] = static_cast<uint8_t>(type[0]);
  out[3] = static_cast<uint8_t>(type[1]);
  if (n > 0) memcpy(out + 4, data, static_cast<size_t>(n));
  return n + 4;
}

void WsBuildChunk(uint8_t out[kWsChunkFrame], const char type[2], const uint8_t *object,
                  uint32_t total, uint32_t offset) {
  out[0] = kWsBinary;
  out[1] = 126;
  out[2] = static_cast<uint8_t>((kWsChunkFrame - 4) >> 8);
  out[3] = static_cast<uint8_t>((kWsChunkFrame - 4) & 0xff);
  out[4] = static_cast<uint8_t>(type[0]);
  out[5] = static_cast<uint8_t>(type[1]);
  putBe32(out + 6, total);
  putBe32(out + 10, offset);
  uint32_t n = offset < total ? total - offset : 0;
  if (n > kWsChunkBytes) n = kWsChunkBytes;
  if (n > 0) memcpy(out + 14, object + offset, n);
  if (n < kWsChunkBytes) memset(out + 14 + n, 0, kWsChunkBytes - n);
}

int WsBuildAudio(uint8_t *out, size_t capacity, const uint8_t *audio, int n) {
  if (n < 0 || n + 6 > 0xffff || static_cast<size_t>(n) + 10 > capacity) return -1;
  out[0] = kWsBinary;
  out[1] = 126;
  out[2] = static_cast<uint8_t>((n + 6) >> 8);
  out[3] = static_cast<uint8_t>((n + 6) & 0xff);
  out[4] = 'S';
  out[5] = 'O';
  putBe32(out + 6, static_cast<uint32_t>(n));
  if (n > 0) memcpy(out + 10, audio, static_cast<size_t>(n));
  return n + 10;
}

int WsBuildText(uint8_t *out, const void *payload, int n) {
  if (n < 0 || n > kWsTextMax) return -1;
  out[0] = kWsText;
  out[1] = static_cast<uint8_t>(n);
  memset(out + 2, 0, 4);
  if (n > 0) memcpy(out + 6, payload, static_cast<size_t>(n));
  return n + 6;
}

uint32_t WsBe32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

WsHeadResult WsReadHead(const uint8_t head[4], size_t capacity, WsHead *out) {
  *out = WsHead{};
  out->op = head[0];
  out->code = head[1];
  size_t total;
  if (out->code <= 125) {
    size_t l = out->code;
    if (head[0] == kWsText) l += 4;  // a text frame's masking key
    // A frame shorter than the four bytes already read: its end lies inside
    // them, and nothing after it can be told apart.
    if (l < 2) return WS_HEAD_TOO_SHORT;
    out->rest = l - 2;
    total = 4 + out->rest;
  } else if (out->code == 126) {
    out->longForm = true;
    out->rest = static_cast<size_t>(head[2]) << 8 | head[3];
    total = 4 + out->rest;
  } else {
    return WS_HEAD_LONG64;
  }
  if (total > capacity) return WS_HEAD_TOO_BIG;
  return WS_HEAD_OK;
}

int WsParseFrame(uint8_t *frame, size_t len, const WsHead &head, WsFrame *out) {
  *out = WsFrame{};
  out->op = head.op;
  out->longForm = head.longForm;
  if (len != 4 + head.rest) return -1;
  if (!head.longForm) {
    if (head.op == kWsText) {
      // 7-bit text: key at bytes 2-5, payload of N = code bytes from byte 6.
      int n = head.code;
      if (len != static_cast<size_t>(n) + 6) return -1;
      for (int i = 0; i < n; ++i) frame[6 + i] ^= frame[2 + (i % 4)];
      out->text = frame + 6;
      out->textLen = n;
      return 0;
    }
    out->type[0] = static_cast<char>(frame[2]);
    out->type[1] = static_cast<char>(frame[3]);
    out->data = frame + 4;
    out->dataLen = static_cast<int>(len - 4);
    return 0;
  }
  // 16-bit form: type letters at bytes 4-5 (when there are any).
  if (len < 6) {
    out->data = frame + 4;
    out->dataLen = static_cast<int>(len - 4);
    return 0;
  }
  out->type[0] = static_cast<char>(frame[4]);
  out->type[1] = static_cast<char>(frame[5]);
  out->data = frame + 6;
  out->dataLen = static_cast<int>(len - 6);
  return 0;
}

bool WsPassphraseMatches(const std::string &stored, const uint8_t *got, size_t n) {
  // Compare as many bytes as were received against the stored text (padded),
  // so the time tells nothing about the stored length or content.
  std::string padded = stored;
  padded.resize(n > padded.size() ? n : padded.size(), 0);
  int differs = n == 0 ? 1 : CRYPTO_memcmp(padded.data(), got, n);
  return (differs == 0) & (n == stored.size());
}
