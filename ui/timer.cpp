// The refresh loop: one pass about every 60 ms. Besides drawing (the screen
// hooks of ui.h) each pass takes the operating frequency from the source of
// the mode of work, re-selects filter, thresholds and band on every change,
// runs the amplifier's side of the NEB tune-carrier handshake and counts the
// time-outs down. It runs the same with or without a display.
#include <chrono>
#include <cmath>
#include <exception>
#include <thread>

#include "config/config.h"
#include "controller/link.h"
#include "controller/temperature.h"
#include "core/command_queue.h"
#include "core/link_requests.h"
#include "errors/errors.h"
#include "links/links.h"
#include "platform/log.h"
#include "remote/remote.h"
#include "tuner/tuner.h"
#include "ui/ui.h"

namespace {

bool transmitting(Works *works) {
  return (works->stErr[1] & 1) != 0;
}

void clearBits(At<uint8_t> &field, uint8_t bits) {
  field.fetch_and(static_cast<uint8_t>(~bits));
}

// Asks the link, the one writer of the controller's and the tuner's fields.
void askLink(Works *works, int kind, int a = 0) {
  LinkRequest r;
  r.kind = kind;
  r.a = a;
  PostLinkRequest(works, r);
}

void handshake(Works *works, bool tx, TimerHandshake *hs) {
  uint8_t m = works->autoTuneMode;
  if (tx && !(m & (kAutoTuneLoopStarted | kAutoTuneKeyStarted))) {
    if (works->tuneCarrierFlags == 0 && works->tuneCarrierHold == 0) {
      askLink(works, LR_TUNE_START);
      works->autoTuneMode.fetch_or(kAutoTuneLoopStarted);
      hs->count = hs->mark = 0;
    } else if (works->tuneCarrierHold > 0) {
      works->tuneCarrierHold = works->tuneCarrierHold - 1;
    }
    return;
  }
  if (m & kAutoTuneRxSent) {
    // The transceiver was sent back to receive: clear the marks about ten
    // passes later.
    if (hs->count > hs->mark + 10) {
      clearBits(works->autoTuneMode, kAutoTuneLoopStarted | kAutoTuneKeyStarted | kAutoTuneRxSent);
      if (!tx) hs->count = hs->mark = 0;
    } else {
      if (hs->mark == 0) hs->mark = hs->count;
      ++hs->count;
    }
    return;
  }
  if (!(m & kAutoTuneKeyStarted)) return;
  if (!tx && !(m & kAutoTuneCarrierSent)) {
    if (PendingCmdLinear(works) == 0) {
      works->autoTuneMode.fetch_or(kAutoTuneCarrierWanted);
      hs->count = hs->mark = 0;
    }
  } else if (!tx) {
    // Carrier asked for but the transceiver does not transmit.
    if (hs->count > 30) {
      askLink(works, LR_TUNE_ABORT);
      AddErrore(works, ERR_TUNE_NEB_ABORT);
      clearBits(works->autoTuneMode, kAutoTuneKeyStarted | kAutoTuneCarrierSent);
    } else {
      ++hs->count;
    }
  } else if (!(m & kAutoTuneCarrierSent)) {
    hs->count = hs->mark = 0;
  }
}

void pass(Works *works, TimerHandshake *hs, NebParam *param) {
  auto start = std::chrono::steady_clock::now();
  TimerDrawBackground(works);
  TimerControlDeviceError(works);
  TimerScreenSaver(works);
  getParameters(param, works);
  TimerControlFrequency(works, param);
  TimerControlNeb(works, param, hs);
  if (!works->screenSaverOn) TimerDrawScreen(works, param);
  if (works->remoteConnected) {
    char status[64];
    CreaBufferDiStato(works, status);
    sendWebSockStatusFrame(works, status, 44);
  }
  TimerPresent(works);
  int us = works->refreshUs;
  if (us < 1000 || us > 1000000) us = 60000;
  std::this_thread::sleep_for(std::chrono::microseconds(us));
  double elapsedMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  TimerControlCounters(works, elapsedMs);
  TimerPeakFall(works, elapsedMs);
}

}  // namespace

void TimerControlDeviceError(Works *works) {
  int e = works->deviceError;
  if (e > 0) {
    TimerDrawDeviceError(works);
    works->screenState = SS_DEVICE_ERROR;
  } else if (e == -1) {
    works->screenState = SS_MAIN;
    SetWorkImg(works);
    works->deviceError = 0;
  }
}

void TimerControlFrequency(Works *works, const NebParam *param) {
  switch (works->modeWorkIdx) {
    case 1:
      if (!transmitting(works)) works->frequency = param->freq;
      break;
    case 2:
      if (works->anSel > 0) askLink(works, LR_AN_INPUT, 0);
      works->frequency = works->catFrequency.load();
      break;
    case 3:
      if (works->anSel > 0) askLink(works, LR_AN_INPUT, 0);
      works->frequency = works->rigFrequency.load();
      break;
    case 0:
      works->frequency = works->freqMeasured.load();
      if (works->anSel > 0) askLink(works, LR_AN_INPUT, 0);
      break;
    default: break;
  }
  if (works->frequency == works->lastFrequency && works->bandIdx != -1) return;
  if (works->modeWorkIdx != 0) IncPNTIn_CMDLinear(LP_FA, works);
  SetFilterFromfreq(works);
  askLink(works, LR_THRESHOLDS);
  GestioneAntennaAutomatica(works);
  works->lastFrequency = works->frequency.load();
  askLink(works, LR_TUNE_FINE, 0);
}

void TimerControlNeb(Works *works, const NebParam *param, TimerHandshake *hs) {
  if (works->modeWorkIdx != 1) return;
  if (!transmitting(works)) {
    works->txDetected = param->modeBits6 == 1 ? 1 : 0;
    if (param->sqBit5 != works->anSel && works->autoTuneState != 1 && works->txDetected == 0 &&
        !(works->tuneCarrierFlags & (kCarrierAntennaAsked | kCarrierAntennaSet))) {
      askLink(works, LR_AN_INPUT, param->sqBit5);
    }
  }
  if (works->autoTuneMode & kAutoTuneOn) handshake(works, param->modeBits6 == 1, hs);
}

void TimerControlCounters(Works *works, double elapsedMs) {
  if (!(elapsedMs >= 0)) elapsedMs = 0;
  int e = static_cast<int>(std::lround(elapsedMs));
  int t = works->extIoTimeout;
  if (t > 0) works->extIoTimeout = t > e ? t - e : 0;
  if (works->enableLogTemp == 1 && works->logRemoved == 1) {
    double acc = works->logTempElapsed + elapsedMs;
    if (acc >= 5000.0) {
      LogTempFunction(works, 0);
      acc = 0;
    }
    works->logTempElapsed = acc;
  }
}

void *timer(void *arg) {
  Works *works = static_cast<Works *>(arg);
  try {
    works->needlePeakFwd = 0;
    works->needlePeakRight = 0;
    LogInfo("Timer thread started");
    TimerDrawStart(works);
    TimerHandshake hs;
    NebParam param = {};
    while (works->running) pass(works, &hs, &param);
  } catch (const std::exception &e) {
    LogErr("timer: %s", e.what());
  } catch (...) {
    LogErr("timer: unexpected failure");
  }
  LogInfo("Timer operations end");
  return nullptr;
}
