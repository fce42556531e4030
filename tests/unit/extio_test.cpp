// The EXT IO link: record framing, every parameter field, the spectrum and
// its rotated copy, carrier commands, time-out reports, and the thread on a
// pseudo-terminal (silence, unplugging, reconnecting).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "errors/errors.h"
#include "links_rig.h"
#include "support/pty.h"
#include "support/temp_root.h"

namespace {

std::vector<uint8_t> record(uint8_t type, char command, const std::vector<uint8_t> &body) {
  std::vector<uint8_t> r = {type, static_cast<uint8_t>(command)};
  for (int i = 0; i < 4; ++i)
    r.push_back(static_cast<uint8_t>(0x30 + ((body.size() >> (4 * i)) & 0xF)));
  r.insert(r.end(), body.begin(), body.end());
  return r;
}

// Byte 0 and the eight frequency nibbles, then zeros up to len.
std::vector<uint8_t> paramBody(uint8_t b0, uint32_t freq, size_t len) {
  std::vector<uint8_t> b(len, 0);
  b[0] = b0;
  for (int i = 1; i <= 8 && static_cast<size_t>(i) < len; ++i)
    b[i] = static_cast<uint8_t>(0x30 | ((freq >> (4 * (8 - i))) & 0xF));
  return b;
}

struct Fed {
  ExtIoEvent event;
  int length;
  std::vector<uint8_t> body;
};

std::vector<Fed> feed(Works *w, ExtIoFramer &f, const std::vector<uint8_t> &bytes) {
  std::vector<Fed> out;
  for (uint8_t b : bytes) {
    ExtIoEvent ev = ExtIoPush(w, &f, b);
    if (ev != EXTIO_NONE)
      out.push_back({ev, f.length, std::vector<uint8_t>(f.body, f.body + std::max(f.length, 0))});
  }
  return out;
}

TEST(ExtIoFraming, LengthNibblesSkippedBytesAndTheClamp) {
  LinksRig rig;
  const uint8_t h1024[5] = {'0', 0x30, 0x30, 0x34, 0x30};
  char cmd = 0;
  int len = -1;
  EXPECT_EQ(decodeCmdParameters(rig.w(), h1024, &cmd, &len), 1024);
  EXPECT_EQ(cmd, '0');
  EXPECT_EQ(len, 1024);
  const uint8_t hLetters[5] = {'1', 0x3C, 0x3B, 0x36, 0x30};  // nibbles C, B, 6, 0
  EXPECT_EQ(decodeCmdParameters(rig.w(), hLetters, &cmd, &len), 0x06BC);
  const uint8_t h65535[5] = {'1', 0x3F, 0x3F, 0x3F, 0x3F};
  EXPECT_EQ(decodeCmdParameters(rig.w(), h65535, &cmd, &len), 1999);
  const uint8_t h2000[5] = {'1', 0x30, 0x3D, 0x37, 0x30};  // 0x07D0 = 2000
  EXPECT_EQ(decodeCmdParameters(rig.w(), h2000, &cmd, &len), 1999);
  const uint8_t h1999[5] = {'1', 0x3F, 0x3C, 0x37, 0x30};  // 0x07CF
  EXPECT_EQ(decodeCmdParameters(rig.w(), h1999, &cmd, &len), 1999);
  const uint8_t hSign[5] = {'1', 0x31, 0x30, 0x30, '-'};  // "-001": read as unsigned
  EXPECT_EQ(decodeCmdParameters(rig.w(), hSign, &cmd, &len), 1999);
  const uint8_t hJunk[5] = {'1', 0x30, 0x30, 0x30, 'z'};  // no hex digit first
  EXPECT_EQ(decodeCmdParameters(rig.w(), hJunk, &cmd, &len), 0);

  // Bytes of 15 or more are skipped while waiting; a record follows.
  ExtIoFramer f;
  std::vector<uint8_t> stream = {0xFF, 15, 0x80, 'x'};
  std::vector<uint8_t> body = paramBody(0, 14074000, 9);
  auto rec = record(1, '1', body);
  stream.insert(stream.end(), rec.begin(), rec.end());
  auto got = feed(rig.w(), f, stream);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].event, EXTIO_PARAMETERS);
  EXPECT_EQ(got[0].body, body);

  // A clamped length reads 1999 bytes of body; the rest are met while waiting.
  std::vector<uint8_t> big = {1, '1', 0x3F, 0x3F, 0x3F, 0x3F};
  big.insert(big.end(), 2100, 0x33);
  got = feed(rig.w(), f, big);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].length, 1999);
  EXPECT_EQ(f.state, EXTIO_WAIT);

  // Length 0: complete at the header. Wrong command: body not read. Type 2..14: bad.
  got = feed(rig.w(), f, {0, '0', 0x30, 0x30, 0x30, 0x30});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].event, EXTIO_SPECTRUM);
  EXPECT_EQ(got[0].length, 0);
  got = feed(rig.w(), f, {1, '0', 0x32, 0x30, 0x30, 0x30, 0x05, '1', 0x30, 0x30, 0x30, 0x30});
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].event, EXTIO_SKIPPED);
  // The unread body's first byte (5) started a record of its own.
  EXPECT_EQ(got[1].event, EXTIO_BADTYPE);
  EXPECT_EQ(ExtIoNeed(&f), 1);
}

