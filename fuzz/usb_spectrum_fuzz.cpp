// The spectrum receiver's USB transfers on any bytes: the first byte is the
// transfer's status, the next four the receiver's level offset as it reports
// it, the rest the transfer's data. The completion callback converts the
// samples and the spectrum is computed from them, in both widths.
#include <libusb-1.0/libusb.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "core/setup.h"
#include "fuzz/fuzz_support.h"
#include "links/links.h"

namespace {

int submitted = 0;
int fakeSubmit(libusb_transfer *) {
  ++submitted;
  return 0;
}

FftWork *work() {
  static FftWork *w = [] {
    auto *x = new FftWork;
    if (!FftAllocate(x)) __builtin_trap();
    return x;
  }();
  return w;
}

bool wide = false;
int spectra = 0;
void spectrum(const float *samples, int count, Works *) {
  int n = FftSpectrum(work(), samples, count, wide);
  if (n != (wide ? 1706 : 854)) __builtin_trap();
  ++spectra;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 5) return 0;
  static UsbOps ops = [] {
    UsbOps o = LibUsbOps();
    o.submitTransfer = fakeSubmit;
    return o;
  }();
  SetUsbOps(&ops);
  Works *works = fuzz::Record();
  works->remoteConnected = 1;
  SetSetupChar(works, SB_EnableFFTCopy, '1');
  wide = data[0] & 0x80;
  memcpy(&globalOffset, data + 1, sizeof globalOffset);

  static std::vector<unsigned char> buffer(kUsbTransferBytes);
  static std::vector<float> samples(kUsbSamples);
  size_t length = std::min(size - 5, buffer.size());
  memcpy(buffer.data(), data + 5, length);
  memset(buffer.data() + length, 0, buffer.size() - length);

  At<int32_t> every{1};
  At<int> stop{0}, inFlight{1};
  NebTransferData d;
  d.transfer = libusb_alloc_transfer(0);
  d.samples = samples.data();
  d.works = works;
  d.divide = &every;
  d.stop = &stop;
  d.inFlight = &inFlight;
  d.spectrum = spectrum;
  libusb_transfer *t = d.transfer;
  t->status = static_cast<libusb_transfer_status>(data[0] % 8);
  t->buffer = buffer.data();
  t->length = kUsbTransferBytes;
  t->actual_length = static_cast<int>(length);
  t->user_data = &d;
  err_counter = 0;
  divide = 1;
  int before = spectra;
  cb_in(t);
  if (t->status == LIBUSB_TRANSFER_COMPLETED && spectra != before + 1) __builtin_trap();
  libusb_free_transfer(t);
  SetUsbOps(nullptr);
  return 0;
}
