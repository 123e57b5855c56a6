#include "scredir/qrn_log.h"

#include <glib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>

#include "lib/log/log.h"

std::atomic<bool> debugEnabled{false};

namespace {
constexpr const char kPrefix[] = "SCQRN: ";
constexpr size_t kDumpLineWidth = 65;
constexpr size_t kDumpRow = 16;
constexpr size_t kDumpCharColumn = 49;

unsigned long ThreadNumber() {
  return static_cast<unsigned long>(syscall(SYS_gettid));
}

void WriteLiteral(const char* line) {
  Log("%s", line);
}
}  // namespace

void ScRedirQrn_Log(uint32_t level, uint32_t code, const char* text) {
  if (text == nullptr) text = "";
  gchar* line = nullptr;
  switch (level) {
    case kQrnLogCritical:
      line = g_strdup_printf("%sCRITICAL(%08x) |%5lu|: %s\n", kPrefix, code, ThreadNumber(), text);
      break;
    case kQrnLogError:
      line = g_strdup_printf("%sERROR(%08x) |%5lu|: %s\n", kPrefix, code, ThreadNumber(), text);
      break;
    case kQrnLogInfo:
      line = g_strdup_printf("%sINFO |%5lu|: %s\n", kPrefix, ThreadNumber(), text);
      break;
    case kQrnLogDebug:
      line = g_strdup_printf("%sDEBUG |%5lu|: %s\n", kPrefix, ThreadNumber(), text);
      break;
    default:
      return;
  }
  WriteLiteral(line);
  g_free(line);
}

void ScRedirQrn_Logf(uint32_t level, uint32_t code, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  gchar* text = g_strdup_vprintf(format, ap);
  va_end(ap);
  ScRedirQrn_Log(level, code, text);
  g_free(text);
}

void ScRedirQrn_HexDump(const void* bytes, uint32_t count) {
  if (!ScRedirQrn_DebugOn() || count == 0 || bytes == nullptr) return;
  static constexpr char kHex[] = "0123456789abcdef";
  const auto* p = static_cast<const uint8_t*>(bytes);
  for (uint32_t row = 0; row < count; row += kDumpRow) {
    char line[kDumpLineWidth + 1];
    std::memset(line, ' ', kDumpLineWidth);
    line[kDumpLineWidth] = '\0';
    uint32_t n = count - row < kDumpRow ? count - row : static_cast<uint32_t>(kDumpRow);
    for (uint32_t i = 0; i < n; ++i) {
      uint8_t b = p[row + i];
      line[3 * i] = kHex[b >> 4];
      line[3 * i + 1] = kHex[b & 0xF];
      line[kDumpCharColumn + i] = (b >= 0x20 && b <= 0x7E) ? static_cast<char>(b) : '.';
    }
    Log("%s\n", line);
  }
}
