// What goes wrong on the road: commands the plug-in does not know, records
// that break a size limit, completions it cannot use, a daemon that goes
// away, a channel that closes and reopens, a daemon that comes late. In
// every case the daemon gets no reply for the spoiled message and the next
// message is answered normally.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/integration/road.h"

namespace scredir::tools {
namespace {

PcscdRecord EstablishRecord() {
  PcscdRecord r(kPcscdEstablishContext);
  r.Put32(off::kEstScope, 0);
  return r;
}

bool Replied(const Road& road, uint32_t id) {
  auto order = road.daemon->ReplyOrder();
  return std::find(order.begin(), order.end(), id) != order.end();
}

// Sends a normal request after a spoiled one and checks that only the
// normal one is answered. Replies come in completion order, so once the
// later reply is in, an answer to the earlier message would be too.
void ExpectOnlyTheNextIsAnswered(Road& road, uint32_t spoiledId) {
  uint32_t next = road.Send(kPcscdEstablishContext, EstablishRecord().bytes());
  std::optional<Bytes> reply = road.daemon->AwaitReply(next);
  ASSERT_TRUE(reply) << "the stream did not continue";
  EXPECT_EQ(Get32(*reply, 12 + off::kEstRv), 0u);
  EXPECT_FALSE(Replied(road, spoiledId)) << "a spoiled message was answered";
  EXPECT_FALSE(road.daemon->outOfStep());
}

TEST(FailureRoadTest, UnknownCommandsAreDroppedHeaderOnlyAndTheStreamContinues) {
  Road road;
  ASSERT_EQ(road.error(), "");
  const uint32_t invalid[] = {0, 12, 14, 17, 19, 0xFFFFFFFF};
  uint32_t firstId = 0x7000;
  for (uint32_t i = 0; i < std::size(invalid); ++i) {
    // No record follows: the plug-in must take the next 12 bytes as a header.
    road.daemon->Send(firstId + i, invalid[i], {}, 999);
  }
  ExpectOnlyTheNextIsAnswered(road, firstId);
  for (uint32_t command : invalid) {
    char line[64];
    snprintf(line, sizeof(line), "Invalid command: %08x", command);
    EXPECT_TRUE(road.AwaitLog(line)) << line;
  }
  EXPECT_EQ(road.daemon->replyCount(), 1u);
}

// Records that break a size limit are refused without a reply, and the
// bytes the daemon sent with them are consumed so the stream stays in step.
struct Oversized {
  const char* name;
  uint32_t command;
  std::function<Bytes()> body;
  uint32_t size;  // the header's size
};

void PrintTo(const Oversized& c, std::ostream* os) {
  *os << c.name;
}

class OversizedRecordTest : public ::testing::TestWithParam<Oversized> {};

TEST_P(OversizedRecordTest, IsRefusedWithoutReplyAndTheStreamStaysInStep) {
  const Oversized& c = GetParam();
  Road road;
  ASSERT_EQ(road.error(), "");
  uint32_t context = road.OpenContext();
  ASSERT_NE(context, 0u);
  Bytes body = c.body();
  std::copy_n(reinterpret_cast<const uint8_t*>(&context), 4, body.begin());  // hContext first
  uint32_t id = 0x7100;
  ASSERT_TRUE(road.daemon->Send(id, c.command, body, c.size));
  ExpectOnlyTheNextIsAnswered(road, id);
  EXPECT_EQ(road.client.protocolErrors(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    SizeLimits, OversizedRecordTest,
    ::testing::Values(
        Oversized{"TransmitSizeAboveFullRecord", kPcscdTransmit,
                  [] { return Bytes(65584 + 4096, 0); }, 65584 + 4096},
        Oversized{"TransmitSizeBelowFixedPart", kPcscdTransmit, [] { return Bytes(20, 0); }, 20},
        Oversized{"TransmitSendLengthBeyondBytesReceived", kPcscdTransmit,
                  [] {
                    PcscdRecord r(kPcscdTransmit);
                    r.Put32(off::kTxSend, 100).Put32(off::kTxRecv, 258);
                    return Bytes(r.bytes().begin(), r.bytes().begin() + 36 + 10);
                  },
                  36 + 10},
        Oversized{"ControlSizeAboveFullRecord", kPcscdControl, [] { return Bytes(65576 + 1, 0); },
                  65576 + 1},
        Oversized{"ConnectNameWithoutNul", kPcscdConnect,
                  [] {
                    PcscdRecord r(kPcscdConnect);
                    r.PutBytes(off::kConReader, Bytes(128, 'R')).Put32(off::kConPreferred, 3);
                    return r.bytes();
                  },
                  152},
        Oversized{"StatusChangeWithMoreThan64Readers", kPcscdGetStatusChange,
                  [] {
                    PcscdRecord r(kPcscdGetStatusChange);
                    r.Put32(off::kGscCount, 65);
                    return r.bytes();
                  },
                  11280}),
    [](const auto& info) { return std::string(info.param.name); });

// Completions the plug-in cannot use: the log says why, the daemon hears
// nothing about that message, the next message is answered.
struct Spoiled {
  const char* name;
  Fault fault;
  const char* logLine;
};

void PrintTo(const Spoiled& c, std::ostream* os) {
  *os << c.name;
}

class SpoiledCompletionTest : public ::testing::TestWithParam<Spoiled> {};

TEST_P(SpoiledCompletionTest, GetsNoReplyAndTheNextMessageIsAnswered) {
  const Spoiled& c = GetParam();
  Road road;
  ASSERT_EQ(road.error(), "");
  road.client.InjectFault(c.fault);
  uint32_t spoiled = road.Send(kPcscdEstablishContext, EstablishRecord().bytes());
  ExpectOnlyTheNextIsAnswered(road, spoiled);
  EXPECT_TRUE(road.AwaitLog(c.logLine)) << c.logLine;
  road.host.Flush();  // the last onRecv hands its buffer back after replying
  EXPECT_EQ(road.host.recvOutstanding(), 0u) << "a received buffer was not handed back";
  EXPECT_EQ(road.host.badRecvReturns(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    ClientFaults, SpoiledCompletionTest,
    ::testing::Values(
        Spoiled{"NonZeroIoStatus",
                {FaultKind::kIoStatus, 0xC0000001},
                "Incorrect IO completion status"},
        Spoiled{"UnknownCompletionId",
                {FaultKind::kUnknownId, 0x0BADBAD0},
                "No matched completionId: 0badbad0, exit!"},
        Spoiled{"WrongComponent", {FaultKind::kBadComponent}, "Incorrect component 00005052"},
        Spoiled{
            "RequestPacketIdFromClient", {FaultKind::kBadPacketId}, "Invalid packetId: 00004952"},
        Spoiled{
            "ShorterThanFixedPart", {FaultKind::kShortPacket}, "Invalid completion packet or size"},
        Spoiled{"OutputLengthBeyondPacket",
                {FaultKind::kOverlongLength, 1},
                "Invalid completion packet or size"},
        Spoiled{"OutputHeadersRefused",
                {FaultKind::kUndecodable},
                "Failed to create decode buffer handle for: SCARD_IOCTL_ESTABLISHCONTEXT"},
        Spoiled{"OutputCutShort",
                {FaultKind::kTruncatedOutput},
                "Could not decode buffer into EstablishContext_Return: RPC_S_BUFFER_TOO_SMALL"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FailureRoadTest, CompletionAfterNonZeroIoStatusStillFindsItsMessage) {
  Road road;
  ASSERT_EQ(road.error(), "");
  road.client.InjectFault({FaultKind::kIoStatus, 0xC0000001});
  // Same id twice: the first completion is refused and must leave the saved
  // message in place for the second.
  ASSERT_TRUE(road.daemon->Send(0x7300, kPcscdEstablishContext, EstablishRecord().bytes()));
  ASSERT_TRUE(road.daemon->Send(0x7300, kPcscdEstablishContext, EstablishRecord().bytes()));
  std::optional<Bytes> reply = road.daemon->AwaitReply(0x7300);
  ASSERT_TRUE(reply);
  EXPECT_EQ(Get32(*reply, 12 + off::kEstRv), 0u);
}

TEST(FailureRoadTest, DaemonClosingEndsTheLinkAndAReopenedChannelServesAgain) {
  Road road;
  ASSERT_EQ(road.error(), "");
  uint32_t context = road.OpenContext();
  ASSERT_NE(context, 0u);
  road.daemon->CloseConnection();
  EXPECT_TRUE(road.AwaitLog("qrn plugin thread exits"));
  road.host.CloseChannel();
  ASSERT_TRUE(road.host.OpenChannel());
  ASSERT_TRUE(road.daemon->AwaitConnections(2));
  // The maps outlive the channel: the old context still works.
  PcscdRecord list(kPcscdListReaders);
  list.Put32(off::kLrContext, context).Put32(off::kLrCch, 8192);
  std::optional<Bytes> reply = road.Call(kPcscdListReaders, list.bytes());
  ASSERT_TRUE(reply);
  EXPECT_EQ(Get32(*reply, 12 + off::kLrRv), 0u);
}

TEST(FailureRoadTest, ChannelClosingWithRequestsInFlightLeavesNothingBehind) {
  Road road;
  ASSERT_EQ(road.error(), "");
  road.client.HoldCompletions(true);
  for (int i = 0; i < 4; ++i) road.Send(kPcscdEstablishContext, EstablishRecord().bytes());
  ASSERT_TRUE(road.client.AwaitHeld(4));
  road.host.CloseChannel();
  ASSERT_TRUE(road.daemon->AwaitPeerClosed());
  // Completions for a closed channel go nowhere; a new channel starts clean.
  road.client.ReleaseHeld(false);
  road.client.HoldCompletions(false);
  ASSERT_TRUE(road.host.OpenChannel());
  ASSERT_TRUE(road.daemon->AwaitConnections(2));
  EXPECT_NE(road.OpenContext(), 0u);
  EXPECT_EQ(road.daemon->replyCount(), 1u);
  EXPECT_EQ(road.host.bufferFaults(), 0u);
}

TEST(FailureRoadTest, LateDaemonIsReachedByTheConnectRetry) {
  Road road(Road::Options{.daemonFirst = false});
  ASSERT_EQ(road.error(), "");
  EXPECT_TRUE(road.AwaitLog("waiting for connection with pcscd"));
  road.StartDaemon();
  ASSERT_TRUE(road.daemon->AwaitConnections(1));
  EXPECT_NE(road.OpenContext(), 0u);
}

TEST(FailureRoadTest, ForeignChannelIsRejectedAndTheSmartCardChannelStillServes) {
  Road road;
  ASSERT_EQ(road.error(), "");
  EXPECT_FALSE(road.host.OpenChannel("Clipboard Virtual Channel"));
  EXPECT_NE(road.OpenContext(), 0u);
}

}  // namespace
}  // namespace scredir::tools
