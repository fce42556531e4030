// Controller link: the wire format, the request/reply state machine and its
// retries, and the thread that runs it on the port. The thread is the one
// writer of the controller's and the tuner's fields: between replies it
// applies what the other threads ask for (core/link_requests.h).
#include "controller/link.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/link_requests.h"
#include "core/process_globals.h"
#include "core/setup.h"
#include "platform/log.h"
#include "platform/platform.h"
#include "tuner/tuner.h"

namespace {

// A port that failed to open (or was lost) is tried again this often.
constexpr int kReopenMs = 3000;
// Pause after a failed read or a reply with wrong check digits.
constexpr int kPaceAfterError = 20;
// Reads failing one after the other this often: the port is taken as lost.
constexpr int kReadFailuresToReopen = 4;

int clampTo(int v, int lo, int hi) {
  return v < lo ? lo : (v > hi ? hi : v);
}

// The attenuator texts: first digit the 3 dB pad, second the 2 dB pad.
const char *const kAttText[] = {"AT00;", "AT01;", "AT10;", "AT11;"};

int attenuatorText(int index, char *text, int size) {
  if (index < 0 || index > 3) {
    LogErr("Linear: attenuator index %d not sent", index);
    return 0;
  }
  snprintf(text, static_cast<size_t>(size), "%s", kAttText[index]);
  return 5;
}

// The fan percent a fan command sends.
int fanOf(Works *works, int id) {
  return clampTo(id == LP_FN ? works->fanPercent : works->fanPercentCpu, 0, 100);
}

// The general settings "GS" writes back: the controller's own, with the
// network bit following the mode of work (cleared for a transceiver link).
// False until the controller's settings have been read.
bool generalSettings(Works *works, char gs[11]) {
  std::string current = works->genSettings.str();
  if (current.size() != 10) return false;
  memcpy(gs, current.data(), 10);
  gs[10] = 0;
  if (works->modeWorkIdx != 0)
    gs[1] = static_cast<char>(gs[1] & ~2);
  else
    gs[1] = static_cast<char>(gs[1] | 2);
  return true;
}

// Prints a command into text; returns the byte count the command has on the
// wire, or 0 when the text did not come out at exactly that length.
__attribute__((format(printf, 4, 5))) int fixedText(char *text, int size, int bytes,
                                                    const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(text, static_cast<size_t>(size), fmt, ap);
  va_end(ap);
  if (n != bytes) {
    LogErr("Linear: command text of %d bytes instead of %d not sent", n, bytes);
    return 0;
  }
  return n;
}

void clearErrorLine(Works *works) {
  char text[128];
  works->deviceErrorText.get(text, sizeof text);
  if (strncmp(text, "Linear:", 7) == 0) {
    works->deviceError = 0;
    works->deviceErrorText.clear();
  }
}

// Opens and configures the port; quiet suppresses the failure lines while
// the port is being retried after a first reported failure.
int openPort(Works *works, bool quiet) {
  std::string port = SetupText(works, SB_LinPort);
  if (!quiet) LogInfo("Init Linear Port %s", port.c_str());
  int fd = OpenSerial(port);
  if (fd < 0) {
    if (!quiet) LogErr("Unable to open device %s", port.c_str());
    works->deviceErrorText.setf("Linear: Unable to open device %s", port.c_str());
    works->deviceError = 1;
    works->linFD = -1;
    return -1;
  }
  if (ConfigureSerial(fd, IGNPAR, 0, B115200 | CS8 | CREAD | HUPCL | CLOCAL, 0, 1, 5, B115200) !=
      0) {
    if (!quiet) LogErr("Unable to set comm port %s", port.c_str());
    works->deviceErrorText.setf("Linear: Unable to set comm port %s", port.c_str());
    works->deviceError = 1;
    // The descriptor stays in use: a pseudo-terminal or an odd UART may refuse
    // a setting and still carry the bytes.
  } else {
    clearErrorLine(works);
  }
  works->linFD = fd;
  LogStderr("OK works->linFD=%d (%s) stato:%d\n", fd, port.c_str(), linearProcessStatus.load());
  LogInfo("OK works->linFD=%d (%s)", fd, port.c_str());
  return fd;
}

}  // namespace

