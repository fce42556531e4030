#pragma once
// The one logging helper. Every system-log line is also written to standard
// error, so a person or a test watching the program sees the same texts.

// System log at info level (6), and standard error.
void LogInfo(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// System log at err level (3), and standard error.
void LogErr(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Standard error only, the text as it stands (texts carry their own "\n").
void LogStderr(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// A trace that may come many times a second (one per received frame): the
// text goes to standard error every time, to the system log at most once a
// second per text, with the count of those left out.
void LogTrace(const char *text);
