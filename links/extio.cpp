// The EXT IO serial link: records from the NEB transceiver (spectrum and
// operating parameters) into the parameter record and the spectrum plot,
// forwarded to the remote peer; carrier requests back to the transceiver.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>

#include "core/peer_outbound.h"
#include "core/setup.h"
#include "errors/errors.h"
#include "links/links.h"
#include "platform/log.h"
#include "platform/platform.h"

namespace {

constexpr int kIdleTimeoutMs = 1500;
constexpr double kBinsPerHz = 0.005333;  // 1 / 187.5 Hz per bin

// Start values a field takes when the nibble rule would leave it at 0.
constexpr int initSquelch = -1, initNr = -1, initNb = -1, initAtt = -1, initLp = -1, initAn = -1;
constexpr int initVolume = 50, initVolumeAux = 50, initVolumeSide = 5;

// The record is zeroed by the first decode after start.
At<bool> recordFresh{true};

bool serialShouldRun(Works *works) {
  return works->running.load() != 0 && SetupChar(works, SB_enaser) == '1';
}

// A value of 0 means "off": keep the last setting, marked off by its sign.
int32_t nibbleRule(int raw, int32_t previous, int32_t start) {
  if (raw != 0) return raw;
  long long p = previous;
  long long v = -(p < 0 ? -p : p);
  if (v < INT32_MIN) v = INT32_MIN;
  return v != 0 ? static_cast<int32_t>(v) : start;
}

int bit(uint8_t b, int n) {
  return (b >> n) & 1;
}

// The sscanf("%x") of the four nibble characters, as unsigned.
uint32_t scanHex(const char *text) {
  const char *p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && isxdigit(static_cast<unsigned char>(p[2])))
    p += 2;
  uint32_t v = 0;
  for (; isxdigit(static_cast<unsigned char>(*p)); ++p) {
    char c = *p;
    int d = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
    v = v * 16 + static_cast<uint32_t>(d);
  }
  return negative ? 0u - v : v;
}

