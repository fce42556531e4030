#pragma once
// The decoder of the controller's replies and the status text built from
// what they reported.
#include "core/works.h"

constexpr int kLinearRxMax = 500;  // reply buffer of the link, characters

// Reply decoder: text = reply without the check digits, count = characters
// received including the check digits. text holds count - 2 characters (or is
// NUL-terminated before). Pauses as the link's pace asks (see DecodeReply).
void DecodeCatCmd(Works *works, const char *text, int count);
// DecodeCatCmd without the pause: returns the milliseconds the link waits
// before the next command (10 after a status frame, 20 after anything else).
int DecodeReply(Works *works, const char *text, int count);
int charToInt(char c);
// Fills out (at least 53 bytes) with the 52-character status text.
void CreaBufferDiStato(Works *works, char *out);
