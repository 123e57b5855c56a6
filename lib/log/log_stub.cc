// Temporary sink until the file output lands: lines go to standard error.
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "lib/log/log.h"

namespace {
std::atomic<LogCaptureSink> g_capture{nullptr};
}

void LogRegisterProduct(const char*, const char*, const char*, const char*) {}
LogFileOutput* LogOpenFileOutput(const char*, const LogParams&, const ConfigAccessor*, bool) {
  return nullptr;
}
void LogSetFileLevel(LogFileOutput*, int) {}
std::string LogCurrentFileName() {
  return {};
}
void LogShutdown() {}
void LogSetCaptureSink(LogCaptureSink sink) {
  g_capture.store(sink);
}

void Log(const char* format, ...) {
  int saved = errno;
  char buf[32767];
  va_list ap;
  va_start(ap, format);
  vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  if (auto sink = g_capture.load())
    sink(buf);
  else
    fputs(buf, stderr);
  errno = saved;
}