void decodeParameterBody(NebParam &r, int length, const uint8_t *body) {
  auto at = [&](int i) -> uint8_t { return i < length ? body[i] : 0; };

  uint8_t b0 = at(0);
  r.status6 = bit(b0, 6);
  r.useB = bit(b0, 5);
  r.freqIsB = bit(b0, 4);
  r.status32 = (b0 >> 2) & 3;
  r.memMode = bit(b0, 0);

  uint32_t f = 0;
  for (int i = 1; i <= 8; ++i) f = (f << 4) | (at(i) & 0x0F);
  r.freqRx = static_cast<int32_t>(f);
  if (r.memMode)
    r.freqMem = r.freqRx;
  else if (r.freqIsB)
    r.freqB = r.freqRx;
  else
    r.freqA = r.freqRx;
  r.freq = r.memMode ? r.freqMem : (r.useB ? r.freqB : r.freqA);
  r.freqPrev = r.freqLast;
  r.freqLast = r.freq;

  if (length > 9 && (at(9) & 0x80)) {
    uint8_t b = at(9);
    r.modeBits6 = bit(b, 6);
    r.modeBits5 = bit(b, 5);
    r.modeBits4 = bit(b, 4);
    r.modeRx = b & 0x0F;
    if (r.freqIsB)
      r.modeB = r.modeRx;
    else
      r.modeA = r.modeRx;
    r.mode = r.useB ? r.modeB : r.modeA;
  }
  if (length > 10 && (at(10) >> 6) == 1) {
    uint8_t b = at(10);
    r.volumeSel = (b >> 4) & 3;
    r.sign3 = bit(b, 3) ? -1 : 1;
    r.sign2 = bit(b, 2) ? -1 : 1;
    r.sign1 = bit(b, 1) ? -1 : 1;
    r.sign0 = bit(b, 0) ? 1 : -1;
  }
  if (length > 11 && (at(11) >> 6) == 1) {
    uint8_t b = at(11);
    r.squelch = nibbleRule(b & 0x0F, r.squelch, initSquelch);
    r.sqBit5 = bit(b, 5);
    r.sqBit4 = bit(b, 4);
  }
  if (length > 13 && (at(12) & 0x80) && (at(13) >> 6) == 1) {
    uint8_t b12 = at(12), b13 = at(13);
    r.b12bit2 = bit(b12, 2);
    r.b12low = nibbleRule(b12 & 3, r.b12low, 0);
    r.b12mid = nibbleRule((b12 >> 3) & 0x0F, r.b12mid, 0);
    r.b13low = nibbleRule(b13 & 0x0F, r.b13low, 0);
    r.b13bit5 = bit(b13, 5);
    r.b13bit4 = bit(b13, 4);
    r.combinedIdx = r.b12bit2 == 0 ? ((b12 >> 3) & 0x0F) + 1 : (b13 & 0x0F) + 5;
  }
  if (length > 14 && (at(14) >> 4) == 3) r.nr = nibbleRule(at(14) & 0x0F, r.nr, initNr);
  if (length > 15 && (at(15) >> 4) == 3) r.nb = nibbleRule(at(15) & 0x0F, r.nb, initNb);
  if (length >= 20 && (at(16) >> 5) == 3 && (at(17) >> 5) == 3 && (at(18) >> 4) == 3 &&
      (at(19) >> 5) == 3) {
    r.set16 = (at(16) & 0x1F) + 1;
    r.set17 = (at(17) & 0x1F) + 1;
    r.set18 = (at(18) & 0x0F) + 1;
    r.set19a = ((at(19) >> 2) & 7) + 1;
    r.set19b = (at(19) & 3) + 1;
  }
  if (length > 20 && (at(20) >> 6) == 1) {
    uint8_t b = at(20);
    r.att = nibbleRule(bit(b, 4), r.att, initAtt);
    r.lp = nibbleRule(bit(b, 3), r.lp, initLp);
    r.an = nibbleRule((b >> 1) & 3, r.an, initAn);
    r.b20bit0 = bit(b, 0) ? 1 : -1;
  }
  if (length > 21) r.level = at(21) - 211;
  if (length > 22) {
    int v = at(22) & 0x7F;
    if (r.volumeSel == 0)
      r.volume = nibbleRule(v, r.volume, initVolume);
    else if (r.volumeSel == 1)
      r.volumeAux = nibbleRule(v, r.volumeAux, initVolumeAux);
    else
      r.volumeSide = nibbleRule(v, r.volumeSide, initVolumeSide);
  }
  if (length > 25) r.modeShift = (at(23) & 0x0F) << 8 | (at(24) & 0x0F) << 4 | (at(25) & 0x0F);
  if (length > 30) {
    int first = at(26) & 0x0F;
    if (first > 7) first -= 16;
    int v = first;
    for (int i = 27; i <= 30; ++i) v = v * 16 + (at(i) & 0x0F);
    r.specOffset = v;
  }
}

// Takes serMut; a failure is reported with the record's own text.
bool lockSerMut(Works *works) {
  try {
    works->serMut->lock();
    return true;
  } catch (const std::system_error &) {
    LogErr("serMut mutex cannot be locked");
    return false;
  }
}

void unlockSerMut(Works *works) {
  works->serMut->unlock();
}

// Waits until the port may be used again after it went away: the
// transceiver was unplugged or its pseudo-terminal closed. Returns the new
// descriptor, or -1 when the thread must stop.
int reopenExtIo(Works *works, const std::string &path) {
  LogErr("Serial: device %s lost, waiting for it", path.c_str());
  while (serialShouldRun(works)) {
    ExtIoTimeoutReport(works, 2);
    if (!PauseWhile(works, SB_enaser, 1000)) break;
    int fd = OpenExtIoPort(path);
    if (fd >= 0) {
      LogInfo("OK works->serFD=%d (%s)", fd, path.c_str());
      LogStderr("------------------ OK works->serFD=%d (%s)\n", fd, path.c_str());
      return fd;
    }
  }
  return -1;
}

}  // namespace

int OpenExtIoPort(const std::string &path) {
  int fd = OpenSerial(path);
  if (fd < 0) return -1;
  if (ConfigureSerial(fd, IGNPAR, 0, CS8 | CREAD | CLOCAL, 0, 1, 0, B115200) != 0) {
    close(fd);
    return -2;
  }
  return fd;
}

