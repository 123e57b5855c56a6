// Path helpers and the renumbering corner cases of the rotation helpers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "lib/file/file_io.h"

namespace {

const char* FakeEnv(const char* name) {
  if (std::strcmp(name, "USER") == 0) return "alice";
  return nullptr;
}

TEST(FileExpandPath, TildeAndVariables) {
  struct {
    const char* in;
    const char* home;
    const char* out;  // null: expansion refused
  } cases[] = {
      {"~/log.txt", "/home/a", "/home/a/log.txt"},
      {"~bob/x", "/home/a", "~bob/x"},  // other users' homes are not looked up
      {"~/x", nullptr, nullptr},
      {"/tmp/$USER.log", nullptr, "/tmp/alice.log"},
      {"/tmp/${USER}x.log", nullptr, "/tmp/alicex.log"},
      {"/tmp/$UNDEFINED/a", nullptr, nullptr},
      {"/tmp/${USER", nullptr, nullptr},
      {"/tmp/cost$", nullptr, "/tmp/cost$"},
  };
  for (const auto& c : cases) {
    auto out = FileExpandPath(c.in, c.home, FakeEnv);
    if (c.out == nullptr) {
      EXPECT_FALSE(out.has_value()) << c.in;
    } else {
      ASSERT_TRUE(out.has_value()) << c.in;
      EXPECT_EQ(*out, c.out);
    }
  }
}

class FileRotate : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/filerotate-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  void Make(const std::string& name, const std::string& content) {
    std::ofstream(dir_ + "/" + name) << content;
  }
  std::string Read(const std::string& name) {
    std::ifstream in(dir_ + "/" + name);
    std::string s;
    std::getline(in, s);
    return s;
  }
  std::set<std::string> Names() {
    std::set<std::string> n;
    for (auto& e : std::filesystem::directory_iterator(dir_)) n.insert(e.path().filename());
    return n;
  }
  std::string dir_;
};

TEST_F(FileRotate, FastRotationRenumbersWhenOutOfNumbers) {
  Make("a.log", "current");
  Make("a-0.log", "zero");
  Make("a-5.log", "five");
  Make("a-4294967295.log", "max");
  Make("a-4294967296.log", "too big: not ours");
  ASSERT_EQ(FileRotateFast(dir_ + "/a.log", 10), 0);
  EXPECT_EQ(Names(), (std::set<std::string>{"a-1.log", "a-2.log", "a-3.log", "a-4.log",
                                            "a-4294967296.log"}));
  EXPECT_EQ(Read("a-1.log"), "zero");
  EXPECT_EQ(Read("a-2.log"), "five");
  EXPECT_EQ(Read("a-3.log"), "max");
  EXPECT_EQ(Read("a-4.log"), "current");
}

TEST_F(FileRotate, SlowRotationWithAbsurdKeepOldOnlyMovesWhatExists) {
  Make("a.log", "current");
  Make("a-0.log", "zero");
  ASSERT_EQ(FileRotateSlow(dir_ + "/a.log", 2000000000), 0);
  EXPECT_EQ(Names(), (std::set<std::string>{"a-0.log", "a-1.log"}));
  EXPECT_EQ(FileRotateSlow(dir_ + "/gone.log", 3), ENOENT);
}

}  // namespace
