#pragma once
// Relay word, tune memory, memory files and automatic tuning.
#include "core/works.h"

void WaitSemaforoTuneval(Works *works);
void StopSemaforoTuneval(Works *works);
// Recalls the stored tune for works->frequency into works->tuneVal.
void LoadTuneFromMEM(Works *works, int antenna);
// One step of automatic tuning, run by the link after each status reply.
void TuneTask(Works *works);

// Relay-word fields (the decoded tuneC/tuneL/tuneMode are not touched).
void SetC(Works *works, int c);
void SetI(Works *works, int l);
void SetMode(Works *works, int mode);
// Network mode of a relay word: 1, 2, 3, or 0 when none or several are set.
int DecodeModoFromTuneval(uint32_t word);
void GestioneLoadTuneVal(Works *works, int clearIfNone);
void InsertTuneToMem(Works *works, int bank, int antenna);
// Tune memory files of a bank (antenna 0..2).
void LoadTabAtu(Works *works, int bank, int antenna);
void SaveTabAtu(Works *works, int bank, int antenna);
// Deletes one file of a bank: which 0..2 the memory of antenna which+1, 3 the band table.
void DeleteFileConf(Works *works, int bank, int which);
// The tune key: starts a tuning or aborts the running one.
void GoTune(Works *works);
// Labels of the automatic-tuning time-outs: "25sec" ... "5sec".
extern const char SWRTimeout[5][8];
