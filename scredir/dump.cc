// The line formats of the trace dumps, shared by the record dumps and the
// packet header dump.
#include "scredir/dump.h"

#include "scredir/names.h"
#include "scredir/qrn_log.h"

// The four byte columns that open a field line, least significant first, so
// the line reads the way the value sits on the wire; the three field line
// variants differ only in their last column.
#define SCREDIR_BYTES_FMT "%02x %02x %02x %02x  %20s = %#010x "
#define SCREDIR_BYTES_ARGS(v) \
  (v) & 0xFFu, ((v) >> 8) & 0xFFu, ((v) >> 16) & 0xFFu, ((v) >> 24) & 0xFFu

void ScRedirQrn_DumpField(const char* name, uint32_t value) {
  if (!ScRedirQrn_DebugOn()) return;
  ScRedirQrn_Logf(kQrnLogDebug, 0, SCREDIR_BYTES_FMT "(%u)", SCREDIR_BYTES_ARGS(value), name, value,
                  value);
}

void ScRedirQrn_DumpSignedField(const char* name, int32_t value) {
  if (!ScRedirQrn_DebugOn()) return;
  const auto bits = static_cast<uint32_t>(value);
  ScRedirQrn_Logf(kQrnLogDebug, 0, SCREDIR_BYTES_FMT "(%d)", SCREDIR_BYTES_ARGS(bits), name, bits,
                  value);
}

void ScRedirQrn_DumpNamedField(const char* name, uint32_t value, const char* valueName) {
  if (!ScRedirQrn_DebugOn()) return;
  ScRedirQrn_Logf(kQrnLogDebug, 0, SCREDIR_BYTES_FMT "(%s)", SCREDIR_BYTES_ARGS(value), name, value,
                  valueName);
}

#undef SCREDIR_BYTES_FMT
#undef SCREDIR_BYTES_ARGS

void ScRedirQrn_DumpPointer(const char* name, const void* address) {
  if (!ScRedirQrn_DebugOn()) return;
  ScRedirQrn_Logf(kQrnLogDebug, 0, " %32s = %p", name, address);
}

void ScRedirQrn_DumpHeaderField(uint16_t value, const char* valueName) {
  if (!ScRedirQrn_DebugOn()) return;
  ScRedirQrn_Logf(kQrnLogDebug, 0, "%02x %02x            Header->%s = %#06hx", value & 0xFFu,
                  (value >> 8) & 0xFFu, valueName, value);
}

void ScRedirQrn_DumpBuffer(const char* name, const void* data, uint32_t count) {
  if (!ScRedirQrn_DebugOn()) return;
  ScRedirQrn_DumpPointer(name, data);
  if (data != nullptr) ScRedirQrn_HexDump(data, count);
}

void ScRedirQrn_DumpApduBuffer(const char* name, const void* data, uint32_t count) {
  if (!ScRedirQrn_DebugOn()) return;
  ScRedirQrn_DumpPointer(name, data);
  if (data != nullptr) ScRedirQrn_HexDumpApdu(data, count);
}

void ScRedirQrn_DumpReturnCode(uint32_t returnCode) {
  if (!ScRedirQrn_DebugOn()) return;
  SCREDIR_TRACE_ENTRY();
  ScRedirQrn_DumpNamedField("ReturnCode", returnCode, ScRedirQrn_ReturnCodeName(returnCode));
  SCREDIR_TRACE_EXIT();
}
