// Placeholder tables until the band tables land (the screen draws them).
#include "config/config.h"

const char AttVectStr[5][8] = {"0", "2", "3", "5", "StBy"};
const char MODEwork[3][8] = {"Generic", "KTLNEB", " FT-817"};