TEST(ExtIoParameters, EveryFieldOfAFullBody) {
  LinksRig rig;
  std::vector<uint8_t> b = paramBody(0x7C, 7100000, 31);  // status6, useB, freqIsB, status32 = 3
  b[9] = 0xD3;                                            // valid; bits 6 and 4; mode 3
  b[10] = 0x5A;                                           // valid; volumeSel 1; bits 3 and 1
  b[11] = 0x69;                                           // valid; bit 5; squelch 9
  b[12] = 0xAE;                                           // valid; mid 5, bit 2, low 2
  b[13] = 0x57;                                           // valid; bit 4; low 7
  b[14] = 0x34;                                           // nr 4
  b[15] = 0x36;                                           // nb 6
  b[16] = 0x71;                                           // set16 18
  b[17] = 0x63;                                           // set17 4
  b[18] = 0x3A;                                           // set18 11
  b[19] = 0x76;                                           // set19a 6, set19b 3
  b[20] = 0x5D;                                           // att 1, lp 1, an 2, bit 0
  b[21] = 200;                                            // level -11
  b[22] = 0xA1;                                           // volume 33 for volumeSel 1 (aux)
  b[23] = 0x31, b[24] = 0x32, b[25] = 0x33;               // modeShift 0x123
  b[26] = 0x3F, b[27] = 0x3F, b[28] = 0x3F, b[29] = 0x30, b[30] = 0x30;  // -0x100
  ASSERT_EQ(storeParameters(rig.w(), 31, b.data()), 0);
  NebParam p;
  getParameters(&p, rig.w());
  EXPECT_EQ(p.status6, 1);
  EXPECT_EQ(p.useB, 1);
  EXPECT_EQ(p.freqIsB, 1);
  EXPECT_EQ(p.status32, 3);
  EXPECT_EQ(p.memMode, 0);
  EXPECT_EQ(p.freqRx, 7100000);
  EXPECT_EQ(p.freqB, 7100000);
  EXPECT_EQ(p.freqA, 0);
  EXPECT_EQ(p.freq, 7100000);
  EXPECT_EQ(p.freqPrev, 0);
  EXPECT_EQ(p.freqLast, 7100000);
  EXPECT_EQ(p.modeBits6, 1);
  EXPECT_EQ(p.modeBits5, 0);
  EXPECT_EQ(p.modeBits4, 1);
  EXPECT_EQ(p.modeRx, 3);
  EXPECT_EQ(p.modeB, 3);
  EXPECT_EQ(p.modeA, 0);
  EXPECT_EQ(p.mode, 3);
  EXPECT_EQ(p.volumeSel, 1);
  EXPECT_EQ(p.sign3, -1);
  EXPECT_EQ(p.sign2, 1);
  EXPECT_EQ(p.sign1, -1);
  EXPECT_EQ(p.sign0, -1);
  EXPECT_EQ(p.unused21, 0);
  EXPECT_EQ(p.squelch, 9);
  EXPECT_EQ(p.sqBit5, 1);
  EXPECT_EQ(p.sqBit4, 0);
  EXPECT_EQ(p.b12bit2, 1);
  EXPECT_EQ(p.b12low, 2);
  EXPECT_EQ(p.b12mid, 5);
  EXPECT_EQ(p.b13low, 7);
  EXPECT_EQ(p.b13bit5, 0);
  EXPECT_EQ(p.b13bit4, 1);
  EXPECT_EQ(p.combinedIdx, 7 + 5);
  EXPECT_EQ(p.nr, 4);
  EXPECT_EQ(p.nb, 6);
  EXPECT_EQ(p.set16, 18);
  EXPECT_EQ(p.set17, 4);
  EXPECT_EQ(p.set18, 11);
  EXPECT_EQ(p.set19a, 6);
  EXPECT_EQ(p.set19b, 3);
  EXPECT_EQ(p.att, 1);
  EXPECT_EQ(p.lp, 1);
  EXPECT_EQ(p.an, 2);
  EXPECT_EQ(p.b20bit0, 1);
  EXPECT_EQ(p.level, -11);
  EXPECT_EQ(p.volumeAux, 33);
  EXPECT_EQ(p.volume, 0);
  EXPECT_EQ(p.modeShift, 0x123);
  EXPECT_EQ(p.specOffset, -0x100);

  // A 9-byte body: byte 0 and the frequencies only.
  std::vector<uint8_t> nine = paramBody(0x00, 14074000, 9);
  ASSERT_EQ(storeParameters(rig.w(), 9, nine.data()), 0);
  getParameters(&p, rig.w());
  EXPECT_EQ(p.useB, 0);
  EXPECT_EQ(p.freqA, 14074000);
  EXPECT_EQ(p.freqB, 7100000);
  EXPECT_EQ(p.freq, 14074000);
  EXPECT_EQ(p.freqPrev, 7100000);
  EXPECT_EQ(p.freqLast, 14074000);
  EXPECT_EQ(p.mode, 3);
  EXPECT_EQ(p.modeBits6, 1);
  EXPECT_EQ(p.squelch, 9);
  EXPECT_EQ(p.volumeAux, 33);
  EXPECT_EQ(p.specOffset, -0x100);

  // Memory mode: the frequency is freqMem and current, whatever useB says.
  std::vector<uint8_t> mem = paramBody(0x21, 3650000, 9);
  storeParameters(rig.w(), 9, mem.data());
  getParameters(&p, rig.w());
  EXPECT_EQ(p.memMode, 1);
  EXPECT_EQ(p.freqMem, 3650000);
  EXPECT_EQ(p.freq, 3650000);
  EXPECT_EQ(p.freqA, 14074000);
  EXPECT_EQ(p.freqB, 7100000);

  // Shorter than the frequency: dropped, nothing changes.
  EXPECT_EQ(storeParameters(rig.w(), 8, mem.data()), -1);
  NebParam q;
  getParameters(&q, rig.w());
  EXPECT_EQ(memcmp(&p, &q, sizeof p), 0);
}

