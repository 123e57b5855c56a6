// Message side of the log facility: levels, variable resolution, the line
// prefix, and the formatting done by Log before a line reaches an output.
#include <glib.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "lib/config/config.h"
#include "lib/log/log.h"
#include "lib/log/log_internal.h"

namespace {

struct LevelInfo {
  const char* name;
  const char* designator;
};
constexpr LevelInfo kLevels[] = {
    {"audit", "No"},  {"panic", "Cr"},  {"error", "Er"},   {"warning", "Wa"},
    {"notice", "No"}, {"info", "In"},   {"verbose", "In"}, {"trivia", "In"},
    {"debug", "Db"},  {"debug1", "Db"}, {"debug2", "Db"},  {"debug3", "Db"},
    {"debug4", "Db"}, {"debug5", "Db"}, {"debug6", "Db"},  {"debug7", "Db"},
};
constexpr int kLevelCount = static_cast<int>(sizeof kLevels / sizeof kLevels[0]);

// Most messages fit the small buffer on the stack; a longer one borrows the
// one shared large buffer, and when another thread has it, is cut short.
constexpr size_t kSmallBuffer = 319;
constexpr size_t kLargeBuffer = 32767;
char g_large[kLargeBuffer];
std::atomic<bool> g_largeBusy{false};

std::atomic<LogCaptureSink> g_capture{nullptr};

thread_local std::string t_threadName;
thread_local bool t_threadNamed = false;
thread_local std::string t_opId;

struct GFreeDeleter {
  void operator()(char* p) const { g_free(p); }
};
using GText = std::unique_ptr<char, GFreeDeleter>;

void Note(const LogVarSource& src, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Note(const LogVarSource& src, const char* format, ...) {
  if (src.notes == nullptr) return;
  va_list ap;
  va_start(ap, format);
  GText text(g_strdup_vprintf(format, ap));
  va_end(ap);
  src.notes->emplace_back(text.get());
}

const std::string* DictValue(const LogVarSource& src, const char* key) {
  if (src.params == nullptr) return nullptr;
  auto it = src.params->find(key);
  return it == src.params->end() ? nullptr : &it->second;
}

// The store is asked for the generic key, then for the application's own
// key; each answer that differs from the default replaces what came before.
template <typename T, typename Ask>
T Overlay(const LogVarSource& src, const char* key, T start, T def, Ask ask) {
  T value = start;
  if (src.config == nullptr) return value;
  T generic = ask(key);
  if (generic != def) value = generic;
  if (!src.appPrefix.empty()) {
    std::string own = src.appPrefix + "." + key;
    T specific = ask(own.c_str());
    if (specific != def) value = specific;
  }
  return value;
}

bool ParseBoolText(const std::string& text, bool def) {
  static const char* const kTrue[] = {"", "true", "t", "yes", "y", "on", "1"};
  static const char* const kFalse[] = {"false", "f", "no", "n", "off", "0"};
  for (const char* w : kTrue)
    if (g_ascii_strcasecmp(text.c_str(), w) == 0) return true;
  for (const char* w : kFalse)
    if (g_ascii_strcasecmp(text.c_str(), w) == 0) return false;
  return def;
}

const std::string& ThreadName() {
  if (!t_threadNamed) {
    char name[16] = {0};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0')
      snprintf(name, sizeof name, "%ld", static_cast<long>(syscall(SYS_gettid)));
    t_threadName = name;
    t_threadNamed = true;
  }
  return t_threadName;
}

// Gives the shared large buffer back however the message ends.
struct LargeBufferLease {
  bool held = false;
  ~LargeBufferLease() {
    if (held) g_largeBusy.store(false, std::memory_order_release);
  }
};

void LogV(int level, const char* format, va_list ap) {
  LargeBufferLease lease;
  char small[kSmallBuffer];
  va_list again;
  va_copy(again, ap);
  int n = vsnprintf(small, sizeof small, format, ap);
  const char* text = small;
  size_t len = 0;
  bool truncated = false;
  if (n < 0) {
    small[0] = '\0';
  } else if (static_cast<size_t>(n) < sizeof small) {
    len = static_cast<size_t>(n);
  } else if (!g_largeBusy.exchange(true, std::memory_order_acquire)) {
    lease.held = true;
    int m = vsnprintf(g_large, sizeof g_large, format, again);
    len = m < 0 ? 0 : std::min(static_cast<size_t>(m), sizeof g_large - 1);
    truncated = m < 0 || static_cast<size_t>(m) >= sizeof g_large;
    text = g_large;
  } else {
    len = sizeof small - 1;
    truncated = true;
  }
  va_end(again);
  LogCaptureSink sink = g_capture.load(std::memory_order_acquire);
  if (sink) sink(text);
  LogDispatch(level, std::string_view(text, len), truncated, sink != nullptr);
}

// Every entry point ends here: nothing may leave the facility, since its
// callers include the host's C callbacks. A line that cannot be built is
// dropped; the caller's errno is kept either way.
void LogNoThrow(int level, const char* format, va_list ap) noexcept {
  int saved = errno;
  try {
    LogV(level, format, ap);
  } catch (...) {
  }
  errno = saved;
}

bool IsAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsControl(char c) {
  auto b = static_cast<unsigned char>(c);
  return b < 0x20 || b == 0x7F;
}

// Every line passes through the two scans of its text (masking, escaping),
// so they look at eight bytes at a time and go byte by byte only inside a
// word that may hold what they look for.
constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighBits = 0x8080808080808080ULL;

uint64_t WordAt(const std::string& s, size_t i) {
  uint64_t w;
  std::memcpy(&w, s.data() + i, sizeof w);
  return w;
}
// Some byte of `w` is below `n` (n at most 0x80).
bool HasByteBelow(uint64_t w, uint64_t n) {
  return ((w - kOnes * n) & ~w & kHighBits) != 0;
}
bool HasControlByte(uint64_t w) {
  return HasByteBelow(w, 0x20) || HasByteBelow(w ^ (kOnes * 0x7F), 1);
}
// Some byte of `w` is 'p' or 'P' (0x20 folds one onto the other).
bool HasLetterP(uint64_t w) {
  return HasByteBelow((w | (kOnes * 0x20)) ^ (kOnes * 'p'), 1);
}
// From `i`, past every whole word in which `has` finds nothing.
size_t SkipWords(const std::string& s, size_t i, bool (*has)(uint64_t)) {
  while (i + sizeof(uint64_t) <= s.size() && !has(WordAt(s, i))) i += sizeof(uint64_t);
  return i;
}

}  // namespace

const char* LogLevelName(int level) {
  return level >= 0 && level < kLevelCount ? kLevels[level].name : nullptr;
}

const char* LogLevelDesignator(int level) {
  return level >= 0 && level < kLevelCount ? kLevels[level].designator : nullptr;
}

bool LogLevelFromName(const char* text, int* level) {
  if (text == nullptr || *text == '\0') return false;
  if (g_ascii_strcasecmp(text, "none") == 0) {
    *level = -1;
    return true;
  }
  for (int i = 0; i < kLevelCount; ++i) {
    if (g_ascii_strcasecmp(text, kLevels[i].name) == 0) {
      *level = i;
      return true;
    }
  }
  char* end = nullptr;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < -1 || v >= kLevelCount) return false;
  *level = static_cast<int>(v);
  return true;
}

