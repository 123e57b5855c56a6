// Path expansion and the renumbering corner cases of the rotation helpers.
#include "lib/file/file_io.h"

#include <fcntl.h>

#include <vector>

#include "tests/log/log_fixture.h"

namespace logtest {
namespace {

// What the log's own file choice cannot reach: other users' homes, a
// missing home, an open brace and a closing dollar.
TEST(FileExpandPath, RefusesWhatCannotBeExpanded) {
  const char* (*alice)(const char*) = [](const char*) -> const char* { return "alice"; };
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"~bob/x", "/home/a", "~bob/x"},
      {"~", "/home/a", "/home/a"},
      {"~/x", nullptr, "<refused>"},
      {"/tmp/${USER", nullptr, "<refused>"},
      {"/tmp/$USER$USER/cost$", nullptr, "/tmp/alicealice/cost$"},
  };
  for (const auto& [in, home, out] : cases)
    EXPECT_EQ(FileExpandPath(in, home, alice).value_or("<refused>"), out) << in;
}

class FileRotate : public LogFixture {};

// Each file starts holding its own name; the directory is then read back as
// "name=content" pairs, so every rename and removal shows.
TEST_F(FileRotate, NumbersOfOldFiles) {
  struct Case {
    bool fast;
    int keepOld;
    std::vector<std::string> before;
    std::string after;
  } cases[] = {
      // clang-format off
      // The next number after the highest; the lowest beyond keepOld go. A
      // leading zero is not one of our numbers.
      {true, 3, {"a.log", "a-4.log", "a-7.log", "a-07.log"}, "a-07.log=a-07.log a-4.log=a-4.log a-7.log=a-7.log a-8.log=a.log"},
      {true, 2, {"a.log", "a-4.log", "a-7.log", "a-07.log"}, "a-07.log=a-07.log a-7.log=a-7.log a-8.log=a.log"},
      // Out of numbers: all are renumbered from 1 first; past 32 bits is not ours.
      {true, 10, {"a.log", "a-0.log", "a-5.log", "a-4294967295.log", "a-4294967296.log"},
       "a-1.log=a-0.log a-2.log=a-5.log a-3.log=a-4294967295.log a-4.log=a.log a-4294967296.log=a-4294967296.log"},
      // An absurd keepOld only moves what exists.
      {false, 2000000000, {"a.log", "a-0.log"}, "a-0.log=a.log a-1.log=a-0.log"},
      // clang-format on
  };
  for (const Case& c : cases) {
    const std::string dir = dir_ + "/" + std::to_string(&c - cases);
    std::filesystem::create_directory(dir);
    for (const std::string& name : c.before) std::ofstream(dir + "/" + name) << name;
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(
        c.fast ? FileRotateFast(fd, "a.log", c.keepOld) : FileRotateSlow(fd, "a.log", c.keepOld),
        0);
    close(fd);
    std::string after;
    for (const std::string& name : Names(dir))
      after += (after.empty() ? "" : " ") + name + "=" + ReadFile(dir + "/" + name);
    EXPECT_EQ(after, c.after) << &c - cases;
  }
  const int fd = open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
  EXPECT_EQ(FileRotateSlow(fd, "gone.log", 3), ENOENT);
  close(fd);
}

}  // namespace
}  // namespace logtest