TEST(ExtIoParameters, NibbleRuleStartValuesAndLengthGuards) {
  LinksRig rig;
  NebParam p;
  // First record: every "off" value takes its start value.
  std::vector<uint8_t> b = paramBody(0, 1000000, 31);
  b[10] = 0x40;  // volumeSel 0, all sign bits clear
  b[11] = 0x40;  // squelch 0
  b[12] = 0x80;  // valid, all zero
  b[13] = 0x40;
  b[14] = 0x30, b[15] = 0x30;
  b[20] = 0x40;
  b[22] = 0x00;
  storeParameters(rig.w(), 31, b.data());
  getParameters(&p, rig.w());
  EXPECT_EQ(p.squelch, -1);
  EXPECT_EQ(p.nr, -1);
  EXPECT_EQ(p.nb, -1);
  EXPECT_EQ(p.att, -1);
  EXPECT_EQ(p.lp, -1);
  EXPECT_EQ(p.an, -1);
  EXPECT_EQ(p.volume, 50);
  EXPECT_EQ(p.b12low, 0);
  EXPECT_EQ(p.combinedIdx, 1);  // b12bit2 0: mid nibble + 1
  EXPECT_EQ(p.sign3, 1);
  EXPECT_EQ(p.sign0, -1);
  EXPECT_EQ(p.b20bit0, -1);

  // Squelch 7, then 0: the last setting, marked off; 0 again keeps it.
  b[11] = 0x47;
  storeParameters(rig.w(), 31, b.data());
  b[11] = 0x40;
  storeParameters(rig.w(), 31, b.data());
  getParameters(&p, rig.w());
  EXPECT_EQ(p.squelch, -7);
  storeParameters(rig.w(), 31, b.data());
  getParameters(&p, rig.w());
  EXPECT_EQ(p.squelch, -7);

  // The side volume starts at 5; volumeSel 2 and 3 both choose it.
  b[10] = 0x60;
  storeParameters(rig.w(), 31, b.data());
  getParameters(&p, rig.w());
  EXPECT_EQ(p.volumeSide, 5);
  b[22] = 12;
  b[10] = 0x70;
  storeParameters(rig.w(), 31, b.data());
  getParameters(&p, rig.w());
  EXPECT_EQ(p.volumeSide, 12);
  EXPECT_EQ(p.volume, -50);  // main volume 0 ever since the first record: off

  // Length guards and validity bits.
  LinksRig g;
  std::vector<uint8_t> c = paramBody(0, 1000000, 31);
  c[9] = 0x85;          // valid mode 5
  c[11] = 0xC5;         // bits 7-6 = 11: not used
  c[12] = 0x88 | 0x04;  // valid byte 12
  c[13] = 0x43;         // valid byte 13
  c[16] = 0x61, c[17] = 0x61, c[18] = 0x31, c[19] = 0x61;
  c[20] = 0x50;
  c[21] = 215;
  c[23] = 0x31;
  c[26] = 0x31;
  storeParameters(g.w(), 9, c.data());  // byte 9 needs a length above 9
  getParameters(&p, g.w());
  EXPECT_EQ(p.mode, 0);
  storeParameters(g.w(), 10, c.data());  // ... and 10 is enough
  getParameters(&p, g.w());
  EXPECT_EQ(p.mode, 5);
  storeParameters(g.w(), 13, c.data());  // bytes 12-13 need a length above 13
  getParameters(&p, g.w());
  EXPECT_EQ(p.mode, 5);
  EXPECT_EQ(p.squelch, 0);
  EXPECT_EQ(p.combinedIdx, 0);
  storeParameters(g.w(), 20, c.data());  // 16-19 at 20, byte 20 not yet
  getParameters(&p, g.w());
  EXPECT_EQ(p.combinedIdx, 3 + 5);
  EXPECT_EQ(p.set16, 2);
  EXPECT_EQ(p.set19a, 1);
  EXPECT_EQ(p.att, 0);
  storeParameters(g.w(), 25, c.data());  // 21 and 22 yes, 23-25 not yet
  getParameters(&p, g.w());
  EXPECT_EQ(p.att, 1);
  EXPECT_EQ(p.level, 4);
  EXPECT_EQ(p.modeShift, 0);
  storeParameters(g.w(), 30, c.data());
  getParameters(&p, g.w());
  EXPECT_EQ(p.modeShift, 0x100);
  EXPECT_EQ(p.specOffset, 0);
  storeParameters(g.w(), 31, c.data());
  getParameters(&p, g.w());
  EXPECT_EQ(p.specOffset, 0x10000);
  c[26] = 0x37;  // 7: the highest first digit that is still positive
  storeParameters(g.w(), 31, c.data());
  getParameters(&p, g.w());
  EXPECT_EQ(p.specOffset, 0x70000);
  c[26] = 0x31;
  EXPECT_EQ(storeParameters(g.w(), 31, nullptr), -1);

  // Bytes 16-19 need all four markers, bytes 12-13 both of theirs.
  LinksRig h;
  c[18] = 0x21;
  c[13] = 0x03;
  storeParameters(h.w(), 31, c.data());
  getParameters(&p, h.w());
  EXPECT_EQ(p.set16, 0);
  EXPECT_EQ(p.combinedIdx, 0);
}

