// What goes wrong on the road: commands the plug-in does not know, records
// that break a size limit, completions it cannot use, a daemon that goes
// away, a daemon that comes late. A message the plug-in cannot get the
// client's result for is answered once with the PC/SC error of its cause;
// one whose completion names no request for sure gets nothing; the next
// message is answered normally either way. (A channel closing with requests
// in flight is the frame stress test's, cycle after cycle.)
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/integration/road.h"

namespace scredir::tools {
namespace {

const Bytes kEstablish = PcscdRecord(kPcscdEstablishContext).bytes();

// Sends a normal request after a spoiled one and checks that it is
// answered, and the spoiled one exactly `answers` times. Replies come in
// completion order, so once the later reply is in, an answer to the
// earlier message would be too.
void ExpectTheNextIsAnswered(Road& road, uint32_t spoiledId, size_t answers = 0) {
  std::optional<Bytes> reply = road.Call(kPcscdEstablishContext, kEstablish);
  ASSERT_TRUE(reply) << "the stream did not continue";
  EXPECT_EQ(Get32(*reply, 12 + off::kEstRv), 0u);
  std::vector<uint32_t> order = road.daemon().ReplyOrder();
  EXPECT_EQ(static_cast<size_t>(std::count(order.begin(), order.end(), spoiledId)), answers);
  EXPECT_FALSE(road.daemon().outOfStep());
}

TEST(FailureRoadTest, UnknownCommandsAreDroppedHeaderOnlyAndTheStreamContinues) {
  Road road;
  ASSERT_EQ(road.error(), "");
  const uint32_t invalid[] = {0, 12, 14, 17, 19, 0xFFFFFFFF};
  // No record follows: the plug-in must take the next 12 bytes as a header.
  for (uint32_t i = 0; i < std::size(invalid); ++i)
    road.daemon().Send(0x7000 + i, invalid[i], {}, 999);
  ExpectTheNextIsAnswered(road, 0x7000);
  for (uint32_t command : invalid) {
    char line[64];
    snprintf(line, sizeof(line), "Invalid command: %08x", command);
    EXPECT_TRUE(road.AwaitLog(line)) << line;
  }
  EXPECT_EQ(road.daemon().replyCount(), 1u);
}

// A message the plug-in must refuse: a record that breaks a size limit (its
// bytes are consumed so the stream stays in step), or a request whose
// completion the client spoils (the log says why). Each reason for refusing
// a record, and each spoiled completion's answer, is compared byte for byte
// in tests/commands and tests/frame; these rows show one of each path
// through the built plug-in.
struct Spoiled {
  const char* name;
  uint32_t command;
  Puts puts;  // on a zeroed record (hContext first), cut or padded to `size`
  uint32_t size;
  std::optional<Fault> fault;
  const char* logLine;
  uint32_t rv;  // what the answer carries; 0: the message is not answered
};

void PrintTo(const Spoiled& c, std::ostream* os) {
  *os << c.name;
}

uint32_t RvOffset(uint32_t command) {
  if (command == kPcscdTransmit) return off::kTxRv;
  if (command == kPcscdControl) return off::kCtlRv;
  return PcscdRecordSize(command) - 4;
}

class SpoiledMessageTest : public ::testing::TestWithParam<Spoiled> {};

TEST_P(SpoiledMessageTest, IsAnsweredOnceWithItsCauseOrNotAtAllAndTheNextIsAnswered) {
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
  if (c.rv) {
    // The record as sent (zeros past what was sent), rv set.
    PcscdRecord record(c.command);
    std::copy_n(body.begin(), std::min(body.size(), record.bytes().size()), record.bytes().begin());
    record.Put32(RvOffset(c.command), c.rv);
    std::optional<Bytes> answer = road.daemon().AwaitReply(spoiled);
    ASSERT_TRUE(answer);
    EXPECT_EQ(*answer, Frame(spoiled, c.command, c.size, record.bytes()));
  }
  ExpectTheNextIsAnswered(road, spoiled, c.rv ? 1 : 0);
  if (c.logLine) {
    EXPECT_TRUE(road.AwaitLog(c.logLine)) << c.logLine;
  }
  road.host.Flush();  // the last onRecv hands its buffer back after replying
  EXPECT_EQ(road.host.recvOutstanding(), 0u) << "a received buffer was not handed back";
  EXPECT_EQ(road.host.badRecvReturns(), 0u);
  EXPECT_EQ(road.client.protocolErrors(), 0u);
}

constexpr uint32_t kInvalidParameter = 0x80100004, kCommError = 0x80100013,
                   kUnknownError = 0x80100014;

Spoiled Limit(const char* name, uint32_t command, Puts puts, uint32_t size) {
  return {name, command, std::move(puts), size, std::nullopt, nullptr, kInvalidParameter};
}
Spoiled ClientFault(const char* name, Fault fault, const char* logLine, uint32_t rv = 0) {
  return {name, kPcscdEstablishContext, {}, 12, fault, logLine, rv};
}

INSTANTIATE_TEST_SUITE_P(
    All, SpoiledMessageTest,
    ::testing::Values(
        // clang-format off
        Limit("TransmitSendLengthBeyondBytesReceived", kPcscdTransmit, {{off::kTxSend, 100}, {off::kTxRecv, 258}}, 36 + 10),
        Limit("StatusChangeWith12ReadersRefusedByTheCodec", kPcscdGetStatusChange, {{off::kGscCount, 12}}, 11280),
        ClientFault("NonZeroIoStatus", {FaultKind::kIoStatus, 0xC0000001}, "Incorrect IO completion status", kCommError),
        ClientFault("UnknownCompletionId", {FaultKind::kUnknownId, 0x0BADBAD0}, "No matched completionId: 0badbad0, exit!"),
        ClientFault("WrongComponent", {FaultKind::kBadComponent}, "Incorrect component 00005052"),
        ClientFault("RequestPacketIdFromClient", {FaultKind::kBadPacketId}, "Invalid packetId: 00004952"),
        ClientFault("ShorterThanFixedPart", {FaultKind::kShortPacket}, "Invalid completion packet or size"),
        ClientFault("OutputHeadersRefused", {FaultKind::kUndecodable},
                    "Failed to create decode buffer handle for: SCARD_IOCTL_ESTABLISHCONTEXT", kUnknownError),
        ClientFault("OutputCutShort", {FaultKind::kTruncatedOutput},
                    "Could not decode buffer into EstablishContext_Return: RPC_S_BUFFER_TOO_SMALL", kUnknownError)),
    // clang-format on
    [](const auto& info) { return std::string(info.param.name); });

// A daemon that is not there yet is reached by the connect retry; one that
// goes away is connected again (one retry interval later) with the channel
// still open, and the maps outlive the connection: the old context works.
TEST(FailureRoadTest, LateOrVanishedDaemonIsReachedByTheConnectRetry) {
  Road road(Road::Options{.daemonFirst = false});
  ASSERT_EQ(road.error(), "");
  EXPECT_TRUE(road.AwaitLog("waiting for connection with pcscd"));
  road.StartDaemon();
  ASSERT_TRUE(road.daemon().AwaitConnections(1));
  uint32_t context = road.OpenContext();
  ASSERT_NE(context, 0u);
  road.daemon().CloseConnection();
  ASSERT_TRUE(road.daemon().AwaitConnections(2));
  std::optional<Bytes> reply = road.Call(
      kPcscdListReaders,
      Record(kPcscdListReaders, {{off::kLrContext, context}, {off::kLrCch, 8192}}).bytes());
  ASSERT_TRUE(reply);
  EXPECT_EQ(Get32(*reply, 12 + off::kLrRv), 0u);
}

}  // namespace
}  // namespace scredir::tools
