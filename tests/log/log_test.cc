// Levels, variable resolution, choice of the file, header and line prefix.
#include <sys/stat.h>

#include <regex>
#include <utility>
#include <vector>

#include "lib/log/log_internal.h"
#include "tests/log/log_fixture.h"

namespace logtest {
namespace {

TEST(LogLevels, NamesNoneAndNumbersParse) {
  struct {
    const char* text;
    int level;  // -9: rejected, level left alone
  } cases[] = {{"none", -1}, {"NONE", -1}, {"Debug3", 11}, {"verbose", 6}, {"-1", -1},
               {"15", 15},   {"16", -9},   {"-2", -9},     {"", -9},       {"5x", -9}};
  for (const auto& c : cases) {
    int level = -9;
    EXPECT_EQ(LogLevelFromName(c.text, &level), c.level != -9) << c.text;
    EXPECT_EQ(level, c.level) << c.text;
  }
}

// Each case: dictionary, store contents, the value read back and the note.
TEST(LogVariables, ResolutionOrderAndLimits) {
  using Pick = int (*)(const LogSettings&);
  Pick keepOld = [](const LogSettings& s) { return s.keepOld; };
  Pick rotate = [](const LogSettings& s) { return s.rotateSize; };
  Pick fileLevel = [](const LogSettings& s) { return s.fileLevel; };
  struct Case {
    LogParams dict;
    std::map<std::string, std::string> config;
    Pick pick;
    int expected;
    std::string note;
  } cases[] = {
      // clang-format off
      {{{"log.keepOld", "80"}}, {}, keepOld, 80, ""},
      {{}, {}, keepOld, 3, ""},
      {{{"log.keepOld", "80"}}, {{"log.keepOld", "5"}}, keepOld, 5, ""},
      // A store value equal to the default does not override the dictionary.
      {{{"log.keepOld", "80"}}, {{"log.keepOld", "3"}}, keepOld, 80, ""},
      {{}, {{"log.keepOld", "5"}, {"QRNScRedir.log.keepOld", "7"}}, keepOld, 7, ""},
      {{{"log.keepOld", "-1"}}, {}, keepOld, 3, "QRNScRedir: log.keepOld (-1) is invalid. Set to 3.\n"},
      {{}, {{"log.rotateSize", "5000"}}, rotate, 100000, "QRNScRedir: log.rotateSize (5000) is too small. Set to 100000.\n"},
      {{}, {{"log.rotateSize", "99999"}}, rotate, 100000, "QRNScRedir: log.rotateSize (99999) is too small. Set to 100000.\n"},
      {{}, {{"log.rotateSize", "100000"}}, rotate, 100000, ""},
      {{}, {{"log.rotateSize", "-4"}}, rotate, 0, "QRNScRedir: log.rotateSize (-4) is invalid. Set to 0.\n"},
      {{}, {{"QRNScRedir.log.fileLevel", "debug"}, {"log.fileLevel", "2"}}, fileLevel, 8, ""},
      {{}, {{"log.fileLevel", "none"}}, fileLevel, -1, ""},
      {{}, {{"log.fileLevel", "loud"}}, fileLevel, 5, "QRNScRedir: log.fileLevel (loud) is invalid. Set to 5.\n"},
      // clang-format on
  };
  for (const Case& c : cases) {
    g_config = c.config;
    std::vector<std::string> notes;
    LogVarSource src{&c.dict, &kConfig, "QRNScRedir", &notes};
    LogSettings s = LogLoadSettings(src);
    EXPECT_EQ(c.pick(s), c.expected) << c.note;
    std::string joined;
    for (const auto& n : notes) joined += n;
    EXPECT_EQ(joined, c.note);
  }
  g_config = {
      {"log.permissions", "0"}, {"log.throttleBytesPerSec", "-2"}, {"log.throttleThreshold", "-1"}};
  LogParams none;
  LogSettings s = LogLoadSettings({&none, &kConfig, "QRNScRedir", nullptr});
  EXPECT_EQ(s.permissions, 0640);
  EXPECT_EQ(s.throttleBytesPerSec, 1000);
  EXPECT_EQ(s.throttleThreshold, 1000000);
  g_config = {{"log.throttleBytesPerSec", "-1"}};
  EXPECT_EQ(LogLoadSettings({&none, &kConfig, "QRNScRedir", nullptr}).throttleBytesPerSec, -1);
}

class LogFileChoice : public LogFixture {};

TEST_F(LogFileChoice, NamesFromConfigurationOrGenerated) {
  struct Case {
    std::map<std::string, std::string> config;
    std::string expected;  // "%D" is the temp dir, "%S" the safe area
  } cases[] = {
      {{}, "%S/pallwin-QRNScRedir-4711.log"},
      {{{"QRNScRedir.log.fileName", "~/mine-$PID.log"}}, "%D/mine-4711.log"},
      {{{"QRNScRedir.log.fileName", "${HOME}/braced.log"}}, "%D/braced.log"},
      {{{"log.fileName", "relative.log"}}, "%S/relative.log"},
      // The key named by log.config wins over log.fileName.
      {{{"log.fileName", "other.log"}, {"QRNScRedir.log.fileName", "first.log"}}, "%S/first.log"},
      {{{"QRNScRedir.log.fileName", "$UNDEFINED_LOG_VARIABLE/x.log"}},
       "%S/pallwin-QRNScRedir-4711.log"},
      {{{"log.systemAreaTemp", "true"}}, "%Y/pallwin-QRNScRedir-4711.log"},
  };
  for (const Case& c : cases) {
    g_config = c.config;
    std::string expected = std::regex_replace(c.expected, std::regex("%D"), dir_);
    expected = std::regex_replace(expected, std::regex("%S"), SafeDir());
    expected = std::regex_replace(expected, std::regex("%Y"), systemDir_);
    ASSERT_NE(Open(), nullptr) << expected;
    EXPECT_EQ(LogCurrentFileName(), expected);
    LogShutdown();
  }
  struct stat st;
  ASSERT_EQ(stat(SafeDir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(LogFileChoice, UnusableAreasGiveNoLogAndSayWhy) {
  static std::string captured;
  captured.clear();
  LogSetCaptureSink([](const char* m) { captured += m; });
  const std::string safe = SafeDir();
  struct Case {
    void (*prepare)(const std::string& safe, const std::string& dir);
    std::string message;
  } cases[] = {
      {[](const std::string& s, const std::string&) {
         mkdir(s.c_str(), 0777);
         chmod(s.c_str(), 0777);
       },
       "Safe logging area '%S' validation failed!\n"},
      {[](const std::string& s, const std::string& d) {
         ASSERT_EQ(symlink(d.c_str(), s.c_str()), 0);
       },
       "Safe logging area '%S' validation failed!\n"},
      // The named file is a directory.
      {[](const std::string& s, const std::string&) {
         mkdir(s.c_str(), 0700);
         mkdir((s + "/dir.log").c_str(), 0700);
         g_config = {{"log.fileName", "dir.log"}};
       },
       "Unable to open log file '%S/dir.log': Is a directory\n"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(safe);
    g_config.clear();
    captured.clear();
    c.prepare(safe, dir_);
    EXPECT_EQ(Open(), nullptr);
    EXPECT_EQ(LogCurrentFileName(), "");
    EXPECT_EQ(captured, std::regex_replace(c.message, std::regex("%S"), safe));
    std::filesystem::remove_all(safe);
  }
}

class LogLines : public LogFixture {};

TEST_F(LogLines, HeaderLinesCarryThePrefix) {
  g_config = {{"log.fileName", "h.log"}};
  ASSERT_NE(Open(), nullptr);
  std::string text = ReadFile(LogCurrentFileName());
  const std::string p = std::regex_replace(kPrefix, std::regex(R"([.()])"), R"(\$&)");
  std::string expected =
      p + "Log for Smart Card pid=" + std::to_string(getpid()) +
      " version=1\\.2 build=77 option=Release\n" + p + "The host is x86_64\\.\n" + p +
      "Host codepage=[^\\n]+ encoding=[^\\n]+\n" + p + "Host is Linux [^\\n]+\n" + p +
      "Host offset from UTC is [-+][0-9]{2}:[0-9]{2}\\.\n";
  EXPECT_TRUE(std::regex_match(text, std::regex(expected))) << text;

  // Without time stamps the header says when the file was made.
  g_config = {{"log.fileName", "h2.log"}, {"log.useTimeStamps", "0"}};
  ASSERT_NE(Open(), nullptr);
  text = ReadFile(LogCurrentFileName());
  EXPECT_NE(text.find("In(05) tester Log creation time is 2026-12-05T19:11:50.123Z\n"),
            std::string::npos)
      << text;
}

TEST_F(LogLines, PrefixFollowsEachFlag) {
  struct Case {
    std::map<std::string, std::string> config;
    const char* opId;
    std::string prefix;
  } cases[] = {
      {{}, nullptr, kPrefix},
      {{{"log.useMilliseconds", "0"}}, nullptr, "2026-12-05T19:11:50Z In(05) tester "},
      {{{"log.useTimeStamps", "0"}}, nullptr, "In(05) tester "},
      {{{"log.useLevelDesignator", "0"}}, nullptr, "2026-12-05T19:11:50.123Z tester "},
      {{{"log.useThreadName", "0"}}, nullptr, "2026-12-05T19:11:50.123Z In(05) "},
      {{{"log.useOpID", "1"}}, nullptr, kPrefix + "- "},
      {{{"log.useOpID", "1"}}, "op-17", kPrefix + "op-17 "},
      {{{"log.useTimeStamps", "0"}, {"log.useLevelDesignator", "0"}, {"log.useThreadName", "0"}},
       nullptr,
       ""},
  };
  for (const Case& c : cases) {
    g_config = c.config;
    g_config["log.fileName"] = "p.log";
    ASSERT_NE(Open(), nullptr);
    LogSetOperationId(c.opId);
    Log("hello %d", 42);
    LogSetOperationId(nullptr);
    std::string text = ReadFile(LogCurrentFileName());
    std::string last = text.substr(text.rfind('\n', text.size() - 2) + 1);
    EXPECT_EQ(last, c.prefix + "hello 42\n");
  }
}

TEST_F(LogLines, MessagesAreShapedBeforeWriting) {
  g_config = {{"log.fileName", "m.log"}, {"log.throttleBytesPerSec", "0"}};
  ASSERT_NE(Open(), nullptr);
  const std::string fits(318, 'a'), over(319, 'b'), huge(40000, 'c');
  struct {
    std::string message;
    std::string written;  // after the prefix
    bool mark;
  } cases[] = {
      {"no newline", "no newline\n", false},
      {"kept newline\n", "kept newline\n", false},
      {"Enter PIN now", "Enter *** now\n", false},
      {"spinning Pin pIN", "s***ning *** ***\n", false},
      {fits, fits + "\n", false},
      {over, over + "\n", false},
      {huge, std::string(32766, 'c') + "\n", true},
  };
  for (const auto& c : cases) {
    std::string before = ReadFile(LogCurrentFileName());
    errno = EBADF;
    Log("%s", c.message.c_str());
    EXPECT_EQ(errno, EBADF);
    std::string prefix = c.mark ? "2026-12-05T19:11:50.123Z In(05)+ tester " : kPrefix;
    EXPECT_EQ(ReadFile(LogCurrentFileName()).substr(before.size()), prefix + c.written);
  }
}

// The sink runs while the outer message holds the large buffer, so the
// inner long message finds it taken and is cut at the small buffer.
TEST_F(LogLines, LongMessageIsCutWhileTheLargeBufferIsTaken) {
  g_config = {{"log.fileName", "cut.log"}};
  ASSERT_NE(Open(), nullptr);
  static bool nested = false;
  nested = false;
  LogSetCaptureSink([](const char*) {
    if (!std::exchange(nested, true)) Log("%s", std::string(400, 'z').c_str());
  });
  Log("%s", std::string(400, 'y').c_str());
  EXPECT_EQ(After(ReadFile(LogCurrentFileName()), 5), "2026-12-05T19:11:50.123Z In(05)+ tester " +
                                                          std::string(318, 'z') + "\n" + kPrefix +
                                                          std::string(400, 'y') + "\n");
}

TEST_F(LogLines, AppendAndPermissions) {
  const std::string path = dir_ + "/keep.log";
  struct {
    std::map<std::string, std::string> config;
    mode_t mode;
    bool kept;
  } cases[] = {
      {{}, 0640, false},
      {{{"log.permissions", "0600"}, {"log.syncAfterWrite", "1"}}, 0600, false},
      {{{"log.append", "1"}}, 0640, true},
  };
  for (const auto& c : cases) {
    std::ofstream(path) << "earlier run\n";
    g_config = c.config;
    g_config["log.fileName"] = path;
    ASSERT_NE(Open(), nullptr);
    Log("now");
    std::string text = ReadFile(path);
    EXPECT_EQ(text.rfind("earlier run\n", 0) == 0, c.kept);
    EXPECT_EQ(After(text, c.kept ? 6 : 5), kPrefix + "now\n");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, c.mode);
  }
}

TEST_F(LogLines, LevelsPickTheOutputs) {
  Log("to stderr without a file");
  EXPECT_EQ(g_stderr, kPrefix + "to stderr without a file\n");
  g_stderr.clear();
  g_config = {{"log.fileName", "e.log"}, {"log.stderrLevel", "error"}};
  LogFileOutput* out = Open();
  ASSERT_NE(out, nullptr);
  LogAtLevel(6, "dropped");
  LogSetFileLevel(out, 6);
  LogAtLevel(2, "bad");
  LogAtLevel(6, "chatty");
  EXPECT_EQ(g_stderr, "2026-12-05T19:11:50.123Z Er(02) tester bad\n");
  EXPECT_EQ(After(ReadFile(LogCurrentFileName()), 5),
            "2026-12-05T19:11:50.123Z Er(02) tester bad\n" + kPrefix.substr(0, 25) +
                "In(06) tester chatty\n");
}

}  // namespace
}  // namespace logtest