int ExtIoNeed(const ExtIoFramer *f) {
  switch (f->state) {
    case EXTIO_HEADER: return 5 - f->have;
    case EXTIO_BODY: return f->length - f->have;
    default: return 1;
  }
}

int decodeCmdParameters(Works *, const uint8_t *header, char *commandChar, int *length) {
  *commandChar = static_cast<char>(header[0]);
  // Nibble characters 0x30..0x3F: those above '9' become 'A'..'F'; the
  // least significant comes first on the wire.
  char text[5];
  for (int i = 0; i < 4; ++i) {
    uint8_t c = header[1 + i];
    text[3 - i] = static_cast<char>(c > '9' ? static_cast<uint8_t>(c + 7) : c);
  }
  text[4] = 0;
  int value = static_cast<int>(scanHex(text));
  if (value >= kExtIoBodyMax || value < 0) {
    char shown[5];
    for (int i = 0; i < 4; ++i)
      shown[i] = isprint(static_cast<unsigned char>(text[i])) ? text[i] : '.';
    shown[4] = 0;
    LogStderr("----------> 3SERIAL : ERROR dataLength %d   %s!!!!!!\n", value, shown);
    value = kExtIoBodyMax - 1;
  }
  *length = value;
  return value;
}

ExtIoEvent ExtIoPush(Works *works, ExtIoFramer *f, uint8_t byte) {
  switch (f->state) {
    case EXTIO_WAIT:
      // A byte of 15 or more is no record type: skipped.
      if (byte < 15) {
        f->type = byte;
        f->have = 0;
        f->state = EXTIO_HEADER;
      }
      return EXTIO_NONE;
    case EXTIO_HEADER: {
      f->header[f->have++] = byte;
      if (f->have < 5) return EXTIO_NONE;
      decodeCmdParameters(works, f->header, &f->command, &f->length);
      f->have = 0;
      f->state = EXTIO_WAIT;
      if (f->type > 1) return EXTIO_BADTYPE;
      if (f->command != (f->type == 0 ? '0' : '1')) return EXTIO_SKIPPED;
      memset(f->body, 0, sizeof f->body);
      if (f->length == 0) return f->type == 0 ? EXTIO_SPECTRUM : EXTIO_PARAMETERS;
      f->state = EXTIO_BODY;
      return EXTIO_NONE;
    }
    case EXTIO_BODY:
      f->body[f->have++] = byte;
      if (f->have < f->length) return EXTIO_NONE;
      f->state = EXTIO_WAIT;
      f->have = 0;
      return f->type == 0 ? EXTIO_SPECTRUM : EXTIO_PARAMETERS;
  }
  f->state = EXTIO_WAIT;
  return EXTIO_NONE;
}

int storeParameters(Works *works, int length, const uint8_t *body) {
  if (works->nebParam == nullptr || works->serMut == nullptr || body == nullptr) return -1;
  // Without its eight frequency nibbles a record would set the operating
  // frequency to nonsense and switch bands: drop it.
  if (length < 9) {
    LogStderr("SERIAL : parameter record of %d bytes dropped\n", length);
    return -1;
  }
  if (!lockSerMut(works)) return -1;
  if (recordFresh.exchange(false)) memset(works->nebParam, 0, sizeof *works->nebParam);
  decodeParameterBody(*works->nebParam, length, body);
  unlockSerMut(works);
  return 0;
}

int storeFFT(Works *works, int length, const uint8_t *body) {
  if (works->spectrumPlot == nullptr || works->serMut == nullptr || body == nullptr) return -1;
  float levels[kSpectrumLevels];
  for (int i = 0; i < kSpectrumLevels; ++i) {
    int b = kExtIoSpectrumFirst + i;
    // Bins the body does not reach read as the cleared buffer would: the floor.
    levels[i] = (b < length ? body[b] : 0) - 192.0f;
  }
  if (!lockSerMut(works)) return -1;
  memcpy(works->spectrumPlot->levels, levels, sizeof levels);
  unlockSerMut(works);
  return 0;
}

