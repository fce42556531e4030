#pragma once
// Relay word, tune memory, memory files and automatic tuning.
//
// Threads: the link thread is the one writer of the tuner's fields and of
// the tune memory (works->tabTuneRam, read elsewhere under
// works->tablesMutex), and the only thread that runs automatic tuning; the
// other threads ask it through its requests (core/link_requests.h). Without
// a link thread the caller is the owner.
#include <cstdint>
#include <string>

#include "core/works.h"

// ---- Relay word

// Word bits of the network modes.
constexpr uint32_t kModeBitB = 0x00800000;  // mode 1: network B, shunt C on the antenna side
constexpr uint32_t kModeBitA = 0x00040000;  // mode 2: network A, shunt C on the transmitter side
constexpr uint32_t kModeBitBypass = 0x00010000;  // mode 3: bypass
constexpr uint32_t kModeMask = 0x00850000;
constexpr uint32_t kCMask = 0x0050D554;
constexpr uint32_t kLMask = 0x002A2AAA;

extern const int32_t ValCI[10];

void SetC(Works *works, int c);
void SetI(Works *works, int l);
void SetMode(Works *works, int mode);
// C and L steps 0..511 of a word (the tenth bit is not part of the result).
int32_t DecodeCapacitaFromTuneval(uint32_t word);
int32_t DecodeInduttanzaFromTuneval(uint32_t word);
// All ten step bits, 0..1023: what the relays really hold.
int32_t DecodeCapacita10(uint32_t word);
int32_t DecodeInduttanza10(uint32_t word);
// 0 without a mode bit or with more than one; else 1, 2 or 3.
int DecodeModoFromTuneval(uint32_t word);
// tuneC, tuneL and tuneMode from tuneVal; a word without a valid mode becomes bypass.
void ReadTnePar(Works *works);

// ---- Tune memory

constexpr int kAtuSegments = 23;
// {start frequency in Hz, step in Hz}; the last step is -1 and ends the table.
extern const int32_t tabAtuStep[kAtuSegments][2];
constexpr int kAtuChannels = 4650;  // indexes reached by frequencies up to 54 MHz

// Channel index of freq with the bounds of its segment in Hz and in indexes.
int AtuIdxSearch(uint32_t freq, uint32_t *segStart, uint32_t *segEnd, int *segFirstIdx,
                 int *segEndIdx);
// Frequency of a channel (its lower edge). Above 54 MHz the 50 kHz walk goes
// on: slot i holds the frequencies that round to 50 MHz + (i - 4570) x 50 kHz.
uint32_t AtuFreqfromIdx(int index);

// Antenna index as a table row: 0 and 1 as they are, anything else antenna 3.
int AtuAntennaRow(int antenna);
void SaveTuneValsuTabRam(Works *works, TuneMemEntry entry, int index, int antenna);
// An index outside 0..4999 gives an empty entry; a stored bypass (mode 3)
// comes back as mode 1.
TuneMemEntry LoadTuneValFromTabRam(Works *works, int index, int antenna);
int SearchBestTune(Works *works, int index, int start, int end, int antenna);
// 1 when slot index is empty and no slot of [start, end) is filled.
int EsisteTuneValInTabRam(Works *works, int index, int start, int end, int antenna);
// Recalls the stored tune for works->frequency into works->tuneVal.
void LoadTuneFromMEM(Works *works, int antenna);
// Stores works->tuneVal into the slot of works->frequency and saves the file
// (link thread: the memory in use is the link's).
void InsertTuneToMem(Works *works, int bank, int antenna);
// The manual store into any bank: the word goes into that bank's file (read
// as the queue will leave it), the memory in use is not touched.
void InsertTuneToBankFile(Works *works, int bank, int antenna);
// Queues the tuner command for a new frequency, band or bypass state.
void GestioneLoadTuneVal(Works *works, int clearIfNone);
void ResetTabTune(Works *works, int bank, int antenna);

// ---- Memory files

// "/opt/set/atu_ant1.txt" ... by bank and antenna.
void AtuFileName(int bank, int antenna, char *out, int outSize);
// Clears the antenna's table and fills it from its file; returns the number
// of slots read, or -1 when the file is missing. The file is read on the
// calling thread; the link takes the table over (LR_TUNE_MEMORY).
int LoadTabAtu(Works *works, int bank, int antenna);
// The link's side of a load: the antenna's table becomes table, the bank's.
void CommitTuneMemory(Works *works, int bank, int antenna, const TuneMemEntry *table);
// Writes the antenna's table to its file; 0 or negative on failure. Only
// slots LoadTabAtu takes back are written.
int SaveTabAtu(Works *works, int bank, int antenna);
// True when the loader takes text as a memory file without skipping or
// dropping anything; else the first line it would not take and why.
bool CheckTuneMemoryText(const std::string &text, int *line, std::string *error);
// A slot a memory file can hold: network mode 1..3, L and C 0..1023 steps.
bool IsStorableTune(const TuneMemEntry &e);
// Copies one antenna's memory file to another bank without touching the
// tables in memory; 0 or negative on failure.
int CopyTabAtu(int fromBank, int toBank, int antenna);
// Writes entry into slot index of one bank's file for the antenna, the
// other slots as the file holds them.
int StoreTuneInFile(int bank, int antenna, int index, const TuneMemEntry &entry);

// ---- Automatic tuning

struct TuneParam {
  float swr;
  float fwd;
  int32_t l;
  int32_t c;
  uint32_t word;
};
static_assert(sizeof(TuneParam) == 20, "a tune measurement is 20 bytes");

// Search state, read and written by the link thread only; the names refer
// into the one record that holds all of the searches' state.
extern TuneParam &tuneParam;
extern TuneParam &miglioretuneParam;
extern TuneParam (&vTuneParam)[10];
extern int32_t &cnttune;
extern int32_t &cnttunefine;
extern const int32_t SWRTimeoutCICLI[5];
extern const char SWRTimeout[5][8];

// First states of the four strategies.
constexpr int kTuneSweep = 0;
constexpr int kTuneFine = 200;
constexpr int kTunePreset = 450;
constexpr int kTuneMatch = 600;  // states 600 and 601

void GoTune(Works *works);
void StartAutotune(Works *works);
void TuneTask(Works *works);
int TuneStep(Works *works);
void TuneStepComplete(Works *works);
void CtrlNuovoTune(Works *works);
void TuneEnd(Works *works);
void EscAutoTune(Works *works, int store);
void Clr_vTuneParam(Works *works);
void Clr_vTuneParam_fast(Works *works);
// One step of the match search; TuneTask calls it on the link thread.
void MatchSearchStep(Works *works);
// Measurements taken since the program started (for tests and benchmarks).
uint32_t TuneMeasureCount();
