// Purge of old logs, rotation, throttling and failed writes of the file
// output, driven through the fixture's clock and write seams.
#include <fcntl.h>
#include <sys/stat.h>

#include <vector>

#include "lib/log/log_internal.h"

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
// A step logs lines first..last at `second`; the expected file lists the
// lines written (0 stands for the throttle notice) with the second each was
// logged at.
struct Step {
  int64_t second;
  int first, last;
};

TEST_F(LogOutput, ThrottleStateMachine) {
  const int64_t t0 = g_nowUs;
  auto line = [&](int64_t second, int n) {
    g_nowUs = t0 + second * 1000000;
    std::string text = n == 0 ? "<<< file Throttled >>>" : "flood " + std::to_string(n) + " ";
    if (n != 0) text.resize(100 - kPrefix.size() - 1, '~');
    std::string stamped = LogFormatUtc(g_nowUs) + kPrefix.substr(19) + text + "\n";
    return std::make_pair(text, stamped);
  };
  auto run = [&](const std::vector<Step>& steps) {
    for (const Step& st : steps)
      for (int n = st.first; n <= st.last; ++n) Log("%s", line(st.second, n).first.c_str());
    return After(ReadFile(LogCurrentFileName()), 5);
  };
  auto expect = [&](const std::vector<Step>& steps) {
    std::string out;
    for (const Step& st : steps)
      for (int n = st.first; n <= st.last; ++n) out += line(st.second, n).second;
    return out;
  };
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
    g_nowUs = t0;
    ASSERT_NE(Open(), nullptr);
    EXPECT_EQ(run(c.steps), expect(c.written));
  }
  // A quiet minute then releases every held line in order, stamped when logged.
  EXPECT_EQ(run({{130, 300, 300}}), expect({{0, 1, 9},
                                            {1, 10, 10},
                                            {6, 0, 0},
                                            {6, 11, 11},
                                            {40, 100, 169},
                                            {67, 200, 200},
                                            {130, 300, 300}}));
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