int ExtIoRotateSpectrum(const uint8_t *body, int length, const NebParam &param, uint8_t *out) {
  int shift = 0;
  if (param.mode == 4)
    shift = static_cast<int>(-param.modeShift * kBinsPerHz);
  else if (param.mode == 6)
    shift = static_cast<int>(param.modeShift * kBinsPerHz);
  shift = static_cast<int>(shift + param.specOffset * kBinsPerHz + 85.0);
  // A rotation: offsets beyond one turn wrap round.
  int start = ((shift % kExtIoForwardBytes) + kExtIoForwardBytes) % kExtIoForwardBytes;
  for (int k = 0; k < kExtIoForwardBytes; ++k) out[k] = body[(start + k) % kExtIoForwardBytes];
  int n = length - 170;
  if (n < 0) n = 0;
  if (n > kExtIoForwardBytes) n = kExtIoForwardBytes;
  return n;
}

void ExtIoTimeoutReport(Works *works, int place) {
  int32_t expected = 0;
  if (!works->extIoTimeout.compare_exchange_strong(expected, 2000)) return;
  if (works->modeWorkIdx.load() == 1) AddErrore(works, ERR_NEB_EXTIO);
  LogStderr("---------------------------------------TIMEOUT EXT IO %d\n", place);
}

void ExtIoCarrierCommands(Works *works, int fd) {
  uint8_t mode = works->autoTuneMode.load();
  if (mode & kAutoTuneRxWanted) {
    writeSerialPort(fd, "RX;", 3, works);
    LogStderr("SENT NEB RX;! (0x%x)\n", mode);
    works->autoTuneMode.fetch_and(static_cast<uint8_t>(~kAutoTuneRxWanted));
    works->autoTuneMode.fetch_or(kAutoTuneRxSent);
  }
  mode = works->autoTuneMode.load();
  if (mode & kAutoTuneCarrierWanted) {
    writeSerialPort(fd, "TU120;TX2;", 10, works);
    LogStderr("SENT NEB TX2;! (0x%x)\n", mode);
    works->autoTuneMode.fetch_and(static_cast<uint8_t>(~kAutoTuneCarrierWanted));
    works->autoTuneMode.fetch_or(kAutoTuneCarrierSent);
  }
  uint8_t flags = works->tuneCarrierFlags.load();
  if (flags & kCarrierPending) {
    if (!(flags & kCarrierTransmit)) {
      writeSerialPort(fd, "RX;", 3, works);
      LogStderr("SENT NEB RX...\n");
      works->tuneCarrierHold = 30;
      works->tuneCarrierFlags.fetch_and(static_cast<uint8_t>(~kCarrierPending));
    } else if (!(flags & kCarrierAntennaAsked) == !(flags & kCarrierAntennaSet)) {
      writeSerialPort(fd, "TU120;TX2;", 10, works);
      LogStderr("SENT NEB TX2...\n");
      works->tuneCarrierFlags.fetch_and(static_cast<uint8_t>(~kCarrierPending));
    }
    // Carrier wanted with exactly one of bits 4-5: the request stays pending.
  }
}

int writeSerialPort(int fd, const void *data, int n, Works *works) {
  if (works == nullptr) return WriteAll(fd, data, n);
  std::lock_guard<std::mutex> lock(works->serWriteMutex);
  return WriteAll(fd, data, n);
}

