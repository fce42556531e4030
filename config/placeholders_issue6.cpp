// Placeholders for the front-panel work until the bands work lands.
#include "config/config.h"
#include "core/setup.h"

void ChangeBanco(Works *works) {
  int bank = works->numBanco + 1;
  if (bank >= works->maxBank) bank = 0;
  works->numBanco = bank;
  writeSetup(works);
  LoadAllBankTable(works, bank);
  works->bandIdx = -1;
}

void ChangeInterfaceBanco(Works *works) {
  int mode = works->modeWorkIdx + 1;
  works->modeWorkIdx = mode > 2 ? 0 : mode;
  SaveToBank(works, works->numBanco, works->antenna);
}

void SaveToBank(Works *, int, int) {}
int LoadTabConfig(Works *, int) {
  return 1;
}
void SaveTabConfig(Works *, int) {}

void EnDisFilter(Works *works, int value) {
  std::lock_guard<std::recursive_mutex> lock(works->tablesMutex);
  int row = works->filterRowSel;
  if (row >= 0 && row < 8) works->tabFiltri[row].enabled = value;
}
