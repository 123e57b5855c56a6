// Concurrent first use of the store: one store wins, losers leave no trace,
// and lookups from many threads agree.
#include <glib.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "lib/config/config.h"
#include "tests/config/config_test_util.h"

namespace {

std::string g_missingHost;  // the message each store that is built gives
std::atomic<int> g_missingHostSaid{0};

TEST(ConfigStoreThreads, ConcurrentFirstUsePublishesOneStoreAndSpeaksOnce) {
  config_test::TempDir dir;
  dir.Write("lib/settings", "n = 0x20\n");
  ConfigStoreOptions options;
  options.hostDir = dir.path() + "/etc";  // missing
  options.defaultLibDir = dir.path() + "/lib";
  options.homeDir = dir.path() + "/home";
  g_missingHost = "PREF Optional preferences file not found at " + options.hostDir +
                  "/config. Using default values.\n";
  ConfigSetMessageSink([](const char* text) {
    if (g_missingHost == text) g_missingHostSaid++;
  });
  constexpr int kThreads = 8;
  for (int round = 0; round < 10; ++round) {
    ConfigStoreResetForTest();
    g_missingHostSaid = 0;
    std::atomic<int> ready{0}, wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (ready++; ready.load() < kThreads;) std::this_thread::yield();
        ConfigStoreInitWith(options);
        ConfigSetNonPersistent("mine", "x");
        // Every thread offers its own default; all must see the same one.
        char* s = ConfigGetString(t % 2 ? "odd" : "even", "shared.%s", "key");
        char* again = ConfigGetString("neither", "shared.key");
        if (ConfigGetInt(0, "n") != 32 || strcmp(s, again) != 0) wrong++;
        g_free(s);
        g_free(again);
      });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(g_missingHostSaid.load(), 1);
  }
  ConfigStoreResetForTest();
  ConfigSetMessageSink(nullptr);
}

}  // namespace
