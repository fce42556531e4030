#pragma once
// The tuner's relay word as the program builds it (network mode, inductance
// and capacitance steps), and the controller command that carries it.
#include <cstdint>
#include <cstdio>
#include <string>

#include "core/works.h"
#include "tuner/tuner.h"

inline uint32_t RelayWord(int mode, int l, int c) {
  static Works w;  // only the relay word is used
  w.tuneVal = 0;
  SetMode(&w, mode);
  SetI(&w, l);
  SetC(&w, c);
  return w.tuneVal;
}

inline std::string RelayCommand(uint32_t word) {
  char text[16];
  snprintf(text, sizeof text, "MT1%08X;", word);
  return text;
}
