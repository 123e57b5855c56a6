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

const Bytes kEstablish = PcscdRecord(kPcscdEstablishContext).bytes();

// Sends a normal request after a spoiled one and checks that only the
// normal one is answered. Replies come in completion order, so once the
// later reply is in, an answer to the earlier message would be too.
void ExpectOnlyTheNextIsAnswered(Road& road, uint32_t spoiledId) {
  std::optional<Bytes> reply = road.Call(kPcscdEstablishContext, kEstablish);
  ASSERT_TRUE(reply) << "the stream did not continue";
  EXPECT_EQ(Get32(*reply, 12 + off::kEstRv), 0u);
  std::vector<uint32_t> order = road.daemon().ReplyOrder();
  EXPECT_EQ(std::find(order.begin(), order.end(), spoiledId), order.end())
      << "a spoiled message was answered";
  EXPECT_FALSE(road.daemon().outOfStep());
}

TEST(FailureRoadTest, UnknownCommandsAreDroppedHeaderOnlyAndTheStreamContinues) {
  Road road;
  ASSERT_EQ(road.error(), "");
  const uint32_t invalid[] = {0, 12, 14, 17, 19, 0xFFFFFFFF};
  // No record follows: the plug-in must take the next 12 bytes as a header.
  for (uint32_t i = 0; i < std::size(invalid); ++i)
    road.daemon().Send(0x7000 + i, invalid[i], {}, 999);
  ExpectOnlyTheNextIsAnswered(road, 0x7000);
  for (uint32_t command : invalid) {
    char line[64];
    snprintf(line, sizeof(line), "Invalid command: %08x", command);
    EXPECT_TRUE(road.AwaitLog(line)) << line;
  }
  EXPECT_EQ(road.daemon().replyCount(), 1u);
}

// A message the plug-in must refuse: a record that breaks a size limit (its
// bytes are consumed so the stream stays in step), or a request whose
// completion the client spoils (the log says why).
struct Spoiled {
  const char* name;
  uint32_t command;
  Puts puts;  // on a zeroed record (hContext first), cut or padded to `size`
  uint32_t size;
  std::optional<Fault> fault;
  const char* logLine;
};

void PrintTo(const Spoiled& c, std::ostream* os) {
  *os << c.name;
}

class SpoiledMessageTest : public ::testing::TestWithParam<Spoiled> {};

TEST_P(SpoiledMessageTest, GetsNoReplyAndTheNextMessageIsAnswered) {
  const Spoiled& c = GetParam();
  Road road;
  ASSERT_EQ(road.error(), "");
  uint32_t context = road.OpenContext();
  ASSERT_NE(context, 0u);
  if (c.fault) road.client.InjectFault(*c.fault);
  Bytes body = Record(c.command, c.puts).bytes();
  body.resize(c.size);
  if (!c.fault) std::copy_n(reinterpret_cast<const uint8_t*>(&context), 4, body.begin());
  uint32_t spoiled = road.Send(c.command, body, c.size);
  ExpectOnlyTheNextIsAnswered(road, spoiled);
  if (c.logLine) {
    EXPECT_TRUE(road.AwaitLog(c.logLine)) << c.logLine;
  }
  road.host.Flush();  // the last onRecv hands its buffer back after replying
  EXPECT_EQ(road.host.recvOutstanding(), 0u) << "a received buffer was not handed back";
  EXPECT_EQ(road.host.badRecvReturns(), 0u);
  EXPECT_EQ(road.client.protocolErrors(), 0u);
}

Spoiled Limit(const char* name, uint32_t command, Puts puts, uint32_t size) {
  return {name, command, std::move(puts), size, std::nullopt, nullptr};
}
Spoiled ClientFault(const char* name, Fault fault, const char* logLine) {
  return {name, kPcscdEstablishContext, {}, 12, fault, logLine};
}

