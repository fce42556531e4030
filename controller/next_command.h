#pragma once
// What the link sends next: the controller's start-up commands, the command
// last sent and its retries, and the queue's turn while error recovery has
// priority.
#include "core/works.h"

// Queues the controller's start-up commands.
void InitMicroCmd(Works *works);

// Remembers the command the link has just sent, for its retries.
void LastCmdSent(Works *works, char c1, char c2, int id);
// A reply was wrong or missing: the same command again, or after three
// tries error 4 (once per hold time) and back to the status poll.
void GestRetrayCMD(Works *works);
// A reply was taken: next comes `next`, or while cmdPriority is set the
// next queued command (the end of the queue ends the priority).
void NextCmdPriority(Works *works, int next);
