// The simulated antenna tuner and antenna (see antenna_model.h).
#include "sim/antenna_model.h"

#include <cmath>
#include <cstring>

namespace {

// Antenna curves from the induced-EMF formulas of a thin centre-fed dipole
// (wire radius 1 mm; the full-wave peak limited to about 25 times the
// radiation resistance, as the wire's own losses do), plus 2 ohm of wire
// loss. The vertical is half a 14 m dipole (a 7 m monopole) over 15 ohm of
// ground loss. 96 points from 1.7 to 55 MHz, evenly spaced in log frequency.
const AntennaPoint kDipole40[] = {
    {1.7000e6, 4.7, -2579.5},     {1.7634e6, 4.9, -2477.4},     {1.8291e6, 5.2, -2378.7},
    {1.8973e6, 5.4, -2283.1},     {1.9680e6, 5.7, -2190.6},     {2.0414e6, 5.9, -2100.9},
    {2.1174e6, 6.3, -2014.1},     {2.1964e6, 6.6, -1929.9},     {2.2782e6, 6.9, -1848.3},
    {2.3632e6, 7.3, -1769.1},     {2.4512e6, 7.8, -1692.3},     {2.5426e6, 8.2, -1617.7},
    {2.6374e6, 8.7, -1545.2},     {2.7357e6, 9.2, -1474.7},     {2.8377e6, 9.8, -1406.1},
    {2.9434e6, 10.4, -1339.3},    {3.0532e6, 11.1, -1274.3},    {3.1670e6, 11.9, -1210.9},
    {3.2850e6, 12.7, -1149.0},    {3.4075e6, 13.5, -1088.5},    {3.5345e6, 14.5, -1029.3},
    {3.6662e6, 15.5, -971.4},     {3.8029e6, 16.6, -914.6},     {3.9446e6, 17.9, -858.9},
    {4.0917e6, 19.2, -804.1},     {4.2442e6, 20.7, -750.1},     {4.4024e6, 22.3, -696.9},
    {4.5665e6, 24.1, -644.3},     {4.7367e6, 26.0, -592.2},     {4.9133e6, 28.2, -540.5},
    {5.0964e6, 30.5, -489.0},     {5.2864e6, 33.1, -437.7},     {5.4834e6, 36.0, -386.3},
    {5.6878e6, 39.2, -334.8},     {5.8998e6, 42.8, -282.8},     {6.1197e6, 46.8, -230.3},
    {6.3479e6, 51.3, -176.9},     {6.5845e6, 56.4, -122.5},     {6.8299e6, 62.2, -66.6},
    {7.0845e6, 68.7, -9.0},       {7.3486e6, 76.2, 50.8},       {7.6225e6, 84.9, 113.4},
    {7.9066e6, 94.9, 179.4},      {8.2013e6, 106.7, 249.6},     {8.5070e6, 120.6, 325.0},
    {8.8241e6, 137.2, 407.0},     {9.1530e6, 157.4, 497.3},     {9.4942e6, 182.3, 598.3},
    {9.8481e6, 213.5, 713.4},     {10.2152e6, 253.6, 847.2},    {10.5960e6, 306.4, 1006.8},
    {10.9909e6, 378.4, 1203.2},   {11.4006e6, 481.0, 1454.4},   {11.8256e6, 635.6, 1792.3},
    {12.2664e6, 887.4, 2279.0},   {12.7236e6, 1345.7, 3052.5},  {13.1979e6, 2339.8, 4487.1},
    {13.6898e6, 5268.1, 7970.9},  {14.2001e6, 5140.0, 5392.7},  {14.7294e6, 4932.2, 2567.4},
    {15.2784e6, 4647.6, -372.5},  {15.8479e6, 2544.0, -1931.2}, {16.4387e6, 1078.7, -1635.7},
    {17.0514e6, 558.6, -1304.7},  {17.6870e6, 325.1, -1028.1},  {18.3463e6, 206.4, -798.4},
    {19.0301e6, 142.8, -601.3},   {19.7395e6, 109.6, -425.3},   {20.4753e6, 95.7, -260.9},
    {21.2385e6, 96.1, -100.1},    {22.0301e6, 109.8, 65.4},     {22.8513e6, 138.7, 245.8},
    {23.7031e6, 189.2, 456.3},    {24.5866e6, 276.7, 723.5},    {25.5031e6, 439.7, 1103.9},
    {26.4537e6, 797.2, 1745.2},   {27.4397e6, 1879.1, 3202.3},  {28.4625e6, 6751.1, 7257.9},
    {29.5235e6, 6351.4, 1900.6},  {30.6240e6, 2630.0, -1670.7}, {31.7655e6, 691.1, -1179.8},
    {32.9495e6, 280.9, -763.2},   {34.1777e6, 150.7, -447.6},   {35.4517e6, 113.9, -177.0},
    {36.7731e6, 128.1, 90.0},     {38.1438e6, 194.8, 398.6},    {39.5656e6, 362.7, 835.4},
    {41.0404e6, 866.4, 1680.1},   {42.5702e6, 4025.5, 4968.0},  {44.1570e6, 7243.3, 1955.2},
    {45.8030e6, 1450.2, -1379.0}, {47.5103e6, 338.8, -756.9},   {49.2812e6, 146.5, -331.8},
    {51.1181e6, 131.5, 33.3},     {53.0236e6, 229.3, 457.3},    {55.0000e6, 602.6, 1195.1},
};
const AntennaPoint kDipole80[] = {
    {1.7000e6, 13.2, -1205.1},    {1.7634e6, 14.1, -1140.5},    {1.8291e6, 15.1, -1077.4},
    {1.8973e6, 16.2, -1015.5},    {1.9680e6, 17.4, -954.8},     {2.0414e6, 18.7, -895.1},
    {2.1174e6, 20.1, -836.4},     {2.1964e6, 21.6, -778.5},     {2.2782e6, 23.4, -721.4},
    {2.3632e6, 25.2, -664.9},     {2.4512e6, 27.3, -608.8},     {2.5426e6, 29.6, -553.1},
    {2.6374e6, 32.1, -497.6},     {2.7357e6, 34.8, -442.1},     {2.8377e6, 37.9, -386.5},
    {2.9434e6, 41.4, -330.6},     {3.0532e6, 45.2, -274.2},     {3.1670e6, 49.5, -217.0},
    {3.2850e6, 54.3, -158.7},     {3.4075e6, 59.8, -99.1},      {3.5345e6, 66.0, -37.8},
    {3.6662e6, 73.1, 25.7},       {3.8029e6, 81.3, 91.9},       {3.9446e6, 90.7, 161.3},
    {4.0917e6, 101.8, 234.9},     {4.2442e6, 114.8, 313.7},     {4.4024e6, 130.3, 398.7},
    {4.5665e6, 149.0, 491.9},     {4.7367e6, 171.8, 595.3},     {4.9133e6, 200.3, 712.1},
    {5.0964e6, 236.5, 846.6},     {5.2864e6, 283.7, 1005.1},    {5.4834e6, 347.1, 1197.3},
    {5.6878e6, 435.7, 1438.6},    {5.8998e6, 566.2, 1755.7},    {6.1197e6, 771.5, 2197.7},
    {6.3479e6, 1127.3, 2867.7},   {6.5845e6, 1839.8, 4020.4},   {6.8299e6, 3662.6, 6481.8},
    {7.0845e6, 5200.1, 6719.5},   {7.3486e6, 5023.8, 3752.4},   {7.6225e6, 4768.9, 603.5},
    {7.9066e6, 3938.1, -2271.0},  {8.2013e6, 1466.9, -2003.9},  {8.5070e6, 712.4, -1590.9},
    {8.8241e6, 398.1, -1249.5},   {9.1530e6, 244.6, -973.4},    {9.4942e6, 163.4, -742.6},
    {9.8481e6, 120.0, -541.2},    {10.2152e6, 99.3, -357.3},    {10.5960e6, 94.4, -181.6},
    {10.9909e6, 102.8, -5.0},     {11.4006e6, 125.2, 182.3},    {11.8256e6, 166.0, 394.0},
    {12.2664e6, 236.1, 652.5},    {12.7236e6, 361.8, 1001.1},   {13.1979e6, 617.0, 1543.0},
    {13.6898e6, 1277.1, 2603.5},  {14.2001e6, 4221.4, 5971.2},  {14.7294e6, 6558.6, 4158.6},
    {15.2784e6, 5921.0, -1860.0}, {15.8479e6, 1086.9, -1555.8}, {16.4387e6, 387.4, -1010.3},
    {17.0514e6, 186.2, -622.3},   {17.6870e6, 121.3, -311.0},   {18.3463e6, 117.0, -23.2},
    {19.0301e6, 160.6, 286.3},    {19.7395e6, 277.3, 684.9},    {20.4753e6, 589.0, 1347.1},
    {21.2385e6, 1890.7, 3109.1},  {22.0301e6, 7539.2, 5290.3},  {22.8513e6, 3567.1, -1858.9},
    {23.7031e6, 551.7, -1083.1},  {24.5866e6, 189.6, -537.2},   {25.5031e6, 124.6, -125.2},
    {26.4537e6, 174.0, 292.3},    {27.4397e6, 391.1, 892.2},    {28.4625e6, 1456.8, 2437.5},
    {29.5235e6, 8115.8, 4338.3},  {30.6240e6, 1462.4, -1482.7}, {31.7655e6, 257.8, -640.7},
    {32.9495e6, 132.9, -104.0},   {34.1777e6, 228.4, 450.9},    {35.4517e6, 823.1, 1547.6},
    {36.7731e6, 8718.7, 5914.4},  {38.1438e6, 1224.6, -1340.8}, {39.5656e6, 191.6, -436.5},
    {41.0404e6, 167.1, 187.2},    {42.5702e6, 603.4, 1174.5},   {44.1570e6, 9135.4, 6083.8},
    {45.8030e6, 811.5, -1104.3},  {47.5103e6, 150.8, -199.5},   {49.2812e6, 311.2, 612.4},
    {51.1181e6, 4448.3, 4720.2},  {53.0236e6, 1164.1, -1235.3}, {55.0000e6, 152.7, -161.8},
};
const AntennaPoint kVertical[] = {
    {1.7000e6, 15.6, -1848.3},   {1.7634e6, 15.7, -1778.9},   {1.8291e6, 15.7, -1711.8},
    {1.8973e6, 15.8, -1647.1},   {1.9680e6, 15.8, -1584.5},   {2.0414e6, 15.9, -1524.1},
    {2.1174e6, 16.0, -1465.7},   {2.1964e6, 16.1, -1409.2},   {2.2782e6, 16.1, -1354.6},
    {2.3632e6, 16.2, -1301.9},   {2.4512e6, 16.3, -1250.9},   {2.5426e6, 16.4, -1201.5},
    {2.6374e6, 16.5, -1153.8},   {2.7357e6, 16.6, -1107.6},   {2.8377e6, 16.8, -1062.8},
    {2.9434e6, 16.9, -1019.5},   {3.0532e6, 17.1, -977.5},    {3.1670e6, 17.2, -936.9},
    {3.2850e6, 17.4, -897.4},    {3.4075e6, 17.6, -859.2},    {3.5345e6, 17.8, -822.1},
    {3.6662e6, 18.0, -786.0},    {3.8029e6, 18.2, -751.0},    {3.9446e6, 18.5, -717.0},
    {4.0917e6, 18.8, -683.9},    {4.2442e6, 19.1, -651.7},    {4.4024e6, 19.4, -620.4},
    {4.5665e6, 19.8, -589.8},    {4.7367e6, 20.2, -560.0},    {4.9133e6, 20.6, -530.8},
    {5.0964e6, 21.0, -502.4},    {5.2864e6, 21.5, -474.5},    {5.4834e6, 22.1, -447.2},
    {5.6878e6, 22.7, -420.4},    {5.8998e6, 23.3, -394.0},    {6.1197e6, 24.0, -368.1},
    {6.3479e6, 24.8, -342.6},    {6.5845e6, 25.7, -317.4},    {6.8299e6, 26.6, -292.4},
    {7.0845e6, 27.6, -267.7},    {7.3486e6, 28.7, -243.0},    {7.6225e6, 30.0, -218.5},
    {7.9066e6, 31.4, -194.0},    {8.2013e6, 32.9, -169.4},    {8.5070e6, 34.6, -144.7},
    {8.8241e6, 36.5, -119.8},    {9.1530e6, 38.7, -94.4},     {9.4942e6, 41.1, -68.7},
    {9.8481e6, 43.8, -42.3},     {10.2152e6, 46.9, -15.1},    {10.5960e6, 50.5, 13.1},
    {10.9909e6, 54.5, 42.4},     {11.4006e6, 59.2, 73.3},     {11.8256e6, 64.7, 105.9},
    {12.2664e6, 71.2, 140.9},    {12.7236e6, 78.9, 178.8},    {13.1979e6, 88.2, 220.3},
    {13.6898e6, 99.6, 266.5},    {14.2001e6, 113.7, 318.6},   {14.7294e6, 131.7, 378.8},
    {15.2784e6, 155.1, 449.8},   {15.8479e6, 186.6, 536.1},   {16.4387e6, 230.5, 644.6},
    {17.0514e6, 295.1, 787.5},   {17.6870e6, 396.4, 987.4},   {18.3463e6, 571.6, 1291.2},
    {19.0301e6, 920.7, 1815.6},  {19.7395e6, 1806.4, 2938.3}, {20.4753e6, 2615.8, 3179.2},
    {21.2385e6, 2528.6, 1874.6}, {22.0301e6, 2402.2, 485.7},  {22.8513e6, 2045.3, -835.0},
    {23.7031e6, 763.1, -824.9},  {24.5866e6, 376.1, -673.4},  {25.5031e6, 215.8, -535.5},
    {26.4537e6, 137.7, -420.0},  {27.4397e6, 96.4, -321.8},   {28.4625e6, 74.4, -235.1},
    {29.5235e6, 63.8, -155.4},   {30.6240e6, 61.2, -78.8},    {31.7655e6, 65.2, -1.5},
    {32.9495e6, 76.2, 80.9},     {34.1777e6, 96.3, 174.2},    {35.4517e6, 130.9, 288.6},
    {36.7731e6, 192.7, 443.4},   {38.1438e6, 317.8, 684.9},   {39.5656e6, 638.4, 1158.7},
    {41.0404e6, 2037.2, 2660.4}, {42.5702e6, 3298.9, 2094.9}, {44.1570e6, 2984.9, -551.8},
    {45.8030e6, 575.1, -649.6},  {47.5103e6, 212.0, -433.2},  {49.2812e6, 108.5, -269.6},
    {51.1181e6, 75.0, -135.6},   {53.0236e6, 72.3, -10.5},    {55.0000e6, 93.4, 124.9},
};

const AntennaPoint kLoad50[] = {{1.0e6, 50.0, 0.0}, {60.0e6, 50.0, 0.0}};

template <size_t N>
constexpr int countOf(const AntennaPoint (&)[N]) {
  return static_cast<int>(N);
}

const AntennaModel kAntennas[] = {
    {"load50", "a plain 50 ohm load", kLoad50, countOf(kLoad50)},
    {"dipole40", "20.5 m dipole, resonant near 7.1 MHz", kDipole40, countOf(kDipole40)},
    {"dipole80", "40.5 m dipole, resonant near 3.6 MHz", kDipole80, countOf(kDipole80)},
    {"vertical", "7 m vertical over a poor ground", kVertical, countOf(kVertical)},
};

constexpr int kCBits[10] = {15, 2, 4, 6, 14, 12, 10, 8, 20, 22};
constexpr int kLBits[10] = {1, 3, 5, 7, 13, 11, 9, 19, 21, 17};

int gather(const int (&bits)[10], uint32_t word) {
  int v = 0;
  for (int i = 0; i < 10; ++i)
    if (word & (1u << bits[i])) v |= 1 << i;
  return v;
}

// Sum of the relays that the ten bits of steps close.
double relaySum(const double (&relays)[10], int steps) {
  double sum = 0;
  for (int i = 0; i < 10; ++i)
    if (steps & (1 << i)) sum += relays[i];
  return sum;
}

// Parallel of an impedance and a shunt admittance.
Impedance withShunt(Impedance z, Impedance y) {
  Impedance yz = y * z + 1.0;
  if (std::abs(yz) < 1e-15) return Impedance(1e12, 0);  // resonant tank: open
  return z / yz;
}

}  // namespace