int readSerialPort(Works *works, uint8_t *buffer, int n) {
  int have = 0;
  long long idleMs = 0;
  while (have < n) {
    if (!serialShouldRun(works)) return -1;
    if (idleMs > kIdleTimeoutMs) ExtIoTimeoutReport(works, 3);
    long long before = MonotonicMs();
    int r = WaitReadable(works->serFD.load(), 100);
    if (r < 0) return -1;
    if (r == 0) {
      idleMs += MonotonicMs() - before;
      continue;
    }
    ssize_t k = read(works->serFD.load(), buffer + have, static_cast<size_t>(n - have));
    if (k < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (k <= 0) return -1;
    have += static_cast<int>(k);
  }
  return have;
}

void *Serial(void *arg) {
  Works *works = static_cast<Works *>(arg);
  const std::string path = SetupText(works, SB_SerPort);
  LogInfo("Init Serial Port %s", path.c_str());
  int fd = OpenExtIoPort(path);
  if (fd < 0) {
    // A missing port is a device error the operator can retry or cancel,
    // not a reason to stop the amplifier.
    if (fd == -1)
      LogErr("Unable to open device %s", path.c_str());
    else
      LogInfo("Unable to open device %s", path.c_str());
    LogStderr("Serial: Unable to open device %s\n", path.c_str());
    works->deviceErrorText.setf("Serial: Unable to open device %s", path.c_str());
    works->deviceError = 3;
    return nullptr;
  }
  works->serFD = fd;
  LogInfo("OK works->serFD=%d (%s)", fd, path.c_str());
  LogStderr("------------------ OK works->serFD=%d (%s)\n", fd, path.c_str());

  static_assert(sizeof(ExtIoFramer) < 4096, "the framer lives on the thread's stack");
  ExtIoFramer framer;
  uint8_t chunk[kExtIoBodyMax];
  uint8_t rotated[kExtIoForwardBytes];
  long long idleSince = MonotonicMs();

  while (serialShouldRun(works)) {
    bool lost = false;
    if (framer.state == EXTIO_WAIT) {
      int r = WaitReadable(fd, 100);
      if (r == 0) {
        if (MonotonicMs() - idleSince >= kIdleTimeoutMs) {
          ExtIoTimeoutReport(works, 1);
          idleSince = MonotonicMs();
        }
        continue;
      }
      ssize_t k = -1;
      int err = EIO;
      if (r > 0) {
        k = read(fd, chunk, 1);
        err = errno;
        if (k < 0 && (err == EINTR || err == EAGAIN)) continue;
      }
      idleSince = MonotonicMs();
      if (k != 1) {
        LogErr("error %d", k < 0 ? err : 0);
        ExtIoTimeoutReport(works, 2);
        lost = true;
      } else {
        ExtIoPush(works, &framer, chunk[0]);
      }
    } else {
      int need = ExtIoNeed(&framer);
      if (readSerialPort(works, chunk, need) != need) {
        if (!serialShouldRun(works)) break;
        lost = true;
      } else {
        ExtIoEvent ev = EXTIO_NONE;
        for (int i = 0; i < need; ++i) ev = ExtIoPush(works, &framer, chunk[i]);
        if (ev != EXTIO_NONE) {
          if (ev == EXTIO_SPECTRUM) {
            storeFFT(works, framer.length, framer.body);
            if (SetupChar(works, SB_EnableFFTCopy) == '0') {
              NebParam param;
              getParameters(&param, works);
              int n = ExtIoRotateSpectrum(framer.body, framer.length, param, rotated);
              if (n > 0) PeerSendSpectrum(works, rotated, n);
            }
          } else if (ev == EXTIO_PARAMETERS) {
            storeParameters(works, framer.length, framer.body);
            PeerSendSerPar(works, framer.body, framer.length);
          } else if (ev == EXTIO_BADTYPE) {
            LogErr("Error3");
          }
          ExtIoCarrierCommands(works, fd);
          idleSince = MonotonicMs();
        }
      }
    }
    if (lost) {
      framer.state = EXTIO_WAIT;
      framer.have = 0;
      {
        // Writers from other threads hold this lock over their write.
        std::lock_guard<std::mutex> lock(works->serWriteMutex);
        works->serFD = 0;
        close(fd);
      }
      fd = reopenExtIo(works, path);
      if (fd < 0) break;
      works->serFD = fd;
      idleSince = MonotonicMs();
    }
  }
  LogStderr("---------------------------------------Serial EXIT %x\n",
            static_cast<unsigned>(static_cast<unsigned char>(SetupChar(works, SB_enaser))));
  if (fd >= 0) {
    std::lock_guard<std::mutex> lock(works->serWriteMutex);
    works->serFD = 0;
    close(fd);
  }
  return nullptr;
}

void ResetParameterRecordStart() {
  recordFresh = true;
}