int32_t LogVarInt(const LogVarSource& src, const char* key, int32_t def) {
  int32_t start = def;
  if (const std::string* text = DictValue(src, key)) {
    char* end = nullptr;
    errno = 0;
    long v = strtol(text->c_str(), &end, 0);
    if (errno == 0 && !text->empty() && *end == '\0' && v >= INT32_MIN && v <= INT32_MAX)
      start = static_cast<int32_t>(v);
  }
  return Overlay<int32_t>(src, key, start, def,
                          [&](const char* k) { return src.config->getInt(def, "%s", k); });
}

bool LogVarBool(const LogVarSource& src, const char* key, bool def) {
  bool start = def;
  if (const std::string* text = DictValue(src, key)) start = ParseBoolText(*text, def);
  return Overlay<bool>(src, key, start, def,
                       [&](const char* k) { return src.config->getBool(def, "%s", k); });
}

std::string LogVarString(const LogVarSource& src, const char* key, const char* def) {
  std::string d = def ? def : "";
  std::string start = d;
  if (const std::string* text = DictValue(src, key)) start = *text;
  return Overlay<std::string>(src, key, start, d, [&](const char* k) {
    GText v(src.config->getString(def, "%s", k));
    return std::string(v ? v.get() : d.c_str());
  });
}

