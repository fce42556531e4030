// The EXT IO record decoder on any bytes: framing, parameter and spectrum
// decoding, the rotated copy; and the FT-817 answer and CAT collection,
// which meet the same kind of input.
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>

#include "core/setup.h"
#include "core/works.h"
#include "links/links.h"
#include "ui/plot.h"

namespace {

struct Rig {
  Works works;
  Lumosetup setup;
  NebParam param{};
  SpectrumPlot plot{};
  std::mutex serMut;
  Rig() {
    works.setup = &setup;
    works.nebParam = &param;
    works.serMut = &serMut;
    works.spectrumPlot = &plot;
  }
};

Rig &rig() {
  static Rig *r = new Rig();
  return *r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Works *w = &rig().works;
  auto framer = std::make_unique<ExtIoFramer>();
  uint8_t out[kExtIoForwardBytes];
  for (size_t i = 0; i < size; ++i) {
    ExtIoEvent ev = ExtIoPush(w, framer.get(), data[i]);
    if (framer->length < 0 || framer->length >= kExtIoBodyMax) __builtin_trap();
    if (ev == EXTIO_PARAMETERS) storeParameters(w, framer->length, framer->body);
    if (ev == EXTIO_SPECTRUM) {
      storeFFT(w, framer->length, framer->body);
      NebParam p;
      getParameters(&p, w);
      int n = ExtIoRotateSpectrum(framer->body, framer->length, p, out);
      if (n < 0 || n > kExtIoForwardBytes) __builtin_trap();
    }
  }
  // The whole input as a body of exactly its length, as a remote peer's
  // parameter frame arrives.
  int len = size > 100000 ? 100000 : static_cast<int>(size);
  storeParameters(w, len, data);
  storeFFT(w, len, data);
  if (size >= 5) {
    char cmd;
    int length;
    decodeCmdParameters(w, data, &cmd, &length);
    if (length < 0 || length >= kExtIoBodyMax) __builtin_trap();
    lastCommandSent = 3;
    DecodeCatSerialCmd(w, data, 5);
  }
  CatCollector c;
  for (size_t i = 0; i < size; ++i) CatCollect(&c, data[i]);
  return 0;
}