TEST(ExtIoSpectrum, LevelsAndTheRotatedCopy) {
  LinksRig rig;
  std::vector<uint8_t> body(kExtIoBodyMax, 0);
  for (int i = 0; i < 1024; ++i) body[i] = static_cast<uint8_t>(i & 0xFF);
  storeFFT(rig.w(), 1024, body.data());
  for (int i = 0; i < kSpectrumLevels; ++i)
    ASSERT_FLOAT_EQ(rig.plot->levels[i], static_cast<float>((85 + i) & 0xFF) - 192.0f) << i;
  // A short body: the bins it does not reach are the floor.
  storeFFT(rig.w(), 100, body.data());
  EXPECT_FLOAT_EQ(rig.plot->levels[14], 99 - 192.0f);
  EXPECT_FLOAT_EQ(rig.plot->levels[15], -192.0f);

  NebParam p{};
  uint8_t out[kExtIoForwardBytes];
  // Shift 85: body bytes 85 .. 85 + length - 171.
  ASSERT_EQ(ExtIoRotateSpectrum(body.data(), 1024, p, out), 854);
  for (int k = 0; k < 854; ++k) ASSERT_EQ(out[k], body[85 + k]) << k;
  EXPECT_EQ(out[1023 - 85 + 1], body[0]);  // the rotation wraps
  // Lower and upper sideband move the window by modeShift bins.
  p.modeShift = 375;  // 2 bins of 187.5 Hz, truncated to 1
  p.mode = 4;
  ExtIoRotateSpectrum(body.data(), 1024, p, out);
  EXPECT_EQ(out[0], body[84]);
  p.mode = 6;
  ExtIoRotateSpectrum(body.data(), 1024, p, out);
  EXPECT_EQ(out[0], body[86]);
  // A negative offset starts at shift + 1024.
  p.mode = 0;
  p.specOffset = -20000;  // -106.66 bins: shift -21
  ExtIoRotateSpectrum(body.data(), 1024, p, out);
  EXPECT_EQ(out[0], body[1003]);
  EXPECT_EQ(out[21], body[0]);
  // Offsets beyond a whole turn wrap; lengths never send more than the copy.
  p.specOffset = -524288;
  EXPECT_EQ(ExtIoRotateSpectrum(body.data(), 1999, p, out), 1024);
  p.specOffset = 524287;
  EXPECT_EQ(ExtIoRotateSpectrum(body.data(), 100, p, out), 0);
}

