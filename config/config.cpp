// Placeholder until the bands work; SearchK is complete.
#include "config/config.h"

int ReadConfigFile(Works *) { return 0; }
void SearchCambioSoglie_TS(Works *) {}

float SearchK(Works *works, int type) {
  std::lock_guard<std::recursive_mutex> lock(works->tablesMutex);
  int n = works->numConfigRows;
  if (n <= 0 || works->tabConfig == nullptr) {
    switch (type) {
      case 0: return 5.156579e-6f;
      case 1: return 3.3262754e-6f;
      case 2: return 5.5078103e-6f;
      case 3: return -0.007f;
      default: return 1.0f;
    }
  }
  uint32_t f = static_cast<uint32_t>(works->frequency.load());
  float k = 1.0f;
  for (int i = 0; i + 1 < n; ++i) {
    const ConfigRow &r = works->tabConfig[i];
    if (f < r.fmin || f >= works->tabConfig[i + 1].fmin) continue;
    switch (type) {
      case 0: k = r.kFwd; break;
      case 1: k = r.kRefl; break;
      case 2: k = r.kPwin; break;
      case 3: k = r.kReflFwd; break;
      default: k = 1.0f; break;
    }
  }
  return k;
}

int LoadTabFiltri(Works *) { return 0; }
void SetFilterFromfreq(Works *) {}
int LoadAllBankTable(Works *, int) { return 0; }
void GestioneAntennaAutomatica(Works *) {}
