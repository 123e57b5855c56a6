// A bounded soak of the chain with the emulated card: several libpcsclite
// applications (threads of this process, whose libpcsclite talks to
// scredir-pcscd) connect, take transactions and transmit, while the card is
// pulled and put back, the plug-in's channel closes and reopens and the
// daemon itself restarts. No call may hang: each returns its answer or a
// PC/SC error in bounded time, and once the applications are gone the
// daemon holds nothing but its own reader watch on the remote side.
//
// It runs SCREDIR_SOAK_SECONDS seconds (3 unless set).
#include <unistd.h>
#include <winscard.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "tools/chain/in_process_daemon.h"
#include "tools/chain/remote_side.h"
#include "tools/harness/real_peer.h"

// When built with ThreadSanitizer: libpcsclite keeps one reader-state array
// per process and refreshes it from whichever application thread calls, so
// the applications of this test race on it inside the library.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libpcsclite.so.1\n";
}

namespace scredir::chain {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kApplications = 4;
constexpr int kTransmitsPerTransaction = 3;
// Longer than any call may take: the daemon's own limit is 1 s per remote
// call, and a transaction of another application ends within a few calls.
constexpr auto kHang = 10s;

// G_SLICE also comes from the test's environment (CMakeLists.txt): GLib may
// read it before this runs.
const bool kEnvironment = !InProcessDaemon::Dir().empty();

std::chrono::seconds SoakLength() {
  const char* text = std::getenv("SCREDIR_SOAK_SECONDS");
  int seconds = text ? std::atoi(text) : 0;
  return std::chrono::seconds(seconds > 0 ? seconds : 3);
}

// What the applications saw.
struct Tally {
  std::mutex mu;
  std::map<std::string, std::map<LONG, int>> results;  // call -> result -> count
  Clock::duration longest{};
  std::string longestCall;
  int selects = 0;

  LONG Note(const char* call, Clock::time_point start, LONG rv) {
    const auto took = Clock::now() - start;
    std::lock_guard<std::mutex> lock(mu);
    ++results[call][rv];
    if (took > longest) {
      longest = took;
      longestCall = call;
    }
    return rv;
  }
};

void Application(Clock::time_point until, Tally& tally, std::atomic<int>& finished) {
  const BYTE select[] = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
  SCARDCONTEXT context = 0;
  auto call = [&](const char* name, auto&& f) {
    const auto start = Clock::now();
    const LONG rv = f();
    return tally.Note(name, start, rv);
  };
  while (Clock::now() < until) {
    if (!context && call("establish", [&] {
                      return SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
                    }) != SCARD_S_SUCCESS) {
      context = 0;
      std::this_thread::sleep_for(50ms);
      continue;
    }
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    if (call("connect", [&] {
          return SCardConnect(context, kEmulatedReader, SCARD_SHARE_SHARED,
                              SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol);
        }) != SCARD_S_SUCCESS) {
      // No reader, no card, or a daemon that went: start over.
      call("release", [&] { return SCardReleaseContext(context); });
      context = 0;
      std::this_thread::sleep_for(20ms);
      continue;
    }
    if (call("begin", [&] { return SCardBeginTransaction(card); }) == SCARD_S_SUCCESS) {
      for (int i = 0; i < kTransmitsPerTransaction; ++i) {
        BYTE response[258];
        DWORD length = sizeof response;
        LONG rv = call("transmit", [&] {
          return SCardTransmit(card, SCARD_PCI_T1, select, sizeof select, nullptr, response,
                               &length);
        });
        if (rv != SCARD_S_SUCCESS) break;
        std::lock_guard<std::mutex> lock(tally.mu);
        tally.selects += length == 2 && response[0] == 0x90 && response[1] == 0x00;
      }
      call("end", [&] { return SCardEndTransaction(card, SCARD_LEAVE_CARD); });
    }
    call("disconnect", [&] { return SCardDisconnect(card, SCARD_LEAVE_CARD); });
  }
  if (context) call("release", [&] { return SCardReleaseContext(context); });
  ++finished;
}

TEST(ChainSoak, ApplicationsAlwaysGetAnAnswerWhileEverythingAroundThemChanges) {
  ASSERT_TRUE(kEnvironment);
  std::string why;
  InProcessDaemon daemon(1000ms);
  ASSERT_TRUE(daemon.Start(&why)) << why;
  auto remote =
      RemoteSide::Start({tools::BuiltPath("scredir/libscrediragent.so", SCREDIR_PLUGIN_PATH),
                         InProcessDaemon::DaemonSocket()},
                        &why);
  ASSERT_TRUE(remote) << why;

  const auto length = SoakLength();
  const auto until = Clock::now() + length;
  Tally tally;
  std::atomic<int> finished{0};
  std::vector<std::thread> apps;
  for (int i = 0; i < kApplications; ++i)
    apps.emplace_back(Application, until, std::ref(tally), std::ref(finished));

  // Every round leaves the card in, the channel open and a daemon running.
  const std::pair<const char*, std::function<void()>> events[] = {
      {"card out", [&] { remote->model()->RemoveCard(kEmulatedReader); }},
      {"card in", [&] { remote->model()->InsertCard(kEmulatedReader); }},
      {"channel closed", [&] { remote->CloseChannel(); }},
      {"channel open", [&] { EXPECT_TRUE(remote->OpenChannel(&why)) << why; }},
      {"daemon restarted",
       [&] {
         daemon.Stop();
         EXPECT_TRUE(daemon.Start(&why)) << why;
         // The plug-in reconnects on its next channel.
         remote->CloseChannel();
         EXPECT_TRUE(remote->OpenChannel(&why)) << why;
       }},
  };
  int rounds = 0;
  while (Clock::now() < until) {
    for (const auto& [name, act] : events) {
      act();
      std::this_thread::sleep_for(std::chrono::milliseconds(length) / 20 + 50ms);
    }
    ++rounds;
  }

  const auto give = Clock::now() + kHang + 5s;
  while (finished < kApplications && Clock::now() < give) std::this_thread::sleep_for(50ms);
  if (finished < kApplications) {
    ADD_FAILURE() << "an application hangs: " << kApplications - finished << " still running";
    std::fflush(nullptr);
    std::_Exit(1);  // its thread cannot be joined
  }
  for (std::thread& app : apps) app.join();

  for (const auto& [name, results] : tally.results) {
    std::printf("%-10s", name.c_str());
    for (const auto& [rv, count] : results)
      std::printf("  %s x%d", rv ? pcsc_stringify_error(rv) : "ok", count),
          rv ? std::printf(" (0x%08lX)", static_cast<unsigned long>(rv)) : 0;
    std::printf("\n");
  }
  std::printf("%d rounds of changes, %d SELECTs answered 90 00, longest call %lld ms (%s)\n",
              rounds, tally.selects,
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(tally.longest).count()),
              tally.longestCall.c_str());
  EXPECT_GE(rounds, 1);
  EXPECT_GT(tally.selects, 0);
  EXPECT_LT(tally.longest, kHang) << tally.longestCall;

  // Once the applications are gone the remote side holds the watch only.
  bool clean = false;
  for (auto give = Clock::now() + 10s; !clean && Clock::now() < give;) {
    pcscd::ServerStats s = daemon.stats();
    clean = s.linked && s.readers == 1 && s.clients == 0 && s.contexts == 0 && s.cards == 0 &&
            s.remoteCards == 0 && s.remoteContexts == 1;
    if (!clean) std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(clean);
  remote.reset();
}

}  // namespace
}  // namespace scredir::chain
