#pragma once
// Table-file reading shared by every table loader (band tables, tune
// memories, thresholds, filters), so every table file survives any bytes in
// the same way.
#include <cstdint>
#include <functional>
#include <string>

// Reads a table file line by line: at most maxLen characters a line (the
// rest of a longer line is dropped with a log line), one trailing line feed
// and then one carriage return removed. onLine gets the line (NUL-terminated,
// bytes after an embedded NUL are not seen) and its number from 1; returning
// false stops the reading. Returns the number of lines read, -1 when the
// file cannot be opened. A file with a rewrite still queued reads as that
// rewrite has it (core/file_writer.h).
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

// A strict reading of a table file's text, for files taken from outside
// (a restored backup): while one lives, ReadTableLines on this thread reads
// text whatever the path, and the first TableFault is kept instead of logged.
// The loaders run as they always do, so the check is their own parsing.
class TableCheck {
 public:
  explicit TableCheck(const std::string &text);
  ~TableCheck();
  TableCheck(const TableCheck &) = delete;
  TableCheck &operator=(const TableCheck &) = delete;
  // False once a loader skipped, clamped, dropped or repaired something.
  bool ok() const { return line_ < 0; }
  int line() const { return line_; }
  const std::string &error() const { return error_; }
  // Fills the outputs of a file check from the first fault (true when none).
  bool result(int *line, std::string *error) const;

 private:
  friend int ReadTableLines(const char *, int, const std::function<bool(const char *, int)> &);
  friend void TableFault(int, const char *, ...);
  friend void NoteTableFault(int, const char *);
  const std::string &text_;
  int line_ = -1;
  std::string error_;
  TableCheck *outer_;
};

// A loader skips, clamps, drops or repairs something at line lineNo (0: not
// one line): logged (fmt is the whole log line), or kept by a TableCheck.
void TableFault(int lineNo, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// The same for a loader that says it in its own way: kept by a TableCheck,
// nothing otherwise.
void NoteTableFault(int lineNo, const char *error);
