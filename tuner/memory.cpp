// Tune memory: the channel table over 0 .. 54 MHz, one slot per channel and
// antenna, and the recall of the nearest stored match of a segment.
#include <cstdlib>
#include <mutex>

#include "core/command_queue.h"
#include "platform/log.h"
#include "tuner/tuner.h"

const int32_t tabAtuStep[kAtuSegments][2] = {
    {0, 2000},         {1800000, 2000},   {2000000, 4000},   {3500000, 4000},   {4000000, 5000},
    {5330000, 5000},   {5400000, 5000},   {7000000, 5000},   {7300000, 5000},   {10100000, 10000},
    {10150000, 10000}, {14000000, 10000}, {14350000, 10000}, {18000000, 10000}, {18170000, 10000},
    {21000000, 20000}, {21500000, 25000}, {24850000, 25000}, {25000000, 25000}, {28000000, 25000},
    {29700000, 50000}, {50000000, 50000}, {54000000, -1},
};

namespace {

int channels(int k) {
  return (tabAtuStep[k + 1][0] - tabAtuStep[k][0]) / tabAtuStep[k][1];
}

// First index of the last segment (50 .. 54 MHz).
constexpr int kLastFirst = 4569;

int clampSlot(int i) {
  return i < 0 ? 0 : (i > kTuneMemSlots ? kTuneMemSlots : i);
}

}  // namespace

int AtuIdxSearch(uint32_t freq, uint32_t *segStart, uint32_t *segEnd, int *segFirstIdx,
                 int *segEndIdx) {
  int k = 0;
  int first = 0;
  while (tabAtuStep[k + 1][1] != -1) {
    if (freq >= static_cast<uint32_t>(tabAtuStep[k][0]) &&
        freq < static_cast<uint32_t>(tabAtuStep[k + 1][0]))
      break;
    first += channels(k);
    ++k;
  }
  const int64_t start = tabAtuStep[k][0];
  const int64_t end = tabAtuStep[k + 1][0];
  const int64_t step = tabAtuStep[k][1];
  if (segStart) *segStart = static_cast<uint32_t>(start);
  if (segEnd) *segEnd = static_cast<uint32_t>(end);
  if (segFirstIdx) *segFirstIdx = first;
  if (segEndIdx) *segEndIdx = first + channels(k);
  int64_t index = (static_cast<int64_t>(freq) - start + step / 2) / step + first;
  if (freq > end) ++index;
  return static_cast<int>(index);
}

uint32_t AtuFreqfromIdx(int index) {
  if (index < 0) return 0;
  if (index >= kAtuChannels) {
    // Past 54 MHz the index search adds one to the 50 kHz walk, so slot i
    // holds what rounds to channel i - 1 of the last segment.
    return static_cast<uint32_t>(tabAtuStep[21][0] +
                                 static_cast<int64_t>(index - kLastFirst - 1) * tabAtuStep[21][1]);
  }
  int c = channels(0);
  int i = 0;
  int k = 0;
  while (c < index) {
    i = c;
    c += channels(k + 1);
    ++k;
  }
  return static_cast<uint32_t>(tabAtuStep[k][0] +
                               static_cast<int64_t>(index - i) * tabAtuStep[k][1]);
}

int AtuAntennaRow(int antenna) {
  return antenna == 0 || antenna == 1 ? antenna : 2;
}

void SaveTuneValsuTabRam(Works *works, TuneMemEntry entry, int index, int antenna) {
  if (index < 0 || index >= kTuneMemSlots) return;
  std::lock_guard<std::recursive_mutex> lock(works->tablesMutex);
  works->tabTuneRam[AtuAntennaRow(antenna)][index] = entry;
}

TuneMemEntry LoadTuneValFromTabRam(Works *works, int index, int antenna) {
  TuneMemEntry e = {};
  if (index < 0 || index >= kTuneMemSlots) return e;
  {
    std::lock_guard<std::recursive_mutex> lock(works->tablesMutex);
    e = works->tabTuneRam[AtuAntennaRow(antenna)][index];
  }
  if (e.mode == 3) e.mode = 1;
  return e;
}

