// Process log facility: one log file per process, chosen and configured
// through log variables, with a header, a prefix on every line, purge of old
// files, size rotation, throttling and accounting of failed writes.
//
// Safe to call from any thread; one lock serialises configuration changes
// and writes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>

struct ConfigAccessor;

// Log variables handed over by the caller (for example log.config,
// log.suffix, log.keepOld), as untyped text.
using LogParams = std::map<std::string, std::string>;

struct LogFileOutput;

// Nothing here throws: the facility is called from C callbacks of the host,
// and a routine that runs out of memory drops what it was doing (a line, a
// banner, the file output) instead.

// Records the product banner shown in every file header; call before the
// first file opens.
void LogRegisterProduct(const char* name, const char* version, const char* build,
                        const char* buildType) noexcept;

// Opens the file output for `appPrefix` (for example "QRNScRedir"). Returns
// null when no file can be opened; lines then go to standard error only.
//
// The file is opened inside its directory through a directory descriptor
// and never through a link: a log area (the per-user temporary one, or the
// system one) must be a real directory of ours that group and others cannot
// write to, checked on the opened descriptor; rotation and the purge of old
// logs rename and remove inside that same descriptor, so a directory
// replaced after the check cannot redirect them.
LogFileOutput* LogOpenFileOutput(const char* appPrefix, const LogParams& params,
                                 const ConfigAccessor* config, bool purgeOld) noexcept;
void LogSetFileLevel(LogFileOutput* output, int level) noexcept;
// The path of the file currently written, empty when there is none.
std::string LogCurrentFileName();
// Closes every output (tests, and process teardown).
void LogShutdown();

// Formats and writes one line at level 5 ("info"); keeps the caller's errno.
//
// A message is always exactly one line: the word "pin" standing alone (any
// case) becomes "***", and every control byte in the message is escaped:
// LF as \n, CR as \r, tab as \t, any other byte below 0x20 and 0x7F as \xNN
// (two lowercase hex digits). A single newline ending the message is the
// line's own end and is not escaped; a backslash is written as it is. A
// line that cannot be built (out of memory) is dropped.
void Log(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));

// Writes one line at `level` (0 "audit" to 15 "debug7"); keeps errno.
void LogAtLevel(int level, const char* format, ...) noexcept __attribute__((format(printf, 2, 3)));

// A message sink for the configuration store (ConfigSetMessageSink), so the
// store's messages (values that are not valid, files that are missing) land
// in the log once it is open: each text is logged as one line at level 5.
void LogConfigMessage(const char* text) noexcept;

// Levels: name and the designator written in the line prefix; null for a
// number outside 0..15. LogLevelFromName accepts a name, "none" (-1) or a
// decimal number from -1 to 15; false when the text is neither.
const char* LogLevelName(int level);
const char* LogLevelDesignator(int level);
bool LogLevelFromName(const char* text, int* level);

// The thread name and operation id shown in the prefix of this thread's
// lines. The thread name defaults to the kernel's name of the thread; an
// operation id defaults to none ("-"). Null clears.
void LogSetThreadName(const char* name) noexcept;
void LogSetOperationId(const char* opId) noexcept;

// What the facility asks of the system, replaceable so tests control time,
// process liveness and every write. A null member keeps the real call.
struct LogSeams {
  int64_t (*nowMicros)() = nullptr;           // UTC wall clock, microseconds
  bool (*processAlive)(pid_t pid) = nullptr;  // for the purge of old logs
  ssize_t (*write)(int fd, const void* data, size_t size) = nullptr;
  const char* systemDir = nullptr;  // replaces "/var/log/nimbrel"
};
// Copies `seams` (null restores the real calls).
void LogSetSeams(const LogSeams* seams);

// Tests: every message handed to Log is also given, formatted but without
// the line prefix (and before masking and escaping), to this sink. Null
// removes it.
using LogCaptureSink = void (*)(const char* message);
void LogSetCaptureSink(LogCaptureSink sink);
