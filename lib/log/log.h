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

// Records the product banner shown in every file header; call before the
// first file opens.
void LogRegisterProduct(const char* name, const char* version, const char* build,
                        const char* buildType);

// Opens the file output for `appPrefix` (for example "QRNScRedir"). Returns
// null when no file can be opened; lines then go to standard error only.
LogFileOutput* LogOpenFileOutput(const char* appPrefix, const LogParams& params,
                                 const ConfigAccessor* config, bool purgeOld);
void LogSetFileLevel(LogFileOutput* output, int level);
// The path of the file currently written, empty when there is none.
std::string LogCurrentFileName();
// Closes every output (tests, and process teardown).
void LogShutdown();

// Formats and writes one line at level 5 ("info"); keeps the caller's errno.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes one line at `level` (0 "audit" to 15 "debug7"); keeps errno.
void LogAtLevel(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Levels: name and the designator written in the line prefix; null for a
// number outside 0..15. LogLevelFromName accepts a name, "none" (-1) or a
// decimal number from -1 to 15; false when the text is neither.
const char* LogLevelName(int level);
const char* LogLevelDesignator(int level);
bool LogLevelFromName(const char* text, int* level);

// The thread name and operation id shown in the prefix of this thread's
// lines. The thread name defaults to the kernel's name of the thread; an
// operation id defaults to none ("-"). Null clears.
void LogSetThreadName(const char* name);
void LogSetOperationId(const char* opId);

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
// the line prefix, to this sink. Null removes it.
using LogCaptureSink = void (*)(const char* message);
void LogSetCaptureSink(LogCaptureSink sink);
