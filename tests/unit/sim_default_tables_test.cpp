// The simulator's default tables load cleanly and select what each band needs.
#include <gtest/gtest.h>

#include <string>

#include "sim/default_tables.h"
#include "table_fixture.h"

namespace {

TEST(SimDefaultTables, LoadAndSelectPerBand) {
  TableFixture f;
  Works *w = f.w();
  for (const SimTableFile &t : SimDefaultTables()) f.root.writeFile(t.devicePath, t.text);
  testing::internal::CaptureStderr();
  ASSERT_EQ(ReadConfigFile(w), 12);
  EXPECT_EQ(LoadTabFiltri(w), 8);
  EXPECT_EQ(LoadTabConfig(w, 1), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.find("missing or bad"), std::string::npos) << err;
  EXPECT_EQ(w->numBands, 11);
  for (int i = 0; i < 11; ++i) {
    const TabAntennaRow &band = w->tabAntenna[i];
    uint32_t centre = (band.fmin + band.fmax) / 2;
    w->frequency = static_cast<int32_t>(centre);
    // Calibration as the decoder's defaults.
    EXPECT_NEAR(SearchK(w, 0), 5.156579e-6, 1e-11) << band.name;
    EXPECT_NEAR(SearchK(w, 1), 3.3262754e-6, 1e-11) << band.name;
    EXPECT_NEAR(SearchK(w, 2), 5.5078103e-6, 1e-11) << band.name;
    int row = SearchConfigRow(w, centre);
    ASSERT_EQ(row, i) << band.name;
    for (int k = 0; k < 5; ++k) {
      EXPECT_LT(w->tabConfig[row].L[k], 512);
      EXPECT_LT(w->tabConfig[row].C[k], 512);
    }
    // The band's own filter, never the bypass path.
    w->filterRelay = 0;
    SetFilterFromfreq(w);
    EXPECT_NE(w->filterRelay, 0) << band.name;
    EXPECT_NE(w->filterRelay, 0x80) << band.name;
    w->configRowIdx = -1;
    SearchCambioSoglie_TS(w);
    EXPECT_EQ(w->tsPar[3], 3498);
    EXPECT_LT(w->tsPar[1], 4095);
  }
}

}  // namespace
