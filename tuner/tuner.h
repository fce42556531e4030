#pragma once
// Relay word, tune memory, memory files and automatic tuning.
#include "core/works.h"

void WaitSemaforoTuneval(Works *works);
void StopSemaforoTuneval(Works *works);
// Recalls the stored tune for works->frequency into works->tuneVal.
void LoadTuneFromMEM(Works *works, int antenna);
// One step of automatic tuning, run by the link after each status reply.
void TuneTask(Works *works);
// Labels of the automatic-tuning time-outs: "25sec" ... "5sec".
extern const char SWRTimeout[5][8];
