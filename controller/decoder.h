#pragma once
// The decoder of the controller's replies and the status text built from
// what they reported.
#include "core/works.h"

constexpr int kLinearRxMax = 500;  // reply buffer of the link, characters

// What a reply was; the link chooses its next command from it.
enum ReplyKind : int {
  RP_UNKNOWN,   // too short, or no reply this link knows: a retry
  RP_REJECTED,  // the controller refused the command ('?', '!' or '&'): a retry
  RP_ANSWER,    // an ordinary answer, its value stored
  RP_STATUS,    // a status frame, its values stored
};
struct ReplyRead {
  int kind;
};

// Reply decoder: text = reply without the check digits, count = characters
// received including the check digits. text holds count - 2 characters (or is
// NUL-terminated before). Stores what the reply carries (values, errors,
// temperatures and fan) and returns what it was; it neither steps the tuner
// nor chooses the next command.
ReplyRead DecodeCatCmd(Works *works, const char *text, int count);
int charToInt(char c);
// Fills out (at least 53 bytes) with the 52-character status text, from the
// view the link published.
void CreaBufferDiStato(Works *works, char *out);
