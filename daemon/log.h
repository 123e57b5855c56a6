// The daemon's log: one line per event on standard error (journald keeps it
// when the daemon runs as a service). Lines carry a level word and the text;
// the level threshold is process-wide and may change at any time.
#pragma once

#include <cstdarg>

namespace scredir::pcscd {

enum class LogLevel { kError = 0, kInfo = 1, kDebug = 2 };

void SetLogLevel(LogLevel level);
bool LogEnabled(LogLevel level);
// printf-style; thread-safe (one write per line).
void Log(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace scredir::pcscd
