// The request engine: what the whole road cannot reach. Received packets it
// must refuse, a message whose buffer cannot be listed, and requests and
// completions racing on two threads through both lists of a session.
#include "scredir/engine.h"

#include <glib.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "scredir/pcscd_msg.h"
#include "scredir/request_build.h"
#include "tests/frame/frame_test_util.h"

namespace {

using frame_test::Bytes;
using frame_test::Cat;
using frame_test::Hex;
using frame_test::Le32;
using frame_test::Lines;

constexpr uint32_t kNoService = 0x8010001D;

// A device I/O completion carrying an EstablishContext return: the NDR
// common and private headers, ReturnCode, then an empty context.
Bytes Completion(uint32_t id, uint32_t ioStatus, uint32_t returnCode) {
  return Cat({Hex("72444349 00000000"), Le32({id, ioStatus, 32}),
              Hex("01100800 cccccccc 10000000 00000000"), Le32({returnCode, 0, 0, 0})});
}

// The daemon's reply to an EstablishContext message: the record as sent
// with the return code written in.
Bytes ExpectedReply(uint32_t id, uint32_t scope, uint32_t rv) {
  return Le32({id, PCSCD_ESTABLISH_CONTEXT, 12, scope, 0x11111111, rv});
}

class EngineTest : public frame_test::PluginFixture {
 protected:
  void SetUp() override {
    PluginFixture::SetUp();
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
    session_ = std::make_shared<ScRedirSession>(&channel_);
    ASSERT_TRUE(session_->AttachSocket(std::make_shared<ScRedirDaemonSocket>(fds_[0])));
    ScRedir_ExchangeCurrentSession(session_);
  }
  void TearDown() override {
    session_.reset();
    PluginFixture::TearDown();
    close(fds_[1]);
  }
  uint32_t Redirect(uint32_t id, uint32_t scope) {
    const PcscdMessageHeader header{id, PCSCD_ESTABLISH_CONTEXT, 12};
    const EstablishContextMsg body{scope, 0x11111111, 0x22222222};
    return ScRedirQrn_RedirectScRequest(SCARD_IOCTL_ESTABLISHCONTEXT, &header, &body, sizeof body);
  }
  void Receive(const Bytes& packet) {
    ScRedirQrn_HandleRequests(packet.data(), static_cast<uint32_t>(packet.size()), *session_);
  }
  // The next reply the daemon would read, or empty when none is waiting.
  Bytes Reply() {
    pollfd p{fds_[1], POLLIN, 0};
    if (poll(&p, 1, 0) != 1) return {};
    Bytes b(24);
    ssize_t n = read(fds_[1], b.data(), b.size());
    if (n == 0) return {};  // our end was closed
    EXPECT_EQ(n, 24);
    return b;
  }
  int32_t Pending() { return KeyedList_Count(session_->DaemonMsgList().get()); }
  int32_t Unsent() { return KeyedList_Count(session_->ChannelRequestList().get()); }

  int fds_[2] = {-1, -1};
  int channel_ = 0;
  ScRedirSessionRef session_;
};

// The whole road spoils a foreign component, a request packet id, short
// completions and completions one byte short of their output, and pairs
// every completion with its message; these are the edges it does not reach.
// Last, once the link has ended its messages are gone, so even a good
// completion finds nothing and nothing is written.
TEST_F(EngineTest, RoutingRejectsWhatIsNotAUsableCoreCompletion) {
  const std::string e0 = "SCQRN: ERROR(00000000) |TID|: ", eD = "SCQRN: ERROR(c000000d) |TID|: ";
  ASSERT_EQ(Redirect(9, 1), 0u);
  Receive(Hex("724443"));  // shorter than the header: dropped without a word
  EXPECT_EQ(log_.PluginLines(), Lines{});
  Receive(Hex("72444349 00000000 09000000 00000000 f0ffffff 00"));  // output near 4 GiB
  EXPECT_EQ(log_.PluginLines(), (Lines{e0 + "Invalid completion packet or size",
                                       eD + "Failed to parse IO completion message",
                                       eD + "Failed to redirect SC IO completion packet"}));
  EXPECT_EQ(Reply(), Bytes{});
  EXPECT_EQ(Pending(), 1);

  session_->EndDaemonLink();
  log_.Clear();
  Receive(Completion(9, 0, 0));
  const std::string e1 = "SCQRN: ERROR(c0000001) |TID|: ";
  EXPECT_EQ(log_.PluginLines(), (Lines{e1 + "No matched pcscd message for ID(00000009)",
                                       e0 + "No matched completionId: 00000009, exit!",
                                       e1 + "Failed to parse IO completion message",
                                       e1 + "Failed to redirect SC IO completion packet"}));
  EXPECT_EQ(Reply(), Bytes{});
}

// A buffer that could not be listed would never be released safely, so it
// is not sent, and the message is not kept; the lists work again once
// memory is back.
TEST_F(EngineTest, UnlistablePacketIsNeitherSentNorSaved) {
  KeyedList_SetNodeAllocatorForTest([](size_t) -> void* { return nullptr; });
  EXPECT_EQ(Redirect(7, 0), 0xC0000017u);
  KeyedList_SetNodeAllocatorForTest(nullptr);
  EXPECT_EQ(log_.PluginLines(), Lines{"SCQRN: ERROR(c0000017) |TID|: Not enough memory"});
  EXPECT_TRUE(host_.Sent().empty());
  EXPECT_EQ(Pending(), 0);
  EXPECT_EQ(Unsent(), 0);
  ASSERT_EQ(Redirect(7, 0), 0u);
  EXPECT_EQ(host_.Sent().size(), 1u);
  EXPECT_EQ(Pending(), 1);
  EXPECT_EQ(Unsent(), 1);
}

// The daemon side sends while the host side completes, replies and
// releases: every message is answered once, in order, with no lost entry.
TEST_F(EngineTest, RequestsAndCompletionsOnTwoThreads) {
  constexpr uint32_t kCount = 200;
  std::vector<Bytes> replies;
  std::thread daemonSide([&] {
    for (uint32_t id = 1; id <= kCount; ++id) ASSERT_EQ(Redirect(id, id % 3), 0u);
  });
  std::thread hostSide([&] {
    for (uint32_t id = 1; id <= kCount; ++id) {
      while (true) {
        std::lock_guard<std::mutex> lock(host_.sentMutex);
        if (host_.sent.size() >= id) break;
      }
      Receive(Completion(id, 0, kNoService));
      ScRedirQrn_ReleaseOldestSent(*session_);
      replies.push_back(Reply());  // the daemon reads as it goes
    }
  });
  daemonSide.join();
  hostSide.join();
  ASSERT_EQ(replies.size(), kCount);
  for (uint32_t id = 1; id <= kCount; ++id) {
    ASSERT_EQ(replies[id - 1], ExpectedReply(id, id % 3, kNoService));
  }
  EXPECT_EQ(Pending(), 0);
  EXPECT_EQ(Unsent(), 0);
}

}  // namespace
