// filter.txt: which output low-pass filter serves which frequency range; the
// first enabled row that holds the frequency selects its filter.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "config/config.h"
#include "core/command_queue.h"
#include "core/file_writer.h"
#include "platform/log.h"

namespace {

const char kFilterPath[] = "/opt/set/filter.txt";
const char kFilterHeader[] =
    ";Fstart(hz)\tFstop         enabled   : 1= abilitata, l'ordine delle righe corrisponde al "
    "filtro di attivazione   j23 ultimo by pass (0 ,54000000)  verso esterno\n";

}  // namespace

namespace {

// Reads the file into rows; the number of rows read, -1 without the file.
int readFilterRows(FilterRow *rows) {
  for (int i = 0; i < kFilterRows; ++i) rows[i].enabled = 0;
  int n = 0;
  int rc = ReadTableLines(kFilterPath, 511, [&](const char *line, int lineNo) {
    if (line[0] == ';') return true;
    if (n == kFilterRows) {
      TableFault(lineNo, "filter.txt line %d: more than %d rows, the rest ignored", lineNo,
                 kFilterRows);
      return false;
    }
    FilterRow &r = rows[n];
    const char *p = line;
    bool ok = ScanCUnsigned(&p, &r.fstart);
    ok = ScanCUnsigned(&p, &r.fstop) && ok;
    int64_t en = 0;
    ok = ScanDecimal(&p, &en) && ok;
    r.enabled = static_cast<int32_t>(en);
    if (!ok) TableFault(lineNo, "filter.txt line %d: missing or bad numbers read as 0", lineNo);
    LogStderr("Filter %i %ld,%ld,%x\n", n, static_cast<long>(r.fstart), static_cast<long>(r.fstop),
              static_cast<unsigned>(r.enabled));
    ++n;
    return true;
  });
  return rc < 0 ? -1 : n;
}

}  // namespace

bool CheckFilterFileText(const std::string &text, int *line, std::string *error) {
  TableCheck check(text);
  FilterRow rows[kFilterRows] = {};
  readFilterRows(rows);
  return check.result(line, error);
}

int LoadTabFiltri(Works *works) {
  FilterRow rows[kFilterRows];
  {
    std::lock_guard<std::recursive_mutex> lock(works->tablesMutex);
    memcpy(rows, works->tabFiltri, sizeof rows);
  }
  int n = readFilterRows(rows);
  if (n < 0) {
    LogStderr("Filter File not FOUND!!\n");
    n = 0;
  }
  std::lock_guard<std::recursive_mutex> lock(works->tablesMutex);
  memcpy(works->tabFiltri, rows, sizeof rows);
  return n;
}

int SaveTabFiltri(Works *works) {
  LogStderr("SaveTabFiltri \n");
  FilterRow rows[kFilterRows];
  {
    std::lock_guard<std::recursive_mutex> lock(works->tablesMutex);
    memcpy(rows, works->tabFiltri, sizeof rows);
  }
  std::string text = kFilterHeader;
  char line[64];
  for (const FilterRow &r : rows) {
    snprintf(line, sizeof line, "%ld\t\t%ld\t\t%i \n", static_cast<long>(r.fstart),
             static_cast<long>(r.fstop), r.enabled);
    text += line;
  }
  return QueueSetFile(kFilterPath, std::move(text));
}

void SetFilterFromfreq(Works *works) {
  int chosen = -1;
  {
    std::lock_guard<std::recursive_mutex> lock(works->tablesMutex);
    uint32_t f = static_cast<uint32_t>(works->frequency.load());
    for (int i = 0; i < kFilterRows; ++i) {
      const FilterRow &r = works->tabFiltri[i];
      if (r.enabled == 1 && f >= r.fstart && f <= r.fstop) {
        chosen = i;
        break;
      }
    }
  }
  if (chosen < 0) return;
  uint8_t relay = static_cast<uint8_t>(1u << chosen);
  if (relay == works->filterRelay) return;
  works->filterRelay = relay;
  IncPNTIn_CMDLinear(LP_SF_SET, works);
  LogStderr(">>>>>>>>>>>>>>> SET FILTER: %i!!\n", chosen + 1);
}

void EnDisFilter(Works *works, int value) {
  int row = works->filterRowSel;
  if (row < 0 || row >= kFilterRows) {
    LogErr("filter row %d does not exist", row);
    return;
  }
  {
    std::lock_guard<std::recursive_mutex> lock(works->tablesMutex);
    works->tabFiltri[row].enabled = value;
  }
  SetFilterFromfreq(works);
  SaveTabFiltri(works);
}
