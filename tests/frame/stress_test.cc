// Channel open/close cycles under load, run under ThreadSanitizer and
// AddressSanitizer in CI: every cycle opens a channel, a daemon connection
// sends 64 requests, the client answers them from a host thread while the
// channel closes (or QRN_Stop runs, or the daemon restarts) under it. Send
// completions come promptly, late (after the close, all at once) and for
// buffers the plug-in never sent. Each message read by the plug-in gets
// exactly one reply; no descriptor outlives the run.
//
// SCREDIR_STRESS_CYCLES sets the number of cycles (100 by default).
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <random>
#include <thread>

#include "scredir/channel.h"
#include "scredir/pcscd_msg.h"
#include "tests/frame/frame_test_util.h"

namespace {

using frame_test::Bytes;
using frame_test::Cat;
using frame_test::Le32;

constexpr uint32_t kInFlight = 64;

size_t OpenDescriptors() {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

// The host and the client in one: Send queues the client's answer and the
// send completion; one host thread delivers them through the callbacks.
struct StressHost {
  struct Event {
    void* channel;
    const void* buffer;  // a send completion, or
    Bytes packet;        // a packet for onRecv
  };
  std::mutex mu;
  std::condition_variable cv;
  std::deque<Event> events;
  std::vector<Event> late;  // send completions held back
  bool holdSendCompletions = false;
  bool stopping = false;
  bool busy = false;                   // an event is being delivered
  std::map<void*, uint32_t> requests;  // per channel
  std::mt19937 random{7};

  static inline StressHost* current = nullptr;

  static uint32_t Send(void* channel, uint32_t, uint32_t, const void* buffer, size_t length, void*,
                       uint32_t) {
    StressHost& h = *current;
    const auto* p = static_cast<const uint8_t*>(buffer);
    std::lock_guard<std::mutex> lock(h.mu);
    if (length >= 56 && p[2] == 0x52 && p[3] == 0x49) {  // a device I/O request
      uint32_t id;
      std::memcpy(&id, p + 12, 4);
      ++h.requests[channel];
      h.events.push_back({channel, nullptr, frame_test::Completion(id)});
    }
    Event done{channel, buffer, {}};
    if (h.holdSendCompletions) {
      h.late.push_back(done);
    } else {
      // Out of order now and then: completions name their buffer.
      h.events.insert(h.events.end() - (h.random() % 2 && !h.events.empty() ? 1 : 0), done);
    }
    h.cv.notify_all();
    return 0;
  }
  static uint32_t RecvComplete(void*, void*) { return 0; }

  void Run() {
    for (;;) {
      Event e;
      {
        std::unique_lock<std::mutex> lock(mu);
        cv.wait(lock, [&] { return stopping || !events.empty(); });
        if (events.empty()) return;
        e = std::move(events.front());
        events.pop_front();
        busy = true;
      }
      if (e.buffer) {
        ScRedirVChan_OnSendComplete(e.channel, e.buffer, 0, &scRedirPluginState);
      } else {
        ScRedirVChan_OnRecv(e.channel, 0, e.packet.data(), e.packet.size(), &scRedirPluginState);
      }
      // Drain waits on the same condition: tell it this event is through.
      std::lock_guard<std::mutex> lock(mu);
      busy = false;
      cv.notify_all();
    }
  }
  uint32_t Requests(void* channel) {
    std::lock_guard<std::mutex> lock(mu);
    return requests[channel];
  }
  // Every held send completion at once, and one for a buffer nobody sent.
  void ReleaseLate(void* channel) {
    static const uint8_t stranger[4] = {};
    std::lock_guard<std::mutex> lock(mu);
    for (Event& e : late) events.push_back(e);
    late.clear();
    events.push_back({channel, stranger, {}});
    holdSendCompletions = false;
    cv.notify_all();
  }
  void Drain() {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return events.empty() && !busy; });
  }
};

// Reads replies until the plug-in ends the connection; counts them per id.
std::map<uint32_t, int> ReadReplies(int fd) {
  std::map<uint32_t, int> seen;
  Bytes reply(24);
  while (recv(fd, reply.data(), reply.size(), MSG_WAITALL) == 24) {
    uint32_t id;
    std::memcpy(&id, reply.data(), 4);
    ++seen[id];
  }
  return seen;
}

class StressTest : public frame_test::PluginFixture {};

TEST_F(StressTest, OpenCloseCyclesWithRequestsInFlightAnswerEveryMessageOnce) {
  const char* env = std::getenv("SCREDIR_STRESS_CYCLES");
  const int cycles = env ? std::atoi(env) : 100;
  ScRedirLinkOptions options{dir_.path + "/qrn.socket", 10, 2000};
  ScRedirQrn_SetLinkOptionsForTest(&options);
  frame_test::Listener daemon(options.socketPath);
  const size_t descriptors = OpenDescriptors();
  StressHost host;
  StressHost::current = &host;
  QrnIntf table{};
  table.Send = StressHost::Send;
  table.RecvComplete = StressHost::RecvComplete;
  ScRedir_PublishHostTable(table);
  std::thread hostThread([&] { host.Run(); });
  LogSetCaptureSink([](const char*) {});  // thousands of lines: keep none

  std::vector<int> channels(static_cast<size_t>(cycles));
  uint32_t nextId = 1;
  for (int cycle = 0; cycle < cycles; ++cycle) {
    SCOPED_TRACE(cycle);
    void* channel = &channels[static_cast<size_t>(cycle)];
    const bool restart = cycle % 10 == 3, stop = cycle % 10 == 7, late = cycle % 3 == 1;
    {
      std::lock_guard<std::mutex> lock(host.mu);
      host.holdSendCompletions = late;
    }
    ScRedirVChan_OnOpen(channel, 0, &scRedirPluginState);
    int fd = accept(daemon.fd, nullptr, nullptr);
    ASSERT_GE(fd, 0);
    if (restart) {  // the daemon goes away once, the link comes back
      close(fd);
      fd = accept(daemon.fd, nullptr, nullptr);
      ASSERT_GE(fd, 0);
    }
    const uint32_t first = nextId;
    Bytes stream;
    for (uint32_t i = 0; i < kInFlight; ++i)
      stream = Cat({stream, Le32({nextId++, PCSCD_ESTABLISH_CONTEXT, 12, 0, 0, 0})});
    ASSERT_EQ(write(fd, stream.data(), stream.size()), static_cast<ssize_t>(stream.size()));
    // Every message read and sent on before the close races the answers.
    while (host.Requests(channel) < kInFlight) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::microseconds(cycle % 7 * 50));
    if (stop) {
      ScRedirQrn_Stop();
      ScRedirQrn_MapsCreate();
    } else {
      ScRedirVChan_OnClose(channel, 0, &scRedirPluginState);
    }
    std::map<uint32_t, int> replies = ReadReplies(fd);
    close(fd);
    for (uint32_t id = first; id < first + kInFlight; ++id)
      ASSERT_EQ(replies[id], 1) << "message " << id;
    ASSERT_EQ(replies.size(), kInFlight);
    if (late) host.ReleaseLate(channel);
  }
  host.Drain();
  {
    std::lock_guard<std::mutex> lock(host.mu);
    host.stopping = true;
    host.cv.notify_all();
  }
  hostThread.join();
  ScRedirQrn_JoinServerThread();
  ScRedir_ForgetClosedSessions();
  EXPECT_EQ(OpenDescriptors(), descriptors);
  StressHost::current = nullptr;
}

}  // namespace
