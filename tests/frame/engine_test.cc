// The request engine: what the whole road cannot reach. Received packets it
// must refuse, every cause for which a message is answered without the
// client's result (allocation failures at each site included), the one
// resend after STATUS_BUFFER_TOO_SMALL and a daemon that stops reading.
// Requests and completions racing on threads are the stress test's.
#include "scredir/engine.h"

#include <glib.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "scredir/alloc_seam.h"
#include "scredir/answers.h"
#include "scredir/pcscd_msg.h"
#include "scredir/request_build.h"
#include "scredir/rpc/encode_bytes.h"
#include "scredir/rpc/records.h"
#include "tests/frame/frame_test_util.h"

namespace {

using frame_test::AnswerLine;
using frame_test::Bytes;
using frame_test::Cat;
using frame_test::Completion;
using frame_test::Hex;
using frame_test::Le32;
using frame_test::Lines;

// The daemon's reply to an EstablishContext message: the record as sent
// with the return code written in.
Bytes ExpectedReply(uint32_t id, uint32_t scope, uint32_t rv) {
  return Le32({id, PCSCD_ESTABLISH_CONTEXT, 12, scope, 0x11111111, rv});
}

// A successful completion whose EstablishContext return carries a context
// of `length` bytes.
Bytes ContextReturn(uint32_t length) {
  uint8_t context[17] = {};
  EstablishContext_Return r{0, {length, context}};
  Bytes out = ScRedirRpc_EncodeToBytes(EstablishContext_Return_Encode, &r).value_or(Bytes{});
  return Cat({Hex("72444349 00000000"), Le32({0, 0, static_cast<uint32_t>(out.size())}), out});
}

class EngineTest : public frame_test::PluginFixture {
 protected:
  void SetUp() override {
    PluginFixture::SetUp();
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
    session_ = std::make_shared<ScRedirSession>(&channel_);
    conn_ = std::make_shared<ScRedirDaemonConn>(fds_[0], 200);
    ASSERT_TRUE(session_->AttachConn(conn_));
    ScRedir_ExchangeCurrentSession(session_);
  }
  void TearDown() override {
    ScRedir_FailAllocForTest(ScRedirAllocSite::kCount, 0);
    conn_.reset();
    session_.reset();
    PluginFixture::TearDown();
    close(fds_[1]);
  }
  uint32_t Redirect(uint32_t id, uint32_t scope) {
    const PcscdMessageHeader header{id, PCSCD_ESTABLISH_CONTEXT, 12};
    const EstablishContextMsg body{scope, 0x11111111, 0x22222222};
    return ScRedirQrn_RedirectScRequest(*session_, SCARD_IOCTL_ESTABLISHCONTEXT, &header, &body,
                                        sizeof body);
  }
  void Receive(const Bytes& packet) {
    ScRedirQrn_RouteChannelPacket(packet.data(), static_cast<uint32_t>(packet.size()), *session_);
  }
  // The next reply the daemon would read, or empty when none is waiting.
  Bytes Reply(size_t length = 24) {
    pollfd p{fds_[1], POLLIN, 0};
    if (poll(&p, 1, 0) != 1) return {};
    Bytes b(length);
    size_t got = 0;
    while (got < length) {
      ssize_t n = read(fds_[1], b.data() + got, length - got);
      if (n <= 0) break;  // our end was closed
      got += static_cast<size_t>(n);
    }
    b.resize(got);
    return b;
  }
  int32_t Pending() { return KeyedList_Count(conn_->messages()); }

  int fds_[2] = {-1, -1};
  int channel_ = 0;
  ScRedirSessionRef session_;
  ScRedirConnRef conn_;
};

// The whole road spoils a foreign component, a request packet id, short
// completions and completions one byte short of their output, and pairs
// every completion with its message; these are the edges it does not reach.
// Last, once the daemon connection has ended, a completion for one of its
// messages is dropped, not matched with a newer message of the same id.
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

  session_->RetireConn(conn_);
  ASSERT_TRUE(session_->AttachConn(conn_ = std::make_shared<ScRedirDaemonConn>(dup(fds_[0]), 200)));
  ASSERT_EQ(Redirect(9, 2), 0u);  // the new daemon reuses the id
  log_.Clear();
  Receive(Completion(9, 0, 0));
  EXPECT_EQ(
      log_.PluginLines(),
      Lines{"SCQRN: INFO |TID|: Dropped completion 00000009: its pcscd connection has ended"});
  EXPECT_EQ(Reply(), Bytes{});
  Receive(Completion(9, 0, 0));
  EXPECT_EQ(Reply(), ExpectedReply(9, 2, 0));
}

constexpr ScRedirAllocSite kNone = ScRedirAllocSite::kCount;

