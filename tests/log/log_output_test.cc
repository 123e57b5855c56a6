// Purge of old logs, rotation, throttling and failed writes of the file
// output, driven through the fixture's clock and write seams.
#include <fcntl.h>
#include <sys/stat.h>

#include <vector>

#include "tests/log/log_fixture.h"

namespace logtest {
namespace {

namespace fs = std::filesystem;

std::set<std::string> Names(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

void Touch(const std::string& path, time_t mtime) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  close(fd);
  struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

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
  for (int i = 0; i < 85; ++i)  // pids 1000..1084, oldest first
    Touch(safe + "/pallwin-QRNScRedir-" + std::to_string(1000 + i) + ".log", 1000000 + i);
  for (pid_t pid : {7, 8, 9}) {  // running: very old, yet neither counted nor touched
    g_alive.insert(pid);
    Touch(safe + "/pallwin-QRNScRedir-" + std::to_string(pid) + ".log", 10);
  }
  Touch(safe + "/pallwin-QRNScRedir-12x.log", 1);  // not a log of ours
  Touch(safe + "/pallwin-QRNScRedir-0042.log", 1);
  ASSERT_NE(Open({{"log.keepOld", "80"}}, true), nullptr);

  std::set<std::string> names = Names(safe);
  for (int i = 0; i < 85; ++i)
    EXPECT_EQ(names.count("pallwin-QRNScRedir-" + std::to_string(1000 + i) + ".log"),
              i >= 5 ? 1u : 0u)
        << i;
  for (const char* kept :
       {"pallwin-QRNScRedir-7.log", "pallwin-QRNScRedir-8.log", "pallwin-QRNScRedir-9.log",
        "pallwin-QRNScRedir-12x.log", "pallwin-QRNScRedir-0042.log", "pallwin-QRNScRedir-4711.log"})
    EXPECT_EQ(names.count(kept), 1u) << kept;
  EXPECT_EQ(names.size(), 80u + 6u);
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
  struct {
    const char* name;
    int first;
  } files[] = {{"r-2.log", 100}, {"r-1.log", 200}, {"r-0.log", 300}, {"r.log", 400}};
  for (const auto& f : files) {
    std::string text = ReadFile(safe + "/" + f.name);
    EXPECT_EQ(text.rfind(kPrefix + "Log for Smart Card", 0), 0u) << f.name;
    std::string body = After(text, 5);
    EXPECT_EQ(body.rfind(rotated + kPrefix + Line1000(f.first) + "\n", 0), 0u) << f.name;
  }
}

TEST_F(LogOutput, FastRotationTakesTheNextNumber) {
  struct Case {
    int keepOld;
    std::set<std::string> after;
  } cases[] = {
      {3, {"f.log", "f-4.log", "f-7.log", "f-8.log", "f-07.log"}},
      {2, {"f.log", "f-7.log", "f-8.log", "f-07.log"}},
  };
  for (const Case& c : cases) {
    const std::string safe = SafeDir();
    fs::remove_all(safe);
    ASSERT_EQ(mkdir(safe.c_str(), 0700), 0);
    for (const char* n : {"f-4.log", "f-7.log", "f-07.log"}) Touch(safe + "/" + n, 1);
    g_config = {{"log.fileName", "f.log"},
                {"log.rotateSize", "100000"},
                {"log.fastRotation", "1"},
                {"log.throttleBytesPerSec", "0"}};
    ASSERT_NE(Open({{"log.keepOld", std::to_string(c.keepOld)}}), nullptr);
    for (int i = 0; i < 101; ++i) Log("%s", Line1000(i).c_str());
    EXPECT_EQ(Names(safe), c.after);
    EXPECT_EQ(After(ReadFile(safe + "/f-8.log"), 5).rfind(kPrefix + Line1000(0), 0), 0u);
    LogShutdown();
  }
}

// Lines of 100 bytes against a 1000-byte threshold and 100 bytes a second.
TEST_F(LogOutput, ThrottleStateMachine) {
  auto line = [](int n) {
    std::string text = "flood " + std::to_string(n) + " ";
    text.resize(100 - kPrefix.size() - 1, '~');
    return text;
  };
  const int64_t t0 = g_nowUs;
  auto at = [&](int64_t seconds, int n) {
    g_nowUs = t0 + seconds * 1000000;
    Log("%s", line(n).c_str());
  };
  auto stamped = [&](int64_t seconds, const std::string& text) {
    g_nowUs = t0 + seconds * 1000000;
    char stamp[64];
    time_t secs = static_cast<time_t>(g_nowUs / 1000000);
    struct tm tm;
    gmtime_r(&secs, &tm);
    strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S.123Z In(05) tester ", &tm);
    return std::string(stamp) + text + "\n";
  };
  struct Case {
    std::map<std::string, std::string> config;
    std::vector<std::pair<int64_t, int>> steps;  // (seconds, line number)
    std::vector<std::pair<int64_t, std::string>> written;
  } cases[] = {
      // Below the threshold at any rate; past it the first 5 s window
      // decides; once throttled only a 60 s window can release the lines.
      {{},
       {{0, 1},
        {0, 2},
        {0, 3},
        {0, 4},
        {0, 5},
        {0, 6},
        {0, 7},
        {0, 8},
        {0, 9},
        {1, 10},
        {6, 11},
        {30, 12},
        {67, 13}},
       {{0, line(1)},
        {0, line(2)},
        {0, line(3)},
        {0, line(4)},
        {0, line(5)},
        {0, line(6)},
        {0, line(7)},
        {0, line(8)},
        {0, line(9)},
        {1, line(10)},
        {6, "<<< file Throttled >>>"},
        {6, line(11)},
        {30, line(12)},
        {67, line(13)}}},
      {{{"log.noLogAfterThreshold", "1"}},
       {{0, 1}, {0, 2}, {0, 3}, {0, 4}, {0, 5}, {0, 6}, {0, 7}, {0, 8}, {0, 9}, {0, 10}, {500, 11}},
       {{0, line(1)},
        {0, line(2)},
        {0, line(3)},
        {0, line(4)},
        {0, line(5)},
        {0, line(6)},
        {0, line(7)},
        {0, line(8)},
        {0, line(9)},
        {0, "<<< file Throttled >>>"}}},
      {{{"log.throttleBytesPerSec", "0"}},
       {{0, 1}, {0, 2}, {0, 3}, {0, 4}, {0, 5}, {0, 6}, {0, 7}, {0, 8}, {0, 9}, {0, 10}, {6, 11}},
       {{0, line(1)},
        {0, line(2)},
        {0, line(3)},
        {0, line(4)},
        {0, line(5)},
        {0, line(6)},
        {0, line(7)},
        {0, line(8)},
        {0, line(9)},
        {0, line(10)},
        {6, line(11)}}},
  };
  for (Case& c : cases) {
    c.config.emplace("log.fileName", "t.log");
    c.config.emplace("log.throttleThreshold", "1000");
    c.config.emplace("log.throttleBytesPerSec", "100");
    g_config = c.config;
    g_nowUs = t0;
    ASSERT_NE(Open(), nullptr);
    for (auto [seconds, n] : c.steps) at(seconds, n);
    std::string expected;
    for (const auto& [seconds, text] : c.written) expected += stamped(seconds, text);
    EXPECT_EQ(After(ReadFile(LogCurrentFileName()), 5), expected);
  }
  // A 60 s window that is still too fast keeps the output throttled; a quiet
  // one releases every held line in order, with its original time stamp.
  g_config = cases[0].config;
  g_nowUs = t0;
  ASSERT_NE(Open(), nullptr);
  for (auto [seconds, n] : cases[0].steps)
    if (n <= 11) at(seconds, n);
  for (int n = 100; n < 170; ++n) at(40, n);
  at(67, 200);
  const std::string before = After(ReadFile(LogCurrentFileName()), 5);
  EXPECT_EQ(before.size(), 10 * 100 + stamped(6, "<<< file Throttled >>>").size());
  at(130, 300);
  std::string released = stamped(6, line(11));
  for (int n = 100; n < 170; ++n) released += stamped(40, line(n));
  released += stamped(67, line(200)) + stamped(130, line(300));
  EXPECT_EQ(After(ReadFile(LogCurrentFileName()), 5), before + released);
}

TEST_F(LogOutput, FailedWritesAreAnnouncedWithTheirCount) {
  g_config = {{"log.fileName", "d.log"}};
  ASSERT_NE(Open(), nullptr);
  std::string failing(120 - kPrefix.size() - 1, 'x');
  g_failWrites = 1;
  Log("%s", failing.c_str());
  Log("after");
  Log("again");
  EXPECT_EQ(After(ReadFile(LogCurrentFileName()), 5),
            kPrefix + ">>> Error writing log, 120 bytes discarded. Disk full?\n" + kPrefix +
                "after\n" + kPrefix + "again\n");
}

TEST_F(LogOutput, FullDiskIsSurvived) {
  g_config = {{"log.fileName", "/dev/full"}};
  ASSERT_NE(Open(), nullptr);
  EXPECT_EQ(g_stderr, kPrefix + "Unable to label log file '/dev/full'\n");
  for (int i = 0; i < 10; ++i) Log("into the void %d", i);
  EXPECT_EQ(LogCurrentFileName(), "/dev/full");
}

TEST_F(LogOutput, VanishedDirectoryIsReopened) {
  g_config = {
      {"log.fileName", "v.log"}, {"log.rotateSize", "100000"}, {"log.throttleBytesPerSec", "0"}};
  ASSERT_NE(Open(), nullptr);
  for (int i = 0; i < 100; ++i) Log("%s", Line1000(i).c_str());
  fs::remove_all(SafeDir());
  Log("lost while the directory is gone");  // rotation cannot reopen
  EXPECT_NE(g_stderr.find("Unable to open log file '" + SafeDir() + "/v.log'"), std::string::npos);
  ASSERT_EQ(mkdir(SafeDir().c_str(), 0700), 0);
  Log("back");
  std::string text = ReadFile(SafeDir() + "/v.log");
  EXPECT_EQ(After(text, 5), kPrefix + ">>> Error writing log, " +
                                std::to_string(kPrefix.size() + 33) +
                                " bytes discarded. Disk full?\n" + kPrefix + "back\n");
}

}  // namespace
}  // namespace logtest
