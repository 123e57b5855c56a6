// Replays the file reader's fuzz corpus so its checks run in every build.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

TEST(ConfigFileFuzzReplay, SeedCorpusPassesTheFuzzerChecks) {
  int seen = 0;
  for (const auto& f : std::filesystem::directory_iterator(SCREDIR_CONFIG_CORPUS)) {
    std::ifstream in(f.path(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    SCOPED_TRACE(f.path().string());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    ++seen;
  }
  EXPECT_GT(seen, 0);
}
