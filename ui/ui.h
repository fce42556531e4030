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

// Copies the mode-of-work name MODEwork[mode] (mode 0..2) into dst (at least
// 8 bytes); other modes copy nothing.
void GetLblInterface(int mode, char *dst);
