#pragma once
// Physical model of the amplifier behind the simulated controller: drive in,
// attenuator pads, operate or bypass, protection mode, a gain that saturates
// near the model's power class, a load with its reflected power, heat in the
// board and the heat sink, and the protection a controller applies by itself.
// Pure logic without I/O or clock: the caller feeds commands, advances time
// and asks for status frames.
#include <cstddef>
#include <cstdint>

namespace sim {

struct AmpModel {
  // ---- Inputs from outside the amplifier
  int powerClass = 60;   // 60 or 120 W (the "ER0002;" data page tells which)
  double driveW = 0;     // drive power at the input connector
  double loadSwr = 1.0;  // SWR of the load, used when no load hook is set
  // Load computed from the tuner's relay word (tuner model): returns the SWR
  // the amplifier sees. Null: loadSwr applies.
  double (*loadHook)(uint32_t relayWord, void *ctx) = nullptr;
  void *loadCtx = nullptr;
  double ambientC = 25.0;
  double timeScale = 1.0;  // > 1 runs the thermal time constants faster

  // ---- Settings the controller holds (from its commands)
  int pads = 0;                          // bit 1: 3 dB pad in, bit 0: 2 dB pad in ("ATxy;")
  bool bypass = true;                    // "AB1;" bypassed (as at power-on), "AB0;" operating
  bool protection = false;               // "MP1;": reduced output
  int fanPercent = 0;                    // "FN1ppp;"
  int ts[4] = {4095, 4095, 1500, 3700};  // "TS": input, forward, reflected, current (counts)
  uint32_t relayWord = 0;                // "MT1xxxxxxxx;"

  // ---- State
  double boardC = 25.0;       // sensor 1
  double sinkC = 25.0;        // sensor 2
  bool swrTrip = false;       // state bit 1, latched until "CPFFFF;"
  uint8_t faultLatched = 0;   // trips of the thresholds, until "CPFFFF;"
  uint8_t faultInjected = 0;  // fault bits set from outside, until cleared from outside
  bool resetFlag = false;     // controller has reset: fault bit 7 until "CPFFFF;"
  int resets = 0;             // controller resets so far
};

// What the amplifier measures at this moment.
struct AmpReadings {
  double inW = 0;    // drive at the input connector
  double fwdW = 0;   // forward power at the output
  double reflW = 0;  // reflected power
  double swr = 1;    // SWR of the load
  double currentA = 0;
  double dissW = 0;  // heat into the heat sink
  bool transmitting = false;
  bool muted = false;  // stage switched off by a trip
  // Detector counts as the status frame carries them (0..4095).
  int rawIn = 0, rawFwd = 0, rawRefl = 0, rawCurrent = 0, rawT1 = 0, rawT2 = 0;
  uint8_t state0 = 0, state1 = 0, fault = 0;
};

// Calibration the program uses without a threshold table.
constexpr double kAmpK0 = 5.156579e-6;   // forward
constexpr double kAmpK1 = 3.3262754e-6;  // reflected
constexpr double kAmpK2 = 5.5078103e-6;  // input
constexpr double kAmpK3 = -0.007;        // directivity correction

void AmpInit(AmpModel *m, int powerClass);
AmpReadings AmpRead(const AmpModel &m);
// Advances time by the given seconds (times timeScale): temperatures move
// toward their equilibrium, and the controller checks its thresholds.
void AmpAdvance(AmpModel *m, double seconds);
// Applies a controller command (text with its ';', without check digits) to
// the model's settings. Returns true when the text is a well-formed command
// the model acts on.
bool AmpCommand(AmpModel *m, const char *text);
// The controller restarts: settings back to power-on, fault bit 7 raised.
void AmpControllerReset(AmpModel *m);
// Status frame ("ST...;", 37 characters) into out; returns its length, or 0
// when out is too small.
int AmpStatusFrame(const AmpModel &m, char *out, size_t size);
// Thermistor reading (divider with 10 kOhm, 12 bits) at a temperature.
int AmpTempToReading(double celsius);

}  // namespace sim
