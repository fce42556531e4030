// The USB spectrum reader: streams the transceiver's I/Q samples with four
// bulk transfers in flight and turns every divide-th block into a spectrum
// for the remote peer.
#include <libusb-1.0/libusb.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/setup.h"
#include "errors/errors.h"
#include "links/links.h"
#include "platform/log.h"
#include "platform/platform.h"
#include "remote/remote.h"

// Build-time settings: the receiver family's vendor id, the accepted
// product and the two products of the family that are refused.
#ifndef OMBRIX_USB_VENDOR
#define OMBRIX_USB_VENDOR 0x16c0
#endif
#ifndef OMBRIX_USB_PRODUCT
#define OMBRIX_USB_PRODUCT 0x05dc
#endif
#ifndef OMBRIX_USB_REFUSED_A
#define OMBRIX_USB_REFUSED_A 0x05dd
#endif
#ifndef OMBRIX_USB_REFUSED_B
#define OMBRIX_USB_REFUSED_B 0x05de
#endif

At<int> status_usb_open{0};
At<int> err_counter{0};
At<int> divide{1};
float globalOffset = 0, lpOffset = 0, attOffset = 0, recalc = 1;

void RestartSpectrumCountdown() {
  int expected = divide.load();
  while (expected <= 0 && !divide.compare_exchange_weak(expected, 1)) {
  }
}

