#pragma once
// The menu's edit rules: what each key does to the selected entry's setting.
#include <cstdint>

#include "core/works.h"
#include "ui/menu_actions.h"

// Key types of the menu: ENTER, "-", "+", "<", ">".
enum MenuKeyType : int { MK_ENTER = 0, MK_MINUS = 1, MK_PLUS = 2, MK_LEFT = 3, MK_RIGHT = 4 };

// Menu entry indexes (works->menuIdx) whose rules other code refers to.
enum MenuEntryIdx : int {
  ME_MAX_BANK = 0,
  ME_FREQ_SENS = 1,
  ME_FREQ_PERIOD = 2,
  ME_AUTOTUNE_ENABLE = 3,
  ME_AUTOTUNE_ATT = 4,
  ME_TARGET_SWR = 5,
  ME_AUTOTUNE_TIMEOUT = 6,
  ME_ATU_INSTALLED = 7,
  ME_USE_MODE = 8,
  ME_LAN_IP = 9,
  ME_LAN_SUBNET = 10,
  ME_LAN_GATEWAY = 11,
  ME_LAN_DNS = 12,
  ME_PLOT_REF_LEV = 13,
  ME_PLOT_REF_POS = 14,
  ME_PLOT_POINT_DIV = 15,
  ME_PLOT_OFFSET = 16,
  ME_FILTER_VIEW = 17,
  ME_VIEW_DATETIME = 18,
  ME_TEMP_UNITS = 19,
  ME_PEAK_METER = 20,
  ME_PEAK_RELEASE = 21,
  ME_TEMP_ALARM1 = 22,
  ME_TEMP_ALARM2 = 23,
  ME_POWER_UNITS = 24,
  ME_SCREEN_SAVER = 25,
  ME_FACTORY_DEFAULT = 26,
  ME_LONG_PRESS = 27,
  ME_OFF_HW = 28,
  ME_FW_UPDATE = 29,
  ME_UI_UPDATE = 30,
  ME_REMOTE_SERVICE = 31,
  ME_COUNT = 32,
};

// Applies the edit rule of entry works->menuIdx for the key type. Returns 1
// after "+" or "-" on the entries 2, 5, 16 and 21, else 0.
int ModifyParameter(Works *works, int type);
// LAN octet editor: type 1 decrements octet cursor, 2 increments it (wrapping
// bytes), 3 moves the cursor left (0 to 3), 4 right (3 to 0). Returns the new cursor.
int ModifyIP(int type, int cursor, At<uint8_t> *vector);
