#pragma once
// The clock below the log and every other platform piece.

// Monotonic clock in milliseconds (for anything a person times).
long long MonotonicMs();
