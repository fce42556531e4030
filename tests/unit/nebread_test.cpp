// The USB spectrum reader against a stand-in for libusb: the set-up
// requests in their order, the refused products, the transfers cycling and
// ending, cb_in's scaling and countdown; and fftCalc against numpy.
#include <gtest/gtest.h>
#include <libusb-1.0/libusb.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "errors/errors.h"
#include "links_rig.h"
#include "remote/audio.h"
#include "remote/remote.h"
#include "support/pty.h"
#include "support/temp_root.h"

namespace {

// ---- the stand-in bus: one unrelated device, then the receiver ----

libusb_device *const kOther = reinterpret_cast<libusb_device *>(0x1000);
libusb_device *const kReceiver = reinterpret_cast<libusb_device *>(0x2000);
libusb_device_handle *const kHandle = reinterpret_cast<libusb_device_handle *>(0x3000);

struct Request {
  uint8_t request;
  uint16_t value, index, length;
  bool operator==(const Request &o) const {
    return std::tie(request, value, index, length) ==
           std::tie(o.request, o.value, o.index, o.length);
  }
};

struct FakeBus {
  uint16_t product = 0;
  int serialAnswer = 32;
  std::vector<Request> requests;
  std::deque<libusb_transfer *> pending;
  std::vector<libusb_transfer *> cancelled;
  int submits = 0, completions = 0, frees = 0, closes = 0, releases = 0, exits = 0;
  int stopAfter = 0;     // completions after which the user clears EnableFFT
  int failSubmitAt = 0;  // 1-based submit that fails
  libusb_transfer_status status = LIBUSB_TRANSFER_COMPLETED;
  Works *works = nullptr;
} bus;

void putFloat(unsigned char *b, float f) {
  uint32_t u;
  memcpy(&u, &f, 4);
  for (int i = 0; i < 4; ++i) b[i] = static_cast<unsigned char>(u >> (8 * i));
}

const UsbOps kFake = {
    [](libusb_context **ctx) {
      *ctx = reinterpret_cast<libusb_context *>(0x4000);
      return 0;
    },
    [](libusb_context *) { ++bus.exits; },
    [](libusb_context *, int) {},
    [](libusb_context *, libusb_device ***list) {
      static libusb_device *devices[3] = {kOther, kReceiver, nullptr};
      *list = devices;
      return 2L;
    },
    [](libusb_device **, int) {},
    [](libusb_device *dev, libusb_device_descriptor *desc) {
      memset(desc, 0, sizeof *desc);
      desc->idVendor = dev == kReceiver ? NebUsbVendor() : 0x1234;
      desc->idProduct = dev == kReceiver ? bus.product : 0x0001;
      return 0;
    },
    [](libusb_device *, libusb_device_handle **h) {
      *h = kHandle;
      return 0;
    },
    [](libusb_device_handle *) { ++bus.closes; },
    [](libusb_device_handle *, int) { return 0; },
    [](libusb_device_handle *, int) { return 0; },
    [](libusb_device_handle *, int) { return 0; },
    [](libusb_device_handle *, int) {
      ++bus.releases;
      return 0;
    },
    [](libusb_device_handle *, uint8_t type, uint8_t req, uint16_t value, uint16_t index,
       unsigned char *data, uint16_t len, unsigned) -> int {
      EXPECT_EQ(type, 0xC0);
      bus.requests.push_back({req, value, index, len});
      if (req == 0xFF) return data[0] = 1, data[1] = 2, 2;
      if (req == 0xE1) return data[0] = 0xE9, 1;
      switch (value) {
        case 0x404C: return data[0] = 3, data[1] = 4, 2;
        case 0x4000: return memcpy(data, "SN0042", 6), bus.serialAnswer;
        case 0x4028: return putFloat(data, 21.4f), 4;
        case 0x402C: return putFloat(data, 6.0f), 4;
        case 0x4030: return putFloat(data, 10.0f), 4;
      }
      return -1;
    },
    [](int iso) { return libusb_alloc_transfer(iso); },
    [](libusb_transfer *t) {
      ++bus.frees;
      libusb_free_transfer(t);
    },
    [](libusb_transfer *t) {
      if (++bus.submits == bus.failSubmitAt) return static_cast<int>(LIBUSB_ERROR_IO);
      bus.pending.push_back(t);
      return 0;
    },
    [](libusb_transfer *t) {
      bus.cancelled.push_back(t);
      return 0;
    },
    // Completes every pending transfer: cancelled ones as cancelled, the
    // rest with a full buffer of a slow ramp.
    [](libusb_context *, int) {
      std::deque<libusb_transfer *> now;
      now.swap(bus.pending);
      for (libusb_transfer *t : now) {
        bool wasCancelled =
            std::find(bus.cancelled.begin(), bus.cancelled.end(), t) != bus.cancelled.end();
        t->status = wasCancelled ? LIBUSB_TRANSFER_CANCELLED : bus.status;
        t->actual_length = t->length;
        for (int i = 0; i < t->length / 4; ++i) {
          int32_t v = (i % 2 ? 1 : -1) * (i << 16);
          memcpy(t->buffer + 4 * i, &v, 4);
        }
        t->callback(t);
        if (!wasCancelled && ++bus.completions == bus.stopAfter)
          SetSetupChar(bus.works, SB_EnableFFT, '0');
      }
      return 0;
    },
};

struct UsbRig {
  LinksRig rig;
  UsbRig() {
    bus = FakeBus();
    bus.product = NebUsbProduct();
    bus.works = rig.w();
    SetUsbOps(&kFake);
    SetSetupChar(rig.w(), SB_EnableFFT, '1');
    SetSetupChar(rig.w(), SB_EnableFFTCopy, '1');
    SetSetupChar(rig.w(), SB_Enable1600, '0');
  }
  ~UsbRig() { SetUsbOps(nullptr); }
};

TEST(NebRead, SetUpSequenceStreamingAndTheEnd) {
  UsbRig u;
  u.rig.works->remoteConnected = 1;
  u.rig.works->divide = 2;
  bus.stopAfter = 10;
  NEBRead(u.rig.w());

  const std::vector<Request> expected = {
      {0xFF, 0, 0, 2},           {0xA2, 0x404C, 0x0151, 2}, {0xA2, 0x4000, 0x0151, 32},
      {0xA2, 0x4028, 0x0151, 4}, {0xA2, 0x402C, 0x0151, 4}, {0xA2, 0x4030, 0x0151, 4},
      {0xE1, 0, 0xE900, 1},      {0xE1, 0, 0xE800, 1},      {0xE1, 1, 0xE900, 1},
  };
  EXPECT_EQ(bus.requests, expected);
  EXPECT_FLOAT_EQ(globalOffset, 21.4f);
  EXPECT_FLOAT_EQ(lpOffset, 6.0f);
  EXPECT_FLOAT_EQ(attOffset, 10.0f);
  // Four in flight from the start, each resubmitted from its completion.
  EXPECT_GE(bus.completions, 10);
  EXPECT_EQ(bus.submits, bus.completions + 4);
  // The end: the four cancelled and freed, then the device closed and error 5.
  EXPECT_EQ(bus.cancelled.size(), 4u);
  EXPECT_EQ(bus.frees, 4);
  EXPECT_EQ(bus.releases, 1);
  EXPECT_EQ(bus.closes, 1);
  EXPECT_EQ(bus.exits, 1);
  EXPECT_EQ(ExistError(u.rig.w(), ERR_REMOTE_USB), 1);
  EXPECT_EQ(SetupChar(u.rig.w(), SB_EnableFFT), '0');
  EXPECT_EQ(u.rig.works->catClosed, 1);
  EXPECT_EQ(status_usb_open, 0);
}

TEST(NebRead, RefusedProductsAndFailedSetUpEndWithErrorFive) {
  for (uint16_t product :
       {static_cast<uint16_t>(NebUsbProduct() + 1), static_cast<uint16_t>(0x7777)}) {
    UsbRig u;
    bus.product = product;
    NEBRead(u.rig.w());
    EXPECT_EQ(bus.requests.size(), 3u) << "no offsets read from product " << product;
    EXPECT_EQ(bus.submits, 0);
    EXPECT_EQ(bus.closes, 1);
    EXPECT_EQ(ExistError(u.rig.w(), ERR_REMOTE_USB), 1);
    EXPECT_EQ(SetupChar(u.rig.w(), SB_EnableFFT), '0');
  }
  UsbRig u;
  bus.serialAnswer = 5;
  NEBRead(u.rig.w());
  EXPECT_EQ(bus.requests.size(), 3u);
  EXPECT_EQ(ExistError(u.rig.w(), ERR_REMOTE_USB), 1);

  // The third submission fails: the two in flight are cancelled, nothing leaks.
  UsbRig v;
  bus.failSubmitAt = 3;
  NEBRead(v.rig.w());
  EXPECT_TRUE(bus.pending.empty());  // the two in flight came back before the frees
  EXPECT_EQ(bus.frees, 4);
  EXPECT_EQ(ExistError(v.rig.w(), ERR_REMOTE_USB), 1);
}

TEST(NebRead, ElevenFailedTransfersEndTheLoop) {
  UsbRig u;
  bus.status = LIBUSB_TRANSFER_TIMED_OUT;
  NEBRead(u.rig.w());
  EXPECT_GE(err_counter, 11);
  EXPECT_EQ(bus.submits, 4 + 10);  // the 11th failure and those after it are not resubmitted
  EXPECT_EQ(bus.frees, 4);
  EXPECT_EQ(ExistError(u.rig.w(), ERR_REMOTE_USB), 1);
}

TEST(FindRemoteSettings, ReceiverThenCatPortThenAudio) {
  TempRoot root;
  UsbRig u;
  bus.product = static_cast<uint16_t>(NebUsbProduct() + 1);  // not the transceiver
  EXPECT_EQ(Find_Remote_Settings(u.rig.w()), 1);
  bus.product = NebUsbProduct();
  EXPECT_EQ(Find_Remote_Settings(u.rig.w()), 2);  // no CAT port in the root
  {
    TestPty cat;
    cat.linkAt(root.path("/dev/KIVOCAT0"));
    std::thread answer([&] {
      if (cat.waitFor("DT;", 3000)) cat.write("DT001;");
    });
    EXPECT_EQ(Find_Remote_Settings(u.rig.w()), 3);  // no audio interface in the root
    answer.join();
    EXPECT_GT(u.rig.works->catFD.load(), 0);  // the port stays open for the link
    ExitCAT(u.rig.w());
  }
}

// ---- cb_in on its own ----

std::vector<int> spectraAt;
int transferNo = 0;

struct CbRig {
  UsbRig u;
  libusb_transfer *t = libusb_alloc_transfer(0);
  std::vector<unsigned char> bytes = std::vector<unsigned char>(kUsbTransferBytes);
  std::vector<float> samples = std::vector<float>(kUsbSamples, 99.0f);
  At<int> stop{0};
  NebTransferData d;
  CbRig() {
    d.works = u.rig.w();
    d.samples = samples.data();
    d.divide = &u.rig.works->divide;
    d.stop = &stop;
    d.spectrum = [](const float *, int count, Works *) {
      EXPECT_EQ(count, kUsbSamples);
      spectraAt.push_back(transferNo);
    };
    t->user_data = &d;
    t->buffer = bytes.data();
    t->length = kUsbTransferBytes;
    divide = 1;
    err_counter = 0;
    spectraAt.clear();
    transferNo = 0;
  }
  ~CbRig() { libusb_free_transfer(t); }
  void complete(int actual) {
    ++transferNo;
    t->status = LIBUSB_TRANSFER_COMPLETED;
    t->actual_length = actual;
    cb_in(t);
  }
  void put(int i, int32_t v) { memcpy(bytes.data() + 4 * i, &v, 4); }
};

TEST(CbIn, ScalingGainAndShortTransfers) {
  CbRig r;
  globalOffset = 21.4f;
  lpOffset = 6.0f;
  r.put(0, 1 << 30);
  r.put(1, -(1 << 30));
  r.put(2, INT32_MIN);
  r.put(3, 12345678);
  r.complete(16);
  EXPECT_NEAR(recalc, 1.0, 1e-6);  // 21.4 - globalOffset = 0 dB
  EXPECT_NEAR(r.samples[0], 0.5, 1e-6);
  EXPECT_NEAR(r.samples[1], -0.5, 1e-6);
  EXPECT_NEAR(r.samples[2], -1.0, 1e-6);
  EXPECT_NEAR(r.samples[3], 12345678.0 / 2147483648.0, 1e-7);
  EXPECT_EQ(r.samples[4], 99.0f);  // only what was received is converted
  EXPECT_EQ(bus.submits, 1);       // and the transfer goes out again

  r.u.rig.param->lp = 1;  // the LP offset counts while lp is on
  r.complete(4);
  EXPECT_NEAR(recalc, std::pow(10.0, 6.0 / 20), 1e-5);
  EXPECT_NEAR(r.samples[0], 0.5 * recalc, 1e-6);

  // Spectrum mode "0": the samples are not touched.
  SetSetupChar(r.u.rig.w(), SB_EnableFFTCopy, '0');
  r.put(0, 0);
  r.complete(4);
  EXPECT_NEAR(r.samples[0], 0.5 * recalc, 1e-6);
  EXPECT_EQ(bus.submits, 3);
}

TEST(CbIn, DivideCountdownPeerAndStop) {
  CbRig r;
  r.u.rig.works->divide = 3;
  r.u.rig.works->remoteConnected = 1;
  for (int i = 0; i < 10; ++i) r.complete(kUsbTransferBytes);
  EXPECT_EQ(spectraAt, (std::vector<int>{1, 4, 7, 10}));
  // No peer: the countdown runs, nothing is computed, the transfers keep cycling.
  r.u.rig.works->remoteConnected = 0;
  for (int i = 0; i < 6; ++i) r.complete(kUsbTransferBytes);
  EXPECT_EQ(spectraAt.size(), 4u);
  EXPECT_EQ(bus.submits, 16);
  // A divide of 0 stops further spectra.
  r.u.rig.works->remoteConnected = 1;
  r.u.rig.works->divide = 0;
  for (int i = 0; i < 6; ++i) r.complete(kUsbTransferBytes);
  EXPECT_LE(spectraAt.size(), 5u);
  size_t n = spectraAt.size();
  for (int i = 0; i < 6; ++i) r.complete(kUsbTransferBytes);
  EXPECT_EQ(spectraAt.size(), n);
  // Failures count up; a completion resets the count; the stop flag ends resubmission.
  r.t->status = LIBUSB_TRANSFER_STALL;
  cb_in(r.t);
  cb_in(r.t);
  EXPECT_EQ(err_counter, 2);
  r.complete(4);
  EXPECT_EQ(err_counter, 0);
  int before = bus.submits;
  r.stop = 1;
  r.complete(4);
  EXPECT_EQ(bus.submits, before);
}

// ---- fftCalc against numpy ----

const char kReference[] = R"(
import sys
import numpy as np
m = int(sys.argv[2])
d = np.fromfile(sys.argv[1], dtype='<f8')
x = (d[:m] + 1j * d[m:2 * m]) / (m / 2)
mag = np.abs(np.fft.fft(x))
with np.errstate(divide='ignore'):
    db = 20 * np.log10(mag)
db = np.clip(np.where(np.isfinite(db), db, -192.0), -192.0, 50.0)
lvl = (np.trunc(db).astype(np.int64) + 192).astype(np.uint8)
sys.stdout.buffer.write(np.fft.fftshift(lvl).tobytes())
)";

