// Every daemon command over the whole road, answered and failed: the reply
// the daemon gets is compared whole against the request with exactly the
// fields the card's answer should change.
#include <gtest/gtest.h>

#include <string>

#include "tests/integration/road.h"

namespace scredir::tools {
namespace {

constexpr uint32_t kUnknownId = 0x1234;    // an id the plug-in never handed out
constexpr uint32_t kContext = 0xC0C0C0C0;  // stands for the prepared context
constexpr uint32_t kCard = 0xCACACACA;     // stands for the prepared card handle
constexpr uint32_t kFresh = 0xF0F0F0F0;    // a new id the reply must carry
const Bytes kChallenge = {1, 2, 3, 4, 5, 6, 7, 8};
const Bytes kChallengeOk = {1, 2, 3, 4, 5, 6, 7, 8, 0x90, 0x00};

enum class Prep { kNone, kContext, kCard, kCardWideIds, kTransaction };

struct Case {
  const char* name;
  uint32_t command;
  Prep prep;
  void (*arrange)(Road&);  // after the preparation; may be null
  Puts change;             // on top of the command's usual request
  Puts expect;             // on top of the request: what the reply changes
};

Case Row(const char* name, uint32_t command, Prep prep, void (*arrange)(Road&), Puts change,
         Puts expect) {
  return {name, command, prep, arrange, std::move(change), std::move(expect)};
}

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

Bytes Junk(size_t n) {
  return Bytes(n, 0x5A);
}
Bytes Text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}
size_t Slot(size_t i, size_t field) {
  return off::kGscStates + i * off::kSlotSize + field;
}

// Two slots in use (reader 0 with a card, reader 1 empty) and a third slot
// that must come back untouched.
Puts StatusChangeRequest() {
  Puts puts = {{off::kGscContext, kContext}, {off::kGscCount, 2}, {off::kGscRv, kJunk}};
  const std::string names[3] = {kReader0, kReader1, "Spare slot"};
  const uint32_t believed[3] = {kScardStateEmpty, kScardStateEmpty, kJunk};
  for (size_t i = 0; i < 3; ++i) {
    puts.insert(puts.end(), {{Slot(i, 0), Name(names[i])},
                             {Slot(i, off::kSlotCurrent), believed[i]},
                             {Slot(i, off::kSlotEvent), kJunk},
                             {Slot(i, off::kSlotAtr), Junk(36)}});
  }
  return puts;
}

// The request an application would send, with junk in every "out" field.
Puts Usual(uint32_t command) {
  using namespace off;
  switch (command) {
    case kPcscdEstablishContext:
      return {{kEstContext, kJunk}, {kEstRv, kJunk}};
    case kPcscdReleaseContext:
    case kPcscdCancel:
      return {{kCtxContext, kContext}, {kCtxRv, kJunk}};
    // clang-format off
    case kPcscdListReaders:
      return {{kLrContext, kContext}, {kLrGroupPtr, Junk(8)}, {kLrCch, 8192}, {kLrMsz, Junk(64)}, {kLrRv, kJunk}};
    case kPcscdConnect:
      return {{kConContext, kContext}, {kConReader, Name(kReader0)}, {kConShare, 2}, {kConPreferred, 3},
              {kConCard, kJunk}, {kConActive, kJunk}, {kConRv, kJunk}};
    case kPcscdReconnect:
      return {{kRecContext, kContext}, {kRecCard, kCard}, {kRecShare, 2}, {kRecPreferred, 1},
              {kRecInit, 1}, {kRecActive, kJunk}, {kRecRv, kJunk}};
    case kPcscdDisconnect:
    case kPcscdEndTransaction:
      return {{kDisContext, kContext}, {kDisCard, kCard}, {kDisRv, kJunk}};
    case kPcscdBeginTransaction:
      return {{kBegContext, kContext}, {kBegCard, kCard}, {kBegRv, kJunk}};
    case kPcscdTransmit:
      return GetChallenge(kContext, kCard, 8);
    case kPcscdControl:
      return {{kCtlContext, kContext}, {kCtlCard, kCard}, {kCtlCode, kControlReverse}, {kCtlSend, 3},
              {kCtlRecv, 100}, {kCtlReturned, kJunk}, {kCtlRv, kJunk}, {kCtlBuffer, Bytes{0xAA, 0xBB, 0xCC}}};
    case kPcscdStatus:
      return {{kStContext, kContext}, {kStCard, kCard}, {kStName, Junk(128)}, {kStCch, 128}, {kStState, kJunk},
              {kStProtocol, kJunk}, {kStAtr, Junk(36)}, {kStAtrLen, 36}, {kStRv, kJunk}};
    case kPcscdGetAttrib:
      return {{kAtContext, kContext}, {kAtCard, kCard}, {kAtId, kAttrVendorName}, {kAtValue, Junk(264)},
              {kAtLen, 264}, {kAtRv, kJunk}};
    case kPcscdSetAttrib:
      return {{kAtContext, kContext}, {kAtCard, kCard}, {kAtId, 0x00077777}, {kAtValue, Text("xyz")},
              {kAtLen, 3}, {kAtRv, kJunk}};
    // clang-format on
    case kPcscdGetStatusChange:
      return StatusChangeRequest();
  }
  return {};
}

// The daemon sends only the fixed part and the data of a Transmit or Control.
uint32_t SentSize(uint32_t command) {
  if (command == kPcscdTransmit) return off::kTxBuffer + 5;
  if (command == kPcscdControl) return off::kCtlBuffer + 3;
  return PcscdRecordSize(command);
}

std::vector<Case> Cases() {
  using namespace off;
  const Bytes& atr = CardModel::kDefaultAtr;
  // Multi-strings: each name with its NUL, one more NUL at the end.
  const Bytes bothReaders = Cat({Name(kReader0), Name(kReader1), {0}});
  const Bytes statusName = Cat({Name(kReader0), {0}});
  const Puts readersAnswer = {{Slot(0, kSlotAtrLen), 20},
                              {Slot(0, kSlotAtr), atr},
                              {Slot(1, kSlotEvent), kScardStateEmpty}};
  auto gscAnswer = [&](uint32_t rv, uint32_t event0) {
    Puts puts = readersAnswer;
    puts.insert(puts.end(), {{kGscRv, rv}, {Slot(0, kSlotEvent), event0}});
    return puts;
  };
  const Prep ctx = Prep::kContext, card = Prep::kCard;
  // A challenge over T=1 answered with 90 00; `pci`: the receive PCI's protocol and length.
  auto challenge = [&](uint32_t proto, uint32_t pciLen) {
    return Puts{{kTxRecv, 10},
                {kTxRecvProto, proto},
                {kTxRecvPciLen, pciLen},
                {kTxRv, 0},
                {kTxBuffer, kChallengeOk}};
  };
  auto nextChallenge = [](Road& r) { r.model.SetNextChallenge(kChallenge); };
  // clang-format off
  return {
      Row("EstablishContextAnswered", kPcscdEstablishContext, Prep::kNone, nullptr, {}, {{kEstContext, kFresh}, {kEstRv, 0}}),
      Row("EstablishContextFailed", kPcscdEstablishContext, Prep::kNone,
          [](Road& r) { r.model.FailNext(CardCall::kEstablishContext, kScardENoService); }, {}, {{kEstRv, kScardENoService}}),
      Row("ReleaseContextAnswered", kPcscdReleaseContext, ctx, nullptr, {}, {{kCtxRv, 0}}),
      Row("ReleaseContextFailed", kPcscdReleaseContext, ctx, nullptr, {{kCtxContext, kUnknownId}}, {{kCtxRv, kScardEInvalidHandle}}),
      Row("ListReadersAnswered", kPcscdListReaders, ctx, nullptr, {}, {{kLrMsz, bothReaders}, {kLrCch, 37}, {kLrRv, 0}}),
      Row("ListReadersFailed", kPcscdListReaders, ctx, nullptr, {{kLrContext, kUnknownId}}, {{kLrRv, kScardEInvalidHandle}}),
      Row("ConnectAnswered", kPcscdConnect, ctx, nullptr, {}, {{kConCard, kFresh}, {kConActive, kScardProtocolT1}, {kConRv, 0}}),
      Row("ConnectFailed", kPcscdConnect, ctx, nullptr, {{kConReader, Name("No Such Reader")}}, {{kConCard, 0}, {kConRv, kScardEUnknownReader}}),
      Row("ReconnectAnswered", kPcscdReconnect, card, nullptr, {}, {{kRecActive, kScardProtocolT0}, {kRecRv, 0}}),
      Row("ReconnectFailed", kPcscdReconnect, card, nullptr, {{kRecCard, kUnknownId}}, {{kRecActive, 0}, {kRecRv, kScardEInvalidHandle}}),
      Row("DisconnectAnswered", kPcscdDisconnect, card, nullptr, {}, {{kDisRv, 0}}),
      Row("DisconnectFailed", kPcscdDisconnect, card, nullptr, {{kDisCard, kUnknownId}}, {{kDisRv, kScardEInvalidHandle}}),
      Row("BeginTransactionAnswered", kPcscdBeginTransaction, card, nullptr, {}, {{kBegRv, 0}}),
      Row("BeginTransactionFailed", kPcscdBeginTransaction, card, nullptr, {{kBegCard, kUnknownId}}, {{kBegRv, kScardEInvalidHandle}}),
      Row("EndTransactionAnswered", kPcscdEndTransaction, Prep::kTransaction, nullptr, {}, {{kDisRv, 0}}),
      // No transaction was begun.
      Row("EndTransactionFailed", kPcscdEndTransaction, card, nullptr, {}, {{kDisRv, kScardENotTransacted}}),
      // No receive PCI came back: the send protocol and length stand in.
      Row("TransmitAnswered", kPcscdTransmit, card, nextChallenge, {}, challenge(3, 8)),
      Row("TransmitFailed", kPcscdTransmit, card, nullptr, {{kTxSendProto, kScardProtocolT0}},
          {{kTxRecv, 0}, {kTxRecvProto, 3}, {kTxRecvPciLen, 8}, {kTxRv, kScardEProtoMismatch}}),
      // Eight-byte context and handle travel whole; a returned PCI is used.
      Row("TransmitWideIdsAndReceivePci", kPcscdTransmit, Prep::kCardWideIds,
          [](Road& r) { r.model.SetReportRecvPci(true); r.model.SetNextChallenge(kChallenge); }, {},
          challenge(kScardProtocolT1, 0)),
      Row("ControlAnswered", kPcscdControl, card, nullptr, {}, {{kCtlReturned, 3}, {kCtlRv, 0}, {kCtlBuffer, Bytes{0xCC, 0xBB, 0xAA}}}),
      Row("ControlFailed", kPcscdControl, card, nullptr, {{kCtlCode, 0x42000FFF}}, {{kCtlReturned, 0}, {kCtlRv, kScardEUnsupportedFeature}}),
      Row("StatusAnswered", kPcscdStatus, card, nullptr, {},
          {{kStName, statusName}, {kStCch, 19}, {kStState, kScardPresent | kScardPowered | kScardSpecific},
           {kStProtocol, kScardProtocolT1}, {kStAtr, atr}, {kStAtrLen, 20}, {kStRv, 0}}),
      // The state still travels with the error; the name does not.
      Row("StatusFailed", kPcscdStatus, card, [](Road& r) { r.model.RemoveCard(kReader0); }, {},
          {{kStState, kScardAbsent}, {kStProtocol, 0}, {kStAtrLen, 0}, {kStRv, kScardWRemovedCard}}),
      Row("CancelAnswered", kPcscdCancel, ctx, nullptr, {}, {{kCtxRv, 0}}),
      Row("CancelFailed", kPcscdCancel, ctx, nullptr, {{kCtxContext, kUnknownId}}, {{kCtxRv, kScardEInvalidHandle}}),
      Row("GetAttribAnswered", kPcscdGetAttrib, card, nullptr, {}, {{kAtValue, Text("Emulated")}, {kAtLen, 8}, {kAtRv, 0}}),
      Row("GetAttribFailed", kPcscdGetAttrib, card, nullptr, {{kAtId, 0x0001FFFF}}, {{kAtLen, 0}, {kAtRv, kScardEUnsupportedFeature}}),
      Row("SetAttribAnswered", kPcscdSetAttrib, card, nullptr, {}, {{kAtRv, 0}}),
      Row("SetAttribFailed", kPcscdSetAttrib, card, nullptr, {{kAtId, kAttrAtrString}}, {{kAtRv, kScardEInvalidParameter}}),
      Row("GetStatusChangeAnswered", kPcscdGetStatusChange, ctx, nullptr, {}, gscAnswer(0, kScardStatePresent | kScardStateChanged)),
      Row("GetStatusChangeFailed", kPcscdGetStatusChange, ctx, nullptr, {{Slot(0, kSlotCurrent), kScardStatePresent}},
          gscAnswer(kScardETimeout, kScardStatePresent)),
  };
  // clang-format on
}

struct Ids {
  uint32_t context = 0;
  uint32_t card = 0;
};

Ids Prepare(Road& road, Prep prep) {
  Ids ids;
  if (prep == Prep::kNone) return ids;
  if (prep == Prep::kCardWideIds) road.model.SetIdLengths(8, 8);
  ids.context = road.OpenContext();
  EXPECT_NE(ids.context, 0u) << "EstablishContext did not succeed";
  if (prep == Prep::kContext) return ids;
  ids.card = road.OpenCard(ids.context);
  EXPECT_NE(ids.card, 0u) << "Connect did not succeed";
  if (prep == Prep::kTransaction) {
    EXPECT_EQ(road.BeginTransaction(ids.context, ids.card), 0u);
  }
  return ids;
}

// Stand-ins replaced by the prepared ids, or by the fresh id the reply
// carries (which must be neither the junk sent nor 0).
Puts Resolve(Puts puts, const Ids& ids, const Bytes& reply = {}) {
  for (Put& p : puts) {
    auto* v = std::get_if<uint32_t>(&p.value);
    if (v && *v == kContext) *v = ids.context;
    if (v && *v == kCard) *v = ids.card;
    if (v && *v == kFresh) {
      *v = Get32(reply, 12 + p.at);
      EXPECT_NE(*v, kJunk);
      EXPECT_NE(*v, 0u);
    }
  }
  return puts;
}

class CommandRoadTest : public ::testing::TestWithParam<Case> {};

TEST_P(CommandRoadTest, DaemonGetsTheWholeReplyWithOnlyTheAnsweredFieldsChanged) {
  const Case& c = GetParam();
  Road road;
  ASSERT_EQ(road.error(), "");
  Ids ids = Prepare(road, c.prep);
  if (c.arrange) c.arrange(road);

  PcscdRecord request = Record(c.command, Resolve(Usual(c.command), ids));
  Apply(request, Resolve(c.change, ids));
  uint32_t size = SentSize(c.command);
  uint32_t id =
      road.Send(c.command, Bytes(request.bytes().begin(), request.bytes().begin() + size), size);
  std::optional<Bytes> reply = road.daemon().AwaitReply(id);
  ASSERT_TRUE(reply) << "no reply";

  // Bytes the daemon did not send (past `size`) come back as zeros.
  PcscdRecord want = request;
  std::fill(want.bytes().begin() + size, want.bytes().end(), 0);
  Apply(want, Resolve(c.expect, ids, *reply));
  EXPECT_EQ(*reply, Frame(id, c.command, size, want.bytes()));
  EXPECT_FALSE(road.daemon().outOfStep());
  EXPECT_EQ(road.client.protocolErrors(), 0u);
}

INSTANTIATE_TEST_SUITE_P(AllCommands, CommandRoadTest, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AnnounceRoadTest, ChannelOpenSendsTheFixedServerCapabilityAndReadsTheClientsGeneralSet) {
  Road road;
  ASSERT_EQ(road.error(), "");
  Bytes expected = {0x72, 0x44, 0x50, 0x53, 0x01, 0x00, 0x00, 0x00,
                    0x01, 0x00, 0x2C, 0x00, 0x02, 0x00, 0x00, 0x00};
  expected.resize(52);
  EXPECT_EQ(road.client.announce(), expected);
  // The client lists a printer set first; the general set is still found.
  EXPECT_TRUE(road.AwaitLog("Client osType is 00000002 and osVersion is 00000a00"));
}

}  // namespace
}  // namespace scredir::tools
