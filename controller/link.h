#pragma once
// The controller link: command queue, wire format, retries, and the decoder
// of the controller's replies.
#include <cstdint>

#include "controller/commands.h"
#include "core/works.h"

// CRC-8 of the 1-Wire devices (reflected polynomial 0x8C, start 0).
uint8_t Sys_Crc8Calculation(const void *bytes, int length);
// Queues a command identifier; safe for several writer threads. Returns id,
// or -1 when the ring is full (the identifier is then refused with a log line).
int IncPNTIn_CMDLinear(int id, Works *works);
// Queues the controller's start-up commands.
void InitMicroCmd(Works *works);
void *Linear(void *works);  // link thread
int OpenLinear(Works *works);
int writeLinearPort(int fd, const char *text, int length, Works *works);
void LastCmdSent(Works *works, char c1, char c2, int id);
void GestRetrayCMD(Works *works);
void NextCmdPriority(Works *works, int next);
void SetAttenuatorCMD(Works *works, int index, int id);

// Reply decoder: text = reply without the check digits, count = characters
// received including the check digits.
void DecodeCatCmd(Works *works, const char *text, int count);
int charToInt(char c);
// Fills out (at least 53 bytes) with the 52-character status text.
void CreaBufferDiStato(Works *works, char *out);
float CalvTensVadcAmp(Works *works, int raw);
