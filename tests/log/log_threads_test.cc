// Long messages near both buffer sizes from several threads at once: every
// line must come out whole, from one thread, at one of the lengths the
// buffers allow.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lib/log/log.h"

namespace {

TEST(LogThreads, LongLinesFromManyThreadsNeverInterleave) {
  char tmpl[] = "/tmp/logthreads-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string path = std::string(tmpl) + "/threads.log";
  LogParams params = {{"log.fileName", path}, {"log.throttleBytesPerSec", "0"}};
  ASSERT_NE(LogOpenFileOutput("QRNScRedir", params, nullptr, false), nullptr);

  const size_t lengths[] = {100, 317, 318, 319, 320, 32765, 32766, 32767, 40000};
  constexpr int kThreads = 4;
  constexpr int kRounds = 20;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &lengths] {
      std::string name = "t" + std::to_string(t);
      LogSetThreadName(name.c_str());
      for (int r = 0; r < kRounds; ++r)
        for (size_t len : lengths) Log("%s", std::string(len, static_cast<char>('A' + t)).c_str());
    });
  }
  for (auto& th : threads) th.join();
  LogShutdown();

  std::ifstream in(path);
  std::string line;
  std::map<char, int> perThread;
  int header = 0;
  while (std::getline(in, line)) {
    // "<time> <level> <thread> <message>"
    size_t a = line.find(' '), b = line.find(' ', a + 1), c = line.find(' ', b + 1);
    ASSERT_NE(c, std::string::npos);
    std::string thread = line.substr(b + 1, c - b - 1);
    std::string body = line.substr(c + 1);
    if (thread.size() != 2 || thread[0] != 't') {
      ++header;
      continue;
    }
    char fill = static_cast<char>('A' + (thread[1] - '0'));
    ASSERT_EQ(body.find_first_not_of(fill), std::string::npos) << "mixed line from " << thread;
    bool cut = line.substr(a + 1, b - a - 1) == "In(05)+";
    bool lengthOk = false;
    for (size_t len : lengths) lengthOk |= !cut && body.size() == len;
    lengthOk |= cut && (body.size() == 318 || body.size() == 32766);
    EXPECT_TRUE(lengthOk) << body.size();
    ++perThread[fill];
  }
  EXPECT_EQ(header, 5);
  for (int t = 0; t < kThreads; ++t)
    EXPECT_EQ(perThread[static_cast<char>('A' + t)],
              kRounds * static_cast<int>(std::size(lengths)));
  std::filesystem::remove_all(tmpl);
}

}  // namespace