uint8_t Sys_Crc8Calculation(const void *bytes, int length) {
  const uint8_t *p = static_cast<const uint8_t *>(bytes);
  uint8_t crc = 0;
  for (int i = 0; i < length; ++i) {
    uint8_t byte = p[i];
    for (int bit = 0; bit < 8; ++bit) {
      bool mix = ((byte ^ crc) & 1) != 0;
      crc = static_cast<uint8_t>(crc >> 1);
      if (mix) crc ^= 0x8C;
      byte = static_cast<uint8_t>(byte >> 1);
    }
  }
  return crc;
}

void LinearReplyDigits(const char *text, int length, char out[3]) {
  snprintf(out, 3, "%02X", Sys_Crc8Calculation(text, length < 0 ? 0 : length));
}

void LinearCmdPrepare(Works *works, int id) {
  switch (id) {
    case LP_MT1_MEM:
      LoadTuneFromMEM(works, works->antenna);
      works->atuBypass = 0;
      break;
    case LP_MT1_BYPASS:
      works->atuBypass = 1;
      works->tuneVal = (works->tuneVal | (1u << 16)) & ~((1u << 18) | (1u << 23));
      break;
    case LP_MT1_CLEAR:
      works->atuBypass = 0;
      works->tuneVal = 1u << 23;
      works->tuneC = 0;
      works->tuneL = 0;
      break;
    default: break;
  }
}

int LinearCmdText(Works *works, int id, char *text, int size) {
  if (size < kLinearCmdMax) return 0;
  text[0] = 0;
  // Every value is kept inside its field: the controller reads fixed widths.
  auto digit = [](int v) { return clampTo(v, 0, 9); };
  auto four = [](int v) { return clampTo(v, 0, 9999); };
  switch (id) {
    case LP_VSM: return fixedText(text, size, 4, "VSM;");
    case LP_ST: return fixedText(text, size, 3, "ST;");
    case LP_TU1: return fixedText(text, size, 4, "TU1;");
    case LP_TU0: return fixedText(text, size, 4, "TU0;");
    case LP_TU: return fixedText(text, size, 3, "TU;");
    case LP_SA: return fixedText(text, size, 4, "SA%d;", digit(works->antenna + 1));
    case LP_FM: return fixedText(text, size, 3, "FM;");
    case LP_FA: {
      int f = works->frequency;
      return fixedText(text, size, 14, "FA%011lu;", static_cast<unsigned long>(f < 0 ? 0 : f));
    }
    case LP_MT: return fixedText(text, size, 3, "MT;");
    case LP_MT1:
    case LP_MT1_MEM:
    case LP_MT1_BYPASS:
    case LP_MT1_CLEAR:
      return fixedText(text, size, 12, "MT1%08X;", static_cast<unsigned>(works->tuneVal));
    case LP_FS:
      return fixedText(text, size, 8, "FS%01d%04d;", digit(works->freqSensIn),
                       four(works->freqPeriodTime / 10));
    case LP_CP: return fixedText(text, size, 7, "CPFFFF;");
    case LP_AT: return attenuatorText(works->attenuator, text, size);
    case LP_AT_TUNE: return attenuatorText(works->attenuatorTune, text, size);
    case LP_AT_MAX: return attenuatorText(3, text, size);
    case LP_MP0: return fixedText(text, size, 4, "MP0;");
    case LP_MP1: return fixedText(text, size, 4, "MP1;");
    case LP_AB0: return fixedText(text, size, 4, "AB0;");
    case LP_AB1: return fixedText(text, size, 4, "AB1;");
    case LP_AN: return fixedText(text, size, 4, "AN%d;", digit(works->anSel));
    case LP_TS:
      return fixedText(text, size, 19, "TS%04d%04d%04d%04d;", four(works->tsPar[0]),
                       four(works->tsPar[1]), four(works->tsPar[2]), four(works->tsPar[3]));
    case LP_FN:
    case LP_FN_CPU: return fixedText(text, size, 7, "FN1%03d;", fanOf(works, id));
    case LP_PS:
      return fixedText(text, size, 19, "PS%04d%04d%04d%04d;", four(works->psPar[0]),
                       four(works->psPar[1]), four(works->psPar[2]), four(works->psPar[3]));
    case LP_SF: return fixedText(text, size, 3, "SF;");
    case LP_SF_SET:
      return fixedText(text, size, 10, "SF30000%02x;", static_cast<unsigned>(works->filterRelay));
    case LP_SE: return fixedText(text, size, 8, "SE58027;");
    case LP_MR1: return fixedText(text, size, 4, "MR1;");
    case LP_MR0: return fixedText(text, size, 4, "MR0;");
    case LP_GM:
      return fixedText(text, size, 11, "GM%04d%04d;", four(works->gmPar1), four(works->gmPar2));
    case LP_GS: return fixedText(text, size, 3, "GS;");
    case LP_GS_SET: {
      char gs[11];
      // Until the controller's own settings have been read there is nothing
      // sound to write back: sending a short text would put stray bytes on
      // the wire and into the controller's settings.
      if (!generalSettings(works, gs)) {
        LogErr("Linear: general settings not read yet, GS not sent");
        return 0;
      }
      return fixedText(text, size, 13, "GS%s;", gs);
    }
    case LP_ER0: return fixedText(text, size, 7, "ER0000;");
    case LP_ER1: return fixedText(text, size, 7, "ER0001;");
    case LP_ER2: return fixedText(text, size, 7, "ER0002;");
    default: return 0;
  }
}

