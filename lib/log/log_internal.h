// Pieces of the log facility shared by its two halves (message formatting in
// log_aux.cc, the file output in file_output.cc) and by its tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "lib/log/log.h"

struct ConfigAccessor;

// Where a log variable's value comes from: the caller's dictionary, the
// configuration store, and the application prefix that makes the more
// specific key ("QRNScRedir." + key). Messages about corrected values are
// appended to `notes`, to be logged once the file is open.
struct LogVarSource {
  const LogParams* params = nullptr;
  const ConfigAccessor* config = nullptr;
  std::string appPrefix;
  std::vector<std::string>* notes = nullptr;
};

int32_t LogVarInt(const LogVarSource& src, const char* key, int32_t def);
bool LogVarBool(const LogVarSource& src, const char* key, bool def);
std::string LogVarString(const LogVarSource& src, const char* key, const char* def);
int LogVarLevel(const LogVarSource& src, const char* key, int def);

// Every variable of the file output, resolved and held to its limits.
struct LogSettings {
  std::string fileName;
  std::string suffix;
  bool systemAreaTemp = false;
  bool useTimeStamps = true;
  bool useMilliseconds = true;
  bool useThreadName = true;
  bool useLevelDesignator = true;
  bool useOpId = false;
  bool append = false;
  bool syncAfterWrite = false;
  bool fastRotation = false;
  int32_t keepOld = 3;
  int32_t rotateSize = 0;
  int32_t permissions = 0640;
  int32_t throttleThreshold = 1000000;
  int32_t throttleBytesPerSec = 1000;
  bool noLogAfterThreshold = false;
  int fileLevel = 5;
  int stderrLevel = -1;
};
LogSettings LogLoadSettings(const LogVarSource& src);

// Prefix parts; the defaults are those used for standard error when there
// is no file output.
struct LogPrefixFlags {
  bool timeStamps = true;
  bool milliseconds = true;
  bool levelDesignator = true;
  bool threadName = true;
  bool opId = false;
};
// Appends the prefix of a line at `level` written at `nowUs` to `out`.
// `mark` adds the "+" after the level: the message was cut short.
void LogAppendPrefix(std::string& out, const LogPrefixFlags& flags, int level, bool mark,
                     int64_t nowUs);
// "%04d-%02d-%02dT%02d:%02d:%02d" of a UTC time in microseconds.
std::string LogFormatUtc(int64_t nowUs);

// Overwrites every case-insensitive "pin" in `text` from `from` on that
// stands as a word of its own (no ASCII letter right before or after it)
// with "***"; "Stopping" and "spinning" stay as they are.
void LogMaskWord(std::string& text, size_t from);

// Escapes every control byte of `text` from `from` on (see Log in log.h),
// so that no message can start a line of its own.
void LogEscapeControls(std::string& text, size_t from);

// Hands one formatted message (without prefix or added newline) to the
// outputs; `captured` says a capture sink has seen it. Implemented by the
// file output.
void LogDispatch(int level, std::string_view message, bool truncated, bool captured);

// The real or injected system calls; the caller holds the log lock or is
// the only user.
int64_t LogNowMicrosReal();