// Every message is answered exactly once. When the client's result cannot
// be had, the answer is the record as sent with the rv of the cause, and the
// message is gone: a late completion for it finds nothing.
TEST_F(EngineTest, EveryMessageIsAnsweredOnceWithTheRvOfItsCause) {
  struct Case {
    const char* name;
    uint32_t rv;
    ScRedirAllocSite site = ScRedirAllocSite::kCount;  // an allocation that fails
    Bytes completion = {};  // id 0 is patched in; none: it fails on the way out
    uint32_t sendStatus = 0;
    bool nodeFails = false;
  } cases[] = {
      {"client failure", kScardFCommError, kNone, Completion(0, 0xC0000001, 0)},
      {"no more room helps", kScardEInsufficientBuffer, kNone, Completion(0, 0xC0000023, 0)},
      {"undecodable return", kScardFUnknownError, kNone,
       Cat({Hex("72444349 00000000"), Le32({0, 0, 16}), Hex("02100800 cccccccc"), Bytes(8)})},
      {"return too big", kScardEInsufficientBuffer, kNone, ContextReturn(17)},
      {"Send fails", kScardFCommError, kNone, {}, 5},
      {"no request record", kScardENoMemory, ScRedirAllocSite::kIoRequest},
      {"no encoded call", kScardENoMemory, ScRedirAllocSite::kEncodedCall},
      {"no packet", kScardENoMemory, ScRedirAllocSite::kPacket},
      {"message not kept", kScardENoMemory, ScRedirAllocSite::kKeptMessage},
      {"no list node", kScardENoMemory, kNone, {}, 0, true},
      {"no output copy", kScardENoMemory, ScRedirAllocSite::kOutputCopy, Completion(0, 0, 0)},
      {"no reply", kScardENoMemory, ScRedirAllocSite::kReply, Completion(0, 0, 0)},
      {"no block for the new context", kScardENoMemory, ScRedirAllocSite::kMapBlock,
       ContextReturn(4)},
  };
  uint32_t id = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ++id;
    log_.Clear();
    host_.sendStatus = c.sendStatus;
    if (c.completion.empty() && c.site != ScRedirAllocSite::kCount)
      ScRedir_FailAllocForTest(c.site, 1);
    if (c.nodeFails) KeyedList_SetNodeAllocatorForTest([](size_t) -> void* { return nullptr; });
    Redirect(id, 2);
    KeyedList_SetNodeAllocatorForTest(nullptr);
    host_.sendStatus = 0;
    Bytes completion = c.completion;
    if (!completion.empty()) {
      std::memcpy(completion.data() + 8, &id, 4);
      EXPECT_EQ(Reply(), Bytes{}) << "answered before the client";
      if (c.site != ScRedirAllocSite::kCount) ScRedir_FailAllocForTest(c.site, 1);
      Receive(completion);
    }
    EXPECT_EQ(Reply(), ExpectedReply(id, 2, c.rv));
    EXPECT_EQ(Pending(), 0);
    EXPECT_EQ(log_.Count(AnswerLine(c.rv, id)), 1);
    if (!completion.empty()) Receive(Completion(id, 0, 0));  // late: finds nothing
    EXPECT_EQ(Reply(), Bytes{});
  }
}

// STATUS_BUFFER_TOO_SMALL: the same call goes out once more with room for
// the largest return the record can take; a second one is the answer.
TEST_F(EngineTest, TooSmallAnOutputIsAskedForOnceMoreWithRoomForTheWholeField) {
  uint8_t ctx[4] = {1, 2, 3, 4};
  uint32_t hContext = 0;
  ASSERT_EQ(ScRedirQrn_RegisterContext(0, 4, ctx, &hContext), 0u);
  Bytes record(sizeof(GetStatusChangeMsg), 0x5A);
  std::memcpy(record.data(), &hContext, 4);
  const uint32_t zero = 0;
  std::memcpy(record.data() + offsetof(GetStatusChangeMsg, cReaders), &zero, 4);
  const PcscdMessageHeader header{77, PCSCD_GET_STATUS_CHANGE, 11280};
  ASSERT_EQ(ScRedirQrn_RedirectScRequest(*session_, SCARD_IOCTL_GETSTATUSCHANGEW, &header,
                                         record.data(), static_cast<uint32_t>(record.size())),
            0u);
  Bytes tooSmall = Completion(77, 0xC0000023, 0);
  tooSmall.resize(16);
  Receive(tooSmall);
  EXPECT_EQ(Reply(11292), Bytes{});
  std::vector<Bytes> sent = host_.Sent();
  ASSERT_EQ(sent.size(), 2u);
  Bytes again = sent[0];
  const uint32_t room = 64 * 48 + 1024;
  std::memcpy(again.data() + 24, &room, 4);  // OutputBufferLength
  EXPECT_EQ(sent[1], again);
  Receive(tooSmall);
  Bytes expected = Cat({Le32({77, PCSCD_GET_STATUS_CHANGE, 11280}), record});
  const uint32_t rv = kScardEInsufficientBuffer;
  std::memcpy(expected.data() + 12 + offsetof(GetStatusChangeMsg, rv), &rv, 4);
  EXPECT_EQ(Reply(11292), expected);
  EXPECT_EQ(host_.Sent().size(), 2u);
  EXPECT_EQ(Pending(), 0);
}

// A daemon that stops reading holds a reply writer for the write time-out
// at most; then the connection is dropped so the link can make a new one.
TEST_F(EngineTest, DaemonThatStopsReadingIsDroppedAfterTheWriteTimeOut) {
  int size = 4096;
  setsockopt(fds_[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  auto start = std::chrono::steady_clock::now();
  for (uint32_t id = 1; id <= 2000 && !conn_->dropped(); ++id) {
    ASSERT_EQ(Redirect(id, 0), 0u);
    Receive(Completion(id, 0, 0));
  }
  EXPECT_TRUE(conn_->dropped());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(log_.Count("SCQRN: ERROR(00000000) |TID|: Daemon socket " + std::to_string(fds_[0]) +
                       " took no reply within the write time-out, reconnecting"),
            1);
}

}  // namespace
