// Placeholder decoder until the controller messages are built.
#include "controller/link.h"

void DecodeCatCmd(Works *, const char *, int) {}

int charToInt(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void CreaBufferDiStato(Works *, char *out) { out[0] = 0; }
float CalvTensVadcAmp(Works *, int) { return 0.0f; }
