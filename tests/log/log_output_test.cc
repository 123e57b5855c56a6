// Purge of old logs, rotation, throttling and failed writes of the file
// output, driven through the fixture's clock and write seams.
#include <vector>

#include "lib/log/log_internal.h"

#include "tests/log/log_fixture.h"

namespace logtest {
namespace {

// A message that, with the fixture's prefix and newline, is exactly 1000 bytes.
std::string Line1000(int n) {
  std::string text = "line " + std::to_string(n) + " ";
  text.resize(1000 - kPrefix.size() - 1, '.');
  return text;
}

class LogOutput : public LogFixture {};

TEST_F(LogOutput, PurgeKeepsNewestLogsOfFinishedProcesses) {
  const std::string safe = SafeDir();
  ASSERT_EQ(mkdir(safe.c_str(), 0700), 0);
  auto name = [](const std::string& pid) { return "pallwin-QRNScRedir-" + pid + ".log"; };
  std::set<std::string> kept = {name("4711")};
  for (int i = 0; i < 85; ++i) {  // pids 1000..1084, oldest first: the five oldest go
    Touch(safe + "/" + name(std::to_string(1000 + i)), 1000000 + i);
    if (i >= 5) kept.insert(name(std::to_string(1000 + i)));
  }
  g_alive = {7, 8, 9};
  // Running, or not logs of ours: very old, yet neither counted nor touched.
  for (const char* pid : {"7", "8", "9", "12x", "0042"}) {
    Touch(safe + "/" + name(pid), 10);
    kept.insert(name(pid));
  }
  ASSERT_NE(Open({{"log.keepOld", "80"}}, true), nullptr);
  EXPECT_EQ(Names(safe), kept);
}

TEST_F(LogOutput, SlowRotationRenumbersAndKeepsThree) {
  g_config = {
      {"log.fileName", "r.log"}, {"log.rotateSize", "100000"}, {"log.throttleBytesPerSec", "0"}};
  ASSERT_NE(Open({{"log.keepOld", "3"}}), nullptr);
  // Every file holds its header plus 100 lines of 1000 bytes before the next
  // line sees it past 100000 bytes, so 450 lines make four rotations.
  for (int i = 0; i < 450; ++i) Log("%s", Line1000(i).c_str());
  const std::string safe = SafeDir();
  EXPECT_EQ(Names(safe), (std::set<std::string>{"r.log", "r-0.log", "r-1.log", "r-2.log"}));
  const std::string rotated =
      kPrefix + "QRNScRedir: Rotating to a new log file (keepOld 3) took 0.000000 seconds.\n";
  const std::pair<const char*, int> files[] = {
      {"r-2.log", 100}, {"r-1.log", 200}, {"r-0.log", 300}, {"r.log", 400}};
  for (const auto& [file, first] : files) {
    std::string text = ReadFile(safe + "/" + file);
    EXPECT_EQ(text.rfind(kPrefix + "Log for Smart Card", 0), 0u) << file;
    EXPECT_EQ(After(text, 5).rfind(rotated + kPrefix + Line1000(first) + "\n", 0), 0u) << file;
  }
}

// Numbering itself is covered with the file helpers; here the setting picks
// fast rotation and the new file starts where the old one stopped.
TEST_F(LogOutput, FastRotationTakesTheNextNumber) {
  const std::string safe = SafeDir();
  ASSERT_EQ(mkdir(safe.c_str(), 0700), 0);
  Touch(safe + "/f-7.log", 1);
  g_config = {{"log.fileName", "f.log"},
              {"log.rotateSize", "100000"},
              {"log.fastRotation", "1"},
              {"log.throttleBytesPerSec", "0"}};
  ASSERT_NE(Open(), nullptr);
  for (int i = 0; i < 101; ++i) Log("%s", Line1000(i).c_str());
  EXPECT_EQ(Names(safe), (std::set<std::string>{"f.log", "f-7.log", "f-8.log"}));
  EXPECT_EQ(After(ReadFile(safe + "/f-8.log"), 5).rfind(kPrefix + Line1000(0), 0), 0u);
  EXPECT_EQ(Body().rfind(kPrefix + "QRNScRedir: Rotating to a new log file (keepOld 3)", 0), 0u);
}

// Lines of 100 bytes against a 1000-byte threshold and 100 bytes a second.
// A step is lines first..last at `second`; line 0 stands for the throttle
// notice.
struct Step {
  int64_t second;
  int first, last;
};

// Logs the steps when `log` is set; returns them as the file shows them,
// each stamped with the second it was logged at.
std::string Walk(const std::vector<Step>& steps, bool log) {
  std::string out;
  for (const Step& st : steps) {
    for (int n = st.first; n <= st.last; ++n) {
      std::string text = n == 0 ? "<<< file Throttled >>>" : "flood " + std::to_string(n) + " ";
      if (n != 0) text.resize(100 - kPrefix.size() - 1, '~');
      int64_t now = kBaseUs + st.second * 1000000;
      if (log) {
        g_nowUs = now;
        Log("%s", text.c_str());
      }
      out += LogFormatUtc(now) + kPrefix.substr(19) + text + "\n";
    }
  }
  return out;
}

TEST_F(LogOutput, ThrottleStateMachine) {
  struct Case {
    std::map<std::string, std::string> config;
    std::vector<Step> steps, written;
  } cases[] = {
      // Below the threshold at any rate; past it the 5 s window decides;
      // once throttled only a 60 s window can release the held lines.
      {{},
       {{0, 1, 9}, {1, 10, 10}, {6, 11, 11}, {30, 12, 12}, {67, 13, 13}},
       {{0, 1, 9}, {1, 10, 10}, {6, 0, 0}, {6, 11, 11}, {30, 12, 12}, {67, 13, 13}}},
      // A rate exactly at the limit does not exceed it.
      {{}, {{0, 1, 10}, {11, 11, 11}}, {{0, 1, 10}, {11, 11, 11}}},
      {{{"log.noLogAfterThreshold", "1"}}, {{0, 1, 10}, {500, 11, 11}}, {{0, 1, 9}, {0, 0, 0}}},
      {{{"log.throttleBytesPerSec", "0"}}, {{0, 1, 10}, {6, 11, 11}}, {{0, 1, 10}, {6, 11, 11}}},
      // A 60 s window that is still too fast keeps the lines held;
      // it must stay last: the output is used again below.
      {{},
       {{0, 1, 9}, {1, 10, 10}, {6, 11, 11}, {40, 100, 169}, {67, 200, 200}},
       {{0, 1, 9}, {1, 10, 10}, {6, 0, 0}}},
  };
  for (Case& c : cases) {
    c.config.emplace("log.fileName", "t.log");
    c.config.emplace("log.throttleThreshold", "1000");
    c.config.emplace("log.throttleBytesPerSec", "100");
    g_config = c.config;
    g_nowUs = kBaseUs;
    ASSERT_NE(Open(), nullptr);
    Walk(c.steps, true);
    EXPECT_EQ(Body(), Walk(c.written, false));
  }
  // A quiet minute then releases every held line in order, each stamped when
  // it was logged; the notice stays after the first ten.
  std::vector<Step> all = cases[4].steps;
  all.insert(all.begin() + 2, {6, 0, 0});
  all.push_back({130, 300, 300});
  Walk({all.back()}, true);
  EXPECT_EQ(Body(), Walk(all, false));
}

// A full disk is survived; a failed write is counted and announced before
// the next line that can be written.
TEST_F(LogOutput, FailedWritesAreSurvivedAndAnnouncedWithTheirCount) {
  g_config = {{"log.fileName", "/dev/full"}};
  ASSERT_NE(Open(), nullptr);
  EXPECT_EQ(g_stderr, kPrefix + "Unable to label log file '/dev/full'\n");
  for (int i = 0; i < 10; ++i) Log("into the void %d", i);
  EXPECT_EQ(LogCurrentFileName(), "/dev/full");
  LogShutdown();
  g_config = {{"log.fileName", "d.log"}};
  ASSERT_NE(Open(), nullptr);
  g_failWrites = 1;
  Log("%s", std::string(120 - kPrefix.size() - 1, 'x').c_str());
  Log("after");
  Log("again");
  EXPECT_EQ(Body(), kPrefix + ">>> Error writing log, 120 bytes discarded. Disk full?\n" + kPrefix +
                        "after\n" + kPrefix + "again\n");
}

TEST_F(LogOutput, VanishedDirectoryIsReopened) {
  g_config = {
      {"log.fileName", "v.log"}, {"log.rotateSize", "100000"}, {"log.throttleBytesPerSec", "0"}};
  ASSERT_NE(Open(), nullptr);
  for (int i = 0; i < 100; ++i) Log("%s", Line1000(i).c_str());
  std::filesystem::remove_all(SafeDir());
  Log("lost while the directory is gone");  // rotation cannot reopen
  EXPECT_NE(g_stderr.find("Unable to open log file '" + SafeDir() + "/v.log'"), std::string::npos);
  ASSERT_EQ(mkdir(SafeDir().c_str(), 0700), 0);
  Log("back");
  EXPECT_EQ(Body(), kPrefix + ">>> Error writing log, " + std::to_string(kPrefix.size() + 33) +
                        " bytes discarded. Disk full?\n" + kPrefix + "back\n");
}

}  // namespace
}  // namespace logtest
