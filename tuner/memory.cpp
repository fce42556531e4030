// Tune memory: one slot per channel and antenna, and the recall of the
// nearest stored match of a segment.
#include <cstdlib>
#include <mutex>

#include "core/command_queue.h"
#include "platform/log.h"
#include "tuner/tuner.h"

namespace {

int clampSlot(int i) {
  return i < 0 ? 0 : (i > kTuneMemSlots ? kTuneMemSlots : i);
}

}  // namespace

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

namespace {

// The entry of the word in use for the slot of the frequency in use, with
// its log lines; false when the word holds no match to store.
bool tuneToStore(Works *works, int *index, TuneMemEntry *e) {
  long freq = works->frequency.load();
  *index = AtuIdxSearch(static_cast<uint32_t>(freq), nullptr, nullptr, nullptr, nullptr);
  LogStderr("--------------> Save Tune To File idx %ld (idx:%d)\n", freq, *index);
  uint32_t w = works->tuneVal.load();
  *e = {};
  e->valid = 1;
  e->mode = static_cast<uint8_t>(DecodeModoFromTuneval(w));
  // All ten bits: a search that reached 512 steps must come back as 512,
  // not as the 0 that the nine-bit decoders give.
  e->l = static_cast<int16_t>(DecodeInduttanza10(w));
  e->c = static_cast<int16_t>(DecodeCapacita10(w));
  LogStderr("-------------- Save TuneVal C:%i, L:%i, M:%c\n", e->c, e->l, '0' + e->mode);
  // A word without a network is no match: stored, it would not come back
  // from the file.
  if (!IsStorableTune(*e)) {
    LogErr("tune word 0x%x has no network mode, not stored", static_cast<unsigned>(w));
    return false;
  }
  return true;
}

}  // namespace

void InsertTuneToMem(Works *works, int bank, int antenna) {
  int index = 0;
  TuneMemEntry e;
  if (!tuneToStore(works, &index, &e)) return;
  SaveTuneValsuTabRam(works, e, index, antenna);
  SaveTabAtu(works, bank, antenna);
}

void InsertTuneToBankFile(Works *works, int bank, int antenna) {
  int index = 0;
  TuneMemEntry e;
  if (!tuneToStore(works, &index, &e)) return;
  StoreTuneInFile(bank, antenna, index, e);
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
