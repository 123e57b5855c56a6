// Concurrent first use of the store: one store wins, losers leave no trace,
// and lookups from many threads agree.
#include <glib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "lib/config/config.h"
#include "tests/config/config_test_util.h"

namespace {

config_test::Messages g_messages;
void Capture(const char* text) {
  g_messages.Add(text);
}

TEST(ConfigStoreThreads, ConcurrentFirstUsePublishesOneStoreAndSpeaksOnce) {
  config_test::TempDir dir;
  dir.Write("lib/settings", "n = 0x20\n");
  ConfigStoreOptions options;
  options.hostDir = dir.path() + "/etc";  // missing: one message per round
  options.defaultLibDir = dir.path() + "/lib";
  options.homeDir = dir.path() + "/home";
  options.realUid = options.effectiveUid = 1;
  ConfigSetMessageSink(Capture);
  constexpr int kThreads = 8;
  for (int round = 0; round < 10; ++round) {
    ConfigStoreResetForTest();
    g_messages.Take();
    std::atomic<int> ready{0};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        ready.fetch_add(1);
        while (ready.load() < kThreads) std::this_thread::yield();
        if (!ConfigStoreInitWith(options)) wrong.fetch_add(1);
        if (ConfigGetInt(0, "n") != 32) wrong.fetch_add(1);
        ConfigSetNonPersistent("mine", "x");
        // Every thread offers its own default; all must see the first one.
        char* s = ConfigGetString(t % 2 ? "odd" : "even", "shared.%s", "key");
        std::string got = s ? s : "";
        g_free(s);
        if (got != "odd" && got != "even") wrong.fetch_add(1);
        if (!ConfigDump().starts_with("DICT --- GLOBAL SETTINGS")) wrong.fetch_add(1);
      });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
    char* first = ConfigGetString("neither", "shared.key");
    EXPECT_NE(std::string(first), "neither");
    g_free(first);
    auto msgs = g_messages.Take();
    EXPECT_EQ(std::count(msgs.begin(), msgs.end(),
                         "PREF Optional preferences file not found at " + dir.path() +
                             "/etc/config. Using default values.\n"),
              1);
  }
  ConfigStoreResetForTest();
  ConfigSetMessageSink(nullptr);
}

}  // namespace