TEST(ExtIoCarrier, RequestsBecomeCommandsAndClearTheirBits) {
  LinksRig rig;
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
  auto drain = [&] {
    char buf[256];
    ssize_t k = read(fds[0], buf, sizeof buf);
    return k > 0 ? std::string(buf, static_cast<size_t>(k)) : std::string();
  };
  Works *w = rig.w();
  w->autoTuneMode = 0x05;
  ExtIoCarrierCommands(w, fds[1]);
  EXPECT_EQ(drain(), "RX;");
  EXPECT_EQ(w->autoTuneMode, 0x09);
  w->autoTuneMode = 0x21;
  ExtIoCarrierCommands(w, fds[1]);
  EXPECT_EQ(drain(), "TU120;TX2;");
  EXPECT_EQ(w->autoTuneMode, 0x41);

  w->tuneCarrierFlags = 0x01;  // back to receive
  ExtIoCarrierCommands(w, fds[1]);
  EXPECT_EQ(drain(), "RX;");
  EXPECT_EQ(w->tuneCarrierFlags, 0x00);
  EXPECT_EQ(w->tuneCarrierHold, 30);
  w->tuneCarrierFlags = 0x03;  // carrier
  ExtIoCarrierCommands(w, fds[1]);
  EXPECT_EQ(drain(), "TU120;TX2;");
  EXPECT_EQ(w->tuneCarrierFlags, 0x02);
  w->tuneCarrierFlags = 0x13;  // one of bits 4-5: waits
  ExtIoCarrierCommands(w, fds[1]);
  EXPECT_EQ(drain(), "");
  EXPECT_EQ(w->tuneCarrierFlags, 0x13);
  w->tuneCarrierFlags = 0x33;
  ExtIoCarrierCommands(w, fds[1]);
  EXPECT_EQ(drain(), "TU120;TX2;");
  EXPECT_EQ(w->tuneCarrierFlags, 0x32);
  close(fds[0]);
  close(fds[1]);
}

