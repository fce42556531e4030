#pragma once
// Table-file reading shared by every table loader (band tables, tune
// memories, thresholds, filters), so every table file survives any bytes in
// the same way.
#include <cstdint>
#include <functional>

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
