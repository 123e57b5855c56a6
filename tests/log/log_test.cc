// Variable resolution and limits, choice of the file, header and line prefix.
#include <regex>
#include <utility>
#include <vector>

#include "lib/log/log_internal.h"
#include "tests/log/log_fixture.h"

namespace logtest {
namespace {

// Each case: dictionary, table contents, the setting read back and the note.
TEST(LogVariables, ResolutionOrderLevelsAndLimits) {
  using S = LogSettings;
  using Strings = std::vector<std::string>;
  struct Case {
    LogParams dict;
    std::map<std::string, std::string> config;
    int32_t S::*field;
    int32_t expected;
    std::string note;
  } cases[] = {
      // clang-format off
      {{{"log.keepOld", "80"}}, {{"log.keepOld", "5"}}, &S::keepOld, 5, ""},
      // A stored value equal to the default does not override the dictionary.
      {{{"log.keepOld", "80"}}, {{"log.keepOld", "3"}}, &S::keepOld, 80, ""},
      {{}, {{"log.keepOld", "5"}, {"QRNScRedir.log.keepOld", "7"}}, &S::keepOld, 7, ""},
      {{{"log.keepOld", "-1"}}, {}, &S::keepOld, 3, "QRNScRedir: log.keepOld (-1) is invalid. Set to 3.\n"},
      {{}, {{"log.rotateSize", "99999"}}, &S::rotateSize, 100000, "QRNScRedir: log.rotateSize (99999) is too small. Set to 100000.\n"},
      {{}, {{"log.rotateSize", "100000"}}, &S::rotateSize, 100000, ""},
      {{}, {{"log.rotateSize", "-4"}}, &S::rotateSize, 0, "QRNScRedir: log.rotateSize (-4) is invalid. Set to 0.\n"},
      {{}, {{"log.permissions", "0"}}, &S::permissions, 0640, "QRNScRedir: log.permissions (0) is invalid. Set to 416.\n"},
      {{}, {{"log.throttleThreshold", "-1"}}, &S::throttleThreshold, 1000000, "QRNScRedir: log.throttleThreshold (-1) is invalid. Set to 1000000.\n"},
      {{}, {{"log.throttleBytesPerSec", "-2"}}, &S::throttleBytesPerSec, 1000, "QRNScRedir: log.throttleBytesPerSec (-2) is invalid. Set to 1000.\n"},
      {{}, {{"log.throttleBytesPerSec", "-1"}}, &S::throttleBytesPerSec, -1, ""},
      // Levels by name in any case, "none", or a number from -1 to 15.
      {{}, {{"QRNScRedir.log.fileLevel", "debug"}, {"log.fileLevel", "2"}}, &S::fileLevel, 8, ""},
      {{}, {{"log.fileLevel", "NONE"}}, &S::fileLevel, -1, ""},
      {{}, {{"log.fileLevel", "Debug3"}}, &S::fileLevel, 11, ""},
      {{}, {{"log.fileLevel", "-1"}}, &S::fileLevel, -1, ""},
      {{}, {{"log.fileLevel", "15"}}, &S::fileLevel, 15, ""},
      {{}, {{"log.fileLevel", "16"}}, &S::fileLevel, 5, "QRNScRedir: log.fileLevel (16) is invalid. Set to 5.\n"},
      {{}, {{"log.fileLevel", "-2"}}, &S::fileLevel, 5, "QRNScRedir: log.fileLevel (-2) is invalid. Set to 5.\n"},
      {{}, {{"log.fileLevel", "5x"}}, &S::fileLevel, 5, "QRNScRedir: log.fileLevel (5x) is invalid. Set to 5.\n"},
      // clang-format on
  };
  for (const Case& c : cases) {
    g_config = c.config;
    std::vector<std::string> notes;
    LogSettings s = LogLoadSettings({&c.dict, &kConfig, "QRNScRedir", &notes});
    EXPECT_EQ(s.*c.field, c.expected) << c.note;
    EXPECT_EQ(notes, c.note.empty() ? Strings{} : Strings{c.note});
  }
}

class LogFileChoice : public LogFixture {};

TEST_F(LogFileChoice, NamesFromConfigurationOrGenerated) {
  const std::string safe = SafeDir(), generated = "/pallwin-QRNScRedir-4711.log";
  const std::pair<std::map<std::string, std::string>, std::string> cases[] = {
      {{}, safe + generated},
      {{{"QRNScRedir.log.fileName", "~/mine-$PID.log"}}, dir_ + "/mine-4711.log"},
      {{{"QRNScRedir.log.fileName", "${HOME}/braced.log"}}, dir_ + "/braced.log"},
      {{{"log.fileName", "relative.log"}}, safe + "/relative.log"},
      // The key named by log.config wins over log.fileName.
      {{{"log.fileName", "other.log"}, {"QRNScRedir.log.fileName", "first.log"}},
       safe + "/first.log"},
      {{{"QRNScRedir.log.fileName", "$UNDEFINED_LOG_VARIABLE/x.log"}}, safe + generated},
      {{{"log.systemAreaTemp", "true"}}, systemDir_ + generated},
  };
  for (const auto& [config, expected] : cases) {
    g_config = config;
    ASSERT_NE(Open(), nullptr) << expected;
    EXPECT_EQ(LogCurrentFileName(), expected);
    LogShutdown();
  }
  struct stat st;
  ASSERT_EQ(stat(safe.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
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
}

// Each line's prefix follows its flags; the file's mode, whether an earlier
// run's text survives and, without time stamps, a header line saying when the
// file was made follow theirs.
TEST_F(LogLines, EachFlagShapesTheFile) {
  const std::string path = dir_ + "/p.log";
  struct Case {
    std::map<std::string, std::string> config;
    std::string prefix;
    std::string header = "";
    const char* opId = nullptr;
    mode_t mode = 0640;
  } cases[] = {
      // clang-format off
      {{}, kPrefix},
      {{{"log.useMilliseconds", "0"}}, "2026-12-05T19:11:50Z In(05) tester "},
      {{{"log.useTimeStamps", "0"}}, "In(05) tester ", "\nIn(05) tester Log creation time is 2026-12-05T19:11:50.123Z\n"},
      {{{"log.useLevelDesignator", "0"}}, "2026-12-05T19:11:50.123Z tester "},
      {{{"log.useThreadName", "0"}}, "2026-12-05T19:11:50.123Z In(05) "},
      {{{"log.useOpID", "1"}}, kPrefix + "- "},
      {{{"log.useOpID", "1"}}, kPrefix + "op-17 ", "", "op-17"},
      {{{"log.useTimeStamps", "0"}, {"log.useLevelDesignator", "0"}, {"log.useThreadName", "0"}}, ""},
      {{{"log.permissions", "0600"}, {"log.syncAfterWrite", "1"}}, kPrefix, "", nullptr, 0600},
      {{{"log.append", "1"}}, kPrefix},
      // clang-format on
  };
  for (const Case& c : cases) {
    std::ofstream(path) << "earlier run\n";
    g_config = c.config;
    g_config["log.fileName"] = path;
    ASSERT_NE(Open(), nullptr);
    LogSetOperationId(c.opId);
    Log("hello %d", 42);
    LogSetOperationId(nullptr);
    std::string text = ReadFile(path);
    EXPECT_EQ(text.rfind("earlier run\n", 0) == 0, c.config.count("log.append") == 1);
    EXPECT_EQ(text.substr(text.rfind('\n', text.size() - 2) + 1), c.prefix + "hello 42\n");
    EXPECT_NE(text.find(c.header), std::string::npos) << text;
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, c.mode);
  }
}

// Either side of the small buffer's size, and past the large one's; how a
// message's text is escaped and masked is the hardening test's table.
TEST_F(LogLines, MessagesAreShapedBeforeWriting) {
  g_config = {{"log.fileName", "m.log"}, {"log.throttleBytesPerSec", "0"}};
  ASSERT_NE(Open(), nullptr);
  const std::string fits(318, 'a'), over(319, 'b'), huge(40000, 'c');
  const std::pair<std::string, std::string> cases[] = {
      {fits, kPrefix + fits},
      {over, kPrefix + over},
      {huge, "2026-12-05T19:11:50.123Z In(05)+ tester " + std::string(32766, 'c')},
  };
  for (const auto& [message, written] : cases) {
    std::string before = ReadFile(LogCurrentFileName());
    errno = EBADF;
    Log("%s", message.c_str());
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(ReadFile(LogCurrentFileName()).substr(before.size()), written + "\n");
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
  EXPECT_EQ(Body(), "2026-12-05T19:11:50.123Z In(05)+ tester " + std::string(318, 'z') + "\n" +
                        kPrefix + std::string(400, 'y') + "\n");
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
  EXPECT_EQ(Body(), "2026-12-05T19:11:50.123Z Er(02) tester bad\n" + kPrefix.substr(0, 25) +
                        "In(06) tester chatty\n");
}

}  // namespace
}  // namespace logtest
