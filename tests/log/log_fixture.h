// Shared fixture of the log tests: a private temporary directory used as
// TMPDIR and HOME, a fixed clock, a map-backed configuration table, and a
// write seam that records standard error and can fail file writes on demand.
#pragma once

#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>

#include "lib/config/config.h"
#include "lib/log/log.h"

namespace logtest {

inline std::map<std::string, std::string> g_config;
inline int64_t g_nowUs = 0;
inline std::set<pid_t> g_alive;
inline std::string g_stderr;
inline int g_failWrites = 0;  // file writes still to fail with ENOSPC

// The table's value of the formatted key, or null.
inline const std::string* Find(const char* format, va_list ap) {
  char key[1024];
  vsnprintf(key, sizeof key, format, ap);
  auto it = g_config.find(key);
  return it == g_config.end() ? nullptr : &it->second;
}
#define LOGTEST_LOOKUP(v)                  \
  va_list ap;                              \
  va_start(ap, format);                    \
  const std::string* v = Find(format, ap); \
  va_end(ap)
inline char* GetString(const char* def, const char* format, ...) {
  LOGTEST_LOOKUP(v);
  return g_strdup(v ? v->c_str() : def);
}
inline bool GetBool(bool def, const char* format, ...) {
  LOGTEST_LOOKUP(v);
  return v ? (*v == "true" || *v == "1") : def;
}
inline int32_t GetInt(int32_t def, const char* format, ...) {
  LOGTEST_LOOKUP(v);
  return v ? static_cast<int32_t>(strtol(v->c_str(), nullptr, 0)) : def;
}
inline const ConfigAccessor kConfig = {GetString, GetBool, GetInt};

inline ssize_t FakeWrite(int fd, const void* data, size_t size) {
  if (fd == STDERR_FILENO) {
    g_stderr.append(static_cast<const char*>(data), size);
    return static_cast<ssize_t>(size);
  }
  if (g_failWrites > 0) {
    --g_failWrites;
    errno = ENOSPC;
    return -1;
  }
  return write(fd, data, size);
}

// The fixed clock: 2026-12-05T19:11:50.123456Z.
inline constexpr int64_t kBaseUs = 1796497910LL * 1000000 + 123456;
inline const std::string kPrefix = "2026-12-05T19:11:50.123Z In(05) tester ";

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
// What follows the first `lines` lines (the header).
inline std::string After(const std::string& text, int lines) {
  size_t pos = 0;
  while (lines-- > 0 && (pos = text.find('\n', pos)) != std::string::npos) ++pos;
  return pos == std::string::npos ? std::string() : text.substr(pos);
}
// The current log file without its five header lines.
inline std::string Body() {
  return After(ReadFile(LogCurrentFileName()), 5);
}

inline std::set<std::string> Names(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    names.insert(e.path().filename().string());
  return names;
}
// An empty file last modified at `mtime`.
inline void Touch(const std::string& path, time_t mtime) {
  std::ofstream{path};
  std::filesystem::last_write_time(
      path, std::chrono::file_clock::from_sys(std::chrono::system_clock::from_time_t(mtime)));
}

class LogFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/logtest-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    setenv("TMPDIR", dir_.c_str(), 1);
    setenv("HOME", dir_.c_str(), 1);
    setenv("PID", "4711", 1);
    g_config.clear();
    g_alive.clear();
    g_stderr.clear();
    g_failWrites = 0;
    g_nowUs = kBaseUs;
    LogSeams seams;
    seams.nowMicros = [] { return g_nowUs; };
    seams.processAlive = [](pid_t pid) { return g_alive.count(pid) != 0; };
    seams.write = FakeWrite;
    systemDir_ = dir_ + "/system";
    seams.systemDir = systemDir_.c_str();
    LogSetSeams(&seams);
    LogSetThreadName("tester");
    LogRegisterProduct("Smart Card", "1.2", "77", "Release");
  }
  void TearDown() override {
    LogShutdown();
    LogSetSeams(nullptr);
    LogSetCaptureSink(nullptr);
    std::filesystem::remove_all(dir_);
  }
  LogFileOutput* Open(LogParams params = {}, bool purge = false) {
    params.emplace("log.config", "QRNScRedir.log.fileName");
    params.emplace("log.suffix", "QRNScRedir");
    return LogOpenFileOutput("QRNScRedir", params, &kConfig, purge);
  }
  std::string SafeDir() const { return dir_ + "/nimbrel-" + g_get_user_name(); }

  std::string dir_;
  std::string systemDir_;
};

}  // namespace logtest