int LogVarLevel(const LogVarSource& src, const char* key, int def) {
  std::string text = LogVarString(src, key, "");
  if (text.empty()) return def;
  int level = def;
  if (!LogLevelFromName(text.c_str(), &level)) {
    Note(src, "%s: %s (%s) is invalid. Set to %d.\n", src.appPrefix.c_str(), key, text.c_str(),
         def);
    return def;
  }
  return level;
}

LogSettings LogLoadSettings(const LogVarSource& src) {
  LogSettings s;
  const char* app = src.appPrefix.c_str();
  s.fileName = LogVarString(src, "log.fileName", "");
  s.suffix = LogVarString(src, "log.suffix", "");
  s.systemAreaTemp = LogVarBool(src, "log.systemAreaTemp", false);
  s.useTimeStamps = LogVarBool(src, "log.useTimeStamps", true);
  s.useMilliseconds = LogVarBool(src, "log.useMilliseconds", true);
  s.useThreadName = LogVarBool(src, "log.useThreadName", true);
  s.useLevelDesignator = LogVarBool(src, "log.useLevelDesignator", true);
  s.useOpId = LogVarBool(src, "log.useOpID", false);
  s.append = LogVarBool(src, "log.append", false);
  s.syncAfterWrite = LogVarBool(src, "log.syncAfterWrite", false);
  s.fastRotation = LogVarBool(src, "log.fastRotation", false);
  s.noLogAfterThreshold = LogVarBool(src, "log.noLogAfterThreshold", false);

  auto fix = [&](const char* key, int32_t& v, int32_t to) {
    Note(src, "%s: %s (%d) is invalid. Set to %d.\n", app, key, v, to);
    v = to;
  };
  s.keepOld = LogVarInt(src, "log.keepOld", 3);
  if (s.keepOld < 0) fix("log.keepOld", s.keepOld, 3);
  s.rotateSize = LogVarInt(src, "log.rotateSize", 0);
  if (s.rotateSize < 0) fix("log.rotateSize", s.rotateSize, 0);
  if (s.rotateSize > 0 && s.rotateSize < 100000) {
    Note(src, "%s: log.rotateSize (%d) is too small. Set to %d.\n", app, s.rotateSize, 100000);
    s.rotateSize = 100000;
  }
  s.permissions = LogVarInt(src, "log.permissions", 0640);
  if (s.permissions < 1) fix("log.permissions", s.permissions, 0640);
  s.throttleThreshold = LogVarInt(src, "log.throttleThreshold", 1000000);
  if (s.throttleThreshold < 0) fix("log.throttleThreshold", s.throttleThreshold, 1000000);
  s.throttleBytesPerSec = LogVarInt(src, "log.throttleBytesPerSec", 1000);
  if (s.throttleBytesPerSec < -1) fix("log.throttleBytesPerSec", s.throttleBytesPerSec, 1000);
  s.fileLevel = LogVarLevel(src, "log.fileLevel", 5);
  s.stderrLevel = LogVarLevel(src, "log.stderrLevel", -1);
  return s;
}

