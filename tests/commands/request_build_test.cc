// Daemon records -> encoded smart-card calls, and the entry points' checks.
#include "scredir/request_build.h"

#include <algorithm>
#include <cstddef>
#include <functional>

#include "scredir/names.h"

#include "tests/commands/commands_test_util.h"
#include "tests/commands/fake_engine.h"

namespace cmdtest {
namespace {

uint8_t kCtxBytes[4] = {0xA1, 0xA2, 0xA3, 0xA4};
uint8_t kCardBytes[4] = {0xB1, 0xB2, 0xB3, 0xB4};
uint32_t g_ctx = 0;
uint32_t g_card = 0;

REDIR_SCARDCONTEXT Ctx() {
  return {4, kCtxBytes};
}
REDIR_SCARDHANDLE Card() {
  return {Ctx(), 4, kCardBytes};
}

class RequestBuild : public CommandsTest {
 protected:
  void SetUp() override {
    CommandsTest::SetUp();
    Register();
    g_redirected.clear();
    g_redirectStatus = 0;
  }
  // Fresh maps holding one context and one card handle.
  void Register() {
    ScRedirQrn_MapsDestroy();
    ScRedirQrn_MapsCreate();
    uint32_t protocol = 0;
    ASSERT_EQ(ScRedirQrn_RegisterContext(0, 4, kCtxBytes, &g_ctx), 0u);
    ASSERT_EQ(ScRedirQrn_RegisterHandle(0, 4, kCardBytes, 1, &g_card, &protocol), 0u);
    Take();
  }
  // Builds the request for `record`; returns the encoded call (empty on
  // failure) and leaves the status in status_.
  Bytes Build(uint32_t command, const Bytes& record, uint32_t id = 7) {
    const PcscdCommand* row = ScRedirQrn_FindCommand(command);
    ScRedirIoRequest* request = nullptr;
    status_ = ScRedirQrn_GetIORequest(row->ioControlCode, id, record.data(), &request);
    Bytes out;
    if (status_ == 0) {
      EXPECT_EQ(request->completionId, id);
      EXPECT_EQ(request->ioControlCode, row->ioControlCode);
      EXPECT_EQ(request->outputLength, 2048u);
      out.assign(request->input, request->input + request->inputLength);
    }
    ScRedirQrn_FreeIORequest(request);
    return out;
  }
  uint32_t status_ = 0;
};

Bytes Record(uint32_t command) {
  return Patterned(ScRedirQrn_FindCommand(command)->recordBytes);
}

// UTF-16 copy of an 8-bit name as the request builder widens it.
struct WideName {
  explicit WideName(const char* s) {
    for (size_t i = 0; s[i]; ++i)
      units[i] = static_cast<uint16_t>(static_cast<int16_t>(static_cast<int8_t>(s[i])));
  }
  uint16_t units[128] = {};
};

struct CallCase {
  const char* name;
  uint32_t command;
  std::function<void(Bytes&)> fill;
  std::function<Bytes()> expected;
};

TEST_F(RequestBuild, EveryCommandEncodesTheCallItsFieldsDescribe) {
  static WideName readerA("Reader A"), readerB("\xE9t\xE9");
  static uint8_t apdu[5] = {0x00, 0xA4, 0x04, 0x00, 0x00};
  static uint8_t value[3] = {'a', 'b', 'c'};
  static Bytes allReaders = Utf16(std::string("SCard$AllReaders\0\0", 18));
  const std::vector<CallCase> cases = {
      {"EstablishContext", PCSCD_ESTABLISH_CONTEXT,
       [](Bytes& r) { PutU32(r, offsetof(EstablishContextMsg, dwScope), 2); },
       [] { return Encode(EstablishContext_Call_Encode, EstablishContext_Call{2}); }},
      {"ReleaseContext", PCSCD_RELEASE_CONTEXT, [](Bytes& r) { PutU32(r, 0, g_ctx); },
       [] { return Encode(Context_Call_Encode, Context_Call{Ctx()}); }},
      {"Cancel", PCSCD_CANCEL, [](Bytes& r) { PutU32(r, 0, g_ctx); },
       [] { return Encode(Context_Call_Encode, Context_Call{Ctx()}); }},
      {"ListReadersAllGroups", PCSCD_LIST_READERS,
       [](Bytes& r) {
         PutU32(r, 0, g_ctx);
         PutU32(r, offsetof(ListReadersMsg, cbGroups), 0);
         PutU32(r, offsetof(ListReadersMsg, cchReaders), 0xFFFFFFFF);
       },
       [] {
         return Encode(ListReaders_Call_Encode,
                       ListReaders_Call{Ctx(), 36, allReaders.data(), 0, 0xFFFFFFFF});
       }},
      // The daemon's group list is a foreign pointer: all readers are asked for.
      {"ListReadersForeignGroups", PCSCD_LIST_READERS,
       [](Bytes& r) {
         PutU32(r, 0, g_ctx);
         PutU32(r, offsetof(ListReadersMsg, cbGroups), 12);
         PutU32(r, offsetof(ListReadersMsg, cchReaders), 100);
       },
       [] {
         return Encode(ListReaders_Call_Encode,
                       ListReaders_Call{Ctx(), 36, allReaders.data(), 0, 100});
       }},
      {"Connect", PCSCD_CONNECT,
       [](Bytes& r) {
         PutU32(r, 0, g_ctx);
         std::memset(r.data() + offsetof(ConnectMsg, szReader), 0, 128);
         PutText(r, offsetof(ConnectMsg, szReader), "Reader A");
         PutU32(r, offsetof(ConnectMsg, dwShareMode), 2);
         PutU32(r, offsetof(ConnectMsg, dwPreferredProtocols), 3);
       },
       [] {
         return Encode(ConnectW_Call_Encode, ConnectW_Call{readerA.units, {Ctx(), 2, 3}});
       }},
      {"Reconnect", PCSCD_RECONNECT,
       [](Bytes& r) {
         PutU32(r, 0, g_ctx);
         PutU32(r, 4, g_card);
         PutU32(r, 8, 2);
         PutU32(r, 12, 3);
         PutU32(r, 16, 1);
       },
       [] {
         return Encode(Reconnect_Call_Encode, Reconnect_Call{Card(), 2, 3, 1});
       }},
      {"Disconnect", PCSCD_DISCONNECT,
       [](Bytes& r) {
         PutU32(r, 0, g_ctx);
         PutU32(r, 4, g_card);
         PutU32(r, 8, 1);
       },
       [] {
         return Encode(HCardAndDisposition_Call_Encode, HCardAndDisposition_Call{Card(), 1});
       }},
      // BeginTransaction has no disposition field; 0 goes out whatever follows hCard.
      {"BeginTransaction", PCSCD_BEGIN_TRANSACTION,
       [](Bytes& r) {
         PutU32(r, 0, g_ctx);
         PutU32(r, 4, g_card);
       },
       [] {
         return Encode(HCardAndDisposition_Call_Encode, HCardAndDisposition_Call{Card(), 0});
       }},
      {"EndTransaction", PCSCD_END_TRANSACTION,
       [](Bytes& r) {
         PutU32(r, 0, g_ctx);
         PutU32(r, 4, g_card);
         PutU32(r, 8, 2);
       },
       [] {
         return Encode(HCardAndDisposition_Call_Encode, HCardAndDisposition_Call{Card(), 2});
       }},
      {"Status", PCSCD_STATUS,
       [](Bytes& r) {
         PutU32(r, 0, g_ctx);
         PutU32(r, 4, g_card);
         PutU32(r, offsetof(StatusMsg, cchReaderLen), 128);
         PutU32(r, offsetof(StatusMsg, cbAtrLen), 36);
       },
       [] {
         return Encode(Status_Call_Encode, Status_Call{Card(), 0, 128, 36});
       }},
      {"Transmit", PCSCD_TRANSMIT,
       [](Bytes& r) {
         PutU32(r, 0, g_ctx);
         PutU32(r, 4, g_card);
         PutU32(r, offsetof(TransmitMsg, cbSendLength), 5);
         PutU32(r, offsetof(TransmitMsg, cbRecvLength), 258);
         PutU32(r, offsetof(TransmitMsg, ioSendPciProtocol), 2);
         std::memcpy(r.data() + offsetof(TransmitMsg, pbBuffer), apdu, 5);
       },
       [] {
         return Encode(Transmit_Call_Encode,
                       Transmit_Call{Card(), {2, 0, nullptr}, 5, apdu, nullptr, 0, 258});
       }},
      {"TransmitNothingToSend", PCSCD_TRANSMIT,
       [](Bytes& r) {
         PutU32(r, 0, g_ctx);
         PutU32(r, 4, g_card);
         PutU32(r, offsetof(TransmitMsg, cbSendLength), 0);
         PutU32(r, offsetof(TransmitMsg, cbRecvLength), 2);
         PutU32(r, offsetof(TransmitMsg, ioSendPciProtocol), 1);
       },
       [] {
         return Encode(Transmit_Call_Encode,
                       Transmit_Call{Card(), {1, 0, nullptr}, 0, nullptr, nullptr, 0, 2});
       }},
      {"Control", PCSCD_CONTROL,
       [](Bytes& r) {
         PutU32(r, 0, g_ctx);
         PutU32(r, 4, g_card);
         PutU32(r, offsetof(ControlMsg, dwControlCode), 0x42000D48);
         PutU32(r, offsetof(ControlMsg, cbSendLength), 3);
         PutU32(r, offsetof(ControlMsg, cbRecvLength), 100);
         std::memcpy(r.data() + offsetof(ControlMsg, pbBuffer), value, 3);
       },
       [] {
         return Encode(Control_Call_Encode, Control_Call{Card(), 0x42000D48, 3, value, 0, 100});
       }},
      {"GetAttrib", PCSCD_GET_ATTRIB,
       [](Bytes& r) {
         PutU32(r, 0, g_ctx);
         PutU32(r, 4, g_card);
         PutU32(r, offsetof(AttribMsg, dwAttrId), 0x00090303);
         PutU32(r, offsetof(AttribMsg, cbAttrLen), 264);
       },
       [] {
         return Encode(GetAttrib_Call_Encode, GetAttrib_Call{Card(), 0x00090303, 0, 264});
       }},
      {"SetAttrib", PCSCD_SET_ATTRIB,
       [](Bytes& r) {
         PutU32(r, 0, g_ctx);
         PutU32(r, 4, g_card);
         PutU32(r, offsetof(AttribMsg, dwAttrId), 0x7FFF0003);
         PutU32(r, offsetof(AttribMsg, cbAttrLen), 3);
         std::memcpy(r.data() + offsetof(AttribMsg, pbAttr), value, 3);
       },
       [] {
         return Encode(SetAttrib_Call_Encode, SetAttrib_Call{Card(), 0x7FFF0003, 3, value});
       }},
      {"GetStatusChangeNoReaders", PCSCD_GET_STATUS_CHANGE,
       [](Bytes& r) {
         PutU32(r, 0, g_ctx);
         PutU32(r, 4, 1000);
         PutU32(r, 8, 0);
       },
       [] {
         return Encode(GetStatusChangeW_Call_Encode,
                       GetStatusChangeW_Call{Ctx(), 1000, 0, nullptr});
       }},
      // Only cbAtr ATR bytes travel; the slot's other bytes are noise.
      {"GetStatusChangeTwoReaders", PCSCD_GET_STATUS_CHANGE,
       [](Bytes& r) {
         PutU32(r, 0, g_ctx);
         PutU32(r, 4, 0xFFFFFFFF);
         PutU32(r, 8, 2);
         const char* names[2] = {"Reader A", "\xE9t\xE9"};
         for (uint32_t i = 0; i < 2; ++i) {
           size_t slot = offsetof(GetStatusChangeMsg, rgReaderStates) + i * 176;
           std::memset(r.data() + slot, 0, 128);
           PutText(r, slot, names[i]);
           PutU32(r, slot + 128, 0x10 + i);
           PutU32(r, slot + 132, 0x20 + i);
           PutU32(r, slot + 136, i == 0 ? 3 : 0);
         }
       },
       [] {
         ReaderStateW states[2] = {{readerA.units, {0x10, 0x20, 3, {}}},
                                   {readerB.units, {0x11, 0x21, 0, {}}}};
         size_t atr = offsetof(GetStatusChangeMsg, rgReaderStates) + 140;
         Bytes pattern = Patterned(sizeof(GetStatusChangeMsg));
         std::memcpy(states[0].Common.rgbAtr, pattern.data() + atr, 3);
         return Encode(GetStatusChangeW_Call_Encode,
                       GetStatusChangeW_Call{Ctx(), 0xFFFFFFFF, 2, states});
       }},
  };
  // The second pass traces every record, which must not change the bytes.
  for (bool debug : {false, true}) {
    for (const CallCase& c : cases) {
      SCOPED_TRACE(testing::Message() << c.name << (debug ? " traced" : ""));
      Register();
      debugEnabled = debug;
      Bytes record = Record(c.command);
      c.fill(record);
      Bytes expected = c.expected();
      ASSERT_FALSE(expected.empty());
      EXPECT_EQ(Build(c.command, record), expected);
      EXPECT_EQ(status_, 0u);
      Lines lines = Take();
      debugEnabled = false;
      if (!debug) {
        EXPECT_EQ(lines, Lines{});
        continue;
      }
      std::string built = std::string("DEBUG: Build IO request for ") +
                          ScRedirQrn_IoctlName(ScRedirQrn_FindCommand(c.command)->ioControlCode) +
                          " command, completionId=00000007";
      EXPECT_NE(std::find(lines.begin(), lines.end(), built), lines.end()) << built;
    }
  }
}

// While no context or handle has been seen, the current lengths are 0: the
// requests that must carry one fail, the ones that may go empty still go.
TEST_F(RequestBuild, ZeroLengthContextFailsOnlyTheRequestsThatNeedOne) {
  ScRedirQrn_MapsDestroy();
  ScRedirQrn_MapsCreate();
  struct Case {
    uint32_t command;
    uint32_t status;
    Lines lines;
  } cases[] = {
      {PCSCD_RELEASE_CONTEXT, 0, {"ERROR(00000000): Failed to lookup context 0"}},
      {PCSCD_CANCEL, 0, {"ERROR(00000000): Failed to lookup context 0"}},
      {PCSCD_TRANSMIT,
       0,
       {"ERROR(00000000): Failed to lookup context 0",
        "ERROR(00000000): Failed to lookup handle 0"}},
      {PCSCD_LIST_READERS, 0xC0000017, {"ERROR(c0000017): Not enough memory"}},
      {PCSCD_STATUS, 0xC0000017, {"ERROR(c0000017): Not enough memory"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    Bytes record(ScRedirQrn_FindCommand(c.command)->recordBytes);
    Build(c.command, record);
    EXPECT_EQ(status_, c.status);
    EXPECT_EQ(Take(), c.lines);
  }
}

TEST_F(RequestBuild, SetAttribWithoutValueRunsOutOfMemory) {
  Bytes record = Record(PCSCD_SET_ATTRIB);
  PutU32(record, 0, g_ctx);
  PutU32(record, 4, g_card);
  PutU32(record, offsetof(AttribMsg, cbAttrLen), 0);
  EXPECT_TRUE(Build(PCSCD_SET_ATTRIB, record).empty());
  EXPECT_EQ(status_, 0xC0000017u);
  EXPECT_EQ(Take(), Lines{"ERROR(c0000017): Not enough memory"});
}

// The handle goes with its Disconnect; a second one sends zeroed bytes.
TEST_F(RequestBuild, DisconnectDropsTheHandleAndASecondSendsZeros) {
  Bytes record = Record(PCSCD_DISCONNECT);
  PutU32(record, 0, g_ctx);
  PutU32(record, 4, g_card);
  PutU32(record, 8, 0);
  Build(PCSCD_DISCONNECT, record);
  EXPECT_EQ(Take(), Lines{});
  EXPECT_EQ(ScRedirQrn_HandleCount(), 0u);

  static uint8_t zeros[4] = {};
  Bytes expected =
      Encode(HCardAndDisposition_Call_Encode, HCardAndDisposition_Call{{Ctx(), 4, zeros}, 0});
  EXPECT_EQ(Build(PCSCD_DISCONNECT, record), expected);
  char lookup[96], del[96];
  snprintf(lookup, sizeof lookup, "ERROR(00000000): Failed to lookup handle %x", g_card);
  snprintf(del, sizeof del, "ERROR(00000000): Failed to delete handle %d from hash map",
           static_cast<int>(g_card));
  EXPECT_EQ(Take(), (Lines{lookup, del}));
}

TEST_F(RequestBuild, CodecLimitFailureLeavesNoInput) {
  Bytes record(sizeof(GetStatusChangeMsg));
  PutU32(record, 0, g_ctx);
  PutU32(record, 8, 12);  // the call record carries at most 11 readers
  EXPECT_TRUE(Build(PCSCD_GET_STATUS_CHANGE, record).empty());
  EXPECT_EQ(status_, 0xC0000001u);
  EXPECT_EQ(Take(), Lines{"ERROR(00000000): Could not encode buffer from GetStatusChangeW_Call: "
                          "RPC_S_INVALID_ARG"});
}

// ---- Entry points ---------------------------------------------------------

void Enter(uint32_t command, const Bytes& body, uint32_t size) {
  PcscdMessageHeader header{0x77, command, size};
  ScRedirQrn_FindCommand(command)->entry(&header, body.data(), static_cast<uint32_t>(body.size()));
}

struct RefusalCase {
  const char* name;
  uint32_t command;
  uint32_t bodyLength;
  std::function<void(Bytes&)> fill;
  const char* line;
};

TEST_F(RequestBuild, RecordsBreakingAFieldLimitAreRefusedWithOneLine) {
  auto name = [](size_t at) { return [at](Bytes& r) { std::memset(r.data() + at, 'x', 128); }; };
  constexpr size_t kSlot0 = offsetof(GetStatusChangeMsg, rgReaderStates);
  const std::vector<RefusalCase> cases = {
      {"ConnectNameWithoutNul", PCSCD_CONNECT, 152, name(offsetof(ConnectMsg, szReader)),
       "Refused PCSCD_CONNECT: szReader has no NUL within its 128 bytes"},
      {"TooManyReaders", PCSCD_GET_STATUS_CHANGE, 11280, [](Bytes& r) { PutU32(r, 8, 65); },
       "Refused PCSCD_GET_STATUS_CHANGE: cReaders 65 is above 64"},
      {"SecondSlotNameWithoutNul", PCSCD_GET_STATUS_CHANGE, 11280,
       [&](Bytes& r) {
         PutU32(r, 8, 2);
         name(kSlot0 + 176)(r);
       },
       "Refused PCSCD_GET_STATUS_CHANGE: rgReaderStates[1].szReader has no NUL within its 128 "
       "bytes"},
      {"AtrLongerThanSlot", PCSCD_GET_STATUS_CHANGE, 11280,
       [&](Bytes& r) {
         PutU32(r, 8, 1);
         PutU32(r, kSlot0 + 136, 37);
       },
       "Refused PCSCD_GET_STATUS_CHANGE: rgReaderStates[0].cbAtr is above 36"},
      {"TransmitShorterThanFixedPart", PCSCD_TRANSMIT, 35, [](Bytes&) {},
       "Refused PCSCD_TRANSMIT: size 35 is below the 36-byte fixed part"},
      {"TransmitLongerThanRecord", PCSCD_TRANSMIT, 65585, [](Bytes&) {},
       "Refused PCSCD_TRANSMIT: size 65585 is above the full record size 65584"},
      {"TransmitSendsMoreThanReceived", PCSCD_TRANSMIT, 45, [](Bytes& r) { PutU32(r, 8, 10); },
       "Refused PCSCD_TRANSMIT: cbSendLength 10 is beyond the 9 data bytes received"},
      {"ControlSendsMoreThanBuffer", PCSCD_CONTROL, 65576, [](Bytes& r) { PutU32(r, 12, 65549); },
       "Refused PCSCD_CONTROL: cbSendLength 65549 is beyond the 65548 data bytes received"},
      {"AttributeLongerThanField", PCSCD_SET_ATTRIB, 284,
       [](Bytes& r) { PutU32(r, offsetof(AttribMsg, cbAttrLen), 265); },
       "Refused PCSCD_SET_ATTRIB: cbAttrLen 265 is above 264"},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes body(c.bodyLength);
    c.fill(body);
    Enter(c.command, body, c.bodyLength);
    EXPECT_TRUE(g_redirected.empty());
    EXPECT_EQ(Take(), Lines{std::string("ERROR(c000000d): ") + c.line});
  }
}

TEST_F(RequestBuild, ShortTransmitIsKeptAtFullRecordSize) {
  Bytes body = Patterned(36 + 3);
  PutU32(body, 8, 3);
  Enter(PCSCD_TRANSMIT, body, 39);
  ASSERT_EQ(g_redirected.size(), 1u);
  const RedirectedCall& call = g_redirected[0];
  EXPECT_EQ(call.ioControlCode, SCARD_IOCTL_TRANSMIT);
  EXPECT_EQ(call.header.size, 39u);
  Bytes expected(sizeof(TransmitMsg));
  std::memcpy(expected.data(), body.data(), body.size());
  EXPECT_EQ(call.body, expected);
}

// Every entry point redirects with its IOCTL and full record size, and
// names its own IOCTL when the redirection fails.
TEST_F(RequestBuild, EntryPointsRedirectAndReportTheirFailure) {
  struct Case {
    uint32_t command;
    uint32_t ioctl;
    uint32_t kept;
    const char* failure;
  } cases[] = {
      {1, 0x00090014, 12, "SCARD_IOCTL_ESTABLISHCONTEXT"},
      {2, 0x00090018, 8, "SCARD_IOCTL_RELEASECONTEXT"},
      {3, 0x0009002C, 8216, "SCARD_IOCTL_LISTREADERSW"},
      {4, 0x000900B0, 152, "SCARD_IOCTL_CONNECTW"},
      {5, 0x000900B4, 28, "SCARD_IOCTL_RECONNECT"},
      {6, 0x000900B8, 16, "SCARD_IOCTL_DISCONNECT"},
      {7, 0x000900BC, 12, "SCARD_IOCTL_BEGINTRANSACTION"},
      {8, 0x000900C0, 16, "SCARD_IOCTL_ENDTRANSACTION"},
      {9, 0x000900D0, 65584, "SCARD_IOCTL_TRANSMIT"},
      {10, 0x000900D4, 65576, "SCARD_IOCTL_CONTROL"},
      {11, 0x000900CC, 192, "SCARD_IOCTL_STATUS"},
      {13, 0x000900A8, 8, "SCARD_IOCTL_CANCEL"},
      {15, 0x000900D8, 284, "SCARD_IOCTL_GETATTRIB"},
      {16, 0x000900DC, 284, "SCARD_IOCTL_SETATTRIB"},
      {18, 0x000900A4, 11280, "SCARD_IOCTL_GETSTATUSCHANGEW"},
  };
  g_redirectStatus = 0xC0000001;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    const PcscdCommand* row = ScRedirQrn_FindCommand(c.command);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->replyLength, 12 + c.kept);
    Bytes body(row->bodyBytes ? row->bodyBytes : 40);  // zeros satisfy every limit
    g_redirected.clear();
    Enter(c.command, body, static_cast<uint32_t>(body.size()));
    ASSERT_EQ(g_redirected.size(), 1u);
    EXPECT_EQ(g_redirected[0].ioControlCode, c.ioctl);
    EXPECT_EQ(g_redirected[0].body.size(), c.kept);
    EXPECT_EQ(Take(), Lines{std::string("ERROR(c0000001): Failed to redirect ") + c.failure});
  }
}

TEST(CommandTable, CodesWeDoNotHandleHaveNoRow) {
  for (uint32_t code : {0u, 12u, 14u, 17u, 19u, 0xFFFFFFFFu})
    EXPECT_EQ(ScRedirQrn_FindCommand(code), nullptr) << code;
  EXPECT_EQ(ScRedirQrn_FindCommand(PCSCD_TRANSMIT)->bodyBytes, 0u);
  EXPECT_EQ(ScRedirQrn_FindCommand(PCSCD_CONTROL)->bodyBytes, 0u);
  EXPECT_EQ(ScRedirQrn_FindCommand(PCSCD_STATUS)->bodyBytes, 192u);
}

}  // namespace
}  // namespace cmdtest
