// See log.h.
#include "daemon/log.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>

namespace scredir::pcscd {
namespace {

std::atomic<int> g_level{static_cast<int>(LogLevel::kInfo)};

const char* LevelWord(LogLevel level) {
  switch (level) {
    case LogLevel::kError:
      return "ERROR";
    case LogLevel::kInfo:
      return "INFO";
    case LogLevel::kDebug:
      return "DEBUG";
  }
  return "?";
}

}  // namespace

void SetLogLevel(LogLevel level) {
  g_level.store(static_cast<int>(level));
}

bool LogEnabled(LogLevel level) {
  return static_cast<int>(level) <= g_level.load();
}

void Log(LogLevel level, const char* format, ...) {
  if (!LogEnabled(level)) return;
  char text[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);

  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm parts{};
  localtime_r(&now.tv_sec, &parts);
  char line[1200];
  int n = snprintf(line, sizeof line, "scredir-pcscd %02d:%02d:%02d.%03ld %s %s\n", parts.tm_hour,
                   parts.tm_min, parts.tm_sec, now.tv_nsec / 1000000, LevelWord(level), text);
  if (n > 0) {
    size_t length = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
    // One write keeps lines of different threads whole; a failed log write
    // has nowhere to be reported.
    ssize_t ignored = write(STDERR_FILENO, line, length);
    (void)ignored;
  }
}

}  // namespace scredir::pcscd
