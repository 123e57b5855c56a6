// The built plug-in exports exactly its two entry points: anything else in
// the dynamic symbol table could collide with the host's own symbols.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <set>
#include <sstream>
#include <string>

namespace {

TEST(ExportsTest, OnlyTheTwoEntryPointsAreExported) {
  const char* binaryDir = getenv("SCREDIR_BINARY_DIR");
  ASSERT_NE(binaryDir, nullptr);
  const std::string command =
      std::string("nm -D --defined-only ") + binaryDir + "/scredir/libscrediragent.so";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> symbols;
  char line[1024];
  while (fgets(line, sizeof line, pipe)) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (fields >> address >> type >> name) symbols.insert(name);
  }
  ASSERT_EQ(pclose(pipe), 0) << command;
  EXPECT_EQ(symbols, (std::set<std::string>{"QRN_Start", "QRN_Stop"}));
}

}  // namespace
