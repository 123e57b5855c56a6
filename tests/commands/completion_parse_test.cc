// Completions + kept daemon messages -> daemon replies, byte for byte.
#include "scredir/completion_parse.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <functional>

#include "scredir/keyed_list.h"
#include "scredir/names.h"
#include "scredir/request_build.h"
#include "tests/commands/commands_test_util.h"

namespace cmdtest {
namespace {

constexpr uint32_t kId = 0x00000007;

// An RDPDR device I/O completion carrying `output`.
Bytes Completion(uint32_t id, const Bytes& output, uint32_t ioStatus = 0,
                 uint16_t component = 0x4472, uint16_t packetId = 0x4943) {
  Bytes p(20);
  p[0] = component & 0xFF, p[1] = component >> 8;
  p[2] = packetId & 0xFF, p[3] = packetId >> 8;
  PutU32(p, 8, id);
  PutU32(p, 12, ioStatus);
  PutU32(p, 16, static_cast<uint32_t>(output.size()));
  p.insert(p.end(), output.begin(), output.end());
  return p;
}

class CompletionParse : public CommandsTest {
 protected:
  void SetUp() override {
    CommandsTest::SetUp();
    list_ = KeyedList_Create();
  }
  void TearDown() override {
    KeyedList_Destroy(&list_, free);
    CommandsTest::TearDown();
  }
  // Keeps `record` as the engine would after sending it; returns the header.
  Bytes Keep(uint32_t command, const Bytes& record, uint32_t id = kId, uint32_t size = 0) {
    const PcscdCommand* row = ScRedirQrn_FindCommand(command);
    auto* entry = static_cast<PcscdMsgEntry*>(calloc(1, 16 + row->recordBytes));
    entry->ioControlCode = row->ioControlCode;
    entry->header = {id, command, size ? size : row->recordBytes};
    std::memcpy(PcscdMsgEntry_Body(entry), record.data(), record.size());
    KeyedList_AppendWithKey(list_, id, entry);
    Bytes header(12);
    std::memcpy(header.data(), &entry->header, 12);
    return header;
  }
  // Parses `packet`; returns the reply (empty when none) and keeps the status.
  Bytes Parse(const Bytes& packet) {
    uint8_t* reply = nullptr;
    uint32_t length = 0;
    status_ = ScRedirQrn_ParseIOCompletion(packet.data(), static_cast<uint32_t>(packet.size()),
                                           &reply, &length, list_);
    Bytes out(reply, reply + length);
    g_free(reply);
    return out;
  }
  KeyedList* list_ = nullptr;
  uint32_t status_ = 0;
};

uint8_t kCtx4[4] = {0xC1, 0xC2, 0xC3, 0xC4};
uint8_t kAtr[32] = {0x3B, 0x8F, 0x80};
uint8_t kSw[2] = {0x90, 0x00};

struct ReplyCase {
  const char* name;
  uint32_t command;
  std::function<Bytes()> output;       // the encoded return
  std::function<void(Bytes&)> expect;  // turns the sent record into the reply's
};

// ids come from rand(); the case seeds it so the expected id is known.
constexpr unsigned kSeed = 4242;
uint32_t ExpectedId() {
  srand(kSeed);
  auto id = static_cast<uint32_t>(rand());
  srand(kSeed);
  return id;
}

TEST_F(CompletionParse, EveryReturnIsWrittenIntoItsRecord) {
  static Bytes twoNames = Utf16(std::string("READER01\0READER02\0\0", 19));
  static Bytes statusName = Utf16(std::string("Reader A\0\0", 10));
  static SCardIO_Request pci{2, 0, nullptr};
  static ReaderState_Return states[2] = {{0x10, 0x22, 3, {0x3B, 0x01, 0x02}}, {0x11, 0x12, 0, {}}};
  auto longReturn = [](int32_t rc) {
    return [rc] { return Encode(Long_Return_Encode, Long_Return{rc}); };
  };
  auto rvOnly = [](uint32_t rc) { return [rc](Bytes& r) { PutU32(r, r.size() - 4, rc); }; };
  const std::vector<ReplyCase> cases = {
      {"EstablishContext", PCSCD_ESTABLISH_CONTEXT,
       [] {
         return Encode(EstablishContext_Return_Encode, EstablishContext_Return{0, {4, kCtx4}});
       },
       [](Bytes& r) { PutU32(r, 4, ExpectedId()), PutU32(r, 8, 0); }},
      {"EstablishContextFails", PCSCD_ESTABLISH_CONTEXT,
       [] {
         return Encode(EstablishContext_Return_Encode,
                       EstablishContext_Return{int32_t(0x8010001D), {4, kCtx4}});
       },
       rvOnly(0x8010001D)},
      {"EstablishContextEmpty", PCSCD_ESTABLISH_CONTEXT,
       [] {
         return Encode(EstablishContext_Return_Encode, EstablishContext_Return{0, {0, nullptr}});
       },
       rvOnly(0)},
      {"ReleaseContext", PCSCD_RELEASE_CONTEXT, longReturn(0), rvOnly(0)},
      {"Cancel", PCSCD_CANCEL, longReturn(int32_t(0x80100002)), rvOnly(0x80100002)},
      {"Disconnect", PCSCD_DISCONNECT, longReturn(0), rvOnly(0)},
      {"BeginTransaction", PCSCD_BEGIN_TRANSACTION, longReturn(int32_t(0x80100069)),
       rvOnly(0x80100069)},
      {"EndTransaction", PCSCD_END_TRANSACTION, longReturn(0), rvOnly(0)},
      {"SetAttrib", PCSCD_SET_ATTRIB, longReturn(int32_t(0x80100003)), rvOnly(0x80100003)},
      {"ListReadersTwoNames", PCSCD_LIST_READERS,
       [] {
         return Encode(ListReaders_Return_Encode,
                       ListReaders_Return{0, uint32_t(twoNames.size()), twoNames.data()});
       },
       [](Bytes& r) {
         PutU32(r, offsetof(ListReadersMsg, cchReaders), 19);
         PutText(r, offsetof(ListReadersMsg, mszReaders),
                 std::string("READER01\0READER02\0\0", 19));
         PutU32(r, offsetof(ListReadersMsg, rv), 0);
       }},
      {"ListReadersNone", PCSCD_LIST_READERS,
       [] {
         static Bytes empty = Utf16(std::string("\0\0", 2));
         return Encode(ListReaders_Return_Encode, ListReaders_Return{0, 4, empty.data()});
       },
       [](Bytes& r) {
         PutU32(r, offsetof(ListReadersMsg, cchReaders), 1);
         r[offsetof(ListReadersMsg, mszReaders)] = 0;
         PutU32(r, offsetof(ListReadersMsg, rv), 0);
       }},
      {"ListReadersFails", PCSCD_LIST_READERS,
       [] {
         return Encode(
             ListReaders_Return_Encode,
             ListReaders_Return{int32_t(0x8010002E), uint32_t(twoNames.size()), twoNames.data()});
       },
       rvOnly(0x8010002E)},
      {"Connect", PCSCD_CONNECT,
       [] {
         return Encode(Connect_Return_Encode, Connect_Return{0, {{4, kCtx4}, 4, kCtx4}, 2});
       },
       [](Bytes& r) {
         PutU32(r, offsetof(ConnectMsg, hCard), ExpectedId());
         PutU32(r, offsetof(ConnectMsg, dwActiveProtocol), 2);
         PutU32(r, offsetof(ConnectMsg, rv), 0);
       }},
      {"ConnectFails", PCSCD_CONNECT,
       [] {
         return Encode(Connect_Return_Encode,
                       Connect_Return{int32_t(0x8010000C), {{4, kCtx4}, 4, kCtx4}, 2});
       },
       [](Bytes& r) {
         PutU32(r, offsetof(ConnectMsg, hCard), 0);
         PutU32(r, offsetof(ConnectMsg, rv), 0x8010000C);
       }},
      {"ReconnectFails", PCSCD_RECONNECT,
       [] {
         return Encode(Reconnect_Return_Encode, Reconnect_Return{int32_t(0x80100068), 1});
       },
       [](Bytes& r) { PutU32(r, 20, 1), PutU32(r, 24, 0x80100068); }},
      {"Status", PCSCD_STATUS,
       [] {
         Status_Return ret{0, uint32_t(statusName.size()), statusName.data(), 6, 2, {}, 3};
         std::memcpy(ret.pbAtr, kAtr, 32);
         return Encode(Status_Return_Encode, ret);
       },
       [](Bytes& r) {
         PutText(r, offsetof(StatusMsg, mszReaderName), std::string("Reader A\0\0", 10));
         PutU32(r, offsetof(StatusMsg, cchReaderLen), 10);
         PutU32(r, offsetof(StatusMsg, dwState), 6);
         PutU32(r, offsetof(StatusMsg, dwProtocol), 2);
         std::memcpy(r.data() + offsetof(StatusMsg, pbAtr), kAtr, 3);
         PutU32(r, offsetof(StatusMsg, cbAtrLen), 3);
         PutU32(r, offsetof(StatusMsg, rv), 0);
       }},
      // A failed Status still carries state, protocol and ATR; names stay.
      {"StatusFails", PCSCD_STATUS,
       [] {
         Status_Return ret{
             int32_t(0x80100069), uint32_t(statusName.size()), statusName.data(), 1, 0, {}, 2};
         std::memcpy(ret.pbAtr, kAtr, 32);
         return Encode(Status_Return_Encode, ret);
       },
       [](Bytes& r) {
         PutU32(r, offsetof(StatusMsg, dwState), 1);
         PutU32(r, offsetof(StatusMsg, dwProtocol), 0);
         std::memcpy(r.data() + offsetof(StatusMsg, pbAtr), kAtr, 2);
         PutU32(r, offsetof(StatusMsg, cbAtrLen), 2);
         PutU32(r, offsetof(StatusMsg, rv), 0x80100069);
       }},
      {"TransmitWithoutRecvPci", PCSCD_TRANSMIT,
       [] {
         return Encode(Transmit_Return_Encode, Transmit_Return{0, nullptr, 2, kSw});
       },
       [](Bytes& r) {
         PutU32(r, offsetof(TransmitMsg, cbRecvLength), 2);
         PutU32(r, offsetof(TransmitMsg, ioRecvPciProtocol), 3);
         PutU32(r, offsetof(TransmitMsg, ioRecvPciLength), 8);
         PutU32(r, offsetof(TransmitMsg, rv), 0);
         std::memcpy(r.data() + offsetof(TransmitMsg, pbBuffer), kSw, 2);
       }},
      {"TransmitFailsWithRecvPci", PCSCD_TRANSMIT,
       [] {
         return Encode(Transmit_Return_Encode, Transmit_Return{0x80100016, &pci, 0, nullptr});
       },
       [](Bytes& r) {
         PutU32(r, offsetof(TransmitMsg, cbRecvLength), 0);
         PutU32(r, offsetof(TransmitMsg, ioRecvPciProtocol), 2);
         PutU32(r, offsetof(TransmitMsg, ioRecvPciLength), 0);
         PutU32(r, offsetof(TransmitMsg, rv), 0x80100016);
       }},
      {"Control", PCSCD_CONTROL,
       [] {
         return Encode(Control_Return_Encode, Control_Return{0, 2, kSw});
       },
       [](Bytes& r) {
         PutU32(r, offsetof(ControlMsg, dwBytesReturned), 2);
         PutU32(r, offsetof(ControlMsg, rv), 0);
         std::memcpy(r.data() + offsetof(ControlMsg, pbBuffer), kSw, 2);
       }},
      {"GetAttrib", PCSCD_GET_ATTRIB,
       [] {
         return Encode(GetAttrib_Return_Encode, GetAttrib_Return{0, 3, kAtr});
       },
       [](Bytes& r) {
         std::memcpy(r.data() + offsetof(AttribMsg, pbAttr), kAtr, 3);
         PutU32(r, offsetof(AttribMsg, cbAttrLen), 3);
         PutU32(r, offsetof(AttribMsg, rv), 0);
       }},
      {"GetAttribLengthOnly", PCSCD_GET_ATTRIB,
       [] {
         return Encode(GetAttrib_Return_Encode, GetAttrib_Return{0, 20, nullptr});
       },
       [](Bytes& r) {
         PutU32(r, offsetof(AttribMsg, cbAttrLen), 20);
         PutU32(r, offsetof(AttribMsg, rv), 0);
       }},
      // Slot names and the slots past the returned count stay as sent.
      {"GetStatusChangeTwoReaders", PCSCD_GET_STATUS_CHANGE,
       [] {
         return Encode(GetStatusChange_Return_Encode, GetStatusChange_Return{0, 2, states});
       },
       [](Bytes& r) {
         PutU32(r, 8, 2);
         for (size_t i = 0; i < 2; ++i) {
           size_t slot = offsetof(GetStatusChangeMsg, rgReaderStates) + i * 176;
           PutU32(r, slot + 128, states[i].dwCurrentState);
           PutU32(r, slot + 132, states[i].dwEventState);
           PutU32(r, slot + 136, states[i].cbAtr);
           std::memcpy(r.data() + slot + 140, states[i].rgbAtr, states[i].cbAtr);
         }
         PutU32(r, offsetof(GetStatusChangeMsg, rv), 0);
       }},
      {"GetStatusChangeTimesOut", PCSCD_GET_STATUS_CHANGE,
       [] {
         return Encode(GetStatusChange_Return_Encode,
                       GetStatusChange_Return{int32_t(0x8010000A), 0, nullptr});
       },
       [](Bytes& r) { PutU32(r, 8, 0), PutU32(r, r.size() - 4, 0x8010000A); }},
  };
  // The second pass traces every return, which must not change the reply.
  for (bool debug : {false, true}) {
    for (const ReplyCase& c : cases) {
      SCOPED_TRACE(testing::Message() << c.name << (debug ? " traced" : ""));
      ScRedirQrn_MapsDestroy();  // a live id would be redrawn
      ScRedirQrn_MapsCreate();
      Bytes record = Patterned(ScRedirQrn_FindCommand(c.command)->recordBytes);
      Bytes header = Keep(c.command, record, kId, c.command == PCSCD_TRANSMIT ? 41 : 0);
      Bytes expected = record;
      c.expect(expected);
      expected.insert(expected.begin(), header.begin(), header.end());
      Bytes output = c.output();
      ASSERT_FALSE(output.empty());
      ExpectedId();  // seeds the generator
      debugEnabled = debug;
      EXPECT_EQ(Parse(Completion(kId, output)), expected);
      debugEnabled = false;
      EXPECT_EQ(status_, 0u);
      EXPECT_EQ(KeyedList_Count(list_), 0);
      Lines lines = Take();
      std::string want = "ERROR(80100069): Error return code for SCARD_IOCTL_STATUSW cmd";
      if (debug) {
        want = std::string("DEBUG: Parse IO completion for command ") +
               ScRedirQrn_IoctlName(ScRedirQrn_FindCommand(c.command)->ioControlCode) +
               ", completionID=00000007, ioStatus=00000000";
      } else if (c.command != PCSCD_STATUS || GetU32(expected, expected.size() - 4) == 0) {
        EXPECT_EQ(lines, Lines{});
        continue;
      }
      EXPECT_NE(std::find(lines.begin(), lines.end(), want), lines.end()) << want;
    }
  }
}

TEST_F(CompletionParse, ContextAndHandleRegistrationFollowTheReturnCode) {
  Keep(PCSCD_ESTABLISH_CONTEXT, Bytes(12));
  Parse(Completion(kId, Encode(EstablishContext_Return_Encode,
                               EstablishContext_Return{int32_t(0x8010001D), {8, kAtr}})));
  EXPECT_EQ(ScRedirQrn_ContextCount(), 0u);
  EXPECT_EQ(ScRedirQrn_ContextLength(), 8u);  // set even though the call failed

  Keep(PCSCD_CONNECT, Bytes(152));
  Parse(Completion(kId, Encode(Connect_Return_Encode,
                               Connect_Return{int32_t(0x8010000C), {{4, kCtx4}, 4, kCtx4}, 1})));
  EXPECT_EQ(ScRedirQrn_HandleCount(), 0u);
  EXPECT_EQ(ScRedirQrn_HandleLength(), 0u);
  Take();
}

TEST_F(CompletionParse, CompletionsThatCannotBeUsedLeaveTheMessageKept) {
  Bytes ok = Encode(Long_Return_Encode, Long_Return{0});
  Bytes shortOutput = Completion(kId, ok);
  shortOutput.pop_back();  // OutputBufferLength says one byte more
  Bytes fixedCut = Completion(kId, ok);
  fixedCut.resize(19);
  struct Case {
    const char* name;
    Bytes packet;
    uint32_t status;
    const char* line;
  } cases[] = {
      {"Empty", {}, 0xC000000D, "ERROR(00000000): Invalid completion packet or size"},
      {"HeaderOnly", Bytes(3), 0xC000000D, "ERROR(00000000): Invalid completion packet or size"},
      {"PrinterComponent", Completion(kId, ok, 0, 0x5052), 0xC000000D,
       "ERROR(00005052): Invalid header component"},
      {"DeviceIoRequest", Completion(kId, ok, 0, 0x4472, 0x4952), 0xC000000D,
       "ERROR(00004952): Invalid completion packet ID"},
      {"FixedPartCut", fixedCut, 0xC000000D, "ERROR(00000000): Invalid completion packet or size"},
      {"OutputCut", shortOutput, 0xC000000D, "ERROR(00000000): Invalid completion packet or size"},
      {"IoStatusFailed", Completion(kId, ok, 0xC0000001), 0xC0000001,
       "ERROR(c0000001): Incorrect IO completion status"},
  };
  Bytes header = Keep(PCSCD_BEGIN_TRANSACTION, Bytes(12));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(Parse(c.packet).empty());
    EXPECT_EQ(status_, c.status);
    EXPECT_EQ(Take(), Lines{c.line});
    EXPECT_EQ(KeyedList_Count(list_), 1);
  }
  // The kept message is still answered by a good completion.
  Bytes expected = header;
  expected.resize(24);
  EXPECT_EQ(Parse(Completion(kId, ok)), expected);
}

TEST_F(CompletionParse, UnmatchedIdsAnswerNothingAndOlderTwinIsAnsweredFirst) {
  Bytes ok = Encode(Long_Return_Encode, Long_Return{0});
  Keep(PCSCD_CANCEL, Bytes{1, 1, 1, 1, 9, 9, 9, 9});
  Keep(PCSCD_CANCEL, Bytes{2, 2, 2, 2, 9, 9, 9, 9});
  EXPECT_TRUE(Parse(Completion(8, ok)).empty());
  EXPECT_EQ(status_, 0xC0000001u);
  EXPECT_EQ(Take(), (Lines{"ERROR(c0000001): No matched pcscd message for ID(00000008)",
                           "ERROR(00000000): No matched completionId: 00000008, exit!"}));
  EXPECT_EQ(KeyedList_Count(list_), 2);
  Bytes reply = Parse(Completion(kId, ok));
  ASSERT_EQ(reply.size(), 20u);
  EXPECT_EQ(reply[12], 1);  // the older message
  EXPECT_EQ(Parse(Completion(kId, ok))[12], 2);
  EXPECT_TRUE(Parse(Completion(kId, ok)).empty());
  EXPECT_EQ(Take().size(), 2u);
}

// Once the message is matched it is gone, whatever else fails.
TEST_F(CompletionParse, UndecodableOrOversizedReturnsConsumeTheMessageWithoutReply) {
  Bytes okLong = Encode(Long_Return_Encode, Long_Return{0});
  Bytes unpadded(okLong.begin(), okLong.end() - 4);
  PutU32(unpadded, 8, 4);
  static uint8_t big[65549];
  static Bytes longName = Utf16(std::string(128, 'n') + std::string("\0\0", 2));
  static Bytes hugeNames = Utf16(std::string(8192, 'n') + std::string("\0\0", 2));
  static ReaderState_Return many[65] = {};
  struct Case {
    const char* name;
    uint32_t command;
    Bytes output;
    uint32_t status;
    Lines lines;
  } cases[] = {
      {"NotSerialised",
       PCSCD_TRANSMIT,
       Bytes(8),
       0xC0000001,
       {"ERROR(00000000): Failed to create decode buffer handle for: SCARD_IOCTL_TRANSMIT"}},
      {"BodyWithoutPadding",
       PCSCD_CANCEL,
       unpadded,
       0xC0000001,
       {"ERROR(0000007a): At pos 4, need 4 more bytes, but only have 4 total",
        "ERROR(00000000): Could not decode buffer into Long_Return: RPC_S_BUFFER_TOO_SMALL"}},
      {"ResponseTooLong",
       PCSCD_TRANSMIT,
       Encode(Transmit_Return_Encode, Transmit_Return{0, nullptr, 65549, big}),
       0xC0000001,
       {"ERROR(c0000001): Refused SCARD_IOCTL_TRANSMIT return: cbRecvLength 65549 is above 65548"}},
      {"OutputTooLong",
       PCSCD_CONTROL,
       Encode(Control_Return_Encode, Control_Return{0, 65549, nullptr}),
       0xC0000001,
       {"ERROR(c0000001): Refused SCARD_IOCTL_CONTROL return: cbOutBufferSize 65549 is above "
        "65548"}},
      {"AttributeTooLong",
       PCSCD_GET_ATTRIB,
       Encode(GetAttrib_Return_Encode, GetAttrib_Return{0, 265, big}),
       0xC0000001,
       {"ERROR(c0000001): Refused SCARD_IOCTL_GETATTRIB return: cbAttrLen 265 is above 264"}},
      {"TooManyStates",
       PCSCD_GET_STATUS_CHANGE,
       Encode(GetStatusChange_Return_Encode, GetStatusChange_Return{0, 65, many}),
       0xC0000001,
       {"ERROR(c0000001): Refused SCARD_IOCTL_GETSTATUSCHANGEW return: cReaders 65 is above 64"}},
      {"StatusNameTooLong",
       PCSCD_STATUS,
       Encode(Status_Return_Encode,
              Status_Return{0, uint32_t(longName.size()), longName.data(), 0, 0, {}, 0}),
       0xC0000001,
       {"ERROR(c0000001): Refused SCARD_IOCTL_STATUSW return: reader names of 130 bytes are above "
        "128"}},
      {"ReaderListTooLong",
       PCSCD_LIST_READERS,
       Encode(ListReaders_Return_Encode,
              ListReaders_Return{0, uint32_t(hugeNames.size()), hugeNames.data()}),
       0xC0000001,
       {"ERROR(c0000001): Refused SCARD_IOCTL_LISTREADERSW return: reader names of 8194 bytes are "
        "above 8192"}},
      {"ContextTooLong",
       PCSCD_ESTABLISH_CONTEXT,
       Encode(EstablishContext_Return_Encode, EstablishContext_Return{0, {17, big}}),
       0xC0000001,
       {"ERROR(c0000001): Refused SCARD_IOCTL_ESTABLISHCONTEXT return: cbContext 17 is above 16"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.output.empty());
    Keep(c.command, Bytes(ScRedirQrn_FindCommand(c.command)->recordBytes));
    EXPECT_TRUE(Parse(Completion(kId, c.output)).empty());
    EXPECT_EQ(status_, c.status);
    EXPECT_EQ(Take(), c.lines);
    EXPECT_EQ(KeyedList_Count(list_), 0);
  }
}

TEST(MultiStringWToA, ConvertsEveryStringAndClosesTheList) {
  struct Case {
    const char* name;
    std::vector<uint16_t> units;
    const char* utf8;  // null: refused
    uint32_t length;
  } cases[] = {
      {"TwoNames", {'A', 'B', 0, 'C', 0, 0}, "AB\0C\0", 6},
      {"Empty", {0, 0}, "", 1},
      {"NoInput", {}, "", 1},
      {"NonAscii", {0xE9, 0x20AC, 0, 0}, "\xC3\xA9\xE2\x82\xAC\0", 7},
      {"LastStringUnterminated", {'A', 0, 'B'}, "A\0B\0", 5},
      {"LoneLowSurrogate", {'A', 0xDC00, 0, 0}, nullptr, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint32_t length = 99;
    uint8_t* out = ScRedirQrn_MultiStringWToA(c.units.empty() ? nullptr : c.units.data(),
                                              static_cast<uint32_t>(c.units.size()), &length);
    if (!c.utf8) {
      EXPECT_EQ(out, nullptr);
      EXPECT_EQ(length, 99u);
      continue;
    }
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(Bytes(out, out + length), Bytes(c.utf8, c.utf8 + c.length));
    g_free(out);
  }
}

}  // namespace
}  // namespace cmdtest
