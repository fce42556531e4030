// The simulated controller with the tuner model: the relay word it is sent
// decides the SWR, the reflected power and the high-SWR trip.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/controller_model.h"
#include "support/relay_word.h"
#include "table_fixture.h"
#include "tuner/tuner.h"

namespace {

// The best word of the network for a load, by exhaustive search.
std::string bestRelay(double f, Impedance z, double *swr) {
  *swr = 1e9;
  std::string best;
  for (int mode = 1; mode <= 2; ++mode)
    for (int l = 0; l < 512; l += 1)
      for (int c = 0; c < 512; c += 1) {
        uint32_t word = RelayWord(mode, l, c);
        double s = TunerSwr(word, f, z);
        if (s < *swr) {
          *swr = s;
          best = RelayCommand(word);
        }
      }
  return best;
}

TEST(SimTunerLoad, RelayWordDecidesTheReflectedPower) {
  sim::ControllerModel m;
  sim::ControllerUseTuner(&m, true);
  m.measuredHz = 14200000;
  ASSERT_TRUE(sim::ControllerSetLoad(&m, {"antenna", "1", "150", "-80"}));
  m.amp.driveW = 2.0;
  sim::ControllerAnswer(&m, "SA1;");
  sim::ControllerAnswer(&m, "AB0;");
  // Tuner bypassed: the antenna's own SWR.
  sim::ControllerAnswer(&m, RelayCommand(RelayWord(3, 0, 0)));
  sim::AmpReadings bypassed = sim::AmpRead(m.amp);
  EXPECT_NEAR(bypassed.swr, SwrOf(Impedance(150, -80)), 1e-9);
  EXPECT_GT(bypassed.reflW, 0.1 * bypassed.fwdW);
  // Matched: almost nothing comes back.
  double best = 0;
  sim::ControllerAnswer(&m, bestRelay(14.2e6, Impedance(150, -80), &best));
  sim::AmpReadings matched = sim::AmpRead(m.amp);
  EXPECT_LT(best, 1.1);
  EXPECT_NEAR(matched.swr, best, 1e-9);
  EXPECT_LT(matched.reflW, 0.01 * matched.fwdW);
  EXPECT_LT(matched.rawRefl, bypassed.rawRefl);
  // Tuner model off: the fixed SWR of "amp swr".
  sim::ControllerUseTuner(&m, false);
  m.amp.loadSwr = 2.0;
  EXPECT_NEAR(sim::AmpRead(m.amp).swr, 2.0, 1e-9);
}

TEST(SimTunerLoad, BadWordTripsTheController) {
  sim::ControllerModel m;
  sim::ControllerUseTuner(&m, true);
  m.measuredHz = 7100000;
  m.amp.driveW = 5.0;
  sim::ControllerAnswer(&m, "AB0;");
  sim::ControllerAnswer(&m, "TS4095409524523498;");  // REFL 20 W
  // The 40 m dipole through a network far off: most of the power comes back.
  sim::ControllerAnswer(&m, RelayCommand(RelayWord(1, 400, 400)));
  sim::ControllerAdvance(&m, 0.1);
  std::string frame = sim::ControllerAnswer(&m, "ST;");
  EXPECT_EQ(frame.substr(0, 2), "ST");
  int st1 = frame[3] >= 'A' ? frame[3] - 'A' + 10 : frame[3] - '0';
  EXPECT_NE(st1 & 2, 0) << frame;
}

TEST(SimTunerLoad, AntennaPortsAndControlLines) {
  sim::ControllerModel m;
  m.measuredHz = 7100000;
  EXPECT_EQ(sim::ControllerLoad(m), Impedance(50, 0));  // until told otherwise
  EXPECT_TRUE(sim::ControllerSetLoad(&m, {"antenna", "1", "dipole40"}));
  EXPECT_NEAR(sim::ControllerLoad(m).real(),
              AntennaImpedance(*SimAntennaByName("dipole40"), 7.1e6).real(), 1e-9);
  sim::ControllerAnswer(&m, "SA3;");
  EXPECT_EQ(sim::ControllerLoad(m), Impedance(50, 0));
  EXPECT_TRUE(sim::ControllerSetLoad(&m, {"antenna", "3", "vertical"}));
  EXPECT_NE(sim::ControllerLoad(m), Impedance(50, 0));
  EXPECT_TRUE(sim::ControllerSetLoad(&m, {"antenna", "3", "12.5", "30"}));
  EXPECT_EQ(sim::ControllerLoad(m), Impedance(12.5, 30));
  EXPECT_FALSE(sim::ControllerSetLoad(&m, {"antenna", "4", "load50"}));
  EXPECT_FALSE(sim::ControllerSetLoad(&m, {"antenna", "1", "nothing"}));
  EXPECT_FALSE(sim::ControllerSetLoad(&m, {"antenna", "1", "x", "1"}));
  EXPECT_FALSE(sim::ControllerSetLoad(&m, {"tuner", "maybe"}));
  EXPECT_TRUE(sim::ControllerSetLoad(&m, {"tuner", "on"}));
  EXPECT_NE(sim::ControllerAmpState(m).find("tuner=1 ant=3 load=12.5+30.0j"), std::string::npos);
  // Without "FM;" the frequency the program sent counts.
  m.measuredHz = 0;
  sim::ControllerAnswer(&m, "FA00003600000;");
  EXPECT_EQ(sim::ControllerFrequency(m), 3.6e6);
}

}  // namespace