TEST(ExtIoTimeout, ErrorEightInNebModeOncePerHoldTime) {
  LinksRig rig;
  Works *w = rig.w();
  w->modeWorkIdx = 2;
  ExtIoTimeoutReport(w, 1);
  EXPECT_EQ(w->extIoTimeout, 2000);
  EXPECT_EQ(ExistError(w, ERR_NEB_EXTIO), 0);
  w->extIoTimeout = 0;
  w->modeWorkIdx = 1;
  ExtIoTimeoutReport(w, 3);
  EXPECT_EQ(ExistError(w, ERR_NEB_EXTIO), 1);
  DeleteErrore(w, ERR_NEB_EXTIO);
  ExtIoTimeoutReport(w, 2);  // still held
  EXPECT_EQ(ExistError(w, ERR_NEB_EXTIO), 0);
}

TEST(ExtIoBadInput, RandomStreamsTruncatedRecordsAndShortBodies) {
  LinksRig rig;
  std::mt19937 rng(7);
  ExtIoFramer f;
  uint8_t out[kExtIoForwardBytes];
  for (int round = 0; round < 200; ++round) {
    std::vector<uint8_t> bytes(1 + rng() % 3000);
    for (auto &b : bytes) b = static_cast<uint8_t>(rng() % 4 == 0 ? rng() % 15 : rng());
    for (uint8_t b : bytes) {
      ExtIoEvent ev = ExtIoPush(rig.w(), &f, b);
      ASSERT_GE(f.length, 0);
      ASSERT_LT(f.length, kExtIoBodyMax);
      if (ev == EXTIO_PARAMETERS) storeParameters(rig.w(), f.length, f.body);
      if (ev == EXTIO_SPECTRUM) {
        storeFFT(rig.w(), f.length, f.body);
        NebParam p;
        getParameters(&p, rig.w());
        int n = ExtIoRotateSpectrum(f.body, f.length, p, out);
        ASSERT_GE(n, 0);
        ASSERT_LE(n, kExtIoForwardBytes);
      }
    }
  }
  // Bodies exactly as long as they claim, on the heap, so any read past them is caught.
  for (int len = 0; len <= 40; ++len) {
    std::unique_ptr<uint8_t[]> body(new uint8_t[len > 0 ? len : 1]);
    for (int i = 0; i < len; ++i) body[i] = static_cast<uint8_t>(rng());
    storeParameters(rig.w(), len, body.get());
    storeFFT(rig.w(), len, body.get());
  }
}

