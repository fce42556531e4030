#pragma once
// Band tables and banks, thresholds and calibration, filters.
#include "core/works.h"

int ReadConfigFile(Works *works);
void SearchCambioSoglie_TS(Works *works);
// Calibration coefficient of the row holding works->frequency: type 0 forward,
// 1 reflected, 2 input power, 3 directivity correction.
float SearchK(Works *works, int type);
int LoadTabFiltri(Works *works);
void SetFilterFromfreq(Works *works);
int LoadAllBankTable(Works *works, int bank);
void GestioneAntennaAutomatica(Works *works);
// Attenuator labels: "0", "2", "3", "5" dB and "StBy" (amplifier bypassed).
extern const char AttVectStr[5][8];
// Names of the modes of work: "Generic", "KTLNEB", " FT-817".
extern const char MODEwork[3][8];
