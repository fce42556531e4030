// The simulator's default table files (see default_tables.h).
#include "sim/default_tables.h"

namespace {

// One row per band: calibration equal to the decoder's default coefficients
// (the simulated controller reports power with those), the 60 W class
// thresholds, and five presets per band: the best words of the simulated
// network at the band's centre for 150, 16.7, 30 + j40, 80 - j60 and
// 400 + j300 ohm (bench/tuning_bench --presets makes these rows).
const char kConfig[] =
    "; fmin fmax P1 R1 P2 R2 P3 R3 kReflFwd PWIN Corrente REFL FWD L0 C0 L1 C1 L2 C2 L3 C3 L4 C4 "
    "step\n"
    "; 160m\n"
    "0 2000000 60 3411.103 10 1733.887 5 952.786 -0.007 10 12 20 80 118 158 40 471 68 432 103 63 "
    "284 "
    "111 4\n"
    "; 80m\n"
    "2900000 4000000 60 3411.103 10 1733.887 5 952.786 -0.007 10 12 20 80 60 80 20 240 35 219 52 "
    "32 "
    "145 56 4\n"
    "; 60m\n"
    "4700000 5450000 60 3411.103 10 1733.887 5 952.786 -0.007 10 12 20 80 42 56 14 166 24 152 36 "
    "22 "
    "100 39 4\n"
    "; 40m\n"
    "6200000 7300000 60 3411.103 10 1733.887 5 952.786 -0.007 10 12 20 80 31 42 11 124 18 115 27 "
    "17 "
    "74 30 2\n"
    "; 30m\n"
    "8700000 10150000 60 3411.103 10 1733.887 5 952.786 -0.007 10 12 20 80 22 30 7 90 13 81 19 12 "
    "53 "
    "21 2\n"
    "; 20m\n"
    "12000000 14350000 60 3411.103 10 1733.887 5 952.786 -0.007 10 12 20 80 16 21 5 65 9 58 14 8 "
    "38 "
    "15 2\n"
    "; 17m\n"
    "16000000 18168000 60 3411.103 10 1733.887 5 952.786 -0.007 10 12 20 80 12 17 4 50 7 45 11 7 "
    "29 "
    "12 2\n"
    "; 15m\n"
    "19500000 21450000 60 3411.103 10 1733.887 5 952.786 -0.007 10 12 20 80 11 14 4 40 6 39 9 6 25 "
    "10 "
    "1\n"
    "; 12m\n"
    "23000000 24990000 60 3411.103 10 1733.887 5 952.786 -0.007 10 12 20 80 9 12 3 36 5 33 8 5 23 "
    "8 "
    "1\n"
    "; 10m\n"
    "26500000 29700000 60 3411.103 10 1733.887 5 952.786 -0.007 10 12 20 80 8 10 3 29 4 28 7 4 20 "
    "7 "
    "1\n"
    "; 6m\n"
    "40000000 54000000 60 3411.103 10 1733.887 5 952.786 -0.007 10 12 20 80 4 6 1 18 3 16 4 2 11 4 "
    "1\n"
    "; closes the 6 m row\n"
    "60000000 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 1\n";

// Seven band filters and the external bypass path last.
const char kFilter[] =
    ";Fstart(hz)\tFstop         enabled   : 1= abilitata, l'ordine delle righe corrisponde al "
    "filtro di attivazione   j23 ultimo by pass (0 ,54000000)  verso esterno\n"
    "1800000\t\t2000000\t\t1 \n"
    "3500000\t\t4000000\t\t1 \n"
    "5330000\t\t7300000\t\t1 \n"
    "10100000\t\t14350000\t\t1 \n"
    "18068000\t\t21450000\t\t1 \n"
    "24890000\t\t29700000\t\t1 \n"
    "50000000\t\t54000000\t\t1 \n"
    "0\t\t54000000\t\t1 \n";

// Bank 1 (the setup file's default): Generic mode of work, the amplifier on
// in every band; 160 and 80 m on antenna 2, 6 m on antenna 3 with the tuner
// bypassed and the 2 dB pad in.
const char kBand[] =
    "!Gen\n"
    "160m 1800000 2000000 1 2 0 0 0.0\n"
    "80m 3500000 4000000 1 2 0 0 0.0\n"
    "60m 5330500 5450000 1 1 0 0 0.0\n"
    "40m 7000000 7300000 1 1 0 0 0.0\n"
    "30m 10100000 10150000 1 1 0 0 0.0\n"
    "20m 14000000 14350000 1 1 0 0 0.0\n"
    "17m 18068000 18168000 1 1 0 0 0.0\n"
    "15m 21000000 21450000 1 1 0 0 0.0\n"
    "12m 24890000 24990000 1 1 0 0 0.0\n"
    "10m 28000000 29700000 1 1 0 0 0.0\n"
    "6m 50000000 54000000 1 3 1 1 0.0\n";

}  // namespace

std::vector<SimTableFile> SimDefaultTables() {
  return {{"/opt/set/config.txt", kConfig},
          {"/opt/set/filter.txt", kFilter},
          {"/opt/set/antenna_b1.txt", kBand}};
}