// The thread on a pseudo-terminal, as the transceiver's EXT IO port.
struct SerialThreadRig {
  TempRoot root;
  LinksRig rig;
  std::unique_ptr<TestPty> pty = std::make_unique<TestPty>();
  std::thread thread;
  SerialThreadRig() {
    pty->linkAt(root.path("/dev/ttyNEB"));
    SetSetupText(rig.w(), SB_SerPort, "/dev/ttyNEB");
    SetSetupChar(rig.w(), SB_enaser, '1');
    SetSetupChar(rig.w(), SB_EnableFFTCopy, '1');
    rig.works->modeWorkIdx = 1;
  }
  void start() {
    thread = std::thread([this] { Serial(rig.w()); });
  }
  ~SerialThreadRig() {
    SetSetupChar(rig.w(), SB_enaser, '0');
    if (thread.joinable()) thread.join();
  }
  int32_t freq() {
    NebParam p;
    getParameters(&p, rig.w());
    return p.freq;
  }
};

TEST(ExtIoThread, RecordsCarrierSilenceUnplugAndReconnect) {
  SerialThreadRig t;
  t.start();
  ASSERT_TRUE(WaitUntil([&] { return t.rig.works->serFD.load() > 0; }, 2000));
  // A record in two pieces, after garbage.
  auto rec = record(1, '1', paramBody(0, 21074000, 31));
  std::vector<uint8_t> first(rec.begin(), rec.begin() + 10);
  std::vector<uint8_t> rest(rec.begin() + 10, rec.end());
  first.insert(first.begin(), {0x55, 0xAA});
  t.pty->write(first);
  t.pty->write(rest);
  ASSERT_TRUE(WaitUntil([&] { return t.freq() == 21074000; }, 2000));

  // A carrier request goes out after the next record.
  t.rig.works->tuneCarrierFlags = 0x03;
  t.pty->write(record(0, '0', std::vector<uint8_t>(1024, 100)));
  EXPECT_TRUE(t.pty->waitFor("TU120;TX2;", 2000));
  EXPECT_FLOAT_EQ(t.rig.plot->levels[0], 100 - 192.0f);

  // Silence: error 8 (NEB mode), reported once while the hold runs.
  ASSERT_TRUE(WaitUntil([&] { return ExistError(t.rig.w(), ERR_NEB_EXTIO) == 1; }, 3000));
  EXPECT_GT(t.rig.works->extIoTimeout.load(), 0);

  // Unplugged: reported again (once the hold is over) and the port comes back.
  DeleteErrore(t.rig.w(), ERR_NEB_EXTIO);
  t.rig.works->extIoTimeout = 0;
  t.pty->hangUp();
  ASSERT_TRUE(WaitUntil([&] { return ExistError(t.rig.w(), ERR_NEB_EXTIO) == 1; }, 3000));
  t.pty = std::make_unique<TestPty>();
  t.pty->linkAt(t.root.path("/dev/ttyNEB"));
  // With stdin closed the port comes back as descriptor 0, a port like any
  // other: used, and closed when the thread ends.
  const int savedIn = dup(0);
  close(0);
  // Records sent before the port is reopened are flushed by its set-up: keep sending.
  auto again = record(1, '1', paramBody(0, 28074000, 31));
  int turn = 0;
  const bool back = WaitUntil(
      [&] {
        if (turn++ % 20 == 0) t.pty->write(again);
        return t.freq() == 28074000;
      },
      5000);

  // Clearing setup byte 7 ends the thread.
  SetSetupChar(t.rig.w(), SB_enaser, '0');
  t.thread.join();
  const bool zeroClosed = fcntl(0, F_GETFD) == -1;
  dup2(savedIn, 0);
  close(savedIn);
  EXPECT_TRUE(back);
  EXPECT_TRUE(zeroClosed) << "the port at descriptor 0 was left open";
  EXPECT_EQ(t.rig.works->serFD.load(), 0);
}

TEST(ExtIoThread, AMissingPortIsADeviceErrorNotTheEnd) {
  SerialThreadRig t;
  SetSetupText(t.rig.w(), SB_SerPort, "/dev/ttyNONE");
  t.start();
  t.thread.join();
  EXPECT_EQ(t.rig.works->deviceError.load(), 3);
  EXPECT_EQ(t.rig.works->deviceErrorText.str(), "Serial: Unable to open device /dev/ttyNONE");
  EXPECT_EQ(t.rig.works->running.load(), 1);
}

}  // namespace
