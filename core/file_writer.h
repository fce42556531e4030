#pragma once
// The writer of the files under /opt/set. Whoever changes a file formats its
// bytes at once, on its own thread, and hands them over; one thread writes
// them to the card, so no link ever waits for a slow card. Each job keeps
// the power-cut safety and the remount pair of a direct write (WriteSetFile).
//
// Per file the jobs keep their order, and a replacement still waiting is
// itself replaced by a newer one for the same file. A reader of a file with
// a job waiting reads the job's bytes (OpenSetFile). Without the writer
// thread (before it starts, after it stops, in tests and tools) every call
// writes at once on the caller's thread, as a direct write would.
#include <sys/types.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

constexpr mode_t kSetFileMode = 0644;

// What a caller adds to the writer's own log lines when its job fails: rc as
// WriteSetFile returns it (-1 failed, -2 no read-write remount), err the
// errno of the failed step. Called on the thread that wrote.
using SetFileFailed = std::function<void(int rc, int err)>;

// Replaces the file at devicePath with bytes; the file ends with permission
// bits mode (0600 for a private key). Returns 0 when queued; written at once
// it returns what WriteSetFile returns (0, -1 failed, -2 no read-write remount).
int QueueSetFile(const std::string &devicePath, std::string bytes, mode_t mode = kSetFileMode,
                 SetFileFailed failed = nullptr);
// Deletes the file (a missing file counts as deleted). Returns 0 when
// queued, else 0, -1 or -2 as it went.
int QueueRemoveSetFile(const std::string &devicePath, SetFileFailed failed = nullptr);
// Appends bytes to the file, putting header in front when the file is new
// or empty. Returns 0 when queued, else 0 or -1 as it went.
int QueueAppendSetFile(const std::string &devicePath, std::string bytes, std::string header,
                       mode_t mode = kSetFileMode);

// Opens the file for reading as it stands once the queue is through: the
// bytes of a replacement still waiting, nullptr for a deletion still waiting
// (errno ENOENT) or a missing file. *holder keeps the bytes alive while the
// stream is open; close it with fclose.
FILE *OpenSetFile(const std::string &devicePath, std::string *holder);
// The whole of a small settings file under /opt/set as OpenSetFile sees it,
// at most maxBytes of it (the rest is left unread). False when it is missing.
bool ReadSetFileText(const std::string &devicePath, size_t maxBytes, std::string *text);

// The writer thread ("files"). Jobs queued before it starts are none: until
// then every call writes at once.
void StartFileWriter();
// Writes what is queued, then ends the thread; later calls write at once.
void StopFileWriter();
// Waits until every job queued so far is written (or has failed).
void DrainFileWriter();
// The files are being replaced from outside (a restore): jobs still waiting
// for them are held back, one being written is waited for, and every later
// job for them is refused (logged, -1) for the rest of the process, unless
// the replacement fails before its commit and ThawSetFiles gives them back.
void FreezeSetFiles(const std::vector<std::string> &devicePaths);
// Ends a freeze: the held jobs are queued again in their order.
void ThawSetFiles(const std::vector<std::string> &devicePaths);
// Jobs written by the thread since it started (coalesced ones not counted).
unsigned long FileWriterJobsDone();
