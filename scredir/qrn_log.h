// The plug-in's log routine, debug switch and hex dump.
//
// Every message of the plug-in (channel, daemon link, engine, codec, traces)
// is built into a temporary string and handed to ScRedirQrn_Log, which frames
// it as one "SCQRN: " line and passes it to the log facility as literal
// text. Callable from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

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

// None of these throws or aborts: they run inside the host's callbacks, and
// a line that cannot be built for want of memory is dropped.
void ScRedirQrn_Log(uint32_t level, uint32_t code, const char* text) noexcept;
// printf-style convenience: formats into a temporary string, logs, frees.
void ScRedirQrn_Logf(uint32_t level, uint32_t code, const char* format, ...) noexcept
    __attribute__((format(printf, 3, 4)));
void ScRedirQrn_HexDump(const void* bytes, uint32_t count) noexcept;

// Redaction of the secrets a card command carries.
//
// VERIFY, CHANGE REFERENCE DATA and RESET RETRY COUNTER (INS 0x20, 0x24,
// 0x2C, and their odd BER-TLV forms 0x21, 0x25, 0x2D) carry PINs and PUKs
// in their data field. Wherever the bytes of a command APDU are shown (the
// Transmit_Call dump, the codec's transfer traces, the raw body dump of a
// decoded buffer), everything after the 5-byte header CLA INS P1 P2 Lc is
// masked: each byte shows as "**" in the hex columns and as '*' in the
// character column. The header stays readable; so does the card's answer.
//
// How many leading bytes of the command `apdu` may be shown in clear: all
// of them, or 5 for a command that carries a secret.
uint32_t ScRedirQrn_ApduClearBytes(const uint8_t* apdu, uint32_t count) noexcept;
// A range [from, to) of a dumped buffer whose bytes are shown masked.
struct ScRedirQrn_MaskedRange {
  uint32_t from;
  uint32_t to;
};
// The hex dump with the bytes inside `masked` (sorted, not overlapping)
// shown as "**" and '*'.
void ScRedirQrn_HexDumpMasked(const void* bytes, uint32_t count,
                              std::span<const ScRedirQrn_MaskedRange> masked) noexcept;
// The hex dump of a command APDU: masked after its header when it carries a
// secret. Every dump of a Transmit send buffer goes through this.
void ScRedirQrn_HexDumpApdu(const void* bytes, uint32_t count) noexcept;

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
