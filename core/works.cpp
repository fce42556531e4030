// The atomic access to the setup record, and the row search of config.txt.
#include "core/works.h"

#include <mutex>

char SetupChar(const Works *works, int index) {
  if (index < 0 || index >= kSetupSize || works->setup == nullptr) return 0;
  return works->setup->b[index].load(std::memory_order_relaxed);
}

void SetSetupChar(Works *works, int index, char value) {
  if (index < 0 || index >= kSetupSize - 1 || works->setup == nullptr) return;
  works->setup->b[index].store(value, std::memory_order_relaxed);
}

int SearchConfigRow(Works *works, uint32_t freq) {
  std::lock_guard<std::recursive_mutex> lock(works->tablesMutex);
  const ConfigRow *t = works->tabConfig;
  int n = works->numConfigRows;
  int row = -1;
  // The last row only closes the range of the one before it. Of overlapping
  // rows the last wins, as for the calibration coefficients.
  for (int i = 0; t != nullptr && i + 1 < n; ++i)
    if (freq >= t[i].fmin && freq < t[i + 1].fmin) row = i;
  return row;
}
