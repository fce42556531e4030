#pragma once
// Temperatures, fan rules and the over-temperature protection.
#include "core/works.h"

float CalcolaTemp(int reading);
int ReadVentolaFile(Works *works);
void searchPercentVentola(Works *works);
void GestTemperatureFunction(Works *works, int alarmCode, int latchedCode, int warnCode,
                             float temperature, float setPoint);
void LogTempFunction(Works *works, int mode);
