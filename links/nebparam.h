#pragma once
#include <cstdint>

// The transceiver's parameter record as the EXT IO link fills it: 52 signed
// 32-bit fields in this order (208 bytes), guarded by works->serMut.
struct NebParam {
  int32_t status6;      // 0
  int32_t useB;         // 1
  int32_t freqIsB;      // 2
  int32_t freq;         // 3
  int32_t freqRx;       // 4
  int32_t freqA;        // 5
  int32_t freqB;        // 6
  int32_t freqMem;      // 7
  int32_t freqPrev;     // 8
  int32_t freqLast;     // 9
  int32_t modeBits6;    // 10
  int32_t modeBits5;    // 11
  int32_t modeBits4;    // 12
  int32_t mode;         // 13
  int32_t modeRx;       // 14
  int32_t modeA;        // 15
  int32_t modeB;        // 16
  int32_t volumeSel;    // 17
  int32_t sign3;        // 18
  int32_t sign2;        // 19
  int32_t sign1;        // 20
  int32_t unused21;     // 21
  int32_t sign0;        // 22
  int32_t squelch;      // 23
  int32_t b12bit2;      // 24
  int32_t b13low;       // 25
  int32_t b12low;       // 26
  int32_t b12mid;       // 27
  int32_t combinedIdx;  // 28
  int32_t nr;           // 29
  int32_t nb;           // 30
  int32_t b13bit5;      // 31
  int32_t b13bit4;      // 32
  int32_t set16;        // 33
  int32_t set17;        // 34
  int32_t set18;        // 35
  int32_t set19a;       // 36
  int32_t set19b;       // 37
  int32_t att;          // 38
  int32_t lp;           // 39
  int32_t an;           // 40
  int32_t b20bit0;      // 41
  int32_t volume;       // 42
  int32_t volumeAux;    // 43
  int32_t volumeSide;   // 44
  int32_t modeShift;    // 45
  int32_t level;        // 46
  int32_t specOffset;   // 47
  int32_t sqBit5;       // 48
  int32_t sqBit4;       // 49
  int32_t memMode;      // 50
  int32_t status32;     // 51
};
static_assert(sizeof(NebParam) == 208, "the parameter record is 52 words");
