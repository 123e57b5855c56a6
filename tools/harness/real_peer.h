// Tests that need a real peer (pcscd with vpcd and vicc, xfreerdp, Xvfb).
//
// On a developer's machine a missing peer is a skip with its reason. In CI
// (CI=true) the peers are installed by the test script, so a peer that
// cannot run is a fault of the set-up and the test fails instead: a green
// run must never hide that the real peers were never met.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace scredir::tools {

inline bool RunningInCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::strcmp(ci, "true") == 0;
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
