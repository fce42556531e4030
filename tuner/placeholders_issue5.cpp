// Placeholder table until automatic tuning lands (the menu shows it).
#include "tuner/tuner.h"

const char SWRTimeout[5][8] = {"25sec", "20sec", "15sec", "10sec", "5sec"};
