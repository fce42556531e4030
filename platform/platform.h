#pragma once
// The seam to the device's operating system: path mapping under OMBRIX_ROOT,
// the command runner, the remount pair of /opt/set, atomic file replacement
// and serial ports. No other code builds device paths or runs programs.
#include <sys/types.h>
#include <termios.h>

#include <string>
#include <vector>

#include "platform/clock.h"

// The device path as this run sees it: unchanged on the device, DIR + path
// under OMBRIX_ROOT=DIR (absolute paths only; relative ones are left alone).
std::string MapPath(const std::string &devicePath);
// The root directory ("" on the device).
std::string RootDir();

// Runs a program with its arguments (no shell). Under OMBRIX_ROOT a bare name
// NAME runs DIR/bin/NAME and an absolute path P runs DIR + P; arguments that
// are absolute device paths are mapped too. Returns the exit status, 127 when
// the program is missing or not executable (with a log line), -1 when it
// could not be started. If output is given, standard output is collected into
// it (at most maxOutput bytes).
int RunCommand(const std::vector<std::string> &argv, std::string *output = nullptr,
               size_t maxOutput = 65536);

// "mount -o remount defaults,rw /opt/set"; logs "can't mount rw /opt/set/ error %d"
// on failure. Returns true when the directory may be written. Writers are
// counted process-wide: only the first of overlapping writers remounts, and
// every true must be followed by one RemountRO.
bool RemountRW();
// "mount -v -n -o remount -r /opt/set" once the last writer is done; logs
// "can't mount ro /opt/set/ error %d" on failure.
bool RemountRO();

// Replaces the file at path (already mapped) with data: temporary file in the
// same directory, write, flush, fsync, rename, fsync of the directory. A power
// cut leaves the old file or the new one. The new file has permission bits
// mode, or without one (-1) those of the old file (0644 for a new one).
// Returns 0, or -1 with errno set.
int WriteFileAtomic(const std::string &mappedPath, const std::string &data, int mode = -1);

// The system calls of WriteFileAtomic (and RenameFileDurable) that can fail
// on a full or failing medium, so tests can make each one fail (and
// benchmarks and tests slow).
struct FileWriteCalls {
  int (*makeTemp)(char *pathTemplate);  // mkostemp with O_CLOEXEC
  ssize_t (*write)(int fd, const void *data, size_t size);
  int (*fsync)(int fd);
  int (*rename)(const char *from, const char *to);
};
// Installs calls (nullptr: the system's own) and returns those in use before.
// Only while no file is being written.
FileWriteCalls SetFileWriteCalls(const FileWriteCalls *calls);

// Device write of a file under /opt/set: remount read-write (abandoning the
// write when that fails), atomic replacement, remount read-only. devicePath
// is the device's path (mapped here); mode as for WriteFileAtomic. Returns 0
// on success, -2 when the read-write remount failed (nothing written), -1
// when the write failed. The program's writers go through the file writer
// (core/file_writer.h), which calls this on its own thread.
int WriteSetFile(const std::string &devicePath, const std::string &data, int mode = -1);

// Deletes a file with unlink (device path, mapped here). Returns unlink's result.
int RemoveFile(const std::string &devicePath);
// Renames a file over another in the same directory (device paths, mapped
// here) and fsyncs the directory, so the rename outlives a power cut.
// Returns 0, or -1 with errno set.
int RenameFileDurable(const std::string &fromDevicePath, const std::string &toDevicePath);
// True when the file (device path, mapped here) exists.
bool FileExists(const std::string &devicePath);

// Replaces the process image with the program's own binary and argv (the
// PID stays): every descriptor but 0..2 is closed on the way. Returns only
// when the exec failed (logged).
void ReExecSelf(char **argv);

// Opens a serial port (device path, mapped here) read-write without becoming
// its controlling terminal. Returns the descriptor or -1.
int OpenSerial(const std::string &devicePath, int extraFlags = 0);
// Applies raw settings: given input, output, control and local flags, VMIN,
// VTIME and speed; flushes pending input first. Returns 0 or -1.
int ConfigureSerial(int fd, tcflag_t iflag, tcflag_t oflag, tcflag_t cflag, tcflag_t lflag,
                    int vmin, int vtime, speed_t speed);