namespace {

constexpr uint16_t NEB_USB_VID = OMBRIX_USB_VENDOR;
constexpr uint16_t NEB_USB_PID = OMBRIX_USB_PRODUCT;
constexpr uint16_t kRefusedA = OMBRIX_USB_REFUSED_A;
constexpr uint16_t kRefusedB = OMBRIX_USB_REFUSED_B;
constexpr const char *kModelName = "NEB receiver";
constexpr const char *kRefusedAName = "NEB receiver, model A";
constexpr const char *kRefusedBName = "NEB receiver, model B";

constexpr uint8_t kVendorIn = 0xC0;
constexpr unsigned char kEndpointIn = 0x86;
constexpr int kMaxErrors = 11;
// The device answers its vendor requests at once; a request that hangs is a
// device gone wrong, not one to wait for forever.
constexpr unsigned kControlTimeoutMs = 2000;

const UsbOps *gOps = nullptr;
libusb_context *usbCtx = nullptr;
libusb_device_handle *dev_handle = nullptr;
FftWork gFft;

// --- the real libusb ---
int realInit(libusb_context **ctx) {
  return libusb_init(ctx);
}
void realExit(libusb_context *ctx) {
  libusb_exit(ctx);
}
void realSetDebug(libusb_context *ctx, int level) {
  libusb_set_option(ctx, LIBUSB_OPTION_LOG_LEVEL, level);
}
long realGetDeviceList(libusb_context *ctx, libusb_device ***list) {
  return static_cast<long>(libusb_get_device_list(ctx, list));
}
void realFreeDeviceList(libusb_device **list, int unref) {
  if (list != nullptr) libusb_free_device_list(list, unref);
}
int realGetDeviceDescriptor(libusb_device *dev, libusb_device_descriptor *desc) {
  return libusb_get_device_descriptor(dev, desc);
}
int realOpen(libusb_device *dev, libusb_device_handle **h) {
  return libusb_open(dev, h);
}
void realClose(libusb_device_handle *h) {
  libusb_close(h);
}
int realKernelDriverActive(libusb_device_handle *h, int i) {
  return libusb_kernel_driver_active(h, i);
}
int realDetachKernelDriver(libusb_device_handle *h, int i) {
  return libusb_detach_kernel_driver(h, i);
}
int realClaimInterface(libusb_device_handle *h, int i) {
  return libusb_claim_interface(h, i);
}
int realReleaseInterface(libusb_device_handle *h, int i) {
  return libusb_release_interface(h, i);
}
int realControlTransfer(libusb_device_handle *h, uint8_t type, uint8_t req, uint16_t value,
                        uint16_t index, unsigned char *data, uint16_t len, unsigned timeout) {
  return libusb_control_transfer(h, type, req, value, index, data, len, timeout);
}
libusb_transfer *realAllocTransfer(int iso) {
  return libusb_alloc_transfer(iso);
}
void realFreeTransfer(libusb_transfer *t) {
  libusb_free_transfer(t);
}
int realSubmitTransfer(libusb_transfer *t) {
  return libusb_submit_transfer(t);
}
int realCancelTransfer(libusb_transfer *t) {
  return libusb_cancel_transfer(t);
}
int realHandleEvents(libusb_context *ctx, int timeoutMs) {
  struct timeval tv = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
}

const UsbOps kRealOps = {realInit,
                         realExit,
                         realSetDebug,
                         realGetDeviceList,
                         realFreeDeviceList,
                         realGetDeviceDescriptor,
                         realOpen,
                         realClose,
                         realKernelDriverActive,
                         realDetachKernelDriver,
                         realClaimInterface,
                         realReleaseInterface,
                         realControlTransfer,
                         realAllocTransfer,
                         realFreeTransfer,
                         realSubmitTransfer,
                         realCancelTransfer,
                         realHandleEvents};

// Under OMBRIX_ROOT the PC's own USB devices are none of this program's
// business: the bus looks empty.
int rootInit(libusb_context **ctx) {
  *ctx = nullptr;
  return 0;
}
void rootExit(libusb_context *) {}
void rootSetDebug(libusb_context *, int) {}
long rootGetDeviceList(libusb_context *, libusb_device ***list) {
  *list = nullptr;
  return 0;
}
const UsbOps kRootOps = [] {
  UsbOps o = kRealOps;
  o.init = rootInit;
  o.exit = rootExit;
  o.setDebug = rootSetDebug;
  o.getDeviceList = rootGetDeviceList;
  return o;
}();

const UsbOps &ops() {
  return CurrentUsbOps();
}

// One vendor request into a cleared 1024-byte buffer.
int vendorRequest(uint8_t request, uint16_t value, uint16_t index, unsigned char *buf,
                  uint16_t length) {
  memset(buf, 0, 1024);
  return ops().controlTransfer(dev_handle, kVendorIn, request, value, index, buf, length,
                               kControlTimeoutMs);
}

// The device's 4-byte little-endian float.
float leFloat(const unsigned char *b) {
  uint32_t u = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
               static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
  float f;
  memcpy(&f, &u, sizeof f);
  return f;
}

bool readOffset(uint16_t value, const char *name, float *out) {
  unsigned char buf[1024];
  int r = vendorRequest(0xA2, value, 0x0151, buf, 4);
  if (r != 4) {
    LogErr("%s failed (%d)\n", name, r);
    return false;
  }
  *out = leFloat(buf);
  LogInfo("%s: %f\n", name, static_cast<double>(*out));
  return true;
}

std::string printableSerial(const unsigned char *b, int n) {
  std::string s;
  for (int i = 0; i < n && b[i] != 0; ++i) s += (b[i] >= 0x20 && b[i] < 0x7F) ? char(b[i]) : '.';
  return s;
}

// Finds, opens and claims the receiver; reads its versions and serial.
bool openReceiver() {
  int rc = ops().init(&usbCtx);
  if (rc < 0) {
    LogErr("Init Error %d\n", rc);
    usbCtx = nullptr;
    return false;
  }
  ops().setDebug(usbCtx, 3);
  libusb_device **list = nullptr;
  long n = ops().getDeviceList(usbCtx, &list);
  if (n < 0) {
    LogErr("Get Device Error\n");
    return false;
  }
  bool ok = false, matched = false;
  for (long i = 0; i < n; ++i) {
    libusb_device_descriptor desc;
    int r = ops().getDeviceDescriptor(list[i], &desc);
    if (r < 0) {
      LogErr("Get Device Descriptor %d %d\n", r, static_cast<int>(i));
      break;
    }
    LogInfo("%d vid %04x pid %04x %d\n", static_cast<int>(i), desc.idVendor, desc.idProduct,
            desc.bNumConfigurations);
    if (desc.idVendor != NEB_USB_VID) continue;
    matched = true;
    if (ops().open(list[i], &dev_handle) != 0) {
      dev_handle = nullptr;
      LogErr("Cannot open KTL Device\n");
      break;
    }
    LogInfo("KTL Device Opened\n");
    status_usb_open = 1;
    if (ops().kernelDriverActive(dev_handle, 0) == 1) {
      LogInfo("Kernel Driver Active\n");
      if (ops().detachKernelDriver(dev_handle, 0) == 0) LogInfo("Kernel Driver Detached\n");
    }
    if (ops().claimInterface(dev_handle, 0) < 0) {
      LogErr("Cannot claim Interface\n");
      break;
    }
    LogInfo("Interface claimed\n");
    unsigned char buf[1024];
    r = vendorRequest(0xFF, 0, 0, buf, 2);
    if (r > 0)
      LogInfo("USB Driver Version: %d.%d\n", buf[0], buf[1]);
    else
      LogInfo("USB Driver Version read failed\n");
    r = vendorRequest(0xA2, 0x404C, 0x0151, buf, 2);
    if (r == 2)
      LogInfo("HW Version: %d.%d\n", buf[0], buf[1]);
    else
      LogInfo("HW Version read failed\n");
    unsigned char serial[1024];
    r = vendorRequest(0xA2, 0x4000, 0x0151, serial, 32);
    if (r != 32) {
      LogErr("Serial read failed (%d)\n", r);
      break;
    }
    if (desc.idProduct == NEB_USB_PID) {
      LogInfo("%s\n", kModelName);
    } else if (desc.idProduct == kRefusedA) {
      LogErr("%s\n", kRefusedAName);
      break;
    } else if (desc.idProduct == kRefusedB) {
      LogErr("%s\n", kRefusedBName);
      break;
    } else {
      // The vendor id alone is shared with other hardware: never stream
      // from a product we do not know.
      LogErr("Unknown product %04x\n", desc.idProduct);
      break;
    }
    LogInfo("Serial: %-s\n", printableSerial(serial, 32).c_str());
    LogInfo("Device caught\n");
    ok = true;
    break;
  }
  ops().freeDeviceList(list, 1);
  if (ok) LogInfo("libusb devices list freed\n");
  if (!matched) LogErr("Cannot find KTL Device\n");
  return ok;
}

// Offsets, then the FIFO and the stream; only the offsets are required.
bool startStream() {
  if (!readOffset(0x4028, "Global Offset", &globalOffset)) return false;
  if (!readOffset(0x402C, "LP Offset", &lpOffset)) return false;
  if (!readOffset(0x4030, "ATT Offset", &attOffset)) return false;
  unsigned char buf[1024];
  int r = vendorRequest(0xE1, 0, 0xE900, buf, 1);
  if (r == 1)
    LogInfo("Stop FIFO\n");
  else
    LogInfo("Stop FIFO failed (%d)\n", r);
  r = vendorRequest(0xE1, 0, 0xE800, buf, 1);
  if (r == 1)
    LogInfo("Init FIFO\n");
  else
    LogInfo("Init FIFO failed (%d)\n", r);
  r = vendorRequest(0xE1, 1, 0xE900, buf, 1);
  if (r != 1 || buf[0] != 0xE9) LogInfo("Enable SYN failed (%d %02X)\n", r, buf[0]);
  LogInfo("SYN Enabled\n");
  return true;
}

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

const UsbOps &LibUsbOps() {
  return RootDir().empty() ? kRealOps : kRootOps;
}
void SetUsbOps(const UsbOps *o) {
  gOps = o;
}
const UsbOps &CurrentUsbOps() {
  return gOps != nullptr ? *gOps : LibUsbOps();
}
uint16_t NebUsbVendor() {
  return NEB_USB_VID;
}
uint16_t NebUsbProduct() {
  return NEB_USB_PID;
}

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

bool FftAllocate(FftWork *w) {
  struct {
    void **p;
    size_t bytes;
    const char *msg;
  } const bufs[] = {
      {reinterpret_cast<void **>(&w->fftr), kFftMaxPoints * sizeof(double),
       "error allocating fftr buffer"},
      {reinterpret_cast<void **>(&w->ffti), kFftMaxPoints * sizeof(double),
       "error allocating ffti buffer"},
      {reinterpret_cast<void **>(&w->fftout), kFftMaxPoints, "error allocating fftout buffer"},
      {reinterpret_cast<void **>(&w->fftoutdec), kFftMaxPoints,
       "error allocating fftoutdec buffer"},
      {reinterpret_cast<void **>(&w->co), kFftMaxPoints / 2 * sizeof(double),
       "error allocating co buffer"},
      {reinterpret_cast<void **>(&w->si), kFftMaxPoints / 2 * sizeof(double),
       "error allocating si buffer"},
      {reinterpret_cast<void **>(&w->coeff), kFftMaxPoints * sizeof(double),
       "error allocating coeff buffer"},
  };
  for (const auto &b : bufs) {
    if (*b.p != nullptr) continue;
    *b.p = calloc(1, b.bytes);
    if (*b.p == nullptr) {
      LogErr("%s", b.msg);
      return false;
    }
  }
  return true;
}

void FftFree(FftWork *w) {
  free(w->fftr);
  free(w->ffti);
  free(w->co);
  free(w->si);
  free(w->coeff);
  free(w->fftout);
  free(w->fftoutdec);
  *w = FftWork();
}

void FftTables(FftWork *w, int m) {
  if (w->tablesFor == m) return;
  // 4-term Blackman-Harris window.
  w->coeff[0] = 0;
  for (int i = 1; i < m; ++i) {
    double x = M_PI * i / (m - 1);
    w->coeff[i] = 0.35875 - 0.48829 * cos(2 * x) + 0.14128 * cos(4 * x) - 0.01168 * cos(6 * x);
  }
  // Twiddles by rotation: co[k] = cos(2 pi k / m), si[k] = -sin(2 pi k / m).
  const double c = cos(M_PI / (m / 2)), s = -sin(M_PI / (m / 2));
  w->co[0] = 1;
  w->si[0] = 0;
  for (int k = 1; k < m / 2; ++k) {
    w->co[k] = w->co[k - 1] * c - w->si[k - 1] * s;
    w->si[k] = w->co[k - 1] * s + w->si[k - 1] * c;
  }
  w->tablesFor = m;
}

void FftWindow(FftWork *w, const float *samples, int m) {
  for (int i = 0; i < m; ++i) {
    w->fftr[i] = samples[2 * i] * w->coeff[i];
    w->ffti[i] = samples[2 * i + 1] * w->coeff[i];
  }
}

void FftTransform(FftWork *w, int m) {
  double *xr = w->fftr, *xi = w->ffti;
  int bits = 0;
  while ((1 << bits) < m) ++bits;
  int span = m / 2, groups = 1;
  for (int stage = 0; stage < bits; ++stage) {
    for (int g = 0; g < groups; ++g) {
      int base = g * 2 * span;
      int t = 0;
      for (int j = 0; j < span; ++j, t += groups) {
        int p = base + j, q = p + span;
        double ar = xr[p], ai = xi[p], br = xr[q], bi = xi[q];
        xr[p] = ar + br;
        xi[p] = ai + bi;
        double dr = ar - br, di = ai - bi;
        xr[q] = dr * w->co[t] - di * w->si[t];
        xi[q] = dr * w->si[t] + di * w->co[t];
      }
    }
    span /= 2;
    groups *= 2;
  }
  for (int i = 0; i < m; ++i) {
    int r = 0;
    for (int b = 0; b < bits; ++b) r |= ((i >> b) & 1) << (bits - 1 - b);
    if (i < r) {
      double tr = xr[i], ti = xi[i];
      xr[i] = xr[r];
      xi[i] = xi[r];
      xr[r] = tr;
      xi[r] = ti;
    }
  }
}

void FftLevels(FftWork *w, int m) {
  const int half = m / 2;
  for (int i = 0; i < m; ++i) {
    double re = w->fftr[i] / half, im = w->ffti[i] / half;
    double mag = sqrt(re * re + im * im);
    // log10(0) is -inf and NaN compares false: both end at the bottom.
    double db = mag > 0 ? 20 * log10(mag) : -192;
    if (!(db >= -192)) db = -192;
    if (db > 50) db = 50;
    int level = static_cast<int>(db);
    int pos = i < half ? i + half : i - half;
    w->fftout[pos] = static_cast<uint8_t>(level + 192);
  }
}

int FftSpectrum(FftWork *w, const float *samples, int count, bool enable1600) {
  int m = enable1600 ? count / 2 : count / 4;
  if (m < 2 || m > kFftMaxPoints || (m & (m - 1)) != 0) return -1;
  const int first = enable1600 ? 341 : 170;
  const int n = enable1600 ? 1706 : 854;
  if (first + 2 * (n - 1) >= m) return -1;
  FftTables(w, m);
  FftWindow(w, samples, m);
  FftTransform(w, m);
  FftLevels(w, m);
  for (int k = 0; k < n; ++k) w->fftoutdec[k] = w->fftout[first + 2 * k];
  return n;
}

void fftCalc(const float *samples, int count, Works *works) {
  if (!FftAllocate(&gFft)) {
    SetSetupChar(works, SB_EnableFFT, '0');
    return;
  }
  int n = FftSpectrum(&gFft, samples, count, SetupChar(works, SB_Enable1600) == '1');
  if (n > 0 && works->remoteConnected.load()) sendWebSockSerSpectrFrame(works, gFft.fftoutdec, n);
}

void ExitNebread(Works *works) {
  AddErrore(works, ERR_REMOTE_USB);
  SetSetupChar(works, SB_EnableFFT, '0');
  works->catClosed = 1;
  if (dev_handle != nullptr) {
    ops().releaseInterface(dev_handle, 0);
    ops().close(dev_handle);
    dev_handle = nullptr;
  }
  status_usb_open = 0;
  if (usbCtx != nullptr) {
    ops().exit(usbCtx);
    usbCtx = nullptr;
  }
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
