// Many messages in flight at once: the plug-in pairs every completion with
// its own daemon message whatever order the client answers in, and a
// GetStatusChange that waits on the client never holds back later replies.
#include <gtest/gtest.h>

#include <vector>

#include "tests/integration/road.h"

namespace scredir::tools {
namespace {

constexpr uint32_t kTransmitSize = off::kTxBuffer + 5;

TEST(ConcurrencyRoadTest, SixtyFourRequestsCompletedInReverseEachGetTheirOwnReply) {
  Road road;
  ASSERT_EQ(road.error(), "");
  uint32_t context = road.OpenContext();
  uint32_t card = road.OpenCard(context);
  ASSERT_NE(card, 0u);
  const size_t before = road.daemon().replyCount();

  road.client.HoldCompletions(true);
  std::vector<uint32_t> ids;
  std::vector<PcscdRecord> requests;
  for (uint8_t length = 1; length <= 64; ++length) {
    // GET CHALLENGE of a different length per request, so a swapped reply shows.
    requests.push_back(Record(kPcscdTransmit, GetChallenge(context, card, length)));
    Bytes sent(requests.back().bytes().begin(), requests.back().bytes().begin() + kTransmitSize);
    ids.push_back(road.Send(kPcscdTransmit, sent, kTransmitSize));
  }
  ASSERT_TRUE(road.client.AwaitHeld(64));
  EXPECT_EQ(road.daemon().replyCount(), before) << "a reply came before its completion";
  road.client.ReleaseHeld(/*reverse=*/true);
  ASSERT_TRUE(road.daemon().AwaitReplyCount(before + 64));

  std::vector<uint32_t> order = road.daemon().ReplyOrder();
  EXPECT_EQ(std::vector<uint32_t>(order.begin() + static_cast<ptrdiff_t>(before), order.end()),
            std::vector<uint32_t>(ids.rbegin(), ids.rend()));

  // The card answered in arrival order, drawing challenge bytes from one
  // running counter.
  uint8_t counter = 0;
  for (size_t i = 0; i < ids.size(); ++i) {
    Bytes response;
    for (size_t n = 0; n <= i; ++n) response.push_back(counter++);
    response.insert(response.end(), {0x90, 0x00});
    PcscdRecord want = requests[i];
    Apply(want, {{off::kTxRecv, static_cast<uint32_t>(response.size())},
                 {off::kTxRecvProto, 3},
                 {off::kTxRecvPciLen, 8},
                 {off::kTxRv, 0},
                 {off::kTxBuffer, response}});
    std::optional<Bytes> reply = road.daemon().AwaitReply(ids[i]);
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, Frame(ids[i], kPcscdTransmit, kTransmitSize, want.bytes())) << "reply " << i;
  }
  EXPECT_EQ(road.host.bufferFaults(), 0u);
}

// A wait for reader 0 to leave `believed`, with no time-out.
PcscdRecord WaitForChange(uint32_t context, uint32_t believed) {
  return Record(kPcscdGetStatusChange, {{off::kGscContext, context},
                                        {off::kGscTimeout, kInfinite},
                                        {off::kGscCount, 1},
                                        {off::kGscStates, Name(kReader0)},
                                        {off::kGscStates + off::kSlotCurrent, believed}});
}

TEST(ConcurrencyRoadTest, WaitingStatusChangeHoldsBackNothingAndEndsOnChangeOrCancel) {
  Road road;
  ASSERT_EQ(road.error(), "");
  uint32_t context = road.OpenContext();
  ASSERT_NE(context, 0u);
  const PcscdRecord present = WaitForChange(context, kScardStatePresent);
  uint32_t waiting = road.Send(kPcscdGetStatusChange, present.bytes());
  road.model.WaitForStatusChangeWaiters(1);

  std::optional<Bytes> later = road.Call(
      kPcscdListReaders,
      Record(kPcscdListReaders, {{off::kLrContext, context}, {off::kLrCch, 8192}}).bytes());
  ASSERT_TRUE(later);
  EXPECT_EQ(Get32(*later, 12 + off::kLrRv), 0u);
  EXPECT_FALSE(road.daemon().HasReply(waiting));

  road.model.RemoveCard(kReader0);
  std::optional<Bytes> changed = road.daemon().AwaitReply(waiting);
  ASSERT_TRUE(changed);
  PcscdRecord want = present;
  want.Put32(off::kGscStates + off::kSlotEvent, kScardStateEmpty | kScardStateChanged);
  EXPECT_EQ(*changed, Frame(waiting, kPcscdGetStatusChange, 11280, want.bytes()));

  // Now waiting on the empty reader: Cancel ends the wait.
  waiting = road.Send(kPcscdGetStatusChange, WaitForChange(context, kScardStateEmpty).bytes());
  road.model.WaitForStatusChangeWaiters(1);
  std::optional<Bytes> cancelled =
      road.Call(kPcscdCancel, Record(kPcscdCancel, {{off::kCtxContext, context}}).bytes());
  ASSERT_TRUE(cancelled);
  EXPECT_EQ(Get32(*cancelled, 12 + off::kCtxRv), 0u);
  std::optional<Bytes> ended = road.daemon().AwaitReply(waiting);
  ASSERT_TRUE(ended);
  EXPECT_EQ(Get32(*ended, 12 + off::kGscRv), kScardECancelled);
  EXPECT_EQ(Get32(*ended, 12 + off::kGscStates + off::kSlotEvent), kScardStateEmpty);
}

}  // namespace
}  // namespace scredir::tools