namespace {

// Lines come many to a second: the date and time are formatted once per
// second per thread, and appended from that cache without a copy.
const char* UtcText(int64_t nowUs) {
  thread_local int64_t cachedSecond = INT64_MIN;
  thread_local char cached[40];
  int64_t second = nowUs / 1000000;
  if (second != cachedSecond) {
    time_t secs = static_cast<time_t>(second);
    struct tm tm;
    gmtime_r(&secs, &tm);
    snprintf(cached, sizeof cached, "%04d-%02d-%02dT%02d:%02d:%02d", tm.tm_year + 1900,
             tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    cachedSecond = second;
  }
  return cached;
}

}  // namespace

std::string LogFormatUtc(int64_t nowUs) {
  return UtcText(nowUs);
}

void LogAppendPrefix(std::string& out, const LogPrefixFlags& flags, int level, bool mark,
                     int64_t nowUs) {
  if (flags.timeStamps) {
    out += UtcText(nowUs);
    if (flags.milliseconds) {
      char ms[8];
      snprintf(ms, sizeof ms, ".%03d", static_cast<int>((nowUs / 1000) % 1000));
      out += ms;
    }
    out += "Z ";
  }
  if (flags.levelDesignator) {
    const char* d = LogLevelDesignator(level);
    char buf[16];
    snprintf(buf, sizeof buf, "%s(%02d)%s ", d ? d : "??", level, mark ? "+" : "");
    out += buf;
  }
  if (flags.threadName) {
    out += ThreadName();
    out += ' ';
  }
  if (flags.opId) {
    out += t_opId.empty() ? "-" : t_opId;
    out += ' ';
  }
}

void LogMaskWord(std::string& text, size_t from) {
  size_t i = from;
  while (i + 3 <= text.size()) {
    i = SkipWords(text, i, HasLetterP);
    const size_t end = std::min(i + sizeof(uint64_t), text.size());
    for (; i < end && i + 3 <= text.size(); ++i) {
      if ((text[i] | 0x20) != 'p') continue;
      if (g_ascii_tolower(text[i + 1]) == 'i' && g_ascii_tolower(text[i + 2]) == 'n' &&
          (i == from || !IsAsciiLetter(text[i - 1])) &&
          (i + 3 == text.size() || !IsAsciiLetter(text[i + 3]))) {
        text.replace(i, 3, "***");  // same length: the scan goes on in place
        i += 2;
      }
    }
  }
}

void LogEscapeControls(std::string& text, size_t from) {
  size_t first = from;
  for (;;) {
    first = SkipWords(text, first, HasControlByte);
    const size_t end = std::min(first + sizeof(uint64_t), text.size());
    while (first < end && !IsControl(text[first])) ++first;
    if (first == text.size()) return;  // the usual case: nothing to do
    if (first < end) break;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string tail;
  tail.reserve((text.size() - first) * 2);
  for (size_t i = first; i < text.size(); ++i) {
    const char c = text[i];
    if (!IsControl(c)) {
      tail += c;
    } else if (c == '\n') {
      tail += "\\n";
    } else if (c == '\r') {
      tail += "\\r";
    } else if (c == '\t') {
      tail += "\\t";
    } else {
      const auto b = static_cast<unsigned char>(c);
      tail += "\\x";
      tail += kHex[b >> 4];
      tail += kHex[b & 0xF];
    }
  }
  text.replace(first, std::string::npos, tail);
}

int64_t LogNowMicrosReal() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void LogSetThreadName(const char* name) noexcept {
  try {
    t_threadName = name ? name : "";
    t_threadNamed = name != nullptr;
  } catch (...) {
    t_threadNamed = false;  // the kernel's name is used instead
  }
}

void LogSetOperationId(const char* opId) noexcept {
  try {
    t_opId = opId ? opId : "";
  } catch (...) {
    t_opId.clear();
  }
}

void LogSetCaptureSink(LogCaptureSink sink) {
  g_capture.store(sink, std::memory_order_release);
}

void Log(const char* format, ...) noexcept {
  va_list ap;
  va_start(ap, format);
  LogNoThrow(5, format, ap);
  va_end(ap);
}

void LogAtLevel(int level, const char* format, ...) noexcept {
  va_list ap;
  va_start(ap, format);
  LogNoThrow(level, format, ap);
  va_end(ap);
}

void LogConfigMessage(const char* text) noexcept {
  if (text != nullptr) Log("%s", text);
}