void LinearCmdSent(Works *works, int id, const char *text) {
  switch (id) {
    case LP_MT1: works->atuBypass = static_cast<uint8_t>((works->tuneVal >> 16) & 1); break;
    case LP_AT:
    case LP_AT_TUNE:
    case LP_AT_MAX: LogStderr(">> %s\n", text); break;
    case LP_AB0:
      works->ampBypassReq = 0;
      LogStderr(">> AB0;\n");
      break;
    case LP_AB1:
      works->ampBypassReq = 1;
      works->attenuatorSel = 4;
      LogStderr(">> AB1;\n");
      break;
    case LP_AN:
    case LP_PS:
    case LP_SF_SET:
    case LP_GM: LogStderr(">> %s\n", text); break;
    case LP_FN:
    case LP_FN_CPU:
      works->fanAck = 0;
      works->fanPercentSent = fanOf(works, id);
      LogStderr(id == LP_FN ? ">> %s\n" : ">>CPU %s\n", text);
      break;
    case LP_GS: LogStderr(">>r: %s\n", text); break;
    case LP_GS_SET: {
      char gs[11];
      if (generalSettings(works, gs)) works->genSettings.set(gs);
      break;
    }
    case LP_MR1:
      works->armedActions |= kArmedFwNotice;
      works->screenState = SS_MAIN;
      break;
    default: break;
  }
}

int writeLinearPort(int fd, const char *text, int length, Works *) {
  char digits[3];
  snprintf(digits, sizeof digits, "%02x", Sys_Crc8Calculation(text, length));
  counterrortimeout = 0;
  ssize_t w;
  do {
    w = write(fd, digits, 2);
  } while (w < 0 && errno == EINTR);
  if (w != 2) {
    LogErr("Linear: write failed (%d)", w < 0 ? errno : 0);
    return -1;
  }
  int done = 0;
  while (done < length) {
    w = write(fd, text + done, static_cast<size_t>(length - done));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      LogErr("Linear: write failed (%d)", w < 0 ? errno : 0);
      return -1;
    }
    done += static_cast<int>(w);
  }
  return 0;
}

void SetAttenuatorCMD(Works *works, int index, int id) {
  char text[kLinearCmdMax];
  LastCmdSent(works, 'A', 'T', id);
  int n = attenuatorText(index, text, sizeof text);
  if (n == 0) {
    NextCmdPriority(works, LP_ST);
    linearLinkState = LS_SEND;
    return;
  }
  LogStderr(">> %s\n", text);
  int fd = works->linFD;
  if (fd >= 0) writeLinearPort(fd, text, n, works);
  linearLinkState = LS_WAIT;
}

long long LinearDeadline(const LinearLink *link) {
  return link->sentAtMs + kLinearTimeoutMs;
}

