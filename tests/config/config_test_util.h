// Temporary directories for the configuration tests.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace config_test {

// A fresh directory under the system temporary area, removed afterwards.
class TempDir {
 public:
  TempDir() : path_((std::filesystem::temp_directory_path() / "scredir-config-XXXXXX").string()) {
    EXPECT_NE(mkdtemp(path_.data()), nullptr);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  const std::string& path() const { return path_; }
  // Writes `text` to path()/rel, creating folders on the way.
  std::string Write(const std::string& rel, const std::string& text) const {
    std::filesystem::path p = std::filesystem::path(path_) / rel;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
    return p.string();
  }

 private:
  std::string path_;
};

}  // namespace config_test
