// The simulator's tuner and antenna: the networks, the relay steps and the
// antenna curves.
#include "sim/antenna_model.h"

#include <gtest/gtest.h>

#include <cmath>

#include "support/relay_word.h"
#include "table_fixture.h"
#include "tuner/tuner.h"

namespace {

TEST(AntennaModel, BypassAndEmptyNetworkPassTheLoad) {
  Impedance z(120, -35);
  EXPECT_EQ(TunerInputImpedance(RelayWord(3, 100, 100), 7e6, z), z);
  EXPECT_EQ(TunerInputImpedance(RelayWord(1, 0, 0), 7e6, z), z);
  EXPECT_EQ(TunerInputImpedance(RelayWord(2, 0, 0), 7e6, z), z);
  EXPECT_EQ(TunerInputImpedance(0, 7e6, z), z);  // no mode bit
  EXPECT_NEAR(SwrOf(Impedance(50, 0)), 1.0, 1e-12);
  EXPECT_NEAR(SwrOf(Impedance(100, 0)), 2.0, 1e-12);
  EXPECT_NEAR(SwrOf(Impedance(25, 0)), 2.0, 1e-12);
  EXPECT_EQ(SwrOf(Impedance(0, 30)), kSimSwrMax);
  EXPECT_NEAR(ReflectedShare(3.0), 0.25, 1e-12);
}

TEST(AntennaModel, StepValues) {
  // One L step: 0.05 uH in series; 100 steps at 10 MHz: j31.4 ohm.
  Impedance z = TunerInputImpedance(RelayWord(1, 100, 0), 10e6, Impedance(50, 0));
  EXPECT_NEAR(z.imag(), 2 * M_PI * 10e6 * 5e-6, 1e-9);
  EXPECT_NEAR(z.real(), 50, 1e-9);
  // 200 C steps, 1000 pF, at 10 MHz across the transmitter: a susceptance of 62.8 mS.
  Impedance y = 1.0 / TunerInputImpedance(RelayWord(2, 0, 200), 10e6, Impedance(50, 0));
  EXPECT_NEAR(y.imag(), 2 * M_PI * 10e6 * 1e-9, 1e-9);
  EXPECT_EQ(SimWordL(RelayWord(1, 700, 3)), 700);  // ten relays
  EXPECT_EQ(SimWordC(RelayWord(1, 3, 700)), 700);
}

TEST(AntennaModel, EachNetworkMatchesItsSideOfFiftyOhm) {
  // 200 ohm at 7 MHz: network B, shunt C across the load and series L.
  // Q = sqrt(200/50 - 1); C = Q / (w R), L = Q x 50 / w.
  double f = 7e6, w = 2 * M_PI * f, q = std::sqrt(3.0);
  int c = static_cast<int>(std::lround(q / (w * 200) / kSimCStepFarad));
  int l = static_cast<int>(std::lround(q * 50 / w / kSimLStepHenry));
  EXPECT_LT(TunerSwr(RelayWord(1, l, c), f, Impedance(200, 0)), 1.1);
  EXPECT_GT(TunerSwr(RelayWord(2, l, c), f, Impedance(200, 0)), 2.0);
  // 12.5 ohm: network A, the mirror image.
  c = static_cast<int>(std::lround(q / (w * 50) / kSimCStepFarad));
  l = static_cast<int>(std::lround(q * 12.5 / w / kSimLStepHenry));
  EXPECT_LT(TunerSwr(RelayWord(2, l, c), f, Impedance(12.5, 0)), 1.1);
  EXPECT_GT(TunerSwr(RelayWord(1, l, c), f, Impedance(12.5, 0)), 2.0);
}

TEST(AntennaModel, BuiltInAntennas) {
  ASSERT_GE(SimAntennaCount(), 4);
  const AntennaModel *load = SimAntennaByName("load50");
  ASSERT_NE(load, nullptr);
  EXPECT_EQ(AntennaImpedance(*load, 14e6), Impedance(50, 0));
  EXPECT_EQ(SimAntennaByName("nothing"), nullptr);
  EXPECT_EQ(SimAntenna(-1), nullptr);
  // The 40 m dipole is near resonance in its band and far off on 80 m.
  const AntennaModel *d40 = SimAntennaByName("dipole40");
  ASSERT_NE(d40, nullptr);
  Impedance z = AntennaImpedance(*d40, 7.1e6);
  EXPECT_LT(SwrOf(z), 2.0);
  EXPECT_GT(SwrOf(AntennaImpedance(*d40, 3.6e6)), 10.0);
  // Interpolation between points, end points held outside the curve.
  const AntennaPoint &p0 = d40->points[10];
  const AntennaPoint &p1 = d40->points[11];
  Impedance mid = AntennaImpedance(*d40, (p0.freqHz + p1.freqHz) / 2);
  EXPECT_NEAR(mid.real(), (p0.r + p1.r) / 2, 1e-9);
  EXPECT_NEAR(mid.imag(), (p0.x + p1.x) / 2, 1e-9);
  EXPECT_EQ(AntennaImpedance(*d40, 1.0), Impedance(d40->points[0].r, d40->points[0].x));
  for (int i = 0; i < SimAntennaCount(); ++i) {
    const AntennaModel *a = SimAntenna(i);
    for (int k = 1; k < a->count; ++k) EXPECT_GT(a->points[k].freqHz, a->points[k - 1].freqHz);
  }
}

}  // namespace
