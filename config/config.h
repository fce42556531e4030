#pragma once
// Band tables and banks, thresholds and calibration, filters.
//
// tabAntenna/numBands, tabConfig/numConfigRows and tabFiltri are read and
// written under works->tablesMutex. Files are read and written outside it:
// loaders parse into a local copy and commit it under the lock, savers take
// a snapshot under the lock and write it afterwards.
#include <cstdint>
#include <functional>

#include "core/works.h"

// ---- Band and antenna tables, banks

constexpr int kMaxBanks = 20;

// "/opt/set/antenna.txt" for bank 0 and any bank outside 1..19, else
// "/opt/set/antenna_bN.txt".
void BandFileName(int bank, char *out, int outSize);
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
void GestioneAntennaAutomatica(Works *works);
// Bank maintenance of the key handler.
void CopyBank(Works *works, int from, int to);
// Deletes one file of a bank (0..19): which 0..2 the memory file of antenna
// which+1, 3 the band-table file. 0 when it is gone (or was not there).
int DeleteFileConf(Works *works, int bank, int which);
// Deletes the three memory files and the band-table file of one bank.
void DeleteBankFiles(Works *works, int bank);
// Deletes the files of one bank, or of every bank 0..maxBank-1 when bank is
// maxBank, then reloads the current bank.
void ResetBank(Works *works, int bank);

// ---- Threshold and calibration table

int ReadConfigFile(Works *works);
// Frees the table ReadConfigFile allocated (tests and a second read).
void FreeConfigTable(Works *works);
// Row of tabConfig that holds freq (rows 0 .. numConfigRows-2), -1 if none.
int SearchConfigRow(Works *works, uint32_t freq);
void SearchCambioSoglie_TS(Works *works);
// Calibration coefficient of the row holding works->frequency: type 0 forward,
// 1 reflected, 2 input power, 3 directivity correction.
float SearchK(Works *works, int type);

// ---- Filter table

int LoadTabFiltri(Works *works);
int SaveTabFiltri(Works *works);
void SetFilterFromfreq(Works *works);
void EnDisFilter(Works *works, int value);

// ---- Table-file reading shared by every table loader

// Reads a table file line by line: at most maxLen characters a line (the
// rest of a longer line is dropped with a log line), one trailing line feed
// and then one carriage return removed. onLine gets the line (NUL-terminated,
// bytes after an embedded NUL are not seen) and its number from 1; returning
// false stops the reading. Returns the number of lines read, -1 when the
// file cannot be opened.
int ReadTableLines(const char *devicePath, int maxLen,
                   const std::function<bool(const char *line, int lineNo)> &onLine);
// Field scanners: skip blanks and tabs, read one field and move *p past the
// rest of it. A missing field, a field without a number or a number out of
// range gives 0 and false; a number followed by junk keeps the number.
bool ScanCUnsigned(const char **p, uint32_t *out);  // decimal, "0x" hex, leading-0 octal
bool ScanDecimal(const char **p, int64_t *out);
bool ScanFloat(const char **p, float *out);  // finite values only
// True when only blanks and tabs are left.
bool AtLineEnd(const char *p);
