// Placeholder drawing until the screen work.
#include "ui/ui.h"

void InitMenuLumo(Works *works) { works->menuCount = 32; }
void LoadButtons(Works *, const NebParam *) {}
void SetAttenuatorLabel(Works *) {}
void TimerDrawStart(Works *) {}
void TimerDrawBackground(Works *) {}
void TimerDrawDeviceError(Works *) {}
void TimerScreenSaver(Works *) {}
void TimerDrawScreen(Works *, const NebParam *) {}
void TimerPresent(Works *) {}
void TimerPeakFall(Works *, double) {}
