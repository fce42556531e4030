#pragma once
// Temperatures, fan rules and the over-temperature protection.
#include "core/works.h"

float CalcolaTemp(int reading);
int ReadVentolaFile(Works *works);
void searchPercentVentola(Works *works);
void GestTemperatureFunction(Works *works, int alarmCode, int latchedCode, int warnCode,
                             float temperature, float setPoint);
void LogTempFunction(Works *works, int mode);
// Protection on (1: "MP1;" and "AT11;") or off (0: "MP0;").
void AttivaDisattivaProtezione(Works *works, int on);
