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
  const std::string plugin = binaryDir ? std::string(binaryDir) + "/scredir/libscrediragent.so"
                                       : std::string(SCREDIR_PLUGIN_PATH);
  const std::string command = "nm -D --defined-only " + plugin;
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
