#pragma once
// The controller link: wire format, the request/reply state machine and
// the thread that runs it on the port.
#include <cstdint>

#include "controller/decoder.h"
#include "controller/next_command.h"
#include "core/command_queue.h"
#include "core/works.h"

// CRC-8 of the 1-Wire devices (reflected polynomial 0x8C, start 0).
uint8_t Sys_Crc8Calculation(const void *bytes, int length);
void *Linear(void *works);  // link thread
int OpenLinear(Works *works);
// Writes the check digits and then the text. Returns 0, or -1 when a write
// failed (the port is then taken as lost).
int writeLinearPort(int fd, const char *text, int length, Works *works);
// Sends an attenuator command on works->linFD. Link thread only: other
// threads queue LP_AT, LP_AT_TUNE or LP_AT_MAX instead.
void SetAttenuatorCMD(Works *works, int index, int id);

// The link's own state (linearLinkState), apart from the next command
// (linearProcessStatus).
enum LinearState : int {
  LS_SEND = 1,     // the next command goes out
  LS_WAIT = 2,     // waiting for the reply
  LS_DECODE = 3,   // a complete reply is in the buffer
  LS_HALTED = 31,  // halted after "MR1;" until the program restarts
};

// ---- The link's logic apart from the port.
// The link thread owns one LinearLink; it reads from the port into in[] and
// writes what LinearAdvance asks for. Tests drive the same functions with
// bytes of their own.

constexpr int kLinearTimeoutMs = 1500;  // no complete reply within this: retry
constexpr int kLinearCmdMax = 24;       // longest command text, NUL included

struct LinearLink {
  char rx[kLinearRxMax + 1];  // the reply being received
  int rxCount;
  char in[512];  // bytes read from the port and not yet looked at
  int inLen;
  long long sentAtMs;  // monotonic time of the last write
  int pauseMs;         // pause asked for before the next step (after an error)
};

enum LinearAction : int {
  LA_WRITE,   // write text (writeLinearPort), then note the time in sentAtMs
  LA_READ,    // wait for bytes (until LinearDeadline), then LinearReceived or LinearTimeout
  LA_PAUSE,   // pause pauseMs, then advance again
  LA_HALTED,  // the link is halted after "MR1;": nothing more until restart
};

// Runs the state machine up to the next thing the port must do. For LA_WRITE
// the command text (without check digits) is in text and its byte count in
// *length; for LA_PAUSE the pause is in *pauseMs.
int LinearAdvance(Works *works, LinearLink *link, char *text, int *length, int *pauseMs);
// What sending a command takes, in the order the link does it:
// LinearCmdPrepare builds the relay word the three tune-word commands send
// (from the memory, in bypass, cleared); LinearCmdText formats the text and
// changes nothing (the byte count, 0 when nothing is to be sent: id names no
// command, or its value cannot be sent); LinearCmdSent applies what sending
// it means to the record (and its log line).
void LinearCmdPrepare(Works *works, int id);
int LinearCmdText(Works *works, int id, char *text, int size);
void LinearCmdSent(Works *works, int id, const char *text);
// The link's handling of one decoded reply: the decoder stores what it
// carries, the tuner takes its step after a status frame, the requests of
// the other threads are applied, and the next command is chosen. Returns the
// pause before that command (10 ms after a status frame, 20 after anything
// else).
int TakeLinearReply(Works *works, const char *text, int count);
// Bytes have arrived in link->in: consumes them up to the end of one reply.
void LinearReceived(Works *works, LinearLink *link);
// No complete reply before the deadline: retry (the partial reply is dropped).
void LinearTimeout(Works *works, LinearLink *link);
// The read failed (result of read()): logged, then retried.
void LinearReadFailed(Works *works, LinearLink *link, long result);
// Absolute monotonic time (ms) at which the reply to the last command is late.
long long LinearDeadline(const LinearLink *link);
// The two check digits of a text as the controller sends them (upper case).
void LinearReplyDigits(const char *text, int length, char out[3]);
