// The plug-in's log routine, debug switch and hex dump.
//
// Every message of the plug-in (channel, daemon link, engine, codec, traces)
// is built into a temporary string and handed to ScRedirQrn_Log, which frames
// it as one "SCQRN: " line and passes it to the log facility as literal
// text. Callable from any thread.
#pragma once

#include <atomic>
#include <cstdint>

// Levels the plug-in writes; any other level writes nothing.
enum : uint32_t {
  kQrnLogCritical = 1,
  kQrnLogError = 2,
  kQrnLogInfo = 5,
  kQrnLogDebug = 6,
};

// Status values the plug-in itself produces.
enum : uint32_t {
  kStatusSuccess = 0,
  kStatusUnsuccessful = 0xC0000001,
  kStatusInvalidParameter = 0xC000000D,
  kStatusNoMemory = 0xC0000017,
};

// True exactly when the configured log level is "debug". Written by
// QRN_Start before any other plug-in thread exists; atomic so that tests
// that flip it while threads run stay well defined.
extern std::atomic<bool> debugEnabled;

inline bool ScRedirQrn_DebugOn() {
  return debugEnabled.load(std::memory_order_relaxed);
}

void ScRedirQrn_Log(uint32_t level, uint32_t code, const char* text);
// printf-style convenience: formats with g_strdup_printf, logs, frees.
void ScRedirQrn_Logf(uint32_t level, uint32_t code, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void ScRedirQrn_HexDump(const void* bytes, uint32_t count);

// The function traces every routine brackets itself with while debugging.
#define SCREDIR_TRACE_ENTRY()                                                 \
  do {                                                                        \
    if (ScRedirQrn_DebugOn())                                                 \
      ScRedirQrn_Logf(kQrnLogDebug, 0, "%s():%d: Entry", __func__, __LINE__); \
  } while (0)
#define SCREDIR_TRACE_EXIT()                                                 \
  do {                                                                       \
    if (ScRedirQrn_DebugOn())                                                \
      ScRedirQrn_Logf(kQrnLogDebug, 0, "%s():%d: Exit", __func__, __LINE__); \
  } while (0)