INSTANTIATE_TEST_SUITE_P(
    All, SpoiledMessageTest,
    ::testing::Values(
        Limit("TransmitSizeAboveFullRecord", kPcscdTransmit, {}, 65584 + 4096),
        Limit("TransmitSizeBelowFixedPart", kPcscdTransmit, {}, 20),
        Limit("TransmitSendLengthBeyondBytesReceived", kPcscdTransmit,
              {{off::kTxSend, 100}, {off::kTxRecv, 258}}, 36 + 10),
        Limit("ControlSizeAboveFullRecord", kPcscdControl, {}, 65576 + 1),
        Limit("ConnectNameWithoutNul", kPcscdConnect,
              {{off::kConReader, Bytes(128, 'R')}, {off::kConPreferred, 3}}, 152),
        Limit("StatusChangeWithMoreThan64Readers", kPcscdGetStatusChange, {{off::kGscCount, 65}},
              11280),
        ClientFault("NonZeroIoStatus", {FaultKind::kIoStatus, 0xC0000001},
                    "Incorrect IO completion status"),
        ClientFault("FailureWithoutOutputLengthField", {FaultKind::kIoStatusShort, 0xC0000001},
                    "Incorrect IO completion status"),
        ClientFault("UnknownCompletionId", {FaultKind::kUnknownId, 0x0BADBAD0},
                    "No matched completionId: 0badbad0, exit!"),
        ClientFault("WrongComponent", {FaultKind::kBadComponent}, "Incorrect component 00005052"),
        ClientFault("RequestPacketIdFromClient", {FaultKind::kBadPacketId},
                    "Invalid packetId: 00004952"),
        ClientFault("ShorterThanFixedPart", {FaultKind::kShortPacket},
                    "Invalid completion packet or size"),
        ClientFault("OutputLengthBeyondPacket", {FaultKind::kOverlongLength, 1},
                    "Invalid completion packet or size"),
        ClientFault("OutputHeadersRefused", {FaultKind::kUndecodable},
                    "Failed to create decode buffer handle for: SCARD_IOCTL_ESTABLISHCONTEXT"),
        ClientFault(
            "OutputCutShort", {FaultKind::kTruncatedOutput},
            "Could not decode buffer into EstablishContext_Return: RPC_S_BUFFER_TOO_SMALL")),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FailureRoadTest, DaemonClosingEndsTheLinkAndAReopenedChannelServesAgain) {
  Road road;
  ASSERT_EQ(road.error(), "");
  uint32_t context = road.OpenContext();
  ASSERT_NE(context, 0u);
  road.daemon().CloseConnection();
  EXPECT_TRUE(road.AwaitLog("qrn plugin thread exits"));
  road.host.CloseChannel();
  ASSERT_TRUE(road.host.OpenChannel());
  ASSERT_TRUE(road.daemon().AwaitConnections(2));
  // The maps outlive the channel: the old context still works.
  std::optional<Bytes> reply = road.Call(
      kPcscdListReaders,
      Record(kPcscdListReaders, {{off::kLrContext, context}, {off::kLrCch, 8192}}).bytes());
  ASSERT_TRUE(reply);
  EXPECT_EQ(Get32(*reply, 12 + off::kLrRv), 0u);
}

TEST(FailureRoadTest, ChannelClosingWithRequestsInFlightLeavesNothingBehindForTheNextChannel) {
  Road road;
  ASSERT_EQ(road.error(), "");
  road.client.HoldCompletions(true);
  for (int i = 0; i < 4; ++i) road.Send(kPcscdEstablishContext, kEstablish);
  ASSERT_TRUE(road.client.AwaitHeld(4));
  road.host.CloseChannel();
  ASSERT_TRUE(road.daemon().AwaitPeerClosed());
  // Completions for a closed channel go nowhere; a new channel starts clean.
  road.client.ReleaseHeld(false);
  road.client.HoldCompletions(false);
  ASSERT_TRUE(road.host.OpenChannel());
  ASSERT_TRUE(road.daemon().AwaitConnections(2));
  // A channel of another kind is refused and changes nothing.
  EXPECT_FALSE(road.host.OpenChannel("Clipboard Virtual Channel"));
  EXPECT_NE(road.OpenContext(), 0u);
  EXPECT_EQ(road.daemon().replyCount(), 1u);
  EXPECT_EQ(road.host.bufferFaults(), 0u);
}

TEST(FailureRoadTest, LateDaemonIsReachedByTheConnectRetry) {
  Road road(Road::Options{.daemonFirst = false});
  ASSERT_EQ(road.error(), "");
  EXPECT_TRUE(road.AwaitLog("waiting for connection with pcscd"));
  road.StartDaemon();
  ASSERT_TRUE(road.daemon().AwaitConnections(1));
  EXPECT_NE(road.OpenContext(), 0u);
}

}  // namespace
}  // namespace scredir::tools
