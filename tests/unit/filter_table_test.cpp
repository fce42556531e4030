// filter.txt: the first enabled row holding the frequency selects its filter.
#include <gtest/gtest.h>

#include <string>

#include "core/command_queue.h"
#include "table_fixture.h"

namespace {

const char kFilters[] =
    ";Fstart(hz)\tFstop\n"
    "1800000\t\t2000000\t\t1 \n"
    "2000000 4000000 1\r\n"
    "3500000\t4500000\t1\n"
    "7000000 7300000 2\n"
    "7000000 7300000 1\n"
    "0 54000000 0\n";

TEST(Filters, FirstEnabledRowWins) {
  TableFixture f;
  Works *w = f.w();
  f.root.writeFile("/opt/set/filter.txt", kFilters);
  EXPECT_EQ(LoadTabFiltri(w), 6);
  w->frequency = 2000000;  // fstop of row 0 and fstart of row 1
  SetFilterFromfreq(w);
  EXPECT_EQ(w->filterRelay, 1);
  EXPECT_EQ(f.drain(), (std::vector<int>{LP_SF_SET}));
  SetFilterFromfreq(w);
  EXPECT_TRUE(f.drain().empty());  // same filter: nothing sent
  w->frequency = 3700000;          // rows 1 and 2 overlap
  SetFilterFromfreq(w);
  EXPECT_EQ(w->filterRelay, 2);
  w->frequency = 7100000;  // enabled 2 counts as off
  SetFilterFromfreq(w);
  EXPECT_EQ(w->filterRelay, 1 << 4);
  f.drain();
  w->frequency = 10100000;  // no enabled row: the selection stays
  SetFilterFromfreq(w);
  EXPECT_EQ(w->filterRelay, 1 << 4);
  EXPECT_TRUE(f.drain().empty());
}

TEST(Filters, DisablingTheRowInForce) {
  TableFixture f;
  Works *w = f.w();
  f.root.writeFile("/opt/set/filter.txt", kFilters);
  LoadTabFiltri(w);
  w->frequency = 3700000;
  SetFilterFromfreq(w);
  f.drain();
  w->filterRowSel = 1;
  EnDisFilter(w, 0);
  EXPECT_EQ(w->filterRelay, 1 << 2);
  EXPECT_EQ(f.drain(), (std::vector<int>{LP_SF_SET}));
  w->filterRowSel = 2;
  EnDisFilter(w, 0);  // nothing else holds 3.7 MHz: the old selection stays
  EXPECT_EQ(w->filterRelay, 1 << 2);
  EXPECT_TRUE(f.drain().empty());
  std::string text = f.root.readFile("/opt/set/filter.txt");
  EXPECT_EQ(text,
            ";Fstart(hz)\tFstop         enabled   : 1= abilitata, l'ordine delle righe corrisponde "
            "al filtro di attivazione   j23 ultimo by pass (0 ,54000000)  verso esterno\n"
            "1800000\t\t2000000\t\t1 \n"
            "2000000\t\t4000000\t\t0 \n"
            "3500000\t\t4500000\t\t0 \n"
            "7000000\t\t7300000\t\t2 \n"
            "7000000\t\t7300000\t\t1 \n"
            "0\t\t54000000\t\t0 \n"
            "0\t\t0\t\t0 \n"
            "0\t\t0\t\t0 \n");
  w->filterRowSel = 9;
  EnDisFilter(w, 1);  // no such row
  EXPECT_EQ(f.root.readFile("/opt/set/filter.txt"), text);
}

TEST(Filters, MissingFileDisablesEveryRow) {
  TableFixture f;
  Works *w = f.w();
  w->tabFiltri[0] = {0, 60000000, 1};
  testing::internal::CaptureStderr();
  EXPECT_EQ(LoadTabFiltri(w), 0);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Filter File not FOUND!!\n"),
            std::string::npos);
  w->frequency = 7000000;
  SetFilterFromfreq(w);
  EXPECT_TRUE(f.drain().empty());
  SaveTabFiltri(w);
  std::string text = f.root.readFile("/opt/set/filter.txt");
  EXPECT_NE(text.find("0\t\t60000000\t\t0 \n"), std::string::npos);
  // Only the first eight rows of a longer file count.
  std::string many;
  for (int i = 0; i < 20; ++i) many += std::to_string(i) + " " + std::to_string(i) + " 1\n";
  f.root.writeFile("/opt/set/filter.txt", many);
  EXPECT_EQ(LoadTabFiltri(w), 8);
  EXPECT_EQ(w->tabFiltri[7].fstart, 7u);
}

}  // namespace