void LinearReceived(Works *works, LinearLink *link) {
  int used = 0;
  while (used < link->inLen && linearLinkState == LS_WAIT) {
    char c = link->in[used++];
    if (link->rxCount >= kLinearRxMax) {
      link->rxCount = 0;
      LogStderr("<<<<<<<<<<<<<<<<<<<<ERROR COUNTER LINEAR (CounterLinear)\n");
    }
    link->rx[link->rxCount++] = c;
    if (c != ';') continue;
    link->rx[link->rxCount] = 0;
    char digits[3];
    LinearReplyDigits(link->rx + 2, link->rxCount - 2, digits);
    if (link->rxCount >= 3 && link->rx[0] == digits[0] && link->rx[1] == digits[1]) {
      linearLinkState = LS_DECODE;
      break;
    }
    // A reply that arrived damaged is not trusted: it is dropped and the link
    // goes on as after any reply. Queued commands stay queued.
    LogStderr("**** CHK ERROR!! %s %s\n", digits, link->rx);
    link->rxCount = 0;
    link->pauseMs = kPaceAfterError;
    NextCmdPriority(works, LP_ST);
    linearLinkState = LS_SEND;
  }
  memmove(link->in, link->in + used, static_cast<size_t>(link->inLen - used));
  link->inLen -= used;
}

void LinearTimeout(Works *works, LinearLink *link) {
  // The command goes out again: what came of the broken reply must not stand
  // in front of the next one.
  link->rxCount = 0;
  link->inLen = 0;
  GestRetrayCMD(works);
  linearLinkState = LS_SEND;
}

void LinearReadFailed(Works *works, LinearLink *link, long result) {
  LogErr("timeout %d\n", static_cast<int>(result));
  link->rxCount = 0;
  link->inLen = 0;
  link->pauseMs = kPaceAfterError;
  GestRetrayCMD(works);
  linearLinkState = LS_SEND;
}

int TakeLinearReply(Works *works, const char *text, int count) {
  const ReplyRead reply = DecodeCatCmd(works, text, count);
  // The frame judges the word written before it; the tuner's step leaves
  // the next word, which goes out next whether or not the step ended the
  // tuning.
  const int tuneState = works->autoTuneState;
  if (reply.kind == RP_STATUS && tuneState == 1) TuneTask(works);
  ServeLinkRequests(works);
  if (reply.kind == RP_STATUS) PublishLinkView(works);
  return NextLinearCmd(works, reply, tuneState);
}

int LinearAdvance(Works *works, LinearLink *link, char *text, int *length, int *pauseMs) {
  if (link->pauseMs > 0) {
    *pauseMs = link->pauseMs;
    link->pauseMs = 0;
    return LA_PAUSE;
  }
  // Commands that cannot be sent are passed over; the bound keeps a queue
  // full of them from holding the thread here.
  for (int guard = 0; guard < 2 * kCmdQueueSlots; ++guard) {
    switch (linearLinkState) {
      case LS_WAIT:
        if (link->inLen > 0) {
          LinearReceived(works, link);
          if (link->pauseMs > 0) {
            *pauseMs = link->pauseMs;
            link->pauseMs = 0;
            return LA_PAUSE;
          }
          if (linearLinkState != LS_WAIT) continue;
        }
        return LA_READ;
      case LS_DECODE: {
        int pause = TakeLinearReply(works, link->rx + 2, link->rxCount);
        link->rxCount = 0;
        link->rx[0] = 0;
        linearLinkState = LS_SEND;
        *pauseMs = pause;
        return LA_PAUSE;
      }
      case LS_HALTED: return LA_HALTED;
      default: break;
    }
    linearLinkState = LS_SEND;
    const int id = linearProcessStatus;
    if (!IsLinearCmd(id)) {
      // No command (25 among them): start again from the status poll rather
      // than stand still.
      LogErr("Linear: state %d unknown, back to ST", id);
      linearProcessStatus = LP_ST;
      continue;
    }
    const char *letters = LinearCmdLetters(id);
    LastCmdSent(works, letters[0], letters[1], id);
    LinearCmdPrepare(works, id);
    int n = LinearCmdText(works, id, text, kLinearCmdMax);
    if (n == 0) {
      NextCmdPriority(works, LP_ST);
      continue;
    }
    LinearCmdSent(works, id, text);
    *length = n;
    link->rxCount = 0;
    linearLinkState = id == LP_MR1 ? LS_HALTED : LS_WAIT;
    return LA_WRITE;
  }
  *pauseMs = kPaceAfterError;
  return LA_PAUSE;
}

