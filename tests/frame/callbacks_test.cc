// Host callbacks act on the channel and the buffer they name: send
// completions release exactly the reported buffer, from the session of that
// channel (closed or not); events for a channel that is not open are logged
// and ignored (a received buffer still goes back on its own channel); a
// Send cannot start once onClose has returned; no exception reaches the
// host; the host table is published once per distinct table.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <new>
#include <thread>

#include "scredir/alloc_seam.h"
#include "scredir/channel.h"
#include "scredir/engine.h"
#include "scredir/pcscd_msg.h"
#include "scredir/request_build.h"
#include "tests/frame/frame_test_util.h"

// The log routine loses the line it was formatting when the log write
// throws; that is the price of the simulated failure, not a leak to report.
// The leak checker's switches exist only in a build that has it.
extern "C" void __lsan_disable() __attribute__((weak));
extern "C" void __lsan_enable() __attribute__((weak));

namespace {

void IgnoreLeaks(bool on) {
  if (__lsan_disable) on ? __lsan_disable() : __lsan_enable();
}

using frame_test::Bytes;
using frame_test::Completion;
using frame_test::FakeHost;
using frame_test::Ptr;

class CallbacksTest : public frame_test::PluginFixture {
 protected:
  // Opens `channel` through the callbacks, with a daemon connection whose
  // far end is returned (the link thread itself waits to connect).
  int Open(int* channel) {
    ScRedirVChan_OnOpen(channel, 0, &scRedirPluginState);
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    EXPECT_TRUE(ScRedir_FindOpenSession(channel)->AttachConn(
        std::make_shared<ScRedirDaemonConn>(fds[0], 500)));
    return fds[1];
  }
  void Establish(uint32_t id) {
    const PcscdMessageHeader header{id, PCSCD_ESTABLISH_CONTEXT, 12};
    const EstablishContextMsg body{0, 0, 0};
    ASSERT_EQ(ScRedirQrn_RedirectScRequest(*ScRedir_CurrentSession(), SCARD_IOCTL_ESTABLISHCONTEXT,
                                           &header, &body, sizeof body),
              0u);
  }
  uint32_t Recv(int* channel, Bytes packet) {
    return ScRedirVChan_OnRecv(channel, 0, packet.data(), packet.size(), &scRedirPluginState);
  }
  static ssize_t Pending(int daemon) {
    uint8_t b[64];
    return recv(daemon, b, sizeof b, MSG_DONTWAIT);
  }
};

// With a reopen in between, A's late events must not touch B: its
// completion for id 42 does not answer B's message 42, its send
// completions release A's buffers only, and once they are all back A's
// session is forgotten.
TEST_F(CallbacksTest, EventsOfAnOlderChannelNeverReachTheNewerOne) {
  int a, b;
  int daemonA = Open(&a);
  Establish(42);
  const void* announceA = host_.SentBuffer(0);
  const void* requestA = host_.SentBuffer(1);
  int daemonB = Open(&b);  // no close of A in between
  Establish(42);
  const void* announceB = host_.SentBuffer(2);

  EXPECT_EQ(Recv(&a, Completion(42)), 0u);
  EXPECT_EQ(host_.recvCompleteChannel, &a);  // handed back on its own channel
  EXPECT_EQ(log_.Count("SCQRN: INFO |TID|: QRN channel=" + Ptr(&a) +
                       " is not open, received packet ignored"),
            1);
  EXPECT_LT(Pending(daemonB), 0) << "A's completion answered B's message";

  ScRedirSessionRef sessionB = ScRedir_FindOpenSession(&b);
  ScRedirVChan_OnSendComplete(&a, announceB, 0, &scRedirPluginState);  // not A's
  EXPECT_EQ(sessionB->SentCount(), 2u);
  ScRedirVChan_OnSendComplete(&a, requestA, 0, &scRedirPluginState);
  ScRedirVChan_OnSendComplete(&a, announceA, 0, &scRedirPluginState);
  EXPECT_EQ(log_.Count("SCQRN: ERROR(c0000001) |TID|: Failed to find buffer " + Ptr(announceB) +
                       " of channel " + Ptr(&a) + " in qrn request list"),
            1);
  ScRedirVChan_OnClose(&a, 0, &scRedirPluginState);  // A is already closed
  EXPECT_EQ(log_.Count("SCQRN: INFO |TID|: QRN channel=" + Ptr(&a) + " is not open, close ignored"),
            1);
  EXPECT_EQ(ScRedir_CurrentSession(), sessionB);

  Recv(&b, Completion(42));
  uint8_t reply[24];
  EXPECT_EQ(recv(daemonB, reply, sizeof reply, MSG_WAITALL), 24);
  close(daemonA);
  close(daemonB);
}

// A Send that started before onClose is waited out by the close; once the
// close has returned, no Send starts on that channel.
TEST_F(CallbacksTest, NoSendStartsAfterOnCloseReturned) {
  int channel;
  int daemon = Open(&channel);
  ScRedirSessionRef session = ScRedir_FindOpenSession(&channel);
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  host_.duringSend = [&] {
    entered.set_value();
    released.wait();
  };
  static uint8_t packet[8];
  auto sending = std::async(std::launch::async,
                            [&] { return ScRedirVChan_Send(*session, packet, sizeof packet); });
  entered.get_future().wait();
  auto closing = std::async(std::launch::async,
                            [&] { ScRedirVChan_OnClose(&channel, 0, &scRedirPluginState); });
  EXPECT_EQ(closing.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout)
      << "onClose returned while a Send was still running";
  host_.duringSend = nullptr;
  release.set_value();
  closing.wait();
  EXPECT_EQ(sending.get(), 0u);
  const size_t sends = host_.Sent().size();
  EXPECT_NE(ScRedirVChan_Send(*session, packet, sizeof packet), 0u);
  EXPECT_EQ(host_.Sent().size(), sends);
  close(daemon);
}

// A log line that cannot be allocated throws std::bad_alloc inside the
// callback; it must end there, and a received buffer still goes back.
TEST_F(CallbacksTest, NoExceptionLeavesACallback) {
  debugEnabled = true;
  LogSetCaptureSink([](const char*) { throw std::bad_alloc(); });
  IgnoreLeaks(true);
  int channel, listener, peer;
  uint8_t packet[4] = {0x72, 0x44, 0x43, 0x50};
  EXPECT_NO_THROW({
    ScRedirVChan_OnPeerOpen("Smart Card Virtual Channel", &listener, &peer, 0, 1, nullptr, 0,
                            &scRedirPluginState);
    ScRedirVChan_OnListenerClose(&listener, &scRedirPluginState);
    ScRedirVChan_OnOpen(&channel, 5, &scRedirPluginState);
    ScRedirVChan_OnSendComplete(&channel, packet, 0, &scRedirPluginState);
    ScRedirVChan_OnDelivered(&channel, packet, 0, 1, &scRedirPluginState);
    ScRedirVChan_OnClose(&channel, 0, &scRedirPluginState);
    ScRedirVChan_OnRecv(&channel, 0, packet, sizeof packet, &scRedirPluginState);
  });
  IgnoreLeaks(false);
  LogSetCaptureSink(nullptr);
  frame_test::LogCapture restore;  // the fixture's capture sink again
  debugEnabled = false;
  EXPECT_EQ(host_.calls[FakeHost::kRecvComplete], 1);
}

// No memory for the session of a new channel: nothing opens. No memory for
// the announce: the channel opens without it.
TEST_F(CallbacksTest, OpenWithoutMemoryForTheSessionOrTheAnnounce) {
  struct Case {
    ScRedirAllocSite site;
    bool opens;
  } cases[] = {{ScRedirAllocSite::kSession, false}, {ScRedirAllocSite::kAnnounce, true}};
  for (const Case& c : cases) {
    int channel;
    log_.Clear();
    ScRedir_FailAllocForTest(c.site, 1);
    ScRedirVChan_OnOpen(&channel, 0, &scRedirPluginState);
    EXPECT_EQ(log_.Count("SCQRN: ERROR(c0000017) |TID|: Not enough memory"), 1);
    EXPECT_EQ(ScRedir_FindOpenSession(&channel) != nullptr, c.opens);
    EXPECT_TRUE(host_.Sent().empty());
    ScRedirVChan_OnClose(&channel, 0, &scRedirPluginState);
  }
}

// A table published again (QRN_Start after QRN_Stop) is the same copy, so a
// late callback reading it never sees it rewritten; another table gets a
// copy of its own and the old one stays as it was.
TEST(HostTable, PublishedTablesAreInternedAndNeverRewritten) {
  QrnIntf first{}, second{};
  first.size = second.size = sizeof(QrnIntf);
  second.versionMinor = 9;
  ScRedir_PublishHostTable(first);
  const QrnIntf* seen = &ScRedir_HostTable();
  ScRedir_PublishHostTable(second);
  EXPECT_NE(&ScRedir_HostTable(), seen);
  EXPECT_EQ(seen->versionMinor, 0);
  ScRedir_PublishHostTable(first);
  EXPECT_EQ(&ScRedir_HostTable(), seen);
  ScRedir_PublishHostTable(QrnIntf{});
}

}  // namespace
