// scredir-pcscd's tables: pcsc-lite's limits and values against the
// installed headers, the Windows-to-pcsc-lite conversions, the framing of
// client messages, and the reader states it publishes.
#include <PCSC/pcsclite.h>
#include <PCSC/reader.h>

#include <cstring>
#include <functional>

#include <gtest/gtest.h>

#include "daemon/convert.h"
#include "daemon/readers.h"
#include "daemon/wire.h"
#include "tools/chain/raw_client.h"

namespace scredir::pcscd {
namespace {

using Bytes = std::vector<uint8_t>;
using W = RemoteFlavour;
using chain::Message;

TEST(DaemonTables, LimitsAndValuesMatchTheInstalledHeaders) {
  const std::pair<uint64_t, uint64_t> rows[] = {
      {wire::kMaxReaderName, MAX_READERNAME},
      {wire::kMaxAtr, MAX_ATR_SIZE},
      {wire::kMaxReaders, PCSCLITE_MAX_READERS_CONTEXTS},
      {wire::kMaxAttr, MAX_BUFFER_SIZE},
      {wire::kMaxExtended, MAX_BUFFER_SIZE_EXTENDED},
      {lite::kEUnsupportedFeature, static_cast<uint32_t>(SCARD_E_UNSUPPORTED_FEATURE)},
      {lite::kENoReadersAvailable, static_cast<uint32_t>(SCARD_E_NO_READERS_AVAILABLE)},
      {lite::kEServiceStopped, static_cast<uint32_t>(SCARD_E_SERVICE_STOPPED)},
      {lite::kEReaderUnavailable, static_cast<uint32_t>(SCARD_E_READER_UNAVAILABLE)},
      {lite::kFCommError, static_cast<uint32_t>(SCARD_F_COMM_ERROR)},
      {lite::kPresent | lite::kPowered | lite::kNegotiable,
       SCARD_PRESENT | SCARD_POWERED | SCARD_NEGOTIABLE},
      {lite::kSwallowed | lite::kSpecific | lite::kUnknown | lite::kAbsent,
       SCARD_SWALLOWED | SCARD_SPECIFIC | SCARD_UNKNOWN | SCARD_ABSENT},
      {lite::kProtocolRaw | lite::kProtocolT15, SCARD_PROTOCOL_RAW | SCARD_PROTOCOL_T15},
      {state::kInUse | state::kExclusive | state::kMute | state::kUnpowered | state::kUnavailable,
       SCARD_STATE_INUSE | SCARD_STATE_EXCLUSIVE | SCARD_STATE_MUTE | SCARD_STATE_UNPOWERED |
           SCARD_STATE_UNAVAILABLE},
      {ControlCodeToRemote(W::kPcscLite, CM_IOCTL_GET_FEATURE_REQUEST), 0x42000D48},
  };
  for (size_t i = 0; i < std::size(rows); ++i)
    EXPECT_EQ(rows[i].first, rows[i].second) << "row " << i;
}

TEST(DaemonTables, RemoteValuesBecomePcscLiteValues) {
  using F = std::function<uint32_t(W, uint32_t)>;
  const F result = ResultToLite, card = CardStateToLite, toLite = ProtocolToLite,
          toRemote = ProtocolToRemote, control = ControlCodeToRemote, scope = ScopeToRemote;
  struct Row {
    const char* what;
    F f;
    uint32_t in, windows, pcsclite;  // expected per flavour
  } rows[] = {
      {"success", result, 0, 0, 0},
      {"removed card passes", result, 0x80100069, 0x80100069, 0x80100069},
      {"Windows unsupported feature", result, 0x80100022, 0x8010001F, 0x80100022},
      {"SCARD_P_SHUTDOWN", result, 0x80100018, 0x8010001E, 0x80100018},
      {"ERROR_INSUFFICIENT_BUFFER", result, 0x7A, 0x80100008, 0x7A},
      {"ERROR_INVALID_HANDLE", result, 6, 0x80100003, 6},
      {"ERROR_NOT_SUPPORTED", result, 0x32, 0x8010001F, 0x32},
      {"unknown code", result, 0x12345678, 0x80100014, 0x12345678},
      {"SCARD_UNKNOWN", card, 0, 0x01, 0},
      {"SCARD_ABSENT", card, 1, 0x02, 1},
      {"SCARD_PRESENT", card, 2, 0x04, 2},
      {"SCARD_SWALLOWED", card, 3, 0x0C, 3},
      {"SCARD_POWERED", card, 4, 0x14, 4},
      {"SCARD_NEGOTIABLE", card, 5, 0x34, 5},
      {"SCARD_SPECIFIC", card, 6, 0x54, 6},
      {"already a bit mask", card, 0x34, 0x34, 0x34},
      {"T1 back", toLite, 2, 2, 2},
      {"raw back", toLite, 0x10000, 4, 0x10000},
      {"T0|T1 out", toRemote, 3, 3, 3},
      {"raw out", toRemote, 4, 0x10000, 4},
      {"old any out", toRemote, 0x1000, 3, 0x1000},
      {"GET_FEATURE_REQUEST", control, 0x42000D48, 0x00313520, 0x42000D48},
      {"Windows control code", control, 0x00313520, 0x00313520, 0x00313520},
      {"global scope", scope, 3, 2, 3},
      {"user scope", scope, 0, 0, 0},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(r.f(W::kWindows, r.in), r.windows) << r.what;
    EXPECT_EQ(r.f(W::kPcscLite, r.in), r.pcsclite) << r.what;
  }
}

Bytes TransmitBody(uint32_t sendLength) {
  Bytes body(wire::off::kTxSize, 0);
  wire::Put32(body, wire::off::kTxSend, sendLength);
  return body;
}

TEST(DaemonTables, ClientMessagesAreFramedByTheirCommand) {
  using S = wire::FrameReader::Status;
  Bytes apdu = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
  Bytes transmit = Message(wire::kTransmit, wire::off::kTxSize, TransmitBody(7));
  transmit.insert(transmit.end(), apdu.begin(), apdu.end());
  struct Row {
    const char* what;
    Bytes bytes;
    S status;
    size_t body, extra;
  } rows[] = {
      {"version", Message(wire::kVersion, 12, Bytes(12, 1)), S::kFrame, 12, 0},
      {"readers state has no body", Message(wire::kGetReadersState, 0), S::kFrame, 0, 0},
      {"transmit carries its APDU", transmit, S::kFrame, 32, 7},
      {"header only", Message(wire::kConnect, 152), S::kNeedMore, 0, 0},
      {"short body", Message(wire::kEstablishContext, 8, Bytes(8)), S::kBad, 0, 0},
      {"oversized body", Message(wire::kStatus, 4096), S::kBad, 0, 0},
      {"size beyond any structure", Message(wire::kConnect, 0x7FFFFFFF), S::kBad, 0, 0},
      {"body on a bodiless command", Message(wire::kWaitReaderStateChange, 8), S::kBad, 0, 0},
      {"list readers is the library's own", Message(wire::kListReaders, 8), S::kBad, 0, 0},
      {"unknown command", Message(0x99, 0), S::kBad, 0, 0},
      {"send bytes beyond the extended buffer",
       Message(wire::kTransmit, 32, TransmitBody(wire::kMaxExtended + 1)), S::kBad, 0, 0},
  };
  for (const Row& r : rows) {
    wire::FrameReader reader;
    S status = S::kNeedMore;
    // Fed in pieces of at most 5 bytes, as a slow socket would.
    for (size_t at = 0; at < r.bytes.size() && status == S::kNeedMore;) {
      std::span<uint8_t> space = reader.Space();
      size_t n = std::min({space.size(), r.bytes.size() - at, size_t{5}});
      std::memcpy(space.data(), r.bytes.data() + at, n);
      at += n;
      status = reader.Received(n);
    }
    EXPECT_EQ(status, r.status) << r.what << ": " << reader.error();
    if (status != S::kFrame) continue;
    EXPECT_EQ(reader.body().size(), r.body) << r.what;
    EXPECT_EQ(Bytes(reader.extra().begin(), reader.extra().end()), r.extra ? apdu : Bytes())
        << r.what;
  }
}

// One reader's published slot, written from the client library's layout.
Bytes Slot(const std::string& name, uint32_t counter, uint32_t cardState, int32_t sharing,
           const Bytes& atr, uint32_t protocol) {
  Bytes s(184, 0);
  std::memcpy(s.data(), name.data(), name.size());
  std::memcpy(s.data() + 128, &counter, 4);
  std::memcpy(s.data() + 132, &cardState, 4);
  std::memcpy(s.data() + 136, &sharing, 4);
  if (!atr.empty()) std::memcpy(s.data() + 140, atr.data(), atr.size());
  const uint32_t atrLength = static_cast<uint32_t>(atr.size());
  std::memcpy(s.data() + 176, &atrLength, 4);
  std::memcpy(s.data() + 180, &protocol, 4);
  return s;
}

TEST(DaemonTables, PublishedReaderStatesFollowTheRemoteEvents) {
  const Bytes atr = {0x3B, 0x95, 0x13, 0x81, 0x01, 0x80, 0x73, 0xFF, 0x01, 0x00, 0x0B};
  const Bytes other = {0x3B, 0x00};
  const Bytes empty;
  ReaderTable table;
  table.SetReaders({"B reader", "A reader"});
  EXPECT_EQ(table.Publish(), Bytes(wire::kReaderStatesBytes, 0)) << "no state known yet";
  EXPECT_FALSE(table.SetReaders({"B reader", "A reader"}));

  struct Step {
    const char* what;
    std::function<void()> act;
    Bytes slot0;  // "B reader", the first listed
  } steps[] = {
      {"card present, another application on it",
       [&] {
         table.ApplyEvent("B reader",
                          0x00010000 | state::kPresent | state::kInUse | state::kChanged, atr);
       },
       Slot("B reader", 0, 0x34, 1, atr, 0)},
      {"connected with T=1", [&] { table.SetProtocol("B reader", 2); },
       Slot("B reader", 0, 0x34, 1, atr, 2)},
      {"Status refines the state", [&] { table.ApplyStatus("B reader", 0x54, 2, atr); },
       Slot("B reader", 0, 0x54, 1, atr, 2)},
      {"removed", [&] { table.ApplyEvent("B reader", 0x00020000 | state::kEmpty, empty); },
       Slot("B reader", 1, 0x02, 0, empty, 0)},
      {"a Status cannot bring a card back", [&] { table.ApplyStatus("B reader", 0x54, 2, atr); },
       Slot("B reader", 1, 0x02, 0, empty, 0)},
      {"a mute card, held exclusively",
       [&] {
         table.ApplyEvent("B reader",
                          0x00030000 | state::kPresent | state::kMute | state::kExclusive, empty);
       },
       Slot("B reader", 2, 0x0C, -1, empty, 0)},
      {"another card between two waits",
       [&] { table.ApplyEvent("B reader", 0x00050000 | state::kPresent, other); },
       Slot("B reader", 3, 0x34, 0, other, 0)},
      {"nothing new", [&] { table.ApplyEvent("B reader", 0x00050000 | state::kPresent, other); },
       Slot("B reader", 3, 0x34, 0, other, 0)},
      {"reader unavailable",
       [&] { table.ApplyEvent("B reader", 0x00050000 | state::kUnavailable, empty); },
       Slot("B reader", 4, 0x01, 0, empty, 0)},
  };
  for (const Step& step : steps) {
    step.act();
    Bytes want = step.slot0;
    want.resize(wire::kReaderStatesBytes, 0);  // "A reader" has no state yet
    EXPECT_EQ(table.Publish(), want) << step.what;
  }
  EXPECT_EQ(table.KnownEventState("B reader"), 0x00050000u | state::kUnavailable);

  // "A reader" appears in the second slot once known; dropping "B reader"
  // frees the first, which a new reader then takes.
  table.ApplyEvent("A reader", state::kEmpty, empty);
  EXPECT_TRUE(table.SetReaders({"A reader", "C reader"}));
  table.ApplyEvent("C reader", state::kEmpty, empty);
  Bytes want = Slot("C reader", 0, 0x02, 0, empty, 0);
  Bytes second = Slot("A reader", 0, 0x02, 0, empty, 0);
  want.insert(want.end(), second.begin(), second.end());
  want.resize(wire::kReaderStatesBytes, 0);
  EXPECT_EQ(table.Publish(), want);
  EXPECT_EQ(table.Names(), (std::vector<std::string>{"C reader", "A reader"}));
  EXPECT_FALSE(table.Has("B reader"));

  // Names pcsc-lite cannot carry and readers beyond its 16 slots stay out.
  std::vector<std::string> many = {std::string(128, 'x')};
  for (int i = 0; i < 20; ++i) many.push_back("R" + std::to_string(i));
  table.SetReaders(many);
  EXPECT_EQ(table.Names().size(), wire::kMaxReaders);
  EXPECT_EQ(table.Names().front(), "R0");
}

}  // namespace
}  // namespace scredir::pcscd
