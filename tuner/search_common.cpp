// What the searches of automatic tuning share: their state and the moves
// every search makes.
#include "tuner/search_common.h"

#include <chrono>
#include <thread>

TuneSearch gSearch;
TuneParam &tuneParam = gSearch.tuneParam;
TuneParam &miglioretuneParam = gSearch.miglioretuneParam;
TuneParam (&vTuneParam)[10] = gSearch.vTuneParam;
int32_t &cnttune = gSearch.cnttune;
int32_t &cnttunefine = gSearch.cnttunefine;

void sleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void setC(Works *w, int c) {
  w->tuneC = c;
  SetC(w, c);
}

void setL(Works *w, int l) {
  w->tuneL = l;
  SetI(w, l);
}

void network(Works *w, uint32_t bit) {
  w->tuneVal = (w->tuneVal.load() & ~kModeMask) | bit;
}

const char *networkText(uint32_t word) {
  if (word & kModeBitB) return " B ";
  if (word & kModeBitA) return " A ";
  return "";
}

double v0() {
  return vTuneParam[0].swr;
}
double v1() {
  return vTuneParam[1].swr;
}
bool notWorse() {
  return v0() <= v1() + 0.1;
}
bool betterOrEqual() {
  return v0() <= v1();
}

void setBest(Works *w, const TuneParam &p) {
  miglioretuneParam = p;
  gSearch.bestFreq = w->frequency;
  gSearch.bestAnt = w->antenna;
}

TuneParam measurement(Works *w) {
  return TuneParam{w->swr.load(), w->pwFwd.load(), w->tuneL.load(), w->tuneC.load(),
                   w->tuneVal.load()};
}
