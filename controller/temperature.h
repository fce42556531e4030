#pragma once
// Temperatures, fan rules and the over-temperature protection.
#include <cstdio>
#include <string>
#include <vector>

#include "core/command_queue.h"
#include "core/works.h"

// Thermistor curve of both sensors: 34 pairs (degrees C, kilo-ohms) from
// -40 C upwards, temperature rising and resistance falling.
constexpr int kThermistorPairs = 34;
extern const float K_T_R[kThermistorPairs * 2];

// Converts a 12-bit sensor reading (divider with 10 kOhm) to degrees C,
// clamped to -10 .. 80.
float CalcolaTemp(int reading);
// Loads /opt/set/ventola.txt into works->tabVentola; returns the row count.
int ReadVentolaFile(Works *works);
// The fan curve's rows from an open file, in ascending temperature; lines
// that are not rows are logged and skipped.
std::vector<VentolaRow> ParseVentolaFile(FILE *f);
// True when ParseVentolaFile takes text without skipping, clamping or
// sorting anything; else the first line it would not take and why.
bool CheckFanCurveText(const std::string &text, int *line, std::string *error);
// Fan rules of one status cycle: the table rule and the computer rule.
void searchPercentVentola(Works *works);
// Temperature of the first fan table row with this percent, 0 if none.
float SearchTemperatureFromVentola(Works *works, int percent);
// Alarm logic of one sensor (normal, warning, alarm, latched).
void GestTemperatureFunction(Works *works, int alarmCode, int latchedCode, int warnCode,
                             float temperature, float setPoint);
// mode -1 deletes the temperature log, 0 appends a sample, 1 a sample taken
// at an alarm.
void LogTempFunction(Works *works, int mode);

// The amplifier supply voltage from the front panel's ADC reading.
float CalvTensVadcAmp(Works *works, int raw);
