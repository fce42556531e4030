// The remote link without a network: the handshake as both ends count it,
// the bytes every writer puts on the socket, the reader's length forms, the
// pass phrase check, the bounds of what a peer may make the receiver copy,
// and the status commands.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/setup.h"
#include "display/display.h"
#include "remote/open_link.h"
#include "remote/outbox.h"
#include "remote/receive.h"
#include "remote/remote.h"
#include "remote/websocket.h"
#include "security/tls_identity.h"

namespace {

// A record whose writers queue into an outbox of its own.
struct Wire {
  std::unique_ptr<Works> works = std::make_unique<Works>();
  Lumosetup setup;
  std::mutex sendMutex, remoteMutex;
  LinkOutbox outbox;
  Wire() {
    works->setup = &setup;
    works->sendMutex = &sendMutex;
    works->remoteMutex = &remoteMutex;
    works->remoteOutbox = &outbox;
    works->audioFrames = 480;
    outbox.open();
    works->remoteConnected = 1;
  }
  // Everything queued so far.
  std::vector<uint8_t> drain() {
    std::vector<uint8_t> out(outbox.pending());
    out.resize(outbox.take(out.data(), out.size()));
    return out;
  }
};

}  // namespace

TEST(RemoteHandshake, AcceptValueAndKeyLengths) {
  EXPECT_EQ(WsAcceptValue("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  const uint8_t zeros[16] = {};
  uint8_t mixed[16];
  for (int i = 0; i < 16; ++i) mixed[i] = static_cast<uint8_t>(i * 37);
  for (const uint8_t *bytes : {zeros, static_cast<const uint8_t *>(mixed)}) {
    std::string key = WsKeyFromBytes(bytes);
    EXPECT_EQ(key.size(), 24u);
    EXPECT_EQ(WsAcceptValue(key).size(), 28u);
  }
}

TEST(RemoteHandshake, ServerCountsOurRequestButNotAStandardOne) {
  std::string lines[6];
  WsClientRequestLines("127.0.0.1", 6666, "dGhlIHNhbXBsZSBub25jZQ==", lines);
  std::string request;
  for (const auto &l : lines) request += l;
  auto count = [](const std::string &text) {
    WsServerHandshake hs;
    size_t at = 0;
    while (at < text.size()) {
      size_t nl = text.find('\n', at);
      if (nl == std::string::npos) break;
      WsServerLine(&hs, text.data() + at, nl + 1 - at);
      at = nl + 1;
    }
    return hs;
  };
  WsServerHandshake ours = count(request);
  EXPECT_EQ(ours.count, kWsServerCount);
  EXPECT_EQ(ours.key, "dGhlIHNhbXBsZSBub25jZQ==");
  // One empty line at the end, and "Connection: Upgrade": never 8.
  WsServerHandshake standard = count(
      "GET /chat HTTP/1.1\r\nHost: x:1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
  EXPECT_LT(standard.count, kWsServerCount);
  EXPECT_EQ(count("Sec-WebSocket-Key: dGhl\n").key, "dGhl");  // a bare line feed ends it too

  // The client checks the accept value of its own key.
  std::string response[5];
  WsServerResponse("dGhlIHNhbXBsZSBub25jZQ==", response);
  WsClientHandshake good, bad;
  for (const auto &l : response) {
    size_t at = 0;
    while (at < l.size()) {
      size_t nl = l.find('\n', at);
      WsClientLine(&good, "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=", l.data() + at, nl + 1 - at);
      WsClientLine(&bad, "AAAAAAAAAAAAAAAAAAAAAAAAAAA=", l.data() + at, nl + 1 - at);
      at = nl + 1;
    }
  }
  EXPECT_TRUE(good.acceptSeen);
  EXPECT_FALSE(good.failed);
  EXPECT_GT(good.count, kWsClientCount);
  EXPECT_TRUE(bad.failed);
  // Only the empty line ends the head: a line of one character does not.
  WsClientHandshake shortLine;
  WsClientLine(&shortLine, "", "x\r\n", 3);
  EXPECT_EQ(shortLine.count, 0);
  WsClientLine(&shortLine, "", "\r\n", 2);
  EXPECT_EQ(shortLine.count, 1);
}

TEST(RemoteHandshake, PassphraseIsComparedWhole) {
  const std::string stored = "secret";
  auto match = [&](const std::string &got) {
    return WsPassphraseMatches(stored, reinterpret_cast<const uint8_t *>(got.data()), got.size());
  };
  EXPECT_TRUE(match("secret"));
  EXPECT_FALSE(match(std::string("secret\0more", 11)));
  EXPECT_FALSE(match("secret "));
  EXPECT_FALSE(match("Secret"));
  EXPECT_FALSE(match("secre"));
  EXPECT_FALSE(match(""));
}

TEST(RemoteFrames, WritersPutTheirExactBytesOnTheSocket) {
  Wire w;
  Works *works = w.works.get();

  // Short frames: 123 data bytes fit (length 125), 124 are not sent.
  std::string data(123, 'x');
  sendWebSockSerParFrame(works, data.data(), 123);
  std::vector<uint8_t> f = w.drain();
  ASSERT_EQ(f.size(), 127u);
  EXPECT_EQ(f[0], 0x82);
  EXPECT_EQ(f[1], 125);
  EXPECT_EQ(f[2], 'P');
  EXPECT_EQ(f[3], 'A');
  sendWebSockStatusFrame(works, std::string(124, 'y').c_str(), 124);
  EXPECT_TRUE(w.drain().empty());

  // A CAT message longer than one frame goes out in several, nothing lost.
  std::string cat(300, 'c');
  cat[299] = ';';
  sendWebSockCatFrame(works, cat.data(), 300);
  f = w.drain();
  ASSERT_EQ(f.size(), (123u + 4) * 2 + (54 + 4));
  EXPECT_EQ(f[1], 125);
  EXPECT_EQ(f[127 + 1], 125);
  EXPECT_EQ(f[254 + 1], 56);
  EXPECT_EQ(f.back(), ';');

  // A spectrum of 854 bytes: two 526-byte chunks, the second zero-padded.
  std::vector<uint8_t> spectrum(854);
  for (size_t i = 0; i < spectrum.size(); ++i) spectrum[i] = static_cast<uint8_t>(1 + i % 200);
  sendWebSockSerSpectrFrame(works, spectrum.data(), 854);
  f = w.drain();
  ASSERT_EQ(f.size(), 2u * 526);
  const uint8_t head[] = {0x82, 126, 0x02, 0x0a, 'S', 'P', 0, 0, 3, 0x56};
  EXPECT_EQ(memcmp(f.data(), head, sizeof head), 0);
  EXPECT_EQ(WsBe32(&f[10]), 0u);
  EXPECT_EQ(WsBe32(&f[526 + 10]), 512u);
  EXPECT_EQ(memcmp(&f[526 + 14], &spectrum[512], 342), 0);
  for (size_t i = 526 + 14 + 342; i < f.size(); ++i) ASSERT_EQ(f[i], 0) << i;
  sendWebSockSerSpectrFrame(works, spectrum.data(), 512);
  EXPECT_EQ(w.drain().size(), 526u);

  // The touch event: an 18-byte text frame with a zero masking key.
  sendWebSockEventFrame(works, 12, 345);
  f = w.drain();
  EXPECT_EQ(std::string(f.begin(), f.end()), std::string("\x81\x0c\0\0\0\0XY0001200345", 18));

  // A raw audio period of 480 stereo frames: 1920 bytes, little-endian.
  std::vector<int16_t> period(960);
  for (size_t i = 0; i < period.size(); ++i) period[i] = static_cast<int16_t>(i * 31 - 9000);
  sendWebSockAudioFrame(works, period.data());
  f = w.drain();
  ASSERT_EQ(f.size(), 1930u);
  EXPECT_EQ(f[2] << 8 | f[3], 1926);
  EXPECT_EQ(WsBe32(&f[6]), 1920u);
  EXPECT_EQ(static_cast<int16_t>(f[10 + 2] | f[10 + 3] << 8), period[1]);

  // Without an authenticated peer no writer touches the socket.
  works->remoteConnected = 0;
  sendWebSockSerParFrame(works, "x", 1);
  sendWebSockCatFrame(works, "FA;", 3);
  sendWebSockSerSpectrFrame(works, spectrum.data(), 854);
  sendWebSockAudioFrame(works, period.data());
  EXPECT_TRUE(w.drain().empty());
}

TEST(RemoteFrames, StalledPeerIsGivenUpAndAFullOutboxDropsWholeFrames) {
  Wire w;
  Works *works = w.works.get();
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  LinkConn conn;
  ASSERT_TRUE(LinkAttach(&conn, sv[0], nullptr, false, "peer"));
  RemoteLink link;
  link.side = REMOTE_CLIENT;
  OpenLink pump;
  OpenLinkStart(&pump, works, &conn, &link, true);
  // Nobody reads the other end: the socket fills, then the outbox, whose
  // frames are dropped whole; the writers never wait.
  std::vector<uint8_t> spectrum(1000, 7);
  long long now = 1000;
  for (int i = 0; i < 5000; ++i) {
    sendWebSockSerSpectrFrame(works, spectrum.data(), 1000);
    ASSERT_TRUE(OpenLinkService(works, &pump, &w.outbox, now));
  }
  EXPECT_GT(w.outbox.dropped(), 0u);
  // A peer that takes nothing for kStallMs is given up.
  EXPECT_TRUE(OpenLinkService(works, &pump, &w.outbox, now + kStallMs));
  EXPECT_FALSE(OpenLinkService(works, &pump, &w.outbox, now + kStallMs + 1));
  // What was not dropped is whole: the stream so far, what is staged and
  // what waits are whole spectra, and every chunk on the wire begins as one.
  std::vector<uint8_t> wire;
  uint8_t buf[65536];
  ssize_t n;
  while ((n = recv(sv[1], buf, sizeof buf, MSG_DONTWAIT)) > 0)
    wire.insert(wire.end(), buf, buf + n);
  const size_t object = 2 * kWsChunkFrame;
  EXPECT_EQ(wire.size() + LinkStaged(&conn) + w.outbox.pending(),
            (5000 - w.outbox.dropped()) * object);
  for (size_t at = 0; at + 6 <= wire.size(); at += kWsChunkFrame)
    ASSERT_EQ(std::string(wire.begin() + at + 4, wire.begin() + at + 6), "SP") << at;
  LinkClose(&conn);
  close(sv[1]);
}

TEST(RemoteFrames, ReaderHeadsBoundEveryLengthForm) {
  WsHead h;
  const uint8_t binShort[] = {0x82, 10, 'P', 'A'};
  ASSERT_EQ(WsReadHead(binShort, 1024, &h), WS_HEAD_OK);
  EXPECT_EQ(h.rest, 8u);
  const uint8_t text[] = {0x81, 12, 0, 0};
  ASSERT_EQ(WsReadHead(text, 1024, &h), WS_HEAD_OK);
  EXPECT_EQ(h.rest, 14u);  // 18 bytes in all
  const uint8_t chunk[] = {0x82, 126, 0x02, 0x0a};
  ASSERT_EQ(WsReadHead(chunk, 1024, &h), WS_HEAD_OK);
  EXPECT_TRUE(h.longForm);
  EXPECT_EQ(h.rest, 522u);
  const uint8_t tiny[] = {0x82, 1, 'P', 'A'};
  EXPECT_EQ(WsReadHead(tiny, 1024, &h), WS_HEAD_TOO_SHORT);
  const uint8_t long64[] = {0x82, 127, 0, 0};
  EXPECT_EQ(WsReadHead(long64, 1024, &h), WS_HEAD_LONG64);
  const uint8_t masked[] = {0x81, 0x85, 0, 0};
  EXPECT_EQ(WsReadHead(masked, 1024, &h), WS_HEAD_LONG64);
  const uint8_t big[] = {0x82, 126, 0xff, 0xff};
  EXPECT_EQ(WsReadHead(big, 1024, &h), WS_HEAD_TOO_BIG);

  // A text frame is unmasked with its key, four bytes round.
  uint8_t frame[] = {0x81, 5, 1, 2, 3, 4, 'a' ^ 1, 'b' ^ 2, 'c' ^ 3, 'd' ^ 4, 'e' ^ 1};
  ASSERT_EQ(WsReadHead(frame, 1024, &h), WS_HEAD_OK);
  WsFrame f;
  ASSERT_EQ(WsParseFrame(frame, sizeof frame, h, &f), 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(f.text), f.textLen), "abcde");
  // A frame whose length is not what its head says is refused.
  ASSERT_EQ(WsReadHead(binShort, 1024, &h), WS_HEAD_OK);
  uint8_t bin[13] = {0x82, 10, 'P', 'A'};
  EXPECT_EQ(WsParseFrame(bin, 13, h, &f), -1);
  EXPECT_EQ(WsParseFrame(bin, 12, h, &f), 0);
  // The long form: its type letters at bytes 4-5.
  uint8_t chunkFrame[526] = {0x82, 126, 0x02, 0x0a, 'S', 'P'};
  ASSERT_EQ(WsReadHead(chunkFrame, 1024, &h), WS_HEAD_OK);
  ASSERT_EQ(WsParseFrame(chunkFrame, sizeof chunkFrame, h, &f), 0);
  EXPECT_EQ(std::string(f.type, 2), "SP");
  EXPECT_EQ(f.dataLen, 520);
  // A text frame holds at most 125 bytes.
  uint8_t out[kWsTextMax + 16];
  const std::string longText(kWsTextMax + 1, 't');
  EXPECT_EQ(WsBuildText(out, longText.data(), kWsTextMax + 1), -1);
  EXPECT_EQ(WsBuildText(out, longText.data(), kWsTextMax), kWsTextMax + 6);
  const uint8_t pcm[4] = {1, 2, 3, 4};
  ASSERT_EQ(WsBuildAudio(out, sizeof out, pcm, 4), 14);
  EXPECT_EQ(out[0], 0x82);  // binary, over the text frame built before
}

TEST(RemoteReceive, ImageChunksAndAudioAreBoundedByTheirBuffers) {
  std::unique_ptr<Works> works = std::make_unique<Works>();
  FrameBuffer *fb = fbCreateMemory(800, 480, 4);
  works->fb = fb;
  works->audioFrames = 480;
  RemoteLink link;
  const uint32_t screen = static_cast<uint32_t>(fb->size);
  auto chunk = [&](uint32_t total, uint32_t offset, int dataBytes, uint8_t fill) {
    std::vector<uint8_t> d(8 + dataBytes, fill);
    for (int i = 0; i < 4; ++i) {
      d[i] = static_cast<uint8_t>(total >> (24 - 8 * i));
      d[4 + i] = static_cast<uint8_t>(offset >> (24 - 8 * i));
    }
    return RemoteImageChunk(works.get(), &link, d.data(), static_cast<int>(d.size()));
  };
  EXPECT_EQ(chunk(screen + 1, 0, 512, 1), -1);       // more than the screen
  EXPECT_EQ(chunk(1000, 1000, 512, 1), -1);          // offset at the end
  EXPECT_EQ(chunk(1000, 0xfffffe00, 512, 1), -1);    // offset far past it
  EXPECT_EQ(chunk(screen, 0, 4, 1), 0);              // fewer bytes than announced: 4 copied
  EXPECT_EQ(TakeBackgroundRequest(works.get()), 0);  // not shown yet
  // Only the last chunk arrives: the raw picture is shown anyway, as the
  // refresh loop's next background.
  ASSERT_EQ(chunk(screen, screen - 100, 512, 9), 0);
  ASSERT_EQ(TakeBackgroundRequest(works.get()), 1);
  EXPECT_EQ(fb->background[screen - 1], 9);
  EXPECT_EQ(fb->background[0], 1);
  EXPECT_EQ(fb->background[4], 0);
  // A raw screen in whole chunks (800 x 480 x 4 is 3000 of 512 bytes): the
  // last one shows it, the one before does not.
  ASSERT_EQ(chunk(screen, screen - 1024, 512, 7), 0);
  EXPECT_EQ(TakeBackgroundRequest(works.get()), 0);
  ASSERT_EQ(chunk(screen, screen - 512, 512, 7), 0);
  ASSERT_EQ(TakeBackgroundRequest(works.get()), 1);
  EXPECT_EQ(fb->background[screen - 1024], 7);
  // A JPEG that does not decode leaves the screen as it was.
  ASSERT_EQ(chunk(600, 0, 512, 0x55), 0);
  ASSERT_EQ(chunk(600, 512, 88, 0x55), 0);
  EXPECT_EQ(TakeBackgroundRequest(works.get()), 0);

  auto so = [&](uint32_t n, int carried) {
    std::vector<uint8_t> d(4 + carried, 0);
    for (int i = 0; i < 4; ++i) d[i] = static_cast<uint8_t>(n >> (24 - 8 * i));
    return RemoteAudioFrame(works.get(), &link, d.data(), static_cast<int>(d.size()));
  };
  EXPECT_EQ(so(1920, 1920), 0);
  EXPECT_EQ(so(1921, 1920), -1);  // more than the frame carries
  EXPECT_EQ(so(1924, 1924), -1);  // more than a raw period
  EXPECT_EQ(so(1918, 1918), -1);  // not whole stereo frames

  // An empty CAT frame writes nothing and keeps the link.
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  works->catFD = pipeFds[1];
  WsFrame ca;
  ca.op = kWsBinary;
  ca.type[0] = 'C', ca.type[1] = 'A';
  ca.data = reinterpret_cast<const uint8_t *>("x");
  EXPECT_TRUE(RemoteDispatch(works.get(), &link, ca));
  // At the operator's unit only a binary frame carries CAT bytes.
  RemoteLink client;
  client.side = REMOTE_CLIENT;
  ca.dataLen = 1;
  ca.op = 0x8A;
  RemoteDispatch(works.get(), &client, ca);
  ca.op = kWsBinary;
  RemoteDispatch(works.get(), &client, ca);
  char got[4] = {};
  EXPECT_EQ(read(pipeFds[0], got, sizeof got), 1);
  works->catFD = -1;
  close(pipeFds[0]);
  close(pipeFds[1]);
  works->audioCompress = 64000;
  EXPECT_EQ(so(80, 80), 0);
  EXPECT_EQ(so(0x7fffffff, 80), -1);
  fbRelease(fb);
}

TEST(RemoteReceive, StatusCommandsChangeSpectrumSettings) {
  std::unique_ptr<Works> works = std::make_unique<Works>();
  Lumosetup setup;
  works->setup = &setup;
  auto status = [&](const char *text) {
    works->statusText.set(text);
    dispStat(works.get());
  };
  status("KIVOFD7");
  EXPECT_EQ(works->divide.load(), 7);
  status("KIVOFD");
  EXPECT_EQ(works->divide.load(), 0);
  status("KIVOFD99999999999999");
  EXPECT_EQ(works->divide.load(), 2147483647);
  works->divide = 1;
  status("KIVOFT01");
  EXPECT_EQ(works->divide.load(), 2);
  EXPECT_EQ(SetupChar(works.get(), SB_EnableFFTCopy), '1');
  EXPECT_EQ(SetupChar(works.get(), SB_Enable1600), '0');
  works->divide = 5;
  status("KIVOFT02");
  EXPECT_EQ(works->divide.load(), 5);
  EXPECT_EQ(SetupChar(works.get(), SB_Enable1600), '1');
  status("KIVOFT00");
  EXPECT_EQ(SetupChar(works.get(), SB_EnableFFTCopy), '0');
}

TEST(RemoteFrames, TlsCarriesAScreenOfChunksWholeThroughNonBlockingWrites) {
  // TLS writes with write(): a closed peer must not end the process, as in
  // the program, which ignores SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  TlsIdentity id;
  ASSERT_TRUE(MakeSelfSignedIdentity("station", {}, &id));
  std::string why;
  SSL_CTX *serverCtx = NewTlsServerContext(id, &why);
  SSL_CTX *clientCtx = NewTlsClientContext();
  ASSERT_TRUE(serverCtx != nullptr && clientCtx != nullptr) << why;
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  LinkConn station, op;
  ASSERT_TRUE(LinkAttach(&station, sv[0], serverCtx, true, "station"));
  ASSERT_TRUE(LinkAttach(&op, sv[1], clientCtx, false, "operator"));
  LinkStatus a = LINK_AGAIN, b = LINK_AGAIN;
  for (int i = 0; i < 100 && (a != LINK_DONE || b != LINK_DONE); ++i) {
    a = LinkTlsStep(&station, true);
    b = LinkTlsStep(&op, false);
  }
  ASSERT_EQ(a, LINK_DONE);
  ASSERT_EQ(b, LINK_DONE);
  EXPECT_EQ(TlsPeerFingerprint(op.ssl), id.fingerprint);

  // The operator's writers queue a megabyte of chunks; its link thread sends
  // what the socket takes, the station reads and takes them out frame by frame.
  Wire w;
  Works *works = w.works.get();
  RemoteLink link;
  link.side = REMOTE_CLIENT;
  OpenLink pump;
  OpenLinkStart(&pump, works, &op, &link, true);
  std::vector<uint8_t> object(1000000);
  for (size_t i = 0; i < object.size(); ++i) object[i] = static_cast<uint8_t>(i * 7 + i / 512);
  sendWebSockSerSpectrFrame(works, object.data(), static_cast<int>(object.size()));
  std::vector<uint8_t> got;
  uint8_t frame[kWsChunkFrame];
  for (long long now = 0; got.size() < object.size() && now < 100000; ++now) {
    ASSERT_TRUE(OpenLinkService(works, &pump, &w.outbox, now));
    while (LinkRead(&station, 16384) == LINK_DONE) {
      WsHead head;
      size_t len = 0;
      WsHeadResult bad;
      while (LinkTakeFrame(&station, frame, sizeof frame, &head, &len, &bad) == 1) {
        ASSERT_EQ(len, static_cast<size_t>(kWsChunkFrame));
        ASSERT_EQ(WsBe32(frame + 10), got.size()) << "chunks in order, none lost";
        size_t n = std::min<size_t>(kWsChunkBytes, object.size() - got.size());
        got.insert(got.end(), frame + 14, frame + 14 + n);
      }
    }
  }
  EXPECT_TRUE(got == object);
  LinkClose(&station);
  LinkClose(&op);
  SSL_CTX_free(serverCtx);
  SSL_CTX_free(clientCtx);
}
