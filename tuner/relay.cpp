// The tuner's relay word: where C, L and the network mode sit. The link
// thread is its one writer, so no flag guards it.
#include "core/key_labels.h"
#include "platform/log.h"
#include "tuner/tuner.h"

const int32_t ValCI[10] = {1, 2, 4, 8, 16, 32, 64, 128, 256, 512};

namespace {

// Word bit driven by each step bit, bit 0 first. The relays are interleaved
// on the controller board, hence the order.
constexpr int kCBits[10] = {15, 2, 4, 6, 14, 12, 10, 8, 20, 22};
constexpr int kLBits[10] = {1, 3, 5, 7, 13, 11, 9, 19, 21, 17};

uint32_t spread(const int (&bits)[10], int value) {
  uint32_t word = 0;
  for (int i = 0; i < 10; ++i)
    if (value & ValCI[i]) word |= 1u << bits[i];
  return word;
}

int32_t gather(const int (&bits)[10], uint32_t word, int nbits) {
  int32_t v = 0;
  for (int i = 0; i < nbits; ++i)
    if (word & (1u << bits[i])) v |= ValCI[i];
  return v;
}

}  // namespace

void SetC(Works *works, int c) {
  uint32_t w = works->tuneVal.load();
  works->tuneVal = (w & ~kCMask) | spread(kCBits, c & 0x3FF);
}

void SetI(Works *works, int l) {
  uint32_t w = works->tuneVal.load();
  works->tuneVal = (w & ~kLMask) | spread(kLBits, l & 0x3FF);
}

void SetMode(Works *works, int mode) {
  mode &= 0xFF;
  works->tuneMode = static_cast<uint8_t>(mode);
  if (mode >= 4) return;
  uint32_t w = works->tuneVal.load() & ~kModeMask;
  const char *label = "ByP";
  if (mode == 1 || mode == 2) {
    w |= mode == 1 ? kModeBitB : kModeBitA;
    works->atuBypass = 0;
    label = mode == 1 ? "CL" : " LC";
  } else {
    w |= kModeBitBypass;
    works->atuBypass = 1;
  }
  works->tuneVal = w;
  if (works->screenState == SS_MANUAL_TUNE) SetLumoLabel(works, SS_MANUAL_TUNE, 1, label);
}

int32_t DecodeCapacitaFromTuneval(uint32_t word) {
  return gather(kCBits, word, 9);
}
int32_t DecodeInduttanzaFromTuneval(uint32_t word) {
  return gather(kLBits, word, 9);
}
int32_t DecodeCapacita10(uint32_t word) {
  return gather(kCBits, word, 10);
}
int32_t DecodeInduttanza10(uint32_t word) {
  return gather(kLBits, word, 10);
}

int DecodeModoFromTuneval(uint32_t word) {
  switch (word & kModeMask) {
    case 0: return 0;
    case kModeBitB: return 1;
    case kModeBitA: return 2;
    case kModeBitBypass: return 3;
    default: LogStderr("DecodeModoFromTuneval -> tune: 0x%x \n", word & kModeMask); return 0;
  }
}

void ReadTnePar(Works *works) {
  uint32_t w = works->tuneVal.load();
  works->tuneC = DecodeCapacitaFromTuneval(w);
  works->tuneL = DecodeInduttanzaFromTuneval(w);
  int mode = DecodeModoFromTuneval(w);
  works->tuneMode = static_cast<uint8_t>(mode);
  if (mode == 0) SetMode(works, 3);
}
