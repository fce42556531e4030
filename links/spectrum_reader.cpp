// The USB spectrum reader: streams the transceiver's I/Q samples with four
// bulk transfers in flight and turns every divide-th block into a spectrum
// for the remote peer.
#include <libusb-1.0/libusb.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "core/setup.h"
#include "links/links.h"
#include "links/usb_spectrum_device.h"
#include "platform/log.h"
#include "platform/platform.h"

At<int> err_counter{0};
At<int> divide{1};
float recalc = 1;

void RestartSpectrumCountdown() {
  int expected = divide.load();
  while (expected <= 0 && !divide.compare_exchange_weak(expected, 1)) {
  }
}

namespace {

constexpr unsigned char kEndpointIn = 0x86;
constexpr int kMaxErrors = 11;

struct Stream {
  NebTransferData data[kUsbTransfers];
  unsigned char *bytes[kUsbTransfers] = {};
  float *samples[kUsbTransfers] = {};
  At<int> stop{0};
  At<int> inFlight{0};
};

// Cancels what is still in flight and waits (bounded) for the callbacks, so
// nothing completes into freed memory.
void stopStream(Stream &s) {
  s.stop = 1;
  for (auto &d : s.data)
    if (d.transfer != nullptr) ops().cancelTransfer(d.transfer);
  long long end = MonotonicMs() + 3000;
  while (s.inFlight.load() > 0 && MonotonicMs() < end) ops().handleEvents(usbCtx, 100);
  for (int i = 0; i < kUsbTransfers; ++i) {
    // A transfer still pending after the wait is leaked rather than freed under libusb.
    if (s.data[i].transfer != nullptr && s.inFlight.load() == 0)
      ops().freeTransfer(s.data[i].transfer);
    s.data[i].transfer = nullptr;
    if (s.inFlight.load() == 0) {
      free(s.bytes[i]);
      free(s.samples[i]);
    }
  }
}

}  // namespace

void cb_in(libusb_transfer *transfer) {
  auto *d = static_cast<NebTransferData *>(transfer->user_data);
  Works *works = d->works;
  if (d->inFlight != nullptr) --*d->inFlight;
  switch (transfer->status) {
    case LIBUSB_TRANSFER_COMPLETED: {
      err_counter = 0;
      if (SetupChar(works, SB_EnableFFTCopy) == '0') break;
      int lp = 0;
      if (works->nebParam != nullptr && works->serMut != nullptr) {
        std::lock_guard<std::mutex> lock(*works->serMut);
        lp = works->nebParam->lp;
      }
      recalc =
          static_cast<float>(pow(10.0, (21.4 - globalOffset + (lp >= 1 ? lpOffset : 0)) / 20.0));
      // Full scale 2^31 maps to +-recalc.
      const double scale = static_cast<double>(recalc) / 2 / 1024 / 1024 / 1024;
      int n = transfer->actual_length / 4;
      if (n > d->count) n = d->count;
      if (n < 0) n = 0;
      const unsigned char *b = transfer->buffer;
      for (int i = 0; i < n; ++i) {
        uint32_t u = static_cast<uint32_t>(b[4 * i]) | static_cast<uint32_t>(b[4 * i + 1]) << 8 |
                     static_cast<uint32_t>(b[4 * i + 2]) << 16 |
                     static_cast<uint32_t>(b[4 * i + 3]) << 24;
        d->samples[i] = static_cast<float>(static_cast<int32_t>(u) * scale);
      }
      // Once the countdown reaches 0 it restarts from works->divide; a divide
      // of 0 or less leaves it there, and no more spectra go out.
      if (divide.load() > 0 && --divide == 0) {
        divide = d->divide != nullptr ? d->divide->load() : 0;
        if (works->remoteConnected.load())
          (d->spectrum != nullptr ? d->spectrum : fftCalc)(d->samples, d->count, works);
      }
      break;
    }
    case LIBUSB_TRANSFER_ERROR:
      LogInfo("CB result: Error %d\n", d->index);
      ++err_counter;
      break;
    case LIBUSB_TRANSFER_TIMED_OUT:
      LogInfo("CB result: Timedout %d\n", d->index);
      ++err_counter;
      break;
    case LIBUSB_TRANSFER_CANCELLED:
      LogInfo("CB result: Cancelled %d\n", d->index);
      ++err_counter;
      break;
    case LIBUSB_TRANSFER_STALL:
      LogInfo("CB result: Stalled %d\n", d->index);
      ++err_counter;
      break;
    case LIBUSB_TRANSFER_NO_DEVICE:
      LogInfo("CB result: Nodevice %d\n", d->index);
      ++err_counter;
      break;
    case LIBUSB_TRANSFER_OVERFLOW:
      LogInfo("CB result: Overflowed %d\n", d->index);
      ++err_counter;
      break;
  }
  if (d->stop != nullptr && d->stop->load()) return;
  if (err_counter.load() >= kMaxErrors) {
    LogErr("libusb_err_counter (%d), %s:%d\n", err_counter.load(), __FILE_NAME__, __LINE__);
    return;
  }
  int r = ops().submitTransfer(transfer);
  if (r < 0) {
    LogErr("libusb_submit_transfer failed (%d)  %s:%d\n", r, __FILE_NAME__, __LINE__);
    // The reader ends from its own loop, which cancels the other transfers
    // before the device is closed.
    if (d->stop != nullptr) *d->stop = 1;
    SetSetupChar(works, SB_EnableFFT, '0');
    return;
  }
  if (d->inFlight != nullptr) ++*d->inFlight;
}

