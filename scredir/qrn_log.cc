#include "scredir/qrn_log.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/log/log.h"

std::atomic<bool> debugEnabled{false};

namespace {
constexpr const char kPrefix[] = "SCQRN: ";
constexpr size_t kDumpLineWidth = 65;
constexpr size_t kDumpRow = 16;
constexpr size_t kDumpCharColumn = 49;
// Most lines fit on the stack; a longer one is formatted into the heap.
constexpr size_t kSmallText = 512;

// A thread keeps its id: asked of the kernel once per thread, not per line.
unsigned long ThreadNumber() {
  thread_local const unsigned long tid = static_cast<unsigned long>(syscall(SYS_gettid));
  return tid;
}

// The instructions whose data field is a PIN, a PUK or a new reference
// value; the odd forms are their BER-TLV variants.
bool CarriesSecret(uint8_t ins) {
  switch (ins) {
    case 0x20:  // VERIFY
    case 0x21:
    case 0x24:  // CHANGE REFERENCE DATA
    case 0x25:
    case 0x2C:  // RESET RETRY COUNTER
    case 0x2D:
      return true;
    default:
      return false;
  }
}

constexpr uint32_t kApduHeaderBytes = 5;

// Formats into `small` when the text fits, else into memory of its own
// (*spill, for the caller to free). Null when the text cannot be made: the
// C library reports a missing allocation instead of throwing or aborting.
char* Format(char (&small)[kSmallText], char** spill, const char* format, va_list ap) {
  va_list again;
  va_copy(again, ap);
  int n = vsnprintf(small, sizeof small, format, ap);
  char* text = small;
  if (n < 0) {
    text = nullptr;
  } else if (static_cast<size_t>(n) >= sizeof small) {
    text = vasprintf(spill, format, again) < 0 ? nullptr : *spill;
  }
  va_end(again);
  return text;
}

char* FormatLine(char (&small)[kSmallText], char** spill, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
char* FormatLine(char (&small)[kSmallText], char** spill, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  char* text = Format(small, spill, format, ap);
  va_end(ap);
  return text;
}
}  // namespace

void ScRedirQrn_Log(uint32_t level, uint32_t code, const char* text) noexcept {
  if (text == nullptr) text = "";
  char small[kSmallText];
  char* spill = nullptr;
  char* line = nullptr;
  switch (level) {
    case kQrnLogCritical:
      line = FormatLine(small, &spill, "%sCRITICAL(%08x) |%5lu|: %s\n", kPrefix, code,
                        ThreadNumber(), text);
      break;
    case kQrnLogError:
      line = FormatLine(small, &spill, "%sERROR(%08x) |%5lu|: %s\n", kPrefix, code, ThreadNumber(),
                        text);
      break;
    case kQrnLogInfo:
      line = FormatLine(small, &spill, "%sINFO |%5lu|: %s\n", kPrefix, ThreadNumber(), text);
      break;
    case kQrnLogDebug:
      line = FormatLine(small, &spill, "%sDEBUG |%5lu|: %s\n", kPrefix, ThreadNumber(), text);
      break;
    default:
      return;
  }
  if (line != nullptr) Log("%s", line);
  free(spill);
}

void ScRedirQrn_Logf(uint32_t level, uint32_t code, const char* format, ...) noexcept {
  char small[kSmallText];
  char* spill = nullptr;
  va_list ap;
  va_start(ap, format);
  char* text = Format(small, &spill, format, ap);
  va_end(ap);
  if (text != nullptr) ScRedirQrn_Log(level, code, text);
  free(spill);
}

void ScRedirQrn_HexDumpMasked(const void* bytes, uint32_t count,
                              std::span<const ScRedirQrn_MaskedRange> masked) noexcept {
  if (!ScRedirQrn_DebugOn() || count == 0 || bytes == nullptr) return;
  static constexpr char kHex[] = "0123456789abcdef";
  const auto* p = static_cast<const uint8_t*>(bytes);
  size_t next = 0;  // the first range not yet behind the byte shown
  for (uint32_t row = 0; row < count; row += kDumpRow) {
    char line[kDumpLineWidth + 1];
    std::memset(line, ' ', kDumpLineWidth);
    line[kDumpLineWidth] = '\0';
    uint32_t n = count - row < kDumpRow ? count - row : static_cast<uint32_t>(kDumpRow);
    for (uint32_t i = 0; i < n; ++i) {
      uint8_t b = p[row + i];
      const uint32_t at = row + i;
      while (next < masked.size() && masked[next].to <= at) ++next;
      if (next < masked.size() && at >= masked[next].from) {
        line[3 * i] = line[3 * i + 1] = line[kDumpCharColumn + i] = '*';
        continue;
      }
      line[3 * i] = kHex[b >> 4];
      line[3 * i + 1] = kHex[b & 0xF];
      line[kDumpCharColumn + i] = (b >= 0x20 && b <= 0x7E) ? static_cast<char>(b) : '.';
    }
    Log("%s\n", line);
  }
}

void ScRedirQrn_HexDump(const void* bytes, uint32_t count) noexcept {
  ScRedirQrn_HexDumpMasked(bytes, count, {});
}

uint32_t ScRedirQrn_ApduClearBytes(const uint8_t* apdu, uint32_t count) noexcept {
  if (apdu == nullptr || count <= kApduHeaderBytes || !CarriesSecret(apdu[1])) return count;
  return kApduHeaderBytes;
}

void ScRedirQrn_HexDumpApdu(const void* bytes, uint32_t count) noexcept {
  const uint32_t clear = ScRedirQrn_ApduClearBytes(static_cast<const uint8_t*>(bytes), count);
  const ScRedirQrn_MaskedRange secret{clear, count};
  ScRedirQrn_HexDumpMasked(bytes, count, std::span(&secret, clear < count ? 1 : 0));
}
