// Placeholder until the protection work: no fan table, no temperature rules.
#include "controller/temperature.h"

float CalcolaTemp(int) { return 25.0f; }
int ReadVentolaFile(Works *) { return 0; }
void searchPercentVentola(Works *) {}
void GestTemperatureFunction(Works *, int, int, int, float, float) {}
void LogTempFunction(Works *, int) {}
