#pragma once
// The setup file /opt/set/setup.txt and the 304-byte record it fills.
#include <string>

#include "core/works.h"

// Record bytes that other code reads or writes directly.
enum SetupByte : int {
  SB_EnableKeyb = 0,
  SB_EnableSpi = 1,
  SB_EnableTouch = 2,
  SB_DelayedTouch = 3,
  SB_EnableRead = 4,
  SB_EnableWrite = 5,
  SB_EnableCAT = 6,
  SB_enaser = 7,
  SB_EnableLinear = 8,
  SB_EnableTime = 9,
  SB_EnableGPIO = 10,
  SB_WebSocket = 11,
  SB_Pitch = 12,
  SB_Quality = 22,
  SB_AudioIn = 26,
  SB_EnableFFT = 46,
  SB_EnableFFTCopy = 47,
  SB_Enable1600 = 48,
  SB_Divide = 49,
  SB_InChannels = 52,
  SB_AudioCompress = 54,
  SB_Multiplier = 64,
  SB_AudioOut = 67,
  SB_Server = 87,
  SB_CatPort = 103,
  SB_SerPort = 116,
  SB_LinPort = 129,
  SB_NumAntenna = 142,
  SB_CatSerialEnable = 215,
  SB_CatSerialPort = 216,
  SB_AutoTuneTipo = 291,
};

constexpr int kSetupSize = 304;

// Atomic access to one record byte.
char SetupChar(const Works *works, int index);
void SetSetupChar(Works *works, int index, char value);
// The NUL-terminated text of the field that starts at index (its width runs
// up to the next field).
std::string SetupText(const Works *works, int index);
// Stores text into the field at index, truncated to the field's width.
void SetSetupText(Works *works, int index, const char *text);
// Width in bytes (NUL included) of the text field at index; 0 if none starts there.
int SetupFieldWidth(int index);

void initSetup(Works *works);
void readSetup(Works *works);
int writeSetup(Works *works);
// The file's text as writeSetup would write it now (after refreshing the record).
std::string SetupFileText(Works *works);
// The pass phrase a new setup record carries; a service that needs the
// owner's own refuses to run with it.
const char *DefaultRemotePassword();
