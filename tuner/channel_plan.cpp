// The tune memory's channel plan over 0 .. 54 MHz: a frequency's slot and
// segment, a slot's frequency, an antenna's table row.
#include <cstdint>

#include "tuner/tuner.h"

const int32_t tabAtuStep[kAtuSegments][2] = {
    {0, 2000},         {1800000, 2000},   {2000000, 4000},   {3500000, 4000},   {4000000, 5000},
    {5330000, 5000},   {5400000, 5000},   {7000000, 5000},   {7300000, 5000},   {10100000, 10000},
    {10150000, 10000}, {14000000, 10000}, {14350000, 10000}, {18000000, 10000}, {18170000, 10000},
    {21000000, 20000}, {21500000, 25000}, {24850000, 25000}, {25000000, 25000}, {28000000, 25000},
    {29700000, 50000}, {50000000, 50000}, {54000000, -1},
};

namespace {

int channels(int k) {
  return (tabAtuStep[k + 1][0] - tabAtuStep[k][0]) / tabAtuStep[k][1];
}

// First index of the last segment (50 .. 54 MHz).
constexpr int kLastFirst = 4569;

}  // namespace

int AtuIdxSearch(uint32_t freq, uint32_t *segStart, uint32_t *segEnd, int *segFirstIdx,
                 int *segEndIdx) {
  int k = 0;
  int first = 0;
  while (tabAtuStep[k + 1][1] != -1) {
    if (freq >= static_cast<uint32_t>(tabAtuStep[k][0]) &&
        freq < static_cast<uint32_t>(tabAtuStep[k + 1][0]))
      break;
    first += channels(k);
    ++k;
  }
  const int64_t start = tabAtuStep[k][0];
  const int64_t end = tabAtuStep[k + 1][0];
  const int64_t step = tabAtuStep[k][1];
  if (segStart) *segStart = static_cast<uint32_t>(start);
  if (segEnd) *segEnd = static_cast<uint32_t>(end);
  if (segFirstIdx) *segFirstIdx = first;
  if (segEndIdx) *segEndIdx = first + channels(k);
  int64_t index = (static_cast<int64_t>(freq) - start + step / 2) / step + first;
  if (freq > end) ++index;
  return static_cast<int>(index);
}

uint32_t AtuFreqfromIdx(int index) {
  if (index < 0) return 0;
  if (index >= kAtuChannels) {
    // Past 54 MHz the index search adds one to the 50 kHz walk, so slot i
    // holds what rounds to channel i - 1 of the last segment.
    return static_cast<uint32_t>(tabAtuStep[21][0] +
                                 static_cast<int64_t>(index - kLastFirst - 1) * tabAtuStep[21][1]);
  }
  int c = channels(0);
  int i = 0;
  int k = 0;
  while (c < index) {
    i = c;
    c += channels(k + 1);
    ++k;
  }
  return static_cast<uint32_t>(tabAtuStep[k][0] +
                               static_cast<int64_t>(index - i) * tabAtuStep[k][1]);
}

int AtuAntennaRow(int antenna) {
  return antenna == 0 || antenna == 1 ? antenna : 2;
}
