// Temporary directories and message capture shared by the configuration
// tests.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace config_test {

// A fresh directory under the system temporary area, removed afterwards.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "scredir-config-XXXXXX").string();
    char* made = mkdtemp(tmpl.data());
    EXPECT_NE(made, nullptr);
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

  // Writes `text` (any bytes) to path()/rel, creating folders on the way.
  std::string Write(const std::string& rel, const std::string& text) const {
    std::filesystem::path p = std::filesystem::path(path_) / rel;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
    return p.string();
  }

 private:
  std::string path_;
};

// Collects messages; safe to feed from several threads.
class Messages {
 public:
  void Add(const std::string& t) {
    std::lock_guard<std::mutex> g(mu_);
    texts_.push_back(t);
  }
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> g(mu_);
    return std::move(texts_);
  }

 private:
  std::mutex mu_;
  std::vector<std::string> texts_;
};

}  // namespace config_test
