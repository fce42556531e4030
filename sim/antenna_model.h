#pragma once
// The simulated antenna tuner and antenna: the relay word drives an ideal
// L network in front of an antenna whose impedance depends on frequency.
//
// One relay step is 0.05 uH of series inductance and 5 pF of shunt
// capacitance; the ten relays of each element give 0 .. 51.15 uH and
// 0 .. 5115 pF (the program uses up to 512 steps: 25.6 uH, 2560 pF).
//   network B (mode 1, bit 23): series L from the transmitter, shunt C across
//                               the antenna; matches loads above 50 ohm.
//   network A (mode 2, bit 18): shunt C across the transmitter, then series L;
//                               matches loads below 50 ohm.
//   bypass (mode 3, bit 16), and any word without exactly one mode bit:
//                               the antenna straight through.
#include <complex>
#include <cstdint>

using Impedance = std::complex<double>;

constexpr double kSimLStepHenry = 0.05e-6;
constexpr double kSimCStepFarad = 5e-12;
constexpr double kSimZ0 = 50.0;

// One point of an antenna's impedance curve.
struct AntennaPoint {
  double freqHz;
  double r;  // ohm
  double x;  // ohm
};

// An antenna: its curve, by rising frequency. Between points R and X are
// interpolated linearly; outside the curve the end points hold.
struct AntennaModel {
  const char *name;
  const char *description;
  const AntennaPoint *points;
  int count;
};

// Built-in antennas: "load50" (a plain 50 ohm load), "dipole40", "dipole80",
// "vertical".
int SimAntennaCount();
const AntennaModel *SimAntenna(int index);
// nullptr when there is no antenna of that name.
const AntennaModel *SimAntennaByName(const char *name);

Impedance AntennaImpedance(const AntennaModel &antenna, double freqHz);

// L and C steps of a relay word, all ten relays of each element.
int SimWordL(uint32_t word);
int SimWordC(uint32_t word);
// 1 network B, 2 network A, 3 straight through.
int SimWordNetwork(uint32_t word);

// A network built from real parts: each relay's inductance or capacitance
// as it is, and stray capacitances across both ends of the network (not in
// bypass, where the relays take the network out).
struct TunerHardware {
  double lHenry[10];  // L relays, bit 0 first
  double cFarad[10];  // C relays, bit 0 first
  double strayIn;     // farad, across the transmitter side
  double strayOut;    // farad, across the antenna side
};
// The nominal network above: 0.05 uH and 5 pF per step, no strays.
TunerHardware NominalTunerHardware();
// Total L (henry) and C (farad) of a word's relays.
double TunerWordHenry(const TunerHardware &hw, uint32_t word);
double TunerWordFarad(const TunerHardware &hw, uint32_t word);

// Impedance the transmitter sees through the network of the relay word.
Impedance TunerInputImpedance(uint32_t word, double freqHz, Impedance load);
Impedance TunerInputImpedance(uint32_t word, double freqHz, Impedance load,
                              const TunerHardware &hw);
// SWR on a 50 ohm line of an impedance; an open, a short or a purely
// reactive load gives kSimSwrMax.
constexpr double kSimSwrMax = 999.0;
double SwrOf(Impedance z);
// SWR the transmitter sees with the relay word in front of the load.
double TunerSwr(uint32_t word, double freqHz, Impedance load);
double TunerSwr(uint32_t word, double freqHz, Impedance load, const TunerHardware &hw);
// Share of the forward power that comes back, from the SWR.
double ReflectedShare(double swr);
