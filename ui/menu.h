#pragma once
// The menu model: the 32 menu entries, the value texts of the entries and
// the drawing of the menu screen.
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "core/key_labels.h"
#include "core/works.h"

constexpr int kMenuEntries = 32;
constexpr int kMenuItems = 10;
constexpr int kMenuValueLen = 24;  // room LoadParameterMenu needs in its output

struct MenuItem {
  char label[20];     // shown beside the title; " " when the entry has none
  uint8_t noEdit;     // 1: ENTER does not open the value
  uint8_t useCursor;  // 1: the value is edited octet by octet ("<" and ">")
};

struct MenuEntry {
  int32_t number;              // shown before the title
  char title[21];              // "SCREEN SAVER TIMEOUT" is 20 characters
  MenuItem items[kMenuItems];  // only item 0 is used
  int32_t itemCount;
};

// Filled once by InitMenuLumo before the threads that read it start.
extern MenuEntry menuPar[kMenuEntries];

// 1 when ENTER does not open the value of the entry (its noEdit flag).
int MenuEntryNoEdit(int entry);

// ---- Value tables of the entries
extern const int32_t SaveScreen[5];     // screen-saver thresholds, minutes
extern const char SaveScreenVal[5][8];  // "5min" ... "60min"

// The octet vector and cursor of the LAN entry on screen (entries 9-12),
// set by LoadParameterMenu for the key handler's octet editor.
extern At<At<uint8_t> *> LAN_vect;
extern At<At<int> *> LAN_idx;

// Writes the value text of a menu entry into out (at least kMenuValueLen
// bytes). For entries 8, 19, 20, 24, 25, 26 and 28-31 a non-zero itemIdx
// writes nothing; entries outside 0..31 write an empty text.
void LoadParameterMenu(Works *works, char *out, int entry, int itemIdx);
// Writes four octets as "%i.%i.%i.%i" into text (at least 16 bytes).
void SplitAddrInv(char *text, const uint8_t vector[4]);
void SplitAddrInv(char *text, const At<uint8_t> vector[4]);

// The menu screen (screen states 1 and 2), drawn by DrawParameters.
void DrawMenuScreen(Works *works);
