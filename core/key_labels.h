#pragma once
// The key labels of every screen state and the value texts shown on them.
// The subsystems rewrite labels when a value changes (bank, attenuator,
// bypass, copy and reset targets); the refresh loop draws them.
#include <cstdint>
#include <mutex>

#include "core/works.h"

constexpr int kLumoStates = 16;
constexpr int kLumoKeys = 6;
constexpr int kLumoLabelLen = 12;

struct LumoKey {
  char line[2][kLumoLabelLen + 1];
};
struct LumoRow {
  LumoKey key[kLumoKeys];
  uint8_t flags;  // bit 0: key 1 has a long-press function; bit 5: key 6
};
// The labels are rewritten by the refresh loop and by the key handler while
// the refresh loop draws them: every access goes through the lock.
struct LumoMenuTable {
  std::mutex mutex;
  LumoRow row[kLumoStates];
};
extern LumoMenuTable Lumomenu;

// Rewrites one label line: state 0..15, key 1..6, line 0 (first) or 1
// (second); the text is cut to 12 characters.
void SetKeyLabel(int state, int key, int line, const char *text);
void SetKeyLabelf(int state, int key, int line, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
// A copy of one state's labels (an empty row for states outside 0..15).
void GetKeyRow(int state, LumoRow *out);
// The same rewrite under the names the key handler and the band code use:
// any line, and the second line.
void SetMenuKeyLabel(int state, int key, int line, const char *text);
void SetLumoLabel(Works *works, int state, int key, const char *text);

// ---- Value texts

extern const char AttVectStr[5][8];  // "0", "2", "3", "5", "StBy"
constexpr int kModesOfWork = 4;
extern const char MODEwork[kModesOfWork][8];  // "Generic", "KTLNEB", " FT-817", " Hamlib"

// The attenuator label of an index ("StBy" is index 4); an index out of the
// table reads as the first step.
inline const char *AttText(int index) {
  return AttVectStr[index >= 0 && index < 5 ? index : 0];
}
// Copies the name of mode of work `mode` (0..3) into dst (at least 8 bytes).
void GetLblInterface(int mode, char *dst);

// ---- The value labels; each rewrites its label only while its screen
// state is shown.
void SetAttenuatorLabel(Works *works);  // attenuator (main screen)
void SetModeWorkLabel(Works *works);    // bank (main screen)
void LabelByPassATU(Works *works);      // tuner bypass
void LabelByPassLumo(Works *works, const char *text);
void LblMenuAntenna(Works *works);  // mode of work (antenna menu)
void LabelSAVEATU(Works *works);    // bank and antenna to save into
void LblCOPY(Works *works);         // bank copy origin and destination
void LblRESET(Works *works);        // bank to reset