int SearchBestTune(Works *works, int index, int start, int end, int antenna) {
  int best = -1;
  int bestDistance = end - start;
  start = clampSlot(start);
  end = clampSlot(end);
  std::lock_guard<std::recursive_mutex> lock(works->tablesMutex);
  const TuneMemEntry *tab = works->tabTuneRam[AtuAntennaRow(antenna)];
  for (int i = start; i < end; ++i) {
    if (!tab[i].valid) continue;
    int d = std::abs(i - index);
    if (d < bestDistance) {
      best = i;
      bestDistance = d;
    }
  }
  return best;
}

int EsisteTuneValInTabRam(Works *works, int index, int start, int end, int antenna) {
  if (LoadTuneValFromTabRam(works, index, antenna).valid) return 0;
  return SearchBestTune(works, index, start, end, antenna) < 0 ? 1 : 0;
}

void LoadTuneFromMEM(Works *works, int antenna) {
  int first = 0, last = 0;
  int index =
      AtuIdxSearch(static_cast<uint32_t>(works->frequency.load()), nullptr, nullptr, &first, &last);
  TuneMemEntry e = LoadTuneValFromTabRam(works, index, antenna);
  if (!e.valid) {
    index = SearchBestTune(works, index, first, last, antenna);
    e = LoadTuneValFromTabRam(works, index, antenna);
  }
  uint32_t w = works->tuneVal.load();
  works->tuneC = DecodeCapacitaFromTuneval(w);
  works->tuneL = DecodeInduttanzaFromTuneval(w);
  works->tuneMode = static_cast<uint8_t>(DecodeModoFromTuneval(w));
  if (!e.valid) return;
  if (e.c == works->tuneC && e.l == works->tuneL && e.mode == works->tuneMode) return;
  SetC(works, e.c);
  SetI(works, e.l);
  SetMode(works, e.mode);
  ReadTnePar(works);
  // A stored step count above 511 uses the tenth relay, which the decoders
  // leave out; the word holds it, so show what was recalled.
  LogStderr(">>>>>>>>>>>>>>> MEMTUNE: load a Tune for %ld idx:%d -> C %d I %d!!\n",
            static_cast<long>(works->frequency.load()), index, static_cast<int>(e.c),
            static_cast<int>(e.l));
}

void InsertTuneToMem(Works *works, int bank, int antenna) {
  long freq = works->frequency.load();
  int index = AtuIdxSearch(static_cast<uint32_t>(freq), nullptr, nullptr, nullptr, nullptr);
  LogStderr("--------------> Save Tune To File idx %ld (idx:%d)\n", freq, index);
  uint32_t w = works->tuneVal.load();
  TuneMemEntry e = {};
  e.valid = 1;
  e.mode = static_cast<uint8_t>(DecodeModoFromTuneval(w));
  // All ten bits: a search that reached 512 steps must come back as 512,
  // not as the 0 that the nine-bit decoders give.
  e.l = static_cast<int16_t>(DecodeInduttanza10(w));
  e.c = static_cast<int16_t>(DecodeCapacita10(w));
  LogStderr("-------------- Save TuneVal C:%i, L:%i, M:%c\n", e.c, e.l, '0' + e.mode);
  // A word without a network is no match: stored, it would not come back
  // from the file.
  if (!IsStorableTune(e)) {
    LogErr("tune word 0x%x has no network mode, not stored", static_cast<unsigned>(w));
    return;
  }
  SaveTuneValsuTabRam(works, e, index, antenna);
  SaveTabAtu(works, bank, antenna);
}

void GestioneLoadTuneVal(Works *works, int clearIfNone) {
  if (works->autoTuneState != 0) return;
  int first = 0, last = 0;
  int index =
      AtuIdxSearch(static_cast<uint32_t>(works->frequency.load()), nullptr, nullptr, &first, &last);
  if (EsisteTuneValInTabRam(works, index, first, last, works->antenna) == 0)
    IncPNTIn_CMDLinear(LP_MT1_MEM, works);
  else
    IncPNTIn_CMDLinear(clearIfNone ? LP_MT1_CLEAR : LP_MT1_BYPASS, works);
}

void ResetTabTune(Works *works, int bank, int antenna) {
  {
    std::lock_guard<std::recursive_mutex> lock(works->tablesMutex);
    for (TuneMemEntry &e : works->tabTuneRam[AtuAntennaRow(antenna)]) e.valid = 0;
  }
  SaveTabAtu(works, bank, antenna);
}
