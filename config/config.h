#pragma once
// Band tables and banks, thresholds and calibration, filters.
//
// tabAntenna/numBands, tabConfig/numConfigRows and tabFiltri are read and
// written under works->tablesMutex. Files are read and written outside it:
// loaders parse into a local copy and commit it under the lock, savers take
// a snapshot under the lock, format it and hand it to the file writer.
#include <cstdint>
#include <string>

#include "core/table_file.h"
#include "core/works.h"

// ---- Band and antenna tables, banks

constexpr int kMaxBanks = 20;

// "/opt/set/antenna.txt" for bank 0 and any bank outside 1..19, else
// "/opt/set/antenna_bN.txt".
void BandFileName(int bank, char *out, int outSize);
// True when the loader takes text as a band table without skipping,
// clamping or repairing anything; else the first line it would not and why.
bool CheckBandFileText(const std::string &text, int *line, std::string *error);
void InitTabAntenna(Works *works, int keepSettings);
// Loads the bank's band table; returns the mode of work of its header (1
// without one or without the file).
int LoadTabConfig(Works *works, int bank);
// Writes the band table and the mode of work; 0 on success.
int SaveTabConfig(Works *works, int bank);
// The file's text as SaveTabConfig writes it now.
void BandFileText(Works *works, char *out, int outSize);
void SaveToBank(Works *works, int bank, int antenna);
int LoadAllBankTable(Works *works, int bank);
void ChangeBanco(Works *works);
void ChangeInterfaceBanco(Works *works);
void SetModeWorkIDX(Works *works);
// The band row that holds the frequency (refresh loop): its antenna, tuner,
// amplifier and attenuator settings go to the link (LR_BAND_ROW).
void GestioneAntennaAutomatica(Works *works);
// The link's side: the row's settings applied, their commands queued.
void ApplyBandRow(Works *works, int ant, int atuBypass, int ampEnable, int att);
// Bank maintenance of the key handler.
void CopyBank(Works *works, int from, int to);
// Deletes one file of a bank (0..19): which 0..2 the memory file of antenna
// which+1, 3 the band-table file, through the file writer. 0 when it is
// queued (or, written at once, gone or not there).
int DeleteFileConf(Works *works, int bank, int which);
// Deletes the three memory files and the band-table file of one bank.
void DeleteBankFiles(Works *works, int bank);
// Deletes the files of one bank, or of every bank 0..maxBank-1 when bank is
// maxBank, then reloads the current bank.
void ResetBank(Works *works, int bank);

// ---- Threshold and calibration table

int ReadConfigFile(Works *works);
// As CheckBandFileText, for the threshold and calibration table.
bool CheckConfigFileText(const std::string &text, int *line, std::string *error);
// Frees the table ReadConfigFile allocated (tests and a second read).
void FreeConfigTable(Works *works);
void SearchCambioSoglie_TS(Works *works);
// Calibration coefficient of the row holding works->frequency: type 0 forward,
// 1 reflected, 2 input power, 3 directivity correction.
float SearchK(Works *works, int type);

// ---- Filter table

int LoadTabFiltri(Works *works);
// As CheckBandFileText, for the filter table.
bool CheckFilterFileText(const std::string &text, int *line, std::string *error);
int SaveTabFiltri(Works *works);
void SetFilterFromfreq(Works *works);
void EnDisFilter(Works *works, int value);
