// Tune-memory files: one per bank and antenna under /opt/set, one line per
// filled slot.
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "core/file_writer.h"
#include "core/link_requests.h"
#include "core/table_file.h"
#include "platform/log.h"
#include "tuner/tuner.h"

namespace {

// Relay step counts beyond the ten relays cannot be a stored match.
constexpr int64_t kMaxSteps = 1023;

}  // namespace

void AtuFileName(int bank, int antenna, char *out, int outSize) {
  int a = AtuAntennaRow(antenna) + 1;
  if (bank >= 1 && bank <= 19)
    snprintf(out, static_cast<size_t>(outSize), "/opt/set/atu_ant%d_b%d.txt", a, bank);
  else
    snprintf(out, static_cast<size_t>(outSize), "/opt/set/atu_ant%d.txt", a);
}

namespace {

// Parses a memory file into tab (kTuneMemSlots entries, cleared first).
// Returns the filled slots, or -1 when the file cannot be opened.
int readAtuFile(const char *path, TuneMemEntry *tab) {
  for (int i = 0; i < kTuneMemSlots; ++i) tab[i] = TuneMemEntry{};
  int rows = 0;
  int filled = 0;
  int rc = ReadTableLines(path, 511, [&](const char *line, int lineNo) {
    if (line[0] == ';') return true;
    if (++rows > kTuneMemSlots) {
      TableFault(lineNo, "%s: more than %d lines, the rest ignored", path, kTuneMemSlots);
      return false;
    }
    const char *p = line;
    int64_t index = 0;
    bool ok = ScanDecimal(&p, &index);
    if (!ok || index < 0 || index > kTuneMemSlots - 1) {
      LogStderr("LoadTabAtu Errore idx\n");
      printf("LoadTabAtu Errore idx");
      fflush(stdout);
      NoteTableFault(lineNo, "no slot number 0..4999, skipped");
      return true;
    }
    int64_t freq = 0, valid = 0, mode = 0, l = 0, c = 0;
    ScanDecimal(&p, &freq);  // for people only
    bool complete = ScanDecimal(&p, &valid);
    complete = ScanDecimal(&p, &mode) && complete;
    complete = ScanDecimal(&p, &l) && complete;
    complete = ScanDecimal(&p, &c) && complete;
    valid &= 0xFF;
    TuneMemEntry e = {};
    e.valid = static_cast<uint8_t>(valid);
    e.mode = static_cast<uint8_t>(mode);
    e.l = static_cast<int16_t>(l);
    e.c = static_cast<int16_t>(c);
    if (valid != 0 && (!complete || !IsStorableTune(e))) {
      TableFault(lineNo, "%s: line %d is not a tune, skipped", path, lineNo);
      return true;
    }
    tab[index] = e;
    if (valid) ++filled;
    return true;
  });
  return rc < 0 ? -1 : filled;
}

// The file text of a table: only what readAtuFile takes back.
std::string atuText(const char *path, const TuneMemEntry *tab) {
  std::string text;
  char line[96];
  for (int i = 0; i < kTuneMemSlots; ++i) {
    const TuneMemEntry &e = tab[i];
    if (!e.valid) continue;
    if (!IsStorableTune(e)) {
      LogErr("%s: slot %d holds no tune (mode %d), not written", path, i, e.mode);
      continue;
    }
    snprintf(line, sizeof line, "%i %ld %i %i %i %i\n", i, static_cast<long>(AtuFreqfromIdx(i)), 1,
             e.mode, e.l, e.c);
    text += line;
  }
  return text;
}

}  // namespace

bool CheckTuneMemoryText(const std::string &text, int *line, std::string *error) {
  TableCheck check(text);
  auto tab = std::make_unique<TuneMemEntry[]>(kTuneMemSlots);
  readAtuFile("/opt/set/atu_ant1.txt", tab.get());
  return check.result(line, error);
}

bool IsStorableTune(const TuneMemEntry &e) {
  return e.mode >= 1 && e.mode <= 3 && e.l >= 0 && e.l <= kMaxSteps && e.c >= 0 && e.c <= kMaxSteps;
}

int LoadTabAtu(Works *works, int bank, int antenna) {
  char path[64];
  AtuFileName(bank, antenna, path, sizeof path);
  // Read into a table of its own, off the link thread; the link, the
  // memory's one writer, takes it over whole.
  std::shared_ptr<TuneMemEntry[]> tab(new TuneMemEntry[kTuneMemSlots]);
  int rc = readAtuFile(path, tab.get());
  LinkRequest r;
  r.kind = LR_TUNE_MEMORY;
  r.a = bank;
  r.b = AtuAntennaRow(antenna);
  r.memory = tab;
  PostLinkRequest(works, r);
  return rc;
}

void CommitTuneMemory(Works *works, int bank, int antenna, const TuneMemEntry *table) {
  std::lock_guard<std::recursive_mutex> lock(works->tablesMutex);
  TuneMemEntry *dst = works->tabTuneRam[AtuAntennaRow(antenna)];
  for (int i = 0; i < kTuneMemSlots; ++i) dst[i] = table[i];
  works->tuneMemBank[AtuAntennaRow(antenna)] = bank;
}

int SaveTabAtu(Works *works, int bank, int antenna) {
  LogStderr("SaveTabAtu Bank%i , antenna %i\n", bank, antenna);
  char path[64];
  AtuFileName(bank, antenna, path, sizeof path);
  auto tab = std::make_unique<TuneMemEntry[]>(kTuneMemSlots);
  {
    std::lock_guard<std::recursive_mutex> lock(works->tablesMutex);
    const TuneMemEntry *src = works->tabTuneRam[AtuAntennaRow(antenna)];
    for (int i = 0; i < kTuneMemSlots; ++i) tab[i] = src[i];
  }
  // The text is made now, from the table as it is: a bank change right
  // after cannot put another bank's rows into this file.
  return QueueSetFile(path, atuText(path, tab.get()));
}

int CopyTabAtu(int fromBank, int toBank, int antenna) {
  char from[64], to[64];
  AtuFileName(fromBank, antenna, from, sizeof from);
  AtuFileName(toBank, antenna, to, sizeof to);
  auto tab = std::make_unique<TuneMemEntry[]>(kTuneMemSlots);
  readAtuFile(from, tab.get());
  return QueueSetFile(to, atuText(to, tab.get()));
}

int StoreTuneInFile(int bank, int antenna, int index, const TuneMemEntry &entry) {
  char path[64];
  AtuFileName(bank, antenna, path, sizeof path);
  LogStderr("SaveTabAtu Bank%i , antenna %i\n", bank, antenna);
  auto tab = std::make_unique<TuneMemEntry[]>(kTuneMemSlots);
  readAtuFile(path, tab.get());
  if (index >= 0 && index < kTuneMemSlots) tab[index] = entry;
  return QueueSetFile(path, atuText(path, tab.get()));
}
