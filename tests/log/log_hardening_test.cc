// What the log must withstand: messages that try to forge lines or carry a
// PIN, links and swapped directories in the log areas, running out of memory
// inside a host callback, and configuration messages that used to bypass the
// file.
#include <fcntl.h>

#include <cstdlib>
#include <functional>
#include <new>

#include "scredir/channel.h"
#include "scredir/qrn_log.h"
#include "tests/log/log_fixture.h"

// Allocation that can be made to fail on this thread, to show that nothing
// escapes the log routines when memory runs out.
// (gcc sees the replacement's malloc and free inlined into the callers and
// takes them for a mismatched new and free.)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
// ThreadSanitizer brings its own operator new, which cannot be replaced;
// there the allocations cannot be made to fail and that test is skipped.
#if defined(__SANITIZE_THREAD__)
#define LOGTEST_FIXED_NEW 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define LOGTEST_FIXED_NEW 1
#endif
#endif
namespace {
thread_local bool t_failNew = false;
}  // namespace
#ifndef LOGTEST_FIXED_NEW
void* operator new(size_t size) {
  if (t_failNew) throw std::bad_alloc();
  if (void* p = malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  free(p);
}
void operator delete(void* p, size_t) noexcept {
  free(p);
}
#endif

namespace logtest {
namespace {

class LogHardening : public LogFixture {};

// Each message is written as exactly one line: control bytes are escaped,
// a final newline is the line's end, the word "pin" alone is masked.
TEST_F(LogHardening, EveryMessageIsOneLineAndOnlyTheWordPinIsMasked) {
  g_config = {{"log.fileName", "one.log"}};
  ASSERT_NE(Open(), nullptr);
  const std::string forged = "2026-12-05T19:11:50.123Z In(05) tester SCQRN: INFO |    1|: QRN stop";
  const std::pair<std::string, std::string> cases[] = {
      {"Rejecting unrecognised channel 'x\n" + forged + "'",
       "Rejecting unrecognised channel 'x\\n" + forged + "'"},
      {"cr\rlf\r\n", "cr\\rlf\\r"},
      {"two ends\n\n", "two ends\\n"},
      {"tab\tbell\a esc\x1b[2J del\x7f", "tab\\tbell\\x07 esc\\x1b[2J del\\x7f"},
      {"kept as is: back\\slash, UTF-8 \xc3\xa9, \\n typed", ""},
      {"Stopping, spinning, pinpad, opinion, PINs", ""},
      {"PIN pin: Pin1 user_pin (pIn) -pin-", "*** ***: ***1 user_*** (***) -***-"},
      // Bytes are looked at a word of eight at a time: hits on either side
      // of a word's edge.
      {"0123456\x01"
       "89abcdef\x7f",
       "0123456\\x0189abcdef\\x7f"},
      {"123456 pin 9abcd Pin", "123456 *** 9abcd ***"},
      {"1234567pin 89abcd pinx", "1234567*** 89abcd pinx"},
  };
  std::string expected;
  for (const auto& [message, written] : cases) {
    Log("%s", message.c_str());
    expected += kPrefix + (written.empty() ? message : written) + "\n";
  }
  // The plug-in's own routine goes through the same door.
  ScRedirQrn_Logf(kQrnLogError, 0, "Rejecting unrecognised channel '%s'", "a\nb");
  char tid[16];
  snprintf(tid, sizeof tid, "|%5lu|", static_cast<unsigned long>(gettid()));
  EXPECT_EQ(Body(), expected + kPrefix + "SCQRN: ERROR(00000000) " + tid +
                        ": Rejecting unrecognised channel 'a\\nb'\n");
  // Without a file the same line reaches standard error the same way.
  LogShutdown();
  Log("no file\r\nforged");
  EXPECT_EQ(g_stderr, kPrefix + "no file\\r\\nforged\n");
}

// Areas that cannot be trusted and names that cannot be opened give no log
// and say why; a victim file that a link in a log area points at must never
// change.
class LogAreas : public LogFixture {};

TEST_F(LogAreas, LinksAndWeakDirectoriesAreRefused) {
  const std::string safe = SafeDir(), sys = systemDir_, generated = "/pallwin-QRNScRedir-4711.log";
  const std::string elsewhere = dir_ + "/elsewhere", victim = dir_ + "/victim";
  const std::string loop = "': Too many levels of symbolic links\n";
  ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
  std::ofstream(victim) << "precious\n";
  // Made in order: a directory with its mode, or (from "->") a link to it.
  using Made = std::vector<std::pair<std::string, std::string>>;
  const auto weak = [](const std::string& area) { return Made{{area, "0777"}}; };
  const auto refused = [](const std::string& area) {
    return "Safe logging area '" + area + "' validation failed!\n";
  };
  struct Case {
    const char* what;
    std::map<std::string, std::string> config;
    Made made;
    std::string note;  // what the log says instead of opening
    size_t inElsewhere = 0;
  } cases[] = {
      // clang-format off
      {"per-user area writable by others", {}, weak(safe), refused(safe)},
      {"per-user area is a link", {}, {{safe, "->" + dir_}}, refused(safe)},
      {"configured name is a directory", {{"log.fileName", "dir.log"}}, {{safe, "0700"}, {safe + "/dir.log", "0700"}},
       "Unable to open log file '" + safe + "/dir.log': Is a directory\n"},
      {"system area is a link", {{"log.systemAreaTemp", "true"}}, {{sys, "->" + elsewhere}}, refused(sys)},
      {"system area writable by others", {{"log.systemAreaTemp", "true"}}, weak(sys), refused(sys)},
      {"generated name in the system area is a link", {{"log.systemAreaTemp", "true"}},
       {{sys, "0755"}, {sys + generated, "->" + victim}}, "Unable to open log file '" + sys + generated + loop},
      {"configured name in the per-user area is a link", {{"log.fileName", "mine.log"}},
       {{safe, "0700"}, {safe + "/mine.log", "->" + victim}}, "Unable to open log file '" + safe + "/mine.log" + loop},
      {"explicit path is a link", {{"log.fileName", elsewhere + "/abs.log"}}, {{elsewhere + "/abs.log", "->" + victim}},
       "Unable to open log file '" + elsewhere + "/abs.log" + loop, 1},
      // clang-format on
  };
  static std::string captured;
  LogSetCaptureSink([](const char* m) { captured += m; });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    captured.clear();
    for (const auto& [path, how] : c.made) {
      if (how.starts_with("->")) {
        ASSERT_EQ(symlink(how.c_str() + 2, path.c_str()), 0);
      } else {
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
        ASSERT_EQ(chmod(path.c_str(), std::stoi(how, nullptr, 8)), 0);
      }
    }
    g_config = c.config;
    EXPECT_EQ(Open(), nullptr);
    EXPECT_EQ(LogCurrentFileName(), "");
    EXPECT_EQ(captured, c.note);
    EXPECT_EQ(ReadFile(victim), "precious\n");
    EXPECT_EQ(Names(elsewhere).size(), c.inElsewhere);
    std::filesystem::remove_all(sys);
    std::filesystem::remove_all(safe);
    std::filesystem::remove(elsewhere + "/abs.log");
  }
}

// The area is checked once and then held open: renaming it away and putting
// a link in its place moves neither the rotation nor the new file.
TEST_F(LogAreas, SwappedDirectoryCannotRedirectRotation) {
  const std::string safe = SafeDir(), moved = dir_ + "/moved", attacker = dir_ + "/attacker";
  ASSERT_EQ(mkdir(attacker.c_str(), 0700), 0);
  g_config = {
      {"log.fileName", "r.log"}, {"log.rotateSize", "100000"}, {"log.throttleBytesPerSec", "0"}};
  ASSERT_NE(Open({{"log.keepOld", "3"}}), nullptr);
  ASSERT_EQ(rename(safe.c_str(), moved.c_str()), 0);
  ASSERT_EQ(symlink(attacker.c_str(), safe.c_str()), 0);
  const std::string line(1000, 'x');
  for (int i = 0; i < 101; ++i) Log("%s", line.c_str());
  EXPECT_EQ(Names(attacker), std::set<std::string>{});
  EXPECT_EQ(Names(moved), (std::set<std::string>{"r.log", "r-0.log"}));
  EXPECT_EQ(g_stderr, "");
}

// Every allocation fails while `run` runs on this thread.
void WithoutMemory(const std::function<void()>& run) {
  t_failNew = true;
  try {
    run();
  } catch (...) {
    t_failNew = false;
    throw;
  }
  t_failNew = false;
}

LogFileOutput* g_opened = nullptr;

// Nothing thrown inside may reach the host's callback; the line is dropped
// and the next one is written.
TEST_F(LogHardening, RunningOutOfMemoryDropsTheLineAndThrowsNothing) {
#ifdef LOGTEST_FIXED_NEW
  GTEST_SKIP() << "operator new cannot be replaced under ThreadSanitizer";
#endif
  g_config = {{"log.fileName", "oom.log"}};
  ASSERT_NE(Open(), nullptr);
  const std::pair<const char*, std::function<void()>> cases[] = {
      {"Log", [] { Log("lost %d", 1); }},
      {"LogAtLevel", [] { LogAtLevel(2, "lost %d", 2); }},
      {"ScRedirQrn_Log", [] { ScRedirQrn_Log(kQrnLogInfo, 0, "lost 3"); }},
      {"ScRedirQrn_Logf", [] { ScRedirQrn_Logf(kQrnLogError, 5, "lost %d", 4); }},
      {"ScRedirQrn_HexDump",
       [] {
         debugEnabled = true;
         ScRedirQrn_HexDump("lost 5", 6);
         debugEnabled = false;
       }},
      {"LogConfigMessage", [] { LogConfigMessage("lost 6\n"); }},
      {"LogSetThreadName", [] { LogSetThreadName("a thread name too long for the small string"); }},
      {"LogOpenFileOutput", [] { g_opened = LogOpenFileOutput("X", {}, &kConfig, false); }},
  };
  for (const auto& [what, run] : cases) EXPECT_NO_THROW(WithoutMemory(run)) << what;
  EXPECT_EQ(g_opened, nullptr);
  debugEnabled = false;
  LogSetThreadName("tester");
  Log("still here");
  EXPECT_EQ(Body(), kPrefix + "still here\n");
}

// The store's messages (here a value that is not a boolean, carrying a
// newline through the file format's escape) reach the plug-in's log once
// it is open, as one line.
TEST_F(LogHardening, ConfigurationMessagesReachThePluginLog) {
  const std::string etc = dir_ + "/etc", log = dir_ + "/start.log";
  ASSERT_EQ(mkdir(etc.c_str(), 0700), 0);
  std::ofstream(etc + "/config") << "QRNScRedir.log.fileName = \"" << log
                                 << "\"\nQRN.ScRedir.Enable = \"maybe|0aforged\"\n";
  ConfigStoreOptions options;
  options.hostDir = etc;
  options.defaultLibDir = dir_ + "/lib";
  options.homeDir = dir_ + "/home";
  ConfigStoreResetForTest();
  ConfigSetMessageSink([](const char*) {});  // the missing files, before the log opens
  ASSERT_TRUE(ConfigStoreInitWith(options));
  const uint16_t version[2] = {1, 0};
  EXPECT_EQ(ScRedirQrn_Start(version, nullptr, {"Smart Card", "1.2", "77"}), 0u);
  ConfigSetMessageSink(nullptr);
  ConfigStoreResetForTest();
  EXPECT_NE(ReadFile(log).find(
                " tester Value \"maybe\\nforged\" of \"QRN.ScRedir.Enable\" is not a valid"),
            std::string::npos)
      << ReadFile(log);
  EXPECT_EQ(g_stderr.find("maybe"), std::string::npos) << g_stderr;
}

}  // namespace
}  // namespace logtest
