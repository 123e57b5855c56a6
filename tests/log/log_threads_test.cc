// Long messages near both buffer sizes from several threads at once: every
// line must come out whole, from one thread, at one of the lengths the
// buffers allow.
#include <algorithm>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/log/log_fixture.h"

namespace logtest {
namespace {

class LogThreads : public LogFixture {};

TEST_F(LogThreads, LongLinesFromManyThreadsNeverInterleave) {
  g_config = {{"log.fileName", "threads.log"}, {"log.throttleBytesPerSec", "0"}};
  ASSERT_NE(Open(), nullptr);
  const size_t lengths[] = {100, 317, 318, 319, 320, 32765, 32766, 32767, 40000};
  constexpr int kThreads = 4, kRounds = 20;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &lengths] {
      std::string name = "t";
      name += std::to_string(t);  // not "t" + ...: gcc 12 -O3 warns falsely of overlap
      LogSetThreadName(name.c_str());
      for (int r = 0; r < kRounds; ++r)
        for (size_t len : lengths) Log("%s", std::string(len, static_cast<char>('A' + t)).c_str());
    });
  }
  for (auto& th : threads) th.join();

  // Every line is "<time> In(05)[+] t<n> <fill>"; the time is fixed.
  std::istringstream in(Body());
  std::map<char, int> perThread;
  for (std::string line; std::getline(in, line);) {
    const bool cut = line.compare(25, 8, "In(05)+ ") == 0;
    ASSERT_EQ(line.compare(0, 25, kPrefix, 0, 25), 0) << line.substr(0, 40);
    ASSERT_EQ(line.compare(cut ? 33 : 32, 1, "t"), 0) << line.substr(0, 40);
    const std::string body = line.substr(cut ? 36 : 35);
    const char fill = static_cast<char>('A' + line[cut ? 34 : 33] - '0');
    ASSERT_EQ(body.find_first_not_of(fill), std::string::npos) << "mixed line from " << fill;
    EXPECT_TRUE(cut ? body.size() == 318 || body.size() == 32766
                    : std::count(std::begin(lengths), std::end(lengths), body.size()) == 1)
        << body.size();
    ++perThread[fill];
  }
  for (int t = 0; t < kThreads; ++t)
    EXPECT_EQ(perThread[static_cast<char>('A' + t)],
              kRounds * static_cast<int>(std::size(lengths)));
}

}  // namespace
}  // namespace logtest
