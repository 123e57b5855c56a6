// Many messages in flight at once: the plug-in pairs every completion with
// its own daemon message whatever order the client answers in, and a
// GetStatusChange that waits on the client never holds back later replies.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tests/integration/road.h"

namespace scredir::tools {
namespace {

constexpr uint32_t kTransmitSize = 36 + 5;

PcscdRecord GetChallenge(uint32_t context, uint32_t card, uint8_t length) {
  PcscdRecord r(kPcscdTransmit);
  r.Put32(off::kTxContext, context)
      .Put32(off::kTxCard, card)
      .Put32(off::kTxSend, 5)
      .Put32(off::kTxRecv, 258)
      .Put32(off::kTxSendProto, kScardProtocolT1)
      .PutBytes(off::kTxBuffer, {0x00, 0x84, 0x00, 0x00, length});
  return r;
}

PcscdRecord WaitForChange(uint32_t context, uint32_t believed) {
  PcscdRecord r(kPcscdGetStatusChange);
  r.Put32(off::kGscContext, context).Put32(off::kGscTimeout, kInfinite).Put32(off::kGscCount, 1);
  r.PutString(off::kGscStates, kReader0).Put32(off::kGscStates + off::kSlotCurrent, believed);
  return r;
}

TEST(ConcurrencyRoadTest, SixtyFourRequestsCompletedInReverseEachGetTheirOwnReply) {
  Road road;
  ASSERT_EQ(road.error(), "");
  uint32_t context = road.OpenContext();
  uint32_t card = road.OpenCard(context);
  ASSERT_NE(card, 0u);
  const size_t before = road.daemon->replyCount();

  road.client.HoldCompletions(true);
  std::vector<uint32_t> ids;
  std::vector<PcscdRecord> requests;
  for (uint8_t i = 0; i < 64; ++i) {
    // A different challenge length per request, so a swapped reply shows.
    requests.push_back(GetChallenge(context, card, static_cast<uint8_t>(i + 1)));
    Bytes sent(requests.back().bytes().begin(), requests.back().bytes().begin() + kTransmitSize);
    ids.push_back(road.Send(kPcscdTransmit, sent, kTransmitSize));
  }
  ASSERT_TRUE(road.client.AwaitHeld(64));
  EXPECT_EQ(road.daemon->replyCount(), before) << "a reply came before its completion";
  road.client.ReleaseHeld(/*reverse=*/true);
  ASSERT_TRUE(road.daemon->AwaitReplyCount(before + 64));

  std::vector<uint32_t> order = road.daemon->ReplyOrder();
  std::vector<uint32_t> expectedOrder(ids.rbegin(), ids.rend());
  EXPECT_EQ(std::vector<uint32_t>(order.begin() + static_cast<ptrdiff_t>(before), order.end()),
            expectedOrder);

  // The card answered in arrival order, drawing challenge bytes from one
  // running counter.
  uint8_t counter = 0;
  for (size_t i = 0; i < ids.size(); ++i) {
    Bytes response;
    for (size_t n = 0; n <= i; ++n) response.push_back(counter++);
    response.push_back(0x90);
    response.push_back(0x00);
    PcscdRecord want = requests[i];
    want.Put32(off::kTxRecv, static_cast<uint32_t>(response.size()))
        .Put32(off::kTxRecvProto, 3)
        .Put32(off::kTxRecvPciLen, 8)
        .PutBytes(off::kTxBuffer, response);
    std::optional<Bytes> reply = road.daemon->AwaitReply(ids[i]);
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, Frame(ids[i], kPcscdTransmit, kTransmitSize, want.bytes())) << "reply " << i;
  }
  EXPECT_EQ(road.host.bufferFaults(), 0u);
}

TEST(ConcurrencyRoadTest, WaitingStatusChangeDoesNotHoldBackLaterReplies) {
  Road road;
  ASSERT_EQ(road.error(), "");
  uint32_t context = road.OpenContext();
  ASSERT_NE(context, 0u);
  uint32_t waiting =
      road.Send(kPcscdGetStatusChange, WaitForChange(context, kScardStatePresent).bytes());
  road.model.WaitForStatusChangeWaiters(1);

  PcscdRecord list(kPcscdListReaders);
  list.Put32(off::kLrContext, context).Put32(off::kLrCch, 8192);
  std::optional<Bytes> later = road.Call(kPcscdListReaders, list.bytes());
  ASSERT_TRUE(later);
  EXPECT_EQ(Get32(*later, 12 + off::kLrRv), 0u);
  EXPECT_FALSE(road.daemon->HasReply(waiting));

  road.model.RemoveCard(kReader0);
  std::optional<Bytes> changed = road.daemon->AwaitReply(waiting);
  ASSERT_TRUE(changed);
  PcscdRecord want = WaitForChange(context, kScardStatePresent);
  want.Put32(off::kGscStates + off::kSlotEvent, kScardStateEmpty | kScardStateChanged);
  EXPECT_EQ(*changed, Frame(waiting, kPcscdGetStatusChange, 11280, want.bytes()));
}

TEST(ConcurrencyRoadTest, CancelEndsAWaitingStatusChangeWithCancelled) {
  Road road;
  ASSERT_EQ(road.error(), "");
  uint32_t context = road.OpenContext();
  ASSERT_NE(context, 0u);
  uint32_t waiting =
      road.Send(kPcscdGetStatusChange, WaitForChange(context, kScardStatePresent).bytes());
  road.model.WaitForStatusChangeWaiters(1);

  PcscdRecord cancel(kPcscdCancel);
  cancel.Put32(off::kCtxContext, context);
  std::optional<Bytes> cancelled = road.Call(kPcscdCancel, cancel.bytes());
  ASSERT_TRUE(cancelled);
  EXPECT_EQ(Get32(*cancelled, 12 + off::kCtxRv), 0u);
  std::optional<Bytes> ended = road.daemon->AwaitReply(waiting);
  ASSERT_TRUE(ended);
  EXPECT_EQ(Get32(*ended, 12 + off::kGscRv), kScardECancelled);
  EXPECT_EQ(Get32(*ended, 12 + off::kGscStates + off::kSlotEvent), kScardStatePresent);
}

}  // namespace
}  // namespace scredir::tools
