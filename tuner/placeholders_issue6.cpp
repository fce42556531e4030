// Placeholders for the front-panel work until the tuner work lands. The
// relay-word layout is the real one, so the manual tune keys can be tried.
#include <cerrno>
#include <cstdio>

#include "controller/link.h"
#include "platform/log.h"
#include "platform/platform.h"
#include "tuner/tuner.h"

namespace {

const int kCBits[10] = {15, 2, 4, 6, 14, 12, 10, 8, 20, 22};
const int kLBits[10] = {1, 3, 5, 7, 13, 11, 9, 19, 21, 17};
constexpr uint32_t kModeBits = 0x00850000;

uint32_t placeBits(uint32_t word, const int *bits, int value) {
  for (int i = 0; i < 10; ++i) {
    word &= ~(1u << bits[i]);
    if (value & (1 << i)) word |= 1u << bits[i];
  }
  return word;
}

}  // namespace

void SetC(Works *works, int c) {
  works->tuneVal = placeBits(works->tuneVal, kCBits, c);
}
void SetI(Works *works, int l) {
  works->tuneVal = placeBits(works->tuneVal, kLBits, l);
}

void SetMode(Works *works, int mode) {
  works->tuneMode = static_cast<uint8_t>(mode);
  uint32_t w = works->tuneVal;
  if (mode == 1 || mode == 2) {
    w = (w & ~kModeBits) | (mode == 1 ? 1u << 23 : 1u << 18);
    works->atuBypass = 0;
  } else if (mode == 0 || mode == 3) {
    w = (w & ~kModeBits) | (1u << 16);
    works->atuBypass = 1;
  }
  works->tuneVal = w;
}

int DecodeModoFromTuneval(uint32_t word) {
  switch (word & kModeBits) {
    case 1u << 23: return 1;
    case 1u << 18: return 2;
    case 1u << 16: return 3;
    default: return 0;
  }
}

void GestioneLoadTuneVal(Works *works, int clearIfNone) {
  IncPNTIn_CMDLinear(clearIfNone ? LP_MT1_CLEAR : LP_MT1_BYPASS, works);
}

void InsertTuneToMem(Works *, int, int) {}
void LoadTabAtu(Works *, int, int) {}
void SaveTabAtu(Works *, int, int) {}

void DeleteFileConf(Works *, int bank, int which) {
  if (bank < 0 || bank > 19 || which < 0 || which > 3) return;
  char path[64];
  if (which == 3) {
    if (bank == 0)
      snprintf(path, sizeof path, "/opt/set/antenna.txt");
    else
      snprintf(path, sizeof path, "/opt/set/antenna_b%d.txt", bank);
  } else if (bank == 0) {
    snprintf(path, sizeof path, "/opt/set/atu_ant%d.txt", which + 1);
  } else {
    snprintf(path, sizeof path, "/opt/set/atu_ant%d_b%d.txt", which + 1, bank);
  }
  if (!RemountRW()) return;
  if (RemoveFile(path) != 0 && errno != ENOENT) LogErr("can't delete file bank %d", bank);
  RemountRO();
}

void GoTune(Works *) {
  LogStderr("GoTune: automatic tuning not built yet\n");
}
