// Concurrent first use of the store: one store wins, losers leave no trace,
// and lookups from many threads agree.
#include <glib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "lib/config/config.h"
#include "tests/config/config_test_util.h"

namespace {

config_test::Messages g_messages;

TEST(ConfigStoreThreads, ConcurrentFirstUsePublishesOneStoreAndSpeaksOnce) {
  config_test::TempDir dir;
  dir.Write("lib/settings", "n = 0x20\n");
  ConfigStoreOptions options;
  options.hostDir = dir.path() + "/etc";  // missing: reported once per build that wins
  options.defaultLibDir = dir.path() + "/lib";
  options.homeDir = dir.path() + "/home";
  ConfigSetMessageSink([](const char* text) { g_messages.Add(text); });
  constexpr int kThreads = 8;
  for (int round = 0; round < 10; ++round) {
    ConfigStoreResetForTest();
    g_messages.Take();
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
    auto msgs = g_messages.Take();
    EXPECT_EQ(std::count(msgs.begin(), msgs.end(),
                         "PREF Optional preferences file not found at " + options.hostDir +
                             "/config. Using default values.\n"),
              1);
  }
  ConfigStoreResetForTest();
  ConfigSetMessageSink(nullptr);
}

}  // namespace
