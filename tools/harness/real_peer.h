// Tests that need a real peer (pcscd with vpcd and vicc, xfreerdp, Xvfb,
// the PC/SC tools), and the small things every such test needs.
//
// On a developer's machine a missing peer is a skip with its reason. In CI
// (CI=true) the peers are installed by the test script, so a peer that
// cannot run is a fault of the set-up and the test fails instead: a green
// run must never hide that the real peers were never met.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <thread>

namespace scredir::tools {

inline bool RunningInCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::strcmp(ci, "true") == 0;
}

// A built artefact: below SCREDIR_BINARY_DIR when ctest runs the test, else
// the path the build wrote into the test.
inline std::string BuiltPath(const std::string& relative, const char* fallback) {
  const char* dir = std::getenv("SCREDIR_BINARY_DIR");
  if (dir == nullptr) return fallback;
  return std::string(dir) + (relative.starts_with("/") ? "" : "/") + relative;
}

// The tool's full path (the spawner does not search PATH), empty if absent.
inline std::string Which(const std::string& tool) {
  FILE* p = popen(("command -v " + tool + " 2>/dev/null").c_str(), "r");
  if (p == nullptr) return "";
  char line[4096] = {};
  std::string path = std::fgets(line, sizeof line, p) ? line : "";
  pclose(p);
  while (!path.empty() && (path.back() == '\n' || path.back() == ' ')) path.pop_back();
  return path;
}

// The whole file, empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The first of `programs` that is not installed, as a reason; empty when all are.
inline std::string MissingProgram(std::initializer_list<const char*> programs) {
  for (const char* program : programs)
    if (Which(program).empty()) return std::string(program) + " is not installed";
  return "";
}

// Everything `stream` gives until its end.
inline std::string ReadAll(FILE* stream) {
  std::string out;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, stream)) > 0;) out.append(buffer, n);
  return out;
}

// Runs a shell line to its end: its output, and its wait status if asked.
inline std::string RunCommand(const std::string& line, int* status = nullptr) {
  FILE* p = popen(line.c_str(), "r");
  if (p == nullptr) return "";
  std::string out = ReadAll(p);
  const int rc = pclose(p);
  if (status) *status = rc;
  return out;
}

// Polls `done` every 100 ms until it holds or `limit` has passed.
template <typename Done>
bool WaitFor(std::chrono::milliseconds limit, Done done) {
  auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

}  // namespace scredir::tools

// Use in SetUp or a test body: fails in CI, skips elsewhere, when `ready` is false.
#define SCREDIR_REQUIRE_PEER(ready, why)                                       \
  do {                                                                         \
    if (!(ready)) {                                                            \
      if (::scredir::tools::RunningInCi()) GTEST_FAIL() << "in CI: " << (why); \
      GTEST_SKIP() << (why);                                                   \
    }                                                                          \
  } while (0)