void *NEBRead(void *arg) {
  Works *works = static_cast<Works *>(arg);
  LogInfo("Operations init kivo-comms version 1.0\n");
  status_usb_open = 0;
  err_counter = 0;
  divide = 1;
  if (!openReceiver() || !startStream()) {
    ExitNebread(works);
    return nullptr;
  }

  Stream s;
  bool ok = true;
  for (int i = 0; i < kUsbTransfers && ok; ++i) {
    s.bytes[i] = static_cast<unsigned char *>(calloc(1, kUsbTransferBytes));
    s.samples[i] = static_cast<float *>(calloc(kUsbSamples, sizeof(float)));
    libusb_transfer *t = ops().allocTransfer(0);
    if (t == nullptr || s.bytes[i] == nullptr || s.samples[i] == nullptr) {
      LogErr("libusb_alloc_transfer failed\n");
      if (t != nullptr) ops().freeTransfer(t);
      ok = false;
      break;
    }
    NebTransferData &d = s.data[i];
    d.index = i;
    d.transfer = t;
    d.samples = s.samples[i];
    d.works = works;
    d.count = kUsbSamples;
    d.divide = &works->divide;
    d.stop = &s.stop;
    d.inFlight = &s.inFlight;
    d.spectrum = fftCalc;
    libusb_fill_bulk_transfer(t, dev_handle, kEndpointIn, s.bytes[i], kUsbTransferBytes, cb_in, &d,
                              2000);
  }
  if (ok) LogInfo("libusb_alloc_transfer succedeed\n");
  for (int i = 0; i < kUsbTransfers && ok; ++i) {
    int r = ops().submitTransfer(s.data[i].transfer);
    if (r < 0) {
      LogErr("libusb_submit_transfer failed (%d)\n", r);
      ok = false;
      break;
    }
    ++s.inFlight;
  }
  int r = 0;
  if (ok) {
    LogInfo("libusb_submit_transfer succedeed\n");
    LogInfo("SYN transfer starting\n");
    while (works->running.load() && SetupChar(works, SB_EnableFFT) == '1' &&
           err_counter.load() < kMaxErrors && !s.stop.load() && s.inFlight.load() > 0) {
      r = ops().handleEvents(usbCtx, 100);
      if (r != 0) printf("%d\n", r);
    }
    LogInfo("libusb_handle events completed (%d)\n", r);
    LogInfo("%s Operations end\n", "NEBRead");
  }
  stopStream(s);
  ExitNebread(works);
  return nullptr;
}
