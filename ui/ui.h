#pragma once
// Refresh loop, menus, front panel, screens and labels.
#include <cstddef>

#include "core/key_labels.h"
#include "core/works.h"
#include "links/nebparam.h"

void *timer(void *works);  // display refresh loop thread
void *GPIO(void *works);   // front-panel thread

// Fills the menu tables, the key labels and the error descriptors.
void InitMenuLumo(Works *works);
// Draws key labels, parameter lines, error row and status pages.
void LoadButtons(Works *works, const NebParam *param);
// Chooses and loads the background image of works->meterView.
void SetWorkImg(Works *works);

// Drawing steps of one refresh pass; the refresh loop calls them in order.
void TimerDrawStart(Works *works);                          // thread start
void TimerDrawBackground(Works *works);                     // new frame
void TimerDrawDeviceError(Works *works);                    // "Error! %s"
void TimerScreenSaver(Works *works);                        // saver on
void TimerDrawScreen(Works *works, const NebParam *param);  // clock, meters, labels
void TimerPresent(Works *works);                            // show the frame
void TimerPeakFall(Works *works, double elapsedMs);         // peak hold and fall

// ---- Meters (drawn by TimerDrawScreen)
// SWR to meter steps: 12 points (SWR, steps), 1.0 -> 0 ... 100 -> 60.
extern const float CONV_SWR[24];
float ConvertW_to_dBm(float watts);
float CalcolaSWR(float swr);
// Peak tracking of the left (forward) and the right meter.
void CalcolaPwrPeak(Works *works, float value);
void CalcolaPwrPeak2(Works *works, float value);
// Needle angle (radians) of a value on a scale of steps.
float NeedleAngle(float value, int steps);
// Tip of a needle of the given angle on the pivot (cx, cy).
void NeedleEnd(int cx, int cy, float angle, int *x, int *y);
// Power text in the unit of works->powerUnits ("12.5W", "40.9dBm", "---dBm").
void FormatPower(Works *works, float watts, char *out, size_t size);
// CPU and GPU temperature from "my_temp", at most once a second.
void ReadCPUTemp(Works *works);
// works->dateTimeText from the local time, at most once a second.
void ReadDataOra(Works *works);

// ---- Screens and labels (drawn by LoadButtons)
void DrawParameters(Works *works);
void ViewStatusInfo(Works *works, const NebParam *param);
void ViewStatusTX(Works *works);
float ConversionCelsius_to_Fahrenheit(float c);
// The error row: up to six boxes of the newest listed codes.
void DrawError(Works *works);
// The box of errorList[index] between xLeft and xRight.
void DrawTastoErrore(Works *works, int xLeft, int xRight, int index);

// ---- Control steps of one refresh pass, apart from the drawing; the pass
// runs them in this order around the drawing hooks above.
// Pass counters of the tune-carrier handshake with the NEB transceiver.
struct TimerHandshake {
  int count = 0;
  int mark = 0;
};
// Device error: screen state 5 while a device has failed, back to the main
// screen after a restart (deviceError -1).
void TimerControlDeviceError(Works *works);
// Operating frequency from the source of the mode of work, and the filter,
// thresholds and band row when it changed.
void TimerControlFrequency(Works *works, const NebParam *param);
// NEB mode of work: transmit detection, antenna input and the tune carrier.
void TimerControlNeb(Works *works, const NebParam *param, TimerHandshake *hs);
// Counters that run on the pass's elapsed time (monotonic clock).
void TimerControlCounters(Works *works, double elapsedMs);