int SimAntennaCount() {
  return static_cast<int>(sizeof kAntennas / sizeof kAntennas[0]);
}

const AntennaModel *SimAntenna(int index) {
  if (index < 0 || index >= SimAntennaCount()) return nullptr;
  return &kAntennas[index];
}

const AntennaModel *SimAntennaByName(const char *name) {
  for (const AntennaModel &a : kAntennas)
    if (name != nullptr && strcmp(a.name, name) == 0) return &a;
  return nullptr;
}

Impedance AntennaImpedance(const AntennaModel &antenna, double freqHz) {
  const AntennaPoint *p = antenna.points;
  int n = antenna.count;
  if (n <= 0) return Impedance(kSimZ0, 0);
  if (freqHz <= p[0].freqHz) return Impedance(p[0].r, p[0].x);
  if (freqHz >= p[n - 1].freqHz) return Impedance(p[n - 1].r, p[n - 1].x);
  int i = 1;
  while (i < n - 1 && p[i].freqHz < freqHz) ++i;
  double t = (freqHz - p[i - 1].freqHz) / (p[i].freqHz - p[i - 1].freqHz);
  return Impedance(p[i - 1].r + t * (p[i].r - p[i - 1].r), p[i - 1].x + t * (p[i].x - p[i - 1].x));
}

