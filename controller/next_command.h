#pragma once
// What the link sends next: the controller's start-up commands, the reset
// commands of error recovery, the command last sent and its retries, the
// queue's turn while error recovery has priority, and the one choice of the
// next command after a reply.
#include "controller/decoder.h"
#include "core/works.h"

constexpr int kPaceReply = 20;   // ms after an ordinary reply
constexpr int kPaceStatus = 10;  // ms after a status frame

// Queues the controller's start-up commands.
void InitMicroCmd(Works *works);
// Queues the controller reset sequence of error recovery (link thread).
void ResetBiasCmd(Works *works);

// Remembers the command the link has just sent, for its retries.
void LastCmdSent(Works *works, char c1, char c2, int id);
// A reply was wrong or missing: the same command again, or after three
// tries error 4 (once per hold time) and back to the status poll.
void GestRetrayCMD(Works *works);
// A reply was taken: next comes `next`, or while cmdPriority is set the
// next queued command (the end of the queue ends the priority).
void NextCmdPriority(Works *works, int next);
// The next command after a reply (linearProcessStatus): a retry after one
// that failed, else the status poll or the queue's turn, and after a status
// frame by tuneState, the tuning state the frame found: 1 the relay word the
// tuner's step left, 2 the trip cleared ("CPFFFF;"), 3 "ST;" again, 0 the
// next queued command or "FM;". Returns the link's pause before it, in ms.
int NextLinearCmd(Works *works, const ReplyRead &reply, int tuneState);