int OpenLinear(Works *works) {
  return openPort(works, false);
}

namespace {

// Waits up to ms for the port to turn readable (fd < 0: for nothing but
// requests) and applies the requests of other threads that come meanwhile.
// True when the port is readable (or has failed).
bool waitForPort(Works *works, int fd, int wakeFd, int ms) {
  struct pollfd p[2] = {{wakeFd, POLLIN, 0}, {fd, POLLIN, 0}};
  const nfds_t n = fd >= 0 ? 2 : 1;
  int r = poll(p, n, ms < 0 ? 0 : ms);
  if (r <= 0) return false;  // time-out or a signal
  if (p[0].revents != 0) ServeLinkRequests(works);
  return n == 2 && p[1].revents != 0;
}

// Waits ms in all, taking requests as they come; false when the program is
// stopping.
bool pauseFor(Works *works, int wakeFd, int ms) {
  const long long until = MonotonicMs() + ms;
  for (long long left = ms; left > 0 && works->running; left = until - MonotonicMs())
    waitForPort(works, -1, wakeFd, static_cast<int>(left < 200 ? left : 200));
  return works->running != 0;
}

}  // namespace

void *Linear(void *arg) {
  Works *works = static_cast<Works *>(arg);
  // From here on the other threads' requests come to this thread.
  const int wakeFd = OpenLinkRequests(works);
  LinearLink link{};
  linearProcessStatus = LP_ST;
  linearLinkState = LS_SEND;
  int fd = OpenLinear(works);
  int readFailures = 0;
  // Closes a port that stopped working; it is opened again a few seconds later.
  auto lose = [&](const char *why) {
    LogErr("%s", why);
    close(fd);
    fd = -1;
    works->linFD = -1;
    works->deviceErrorText.set(why);
    works->deviceError = 1;
  };
  while (works->running) {
    if (fd < 0) {
      // Tried again every few seconds; the failure was reported once.
      if (!pauseFor(works, wakeFd, kReopenMs)) break;
      fd = openPort(works, true);
      link.inLen = 0;
      link.rxCount = 0;
      continue;
    }
    char text[kLinearCmdMax];
    int length = 0;
    int pause = 0;
    switch (LinearAdvance(works, &link, text, &length, &pause)) {
      case LA_WRITE:
        if (writeLinearPort(fd, text, length, works) != 0) {
          // A write that fails, rather than writes less: the port is gone.
          // The command goes out again once it is back.
          lose("Linear: write failed");
          linearProcessStatus = works->lastCmdId.load();
          linearLinkState = LS_SEND;
          break;
        }
        link.sentAtMs = MonotonicMs();
        break;
      case LA_READ: {
        long long now = MonotonicMs();
        long long wait = LinearDeadline(&link) - now;
        if (wait <= 0) {
          counterrortimeout = static_cast<int>(now - link.sentAtMs);
          LinearTimeout(works, &link);
          break;
        }
        bool ready = waitForPort(works, fd, wakeFd, static_cast<int>(wait));
        counterrortimeout = static_cast<int>(MonotonicMs() - link.sentAtMs);
        if (!ready) break;  // time-out (seen above next turn), a signal or a request
        int room = static_cast<int>(sizeof link.in) - link.inLen;
        ssize_t n = read(fd, link.in + link.inLen, static_cast<size_t>(room));
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) break;
        if (n <= 0) {
          LinearReadFailed(works, &link, static_cast<long>(n));
          // A port that keeps failing its reads is gone as surely as one
          // that fails a write: open it again later instead of spinning.
          if (++readFailures >= kReadFailuresToReopen) {
            lose("Linear: read failed");
            readFailures = 0;
          }
          break;
        }
        readFailures = 0;
        link.inLen += static_cast<int>(n);
        LinearReceived(works, &link);
        break;
      }
      case LA_PAUSE: pauseFor(works, wakeFd, pause); break;
      case LA_HALTED: pauseFor(works, wakeFd, 1000); break;
    }
  }
  if (fd >= 0) close(fd);
  works->linFD = -1;
  // Requests still waiting are applied here; from now on posters apply their own.
  CloseLinkRequests(works);
  return nullptr;
}