int SimWordL(uint32_t word) {
  return gather(kLBits, word);
}
int SimWordC(uint32_t word) {
  return gather(kCBits, word);
}

int SimWordNetwork(uint32_t word) {
  switch (word & 0x00850000u) {
    case 0x00800000u: return 1;
    case 0x00040000u: return 2;
    default: return 3;
  }
}

TunerHardware NominalTunerHardware() {
  TunerHardware hw{};
  for (int i = 0; i < 10; ++i) {
    hw.lHenry[i] = (1 << i) * kSimLStepHenry;
    hw.cFarad[i] = (1 << i) * kSimCStepFarad;
  }
  return hw;
}

double TunerWordHenry(const TunerHardware &hw, uint32_t word) {
  return relaySum(hw.lHenry, SimWordL(word));
}

double TunerWordFarad(const TunerHardware &hw, uint32_t word) {
  return relaySum(hw.cFarad, SimWordC(word));
}

Impedance TunerInputImpedance(uint32_t word, double freqHz, Impedance load) {
  static const TunerHardware nominal = NominalTunerHardware();
  return TunerInputImpedance(word, freqHz, load, nominal);
}

Impedance TunerInputImpedance(uint32_t word, double freqHz, Impedance load,
                              const TunerHardware &hw) {
  int network = SimWordNetwork(word);
  if (network == 3) return load;
  double w = 2 * M_PI * freqHz;
  Impedance zl(0, w * TunerWordHenry(hw, word));
  Impedance yc(0, w * TunerWordFarad(hw, word));
  Impedance out = withShunt(load, Impedance(0, w * hw.strayOut));
  Impedance z = network == 1 ? zl + withShunt(out, yc) : withShunt(zl + out, yc);
  return withShunt(z, Impedance(0, w * hw.strayIn));
}

double SwrOf(Impedance z) {
  if (!std::isfinite(z.real()) || !std::isfinite(z.imag())) return kSimSwrMax;
  double rho = std::abs((z - kSimZ0) / (z + kSimZ0));
  if (!(rho < 1.0)) return kSimSwrMax;
  double swr = (1 + rho) / (1 - rho);
  return swr > kSimSwrMax ? kSimSwrMax : swr;
}

double TunerSwr(uint32_t word, double freqHz, Impedance load) {
  return SwrOf(TunerInputImpedance(word, freqHz, load));
}

double TunerSwr(uint32_t word, double freqHz, Impedance load, const TunerHardware &hw) {
  return SwrOf(TunerInputImpedance(word, freqHz, load, hw));
}

double ReflectedShare(double swr) {
  if (!(swr >= 1.0)) return 0.0;
  double rho = (swr - 1) / (swr + 1);
  return rho * rho;
}