// Debian's python3 with numpy; empty when it is not there.
std::string python() {
  for (const char *p : {"/usr/bin/python3", "python3"}) {
    std::string cmd = std::string(p) + " -c 'import numpy' 2>/dev/null";
    if (system(cmd.c_str()) == 0) return p;
  }
  return "";
}

TEST(FftCalc, EveryByteWithinOneOfNumpy) {
  std::string py = python();
  ASSERT_FALSE(py.empty()) << "python3-numpy is not installed (scripts/deps installs it)";
  TempRoot dir;
  std::ofstream(dir.path("/ref.py")) << kReference;

  // Receiver-like samples: a few carriers from strong to weak over noise.
  std::vector<float> samples(kUsbSamples);
  std::mt19937 rng(11);
  std::normal_distribution<double> noise(0.0, 1e-6);
  const double tones[][3] = {
      {0.8, 0.0317, 0}, {3e-3, -0.21, 1}, {2e-5, 0.4011, 2}, {1000, 0.125, 0}};
  for (int i = 0; i < kUsbSamples / 2; ++i) {
    double re = noise(rng), im = noise(rng);
    for (const auto &t : tones) {
      re += t[0] * cos(2 * M_PI * t[1] * i + t[2]);
      im += t[0] * sin(2 * M_PI * t[1] * i + t[2]);
    }
    samples[2 * i] = static_cast<float>(re);
    samples[2 * i + 1] = static_cast<float>(im);
  }

  FftWork work;
  ASSERT_TRUE(FftAllocate(&work));
  for (bool e1600 : {false, true, false}) {
    const int m = e1600 ? kUsbSamples / 2 : kUsbSamples / 4;
    FftTables(&work, m);
    FftWindow(&work, samples.data(), m);
    {
      std::ofstream out(dir.path("/windowed.bin"), std::ios::binary);
      out.write(reinterpret_cast<const char *>(work.fftr), m * sizeof(double));
      out.write(reinterpret_cast<const char *>(work.ffti), m * sizeof(double));
    }
    int n = FftSpectrum(&work, samples.data(), kUsbSamples, e1600);
    ASSERT_EQ(n, e1600 ? 1706 : 854);
    EXPECT_EQ(work.tablesFor, m);

    std::string cmd =
        py + " " + dir.path("/ref.py") + " " + dir.path("/windowed.bin") + " " + std::to_string(m);
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::vector<uint8_t> ref(m);
    size_t got = fread(ref.data(), 1, ref.size(), p);
    ASSERT_EQ(pclose(p), 0);
    ASSERT_EQ(got, static_cast<size_t>(m));

    int worst = 0, lo = 255, hi = 0;
    for (int i = 0; i < m; ++i) {
      worst = std::max(worst, std::abs(work.fftout[i] - ref[i]));
      lo = std::min<int>(lo, work.fftout[i]);
      hi = std::max<int>(hi, work.fftout[i]);
    }
    EXPECT_LE(worst, 1) << "M " << m;
    // The test spans the scale: the floor region and the clamp at +50 dB.
    EXPECT_LT(lo, 192 - 100);
    EXPECT_EQ(hi, 242);
    const int first = e1600 ? 341 : 170;
    for (int k = 0; k < n; ++k)
      ASSERT_LE(std::abs(work.fftoutdec[k] - ref[first + 2 * k]), 1) << "byte " << k;
  }
  FftFree(&work);
}

TEST(FftCalc, SilenceAndOddCountsAreSafe) {
  FftWork work;
  ASSERT_TRUE(FftAllocate(&work));
  std::vector<float> zero(kUsbSamples, 0.0f);
  ASSERT_EQ(FftSpectrum(&work, zero.data(), kUsbSamples, false), 854);
  for (int k = 0; k < 854; ++k) ASSERT_EQ(work.fftoutdec[k], 0);
  std::vector<float> nan(kUsbSamples, NAN);
  ASSERT_EQ(FftSpectrum(&work, nan.data(), kUsbSamples, true), 1706);
  EXPECT_EQ(FftSpectrum(&work, zero.data(), 1000, true), -1);
  EXPECT_EQ(FftSpectrum(&work, zero.data(), 64, false), -1);
  FftFree(&work);
}

}  // namespace
