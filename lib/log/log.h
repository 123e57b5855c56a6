// Process log facility: one log file per process, chosen and configured
// through log variables, with a header, a prefix on every line, purge of old
// files, size rotation, throttling and accounting of failed writes.
//
// Safe to call from any thread; one lock serialises configuration changes
// and writes.
#pragma once

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

// Tests: every message handed to Log is also given, formatted but without
// the line prefix, to this sink. Null removes it.
using LogCaptureSink = void (*)(const char* message);
void LogSetCaptureSink(LogCaptureSink sink);
