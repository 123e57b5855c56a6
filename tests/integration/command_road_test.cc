// Every daemon command over the whole road, answered and failed: the reply
// the daemon gets is compared whole against the request with exactly the
// fields the card's answer should change.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>

#include "tests/integration/road.h"

namespace scredir::tools {
namespace {

constexpr uint32_t kJunk = 0xA5A5A5A5;   // in "out" fields: must be overwritten
constexpr uint32_t kUnknownId = 0x1234;  // an id the plug-in never handed out
const Bytes kChallenge = {1, 2, 3, 4, 5, 6, 7, 8};

enum class Prep { kContext, kCard, kTransaction, kNone };
struct Ids {
  uint32_t context = 0;
  uint32_t card = 0;
};

struct Variant {
  Prep prep;
  std::function<void(Road&)> arrange;  // may be empty
  std::function<PcscdRecord(const Ids&)> request;
  uint32_t size;  // bytes sent after the header; 0: the whole record
  // Turns the request into the expected reply record; `reply` supplies the
  // fresh ids the plug-in hands out.
  std::function<void(PcscdRecord&, const Ids&, const Bytes& reply)> expect;
};

struct Case {
  const char* name;
  uint32_t command;
  Variant answered;
  Variant failed;
};

// Keeps gtest from dumping the table row as raw bytes.
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

Bytes Junk(size_t n) {
  return Bytes(n, 0x5A);
}
Bytes Text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}
Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A fresh id in the reply: neither the junk sent nor 0.
uint32_t FreshId(const Bytes& reply, size_t offset) {
  uint32_t id = Get32(reply, 12 + offset);
  EXPECT_NE(id, kJunk);
  EXPECT_NE(id, 0u);
  return id;
}

PcscdRecord ContextOnly(uint32_t command, uint32_t context) {
  PcscdRecord r(command);
  r.Put32(off::kCtxContext, context).Put32(off::kCtxRv, kJunk);
  return r;
}

PcscdRecord Disposition(uint32_t command, const Ids& ids, uint32_t card) {
  PcscdRecord r(command);
  r.Put32(off::kDisContext, ids.context).Put32(off::kDisCard, card).Put32(off::kDisRv, kJunk);
  return r;
}

PcscdRecord Transmit(const Ids& ids, uint32_t sendProtocol) {
  PcscdRecord r(kPcscdTransmit);
  r.Put32(off::kTxContext, ids.context)
      .Put32(off::kTxCard, ids.card)
      .Put32(off::kTxSend, 5)
      .Put32(off::kTxRecv, 258)
      .Put32(off::kTxSendProto, sendProtocol)
      .Put32(off::kTxSendPciLen, 8)
      .Put32(off::kTxRecvProto, kJunk)
      .Put32(off::kTxRecvPciLen, kJunk)
      .Put32(off::kTxRv, kJunk)
      .PutBytes(off::kTxBuffer, {0x00, 0x84, 0x00, 0x00, 0x08});  // GET CHALLENGE
  return r;
}

PcscdRecord Control(const Ids& ids, uint32_t code) {
  PcscdRecord r(kPcscdControl);
  r.Put32(off::kCtlContext, ids.context)
      .Put32(off::kCtlCard, ids.card)
      .Put32(off::kCtlCode, code)
      .Put32(off::kCtlSend, 3)
      .Put32(off::kCtlRecv, 100)
      .Put32(off::kCtlReturned, kJunk)
      .Put32(off::kCtlRv, kJunk)
      .PutBytes(off::kCtlBuffer, {0xAA, 0xBB, 0xCC});
  return r;
}

PcscdRecord Status(const Ids& ids) {
  PcscdRecord r(kPcscdStatus);
  r.Put32(off::kStContext, ids.context)
      .Put32(off::kStCard, ids.card)
      .PutBytes(off::kStName, Junk(128))
      .Put32(off::kStCch, 128)
      .Put32(off::kStState, kJunk)
      .Put32(off::kStProtocol, kJunk)
      .PutBytes(off::kStAtr, Junk(36))
      .Put32(off::kStAtrLen, 36)
      .Put32(off::kStRv, kJunk);
  return r;
}

PcscdRecord Attrib(uint32_t command, const Ids& ids, uint32_t attrId, const Bytes& value,
                   uint32_t length) {
  PcscdRecord r(command);
  r.Put32(off::kAtContext, ids.context)
      .Put32(off::kAtCard, ids.card)
      .Put32(off::kAtId, attrId)
      .PutBytes(off::kAtValue, value)
      .Put32(off::kAtLen, length)
      .Put32(off::kAtRv, kJunk);
  return r;
}

// Two slots in use (reader 0 with a card, reader 1 empty) and a third slot
// that must come back untouched.
PcscdRecord StatusChange(const Ids& ids, uint32_t reader0Believed) {
  PcscdRecord r(kPcscdGetStatusChange);
  r.Put32(off::kGscContext, ids.context).Put32(off::kGscTimeout, 0).Put32(off::kGscCount, 2);
  const std::string names[3] = {kReader0, kReader1, "Spare slot"};
  const uint32_t believed[3] = {reader0Believed, kScardStateEmpty, kJunk};
  for (size_t i = 0; i < 3; ++i) {
    size_t slot = off::kGscStates + i * off::kSlotSize;
    r.PutString(slot, names[i])
        .Put32(slot + off::kSlotCurrent, believed[i])
        .Put32(slot + off::kSlotEvent, kJunk)
        .Put32(slot + off::kSlotAtrLen, 0)
        .PutBytes(slot + off::kSlotAtr, Junk(36));
  }
  r.Put32(off::kGscRv, kJunk);
  return r;
}

void ExpectSlot(PcscdRecord& want, size_t i, uint32_t event, const Bytes& atr) {
  size_t slot = off::kGscStates + i * off::kSlotSize;
  want.Put32(slot + off::kSlotEvent, event)
      .Put32(slot + off::kSlotAtrLen, static_cast<uint32_t>(atr.size()))
      .PutBytes(slot + off::kSlotAtr, atr);
}

auto Rv(size_t offset, uint32_t rv) {
  return [offset, rv](PcscdRecord& want, const Ids&, const Bytes&) { want.Put32(offset, rv); };
}

std::vector<Case> Cases() {
  const Bytes& atr = CardModel::kDefaultAtr;
  const Bytes bothReaders = Cat(Cat(Text(kReader0), {0}), Cat(Text(kReader1), {0, 0}));
  return {
      {"EstablishContext",
       kPcscdEstablishContext,
       {Prep::kNone, nullptr,
        [](const Ids&) {
          PcscdRecord r(kPcscdEstablishContext);
          r.Put32(off::kEstScope, 0).Put32(off::kEstContext, kJunk).Put32(off::kEstRv, kJunk);
          return r;
        },
        0,
        [](PcscdRecord& want, const Ids&, const Bytes& reply) {
          want.Put32(off::kEstContext, FreshId(reply, off::kEstContext)).Put32(off::kEstRv, 0);
        }},
       {Prep::kNone,
        [](Road& road) { road.model.FailNext(CardCall::kEstablishContext, kScardENoService); },
        [](const Ids&) {
          PcscdRecord r(kPcscdEstablishContext);
          r.Put32(off::kEstScope, 0).Put32(off::kEstContext, kJunk).Put32(off::kEstRv, kJunk);
          return r;
        },
        0, Rv(off::kEstRv, kScardENoService)}},
      {"ReleaseContext",
       kPcscdReleaseContext,
       {Prep::kContext, nullptr,
        [](const Ids& ids) { return ContextOnly(kPcscdReleaseContext, ids.context); }, 0,
        Rv(off::kCtxRv, 0)},
       {Prep::kContext, nullptr,
        [](const Ids&) { return ContextOnly(kPcscdReleaseContext, kUnknownId); }, 0,
        Rv(off::kCtxRv, kScardEInvalidHandle)}},
      {"ListReaders",
       kPcscdListReaders,
       {Prep::kContext, nullptr,
        [](const Ids& ids) {
          PcscdRecord r(kPcscdListReaders);
          r.Put32(off::kLrContext, ids.context)
              .Put32(off::kLrGroups, 0)
              .PutBytes(off::kLrGroupPtr, Junk(8))
              .Put32(off::kLrCch, 8192)
              .PutBytes(off::kLrMsz, Junk(64))
              .Put32(off::kLrRv, kJunk);
          return r;
        },
        0,
        [bothReaders](PcscdRecord& want, const Ids&, const Bytes&) {
          want.PutBytes(off::kLrMsz, bothReaders)
              .Put32(off::kLrCch, static_cast<uint32_t>(bothReaders.size()))
              .Put32(off::kLrRv, 0);
        }},
       {Prep::kContext, nullptr,
        [](const Ids&) {
          PcscdRecord r(kPcscdListReaders);
          r.Put32(off::kLrContext, kUnknownId)
              .Put32(off::kLrCch, 8192)
              .PutBytes(off::kLrMsz, Junk(64))
              .Put32(off::kLrRv, kJunk);
          return r;
        },
        0, Rv(off::kLrRv, kScardEInvalidHandle)}},
      {"Connect",
       kPcscdConnect,
       {Prep::kContext, nullptr,
        [](const Ids& ids) {
          PcscdRecord r(kPcscdConnect);
          r.Put32(off::kConContext, ids.context)
              .PutString(off::kConReader, kReader0)
              .Put32(off::kConShare, 2)
              .Put32(off::kConPreferred, 3)
              .Put32(off::kConCard, kJunk)
              .Put32(off::kConActive, kJunk)
              .Put32(off::kConRv, kJunk);
          return r;
        },
        0,
        [](PcscdRecord& want, const Ids&, const Bytes& reply) {
          want.Put32(off::kConCard, FreshId(reply, off::kConCard))
              .Put32(off::kConActive, kScardProtocolT1)
              .Put32(off::kConRv, 0);
        }},
       {Prep::kContext, nullptr,
        [](const Ids& ids) {
          PcscdRecord r(kPcscdConnect);
          r.Put32(off::kConContext, ids.context)
              .PutString(off::kConReader, "No Such Reader")
              .Put32(off::kConShare, 2)
              .Put32(off::kConPreferred, 3)
              .Put32(off::kConCard, kJunk)
              .Put32(off::kConActive, kJunk)
              .Put32(off::kConRv, kJunk);
          return r;
        },
        0,
        [](PcscdRecord& want, const Ids&, const Bytes&) {
          want.Put32(off::kConCard, 0).Put32(off::kConRv, kScardEUnknownReader);
        }}},
      {"Reconnect",
       kPcscdReconnect,
       {Prep::kCard, nullptr,
        [](const Ids& ids) {
          PcscdRecord r(kPcscdReconnect);
          r.Put32(off::kRecContext, ids.context)
              .Put32(off::kRecCard, ids.card)
              .Put32(off::kRecShare, 2)
              .Put32(off::kRecPreferred, kScardProtocolT0)
              .Put32(off::kRecInit, 1)
              .Put32(off::kRecActive, kJunk)
              .Put32(off::kRecRv, kJunk);
          return r;
        },
        0,
        [](PcscdRecord& want, const Ids&, const Bytes&) {
          want.Put32(off::kRecActive, kScardProtocolT0).Put32(off::kRecRv, 0);
        }},
       {Prep::kCard, nullptr,
        [](const Ids& ids) {
          PcscdRecord r(kPcscdReconnect);
          r.Put32(off::kRecContext, ids.context)
              .Put32(off::kRecCard, kUnknownId)
              .Put32(off::kRecShare, 2)
              .Put32(off::kRecPreferred, kScardProtocolT0)
              .Put32(off::kRecActive, kJunk)
              .Put32(off::kRecRv, kJunk);
          return r;
        },
        0,
        [](PcscdRecord& want, const Ids&, const Bytes&) {
          want.Put32(off::kRecActive, 0).Put32(off::kRecRv, kScardEInvalidHandle);
        }}},
      {"Disconnect",
       kPcscdDisconnect,
       {Prep::kCard, nullptr,
        [](const Ids& ids) { return Disposition(kPcscdDisconnect, ids, ids.card); }, 0,
        Rv(off::kDisRv, 0)},
       {Prep::kCard, nullptr,
        [](const Ids& ids) { return Disposition(kPcscdDisconnect, ids, kUnknownId); }, 0,
        Rv(off::kDisRv, kScardEInvalidHandle)}},
      {"BeginTransaction",
       kPcscdBeginTransaction,
       {Prep::kCard, nullptr,
        [](const Ids& ids) {
          PcscdRecord r(kPcscdBeginTransaction);
          r.Put32(off::kBegContext, ids.context)
              .Put32(off::kBegCard, ids.card)
              .Put32(off::kBegRv, kJunk);
          return r;
        },
        0, Rv(off::kBegRv, 0)},
       {Prep::kCard, nullptr,
        [](const Ids& ids) {
          PcscdRecord r(kPcscdBeginTransaction);
          r.Put32(off::kBegContext, ids.context)
              .Put32(off::kBegCard, kUnknownId)
              .Put32(off::kBegRv, kJunk);
          return r;
        },
        0, Rv(off::kBegRv, kScardEInvalidHandle)}},
      {"EndTransaction",
       kPcscdEndTransaction,
       {Prep::kTransaction, nullptr,
        [](const Ids& ids) { return Disposition(kPcscdEndTransaction, ids, ids.card); }, 0,
        Rv(off::kDisRv, 0)},
       {Prep::kCard, nullptr,  // no transaction was begun
        [](const Ids& ids) { return Disposition(kPcscdEndTransaction, ids, ids.card); }, 0,
        Rv(off::kDisRv, kScardENotTransacted)}},
      {"Transmit",
       kPcscdTransmit,
       {Prep::kCard, [](Road& road) { road.model.SetNextChallenge(kChallenge); },
        [](const Ids& ids) { return Transmit(ids, kScardProtocolT1); }, 36 + 5,
        [](PcscdRecord& want, const Ids&, const Bytes&) {
          want.Put32(off::kTxRecv, 10)
              .Put32(off::kTxRecvProto, 3)  // no receive PCI came back
              .Put32(off::kTxRecvPciLen, 8)
              .Put32(off::kTxRv, 0)
              .PutBytes(off::kTxBuffer, Cat(kChallenge, {0x90, 0x00}));
        }},
       {Prep::kCard, nullptr, [](const Ids& ids) { return Transmit(ids, kScardProtocolT0); },
        36 + 5,
        [](PcscdRecord& want, const Ids&, const Bytes&) {
          want.Put32(off::kTxRecv, 0)
              .Put32(off::kTxRecvProto, 3)
              .Put32(off::kTxRecvPciLen, 8)
              .Put32(off::kTxRv, kScardEProtoMismatch);
        }}},
      {"Control",
       kPcscdControl,
       {Prep::kCard, nullptr, [](const Ids& ids) { return Control(ids, kControlReverse); }, 28 + 3,
        [](PcscdRecord& want, const Ids&, const Bytes&) {
          want.Put32(off::kCtlReturned, 3)
              .Put32(off::kCtlRv, 0)
              .PutBytes(off::kCtlBuffer, {0xCC, 0xBB, 0xAA});
        }},
       {Prep::kCard, nullptr, [](const Ids& ids) { return Control(ids, 0x42000FFF); }, 28 + 3,
        [](PcscdRecord& want, const Ids&, const Bytes&) {
          want.Put32(off::kCtlReturned, 0).Put32(off::kCtlRv, kScardEUnsupportedFeature);
        }}},
      {"Status",
       kPcscdStatus,
       {Prep::kCard, nullptr, Status, 0,
        [atr](PcscdRecord& want, const Ids&, const Bytes&) {
          Bytes name = Cat(Text(kReader0), {0, 0});
          want.PutBytes(off::kStName, name)
              .Put32(off::kStCch, static_cast<uint32_t>(name.size()))
              .Put32(off::kStState, kScardSpecific)
              .Put32(off::kStProtocol, kScardProtocolT1)
              .PutBytes(off::kStAtr, atr)
              .Put32(off::kStAtrLen, static_cast<uint32_t>(atr.size()))
              .Put32(off::kStRv, 0);
        }},
       {Prep::kCard, [](Road& road) { road.model.RemoveCard(kReader0); }, Status, 0,
        [](PcscdRecord& want, const Ids&, const Bytes&) {
          // The state still travels with the error; the name does not.
          want.Put32(off::kStState, kScardAbsent)
              .Put32(off::kStProtocol, 0)
              .Put32(off::kStAtrLen, 0)
              .Put32(off::kStRv, kScardWRemovedCard);
        }}},
      {"Cancel",
       kPcscdCancel,
       {Prep::kContext, nullptr,
        [](const Ids& ids) { return ContextOnly(kPcscdCancel, ids.context); }, 0,
        Rv(off::kCtxRv, 0)},
       {Prep::kContext, nullptr, [](const Ids&) { return ContextOnly(kPcscdCancel, kUnknownId); },
        0, Rv(off::kCtxRv, kScardEInvalidHandle)}},
      {"GetAttrib",
       kPcscdGetAttrib,
       {Prep::kCard, nullptr,
        [](const Ids& ids) {
          return Attrib(kPcscdGetAttrib, ids, kAttrVendorName, Junk(264), 264);
        },
        0,
        [](PcscdRecord& want, const Ids&, const Bytes&) {
          want.PutBytes(off::kAtValue, Text("Emulated")).Put32(off::kAtLen, 8).Put32(off::kAtRv, 0);
        }},
       {Prep::kCard, nullptr,
        [](const Ids& ids) { return Attrib(kPcscdGetAttrib, ids, 0x0001FFFF, Junk(264), 264); }, 0,
        [](PcscdRecord& want, const Ids&, const Bytes&) {
          want.Put32(off::kAtLen, 0).Put32(off::kAtRv, kScardEUnsupportedFeature);
        }}},
      {"SetAttrib",
       kPcscdSetAttrib,
       {Prep::kCard, nullptr,
        [](const Ids& ids) { return Attrib(kPcscdSetAttrib, ids, 0x00077777, Text("xyz"), 3); }, 0,
        Rv(off::kAtRv, 0)},
       {Prep::kCard, nullptr,
        [](const Ids& ids) { return Attrib(kPcscdSetAttrib, ids, kAttrAtrString, Text("x"), 1); },
        0, Rv(off::kAtRv, kScardEInvalidParameter)}},
      {"GetStatusChange",
       kPcscdGetStatusChange,
       {Prep::kContext, nullptr, [](const Ids& ids) { return StatusChange(ids, kScardStateEmpty); },
        0,
        [atr](PcscdRecord& want, const Ids&, const Bytes&) {
          want.Put32(off::kGscCount, 2).Put32(off::kGscRv, 0);
          ExpectSlot(want, 0, kScardStatePresent | kScardStateChanged, atr);
          ExpectSlot(want, 1, kScardStateEmpty, {});
        }},
       {Prep::kContext, nullptr,
        [](const Ids& ids) { return StatusChange(ids, kScardStatePresent); }, 0,
        [atr](PcscdRecord& want, const Ids&, const Bytes&) {
          want.Put32(off::kGscCount, 2).Put32(off::kGscRv, kScardETimeout);
          ExpectSlot(want, 0, kScardStatePresent, atr);
          ExpectSlot(want, 1, kScardStateEmpty, {});
        }}},
  };
}

Ids Prepare(Road& road, Prep prep) {
  Ids ids;
  if (prep == Prep::kNone) return ids;
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

class CommandRoadTest : public ::testing::TestWithParam<std::tuple<Case, bool>> {};

TEST_P(CommandRoadTest, DaemonGetsTheWholeReplyWithOnlyTheAnsweredFieldsChanged) {
  const auto& [c, answered] = GetParam();
  const Variant& v = answered ? c.answered : c.failed;
  Road road;
  ASSERT_EQ(road.error(), "");
  Ids ids = Prepare(road, v.prep);
  if (v.arrange) v.arrange(road);

  PcscdRecord request = v.request(ids);
  uint32_t size = v.size ? v.size : static_cast<uint32_t>(request.bytes().size());
  Bytes sent(request.bytes().begin(), request.bytes().begin() + size);
  uint32_t id = road.Send(c.command, sent, size);
  std::optional<Bytes> reply = road.daemon->AwaitReply(id);
  ASSERT_TRUE(reply) << "no reply";

  // Bytes the daemon did not send (past `size`) come back as zeros.
  PcscdRecord want = request;
  std::fill(want.bytes().begin() + size, want.bytes().end(), 0);
  v.expect(want, ids, *reply);
  EXPECT_EQ(*reply, Frame(id, c.command, size, want.bytes()));
  EXPECT_FALSE(road.daemon->outOfStep());
  EXPECT_EQ(road.client.protocolErrors(), 0u);
}

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

TEST(VariantRoadTest, EightByteIdsAndAReceivePciTravelWhole) {
  Road road;
  ASSERT_EQ(road.error(), "");
  road.model.SetIdLengths(8, 8);
  road.model.SetReportRecvPci(true);
  road.model.SetNextChallenge(kChallenge);
  Ids ids = Prepare(road, Prep::kCard);
  PcscdRecord request = Transmit(ids, kScardProtocolT1);
  Bytes sent(request.bytes().begin(), request.bytes().begin() + 41);
  uint32_t id = road.Send(kPcscdTransmit, sent, 41);
  std::optional<Bytes> reply = road.daemon->AwaitReply(id);
  ASSERT_TRUE(reply);
  PcscdRecord want = request;
  want.Put32(off::kTxRecv, 10)
      .Put32(off::kTxRecvProto, kScardProtocolT1)  // from the returned PCI
      .Put32(off::kTxRecvPciLen, 0)
      .Put32(off::kTxRv, 0)
      .PutBytes(off::kTxBuffer, Cat(kChallenge, {0x90, 0x00}));
  EXPECT_EQ(*reply, Frame(id, kPcscdTransmit, 41, want.bytes()));
}

INSTANTIATE_TEST_SUITE_P(AllCommands, CommandRoadTest,
                         ::testing::Combine(::testing::ValuesIn(Cases()), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "Answered" : "Failed");
                         });

}  // namespace
}  // namespace scredir::tools
