#pragma once
// Refresh loop, menus, front panel, screens and labels.
#include "core/works.h"
#include "links/nebparam.h"

void *timer(void *works);  // display refresh loop thread
void *GPIO(void *works);   // front-panel thread

// Fills the menu tables, the key labels and the error descriptors.
void InitMenuLumo(Works *works);
// Draws key labels, parameter lines, error row and status pages.
void LoadButtons(Works *works, const NebParam *param);
// Redraws the attenuator label after the controller changed it.
void SetAttenuatorLabel(Works *works);
// Chooses and loads the background image of works->meterView.
void SetWorkImg(Works *works);

// Drawing steps of one refresh pass; the refresh loop calls them in order.
void TimerDrawStart(Works *works);                                  // thread start
void TimerDrawBackground(Works *works);                             // new frame
void TimerDrawDeviceError(Works *works);                            // "Error! %s"
void TimerScreenSaver(Works *works);                                // saver on
void TimerDrawScreen(Works *works, const NebParam *param);          // clock, meters, labels
void TimerPresent(Works *works);                                    // show the frame
void TimerPeakFall(Works *works, double elapsedMs);                 // peak hold and fall

// Key labels the band and tuner code changes (drawn by the screens).
// Rewrites the second line of key (1..6) of a screen state in Lumomenu.
void SetLumoLabel(Works *works, int state, int key, const char *text);
// The tune screen's bypass label (second line of key 5 in state 3).
void LabelByPassLumo(Works *works, const char *text);

// Control steps of one refresh pass, apart from the drawing. The pass runs
// them in this order around the drawing hooks above.
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
