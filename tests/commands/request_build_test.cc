// Daemon records -> encoded smart-card calls, the dispatch's checks and the
// command table.
#include "scredir/request_build.h"

#include <algorithm>
#include <cstddef>
#include <sstream>

#include "scredir/state.h"
#include "tests/commands/commands_test_util.h"
#include "tests/commands/fake_engine.h"

namespace cmdtest {
namespace {

using namespace std::string_literals;

uint8_t kCtxBytes[4] = {0xA1, 0xA2, 0xA3, 0xA4};
uint8_t kCardBytes[4] = {0xB1, 0xB2, 0xB3, 0xB4};
uint8_t kZeros[4] = {};

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
  // Fresh maps with one context and one card handle; the same ids each time.
  void Register() {
    ResetMaps();
    srand(1);
    uint32_t protocol = 0;
    ASSERT_EQ(ScRedirQrn_RegisterContext(0, 4, kCtxBytes, &ctx_), 0u);
    ASSERT_EQ(ScRedirQrn_RegisterHandle(0, 4, kCardBytes, 1, &card_, &protocol), 0u);
    Take();
  }
  // The encoded call for `record` (empty on failure); the status in status_.
  Bytes Build(uint32_t command, const Bytes& record) {
    const PcscdCommand* row = ScRedirQrn_FindCommand(command);
    ScRedirIoRequest* request = nullptr;
    status_ = ScRedirQrn_GetIORequest(row->ioControlCode, 7, record.data(), &request);
    Bytes out;
    if (status_ == 0) {
      EXPECT_EQ(request->completionId, 7u);
      EXPECT_EQ(request->ioControlCode, row->ioControlCode);
      EXPECT_EQ(request->outputLength, 2048u);
      out.assign(request->input, request->input + request->inputLength);
    }
    ScRedirQrn_FreeIORequest(request);
    return out;
  }
  Bytes Record(uint32_t command, const std::vector<Patch>& patches) {
    return Patched(Patterned(ScRedirQrn_FindCommand(command)->recordBytes), patches);
  }
  uint32_t ctx_ = 0, card_ = 0, status_ = 0;
};

// The 8-bit name widened as the client receives it (bytes sign-extended).
struct WideName {
  explicit WideName(const std::string& s) {
    for (size_t i = 0; i < s.size(); ++i) units[i] = uint16_t(int16_t(int8_t(s[i])));
  }
  uint16_t units[128] = {};
};

// The whole road drives every command with plain records; these are the
// shapes it never sends.
TEST_F(RequestBuild, UnusualRecordsEncodeTheCallTheirFieldsDescribe) {
  static WideName readerA("Reader A"), readerB("\xE9t\xE9");
  static Bytes allReaders = Utf16("SCard$AllReaders\0\0"s);
  const size_t slot0 = offsetof(GetStatusChangeMsg, rgReaderStates), slot1 = slot0 + 176;
  // Only cbAtr ATR bytes travel: the slot's other ATR bytes are pattern noise.
  ReaderStateW states[2] = {{readerA.units, {0x10, 0x20, 3, {0x3B, 0x01, 0x02}}},
                            {readerB.units, {0x11, 0x21, 0, {}}}};
  const uint32_t c = ctx_, h = card_;
  struct Case {
    uint32_t command;
    std::vector<Patch> record;
    Bytes call;
  } cases[] = {
      // No group list; the auto-allocate length goes through as it is.
      {PCSCD_LIST_READERS,
       {U(0, c), U(4, 0), U(16, 0xFFFFFFFF)},
       ENCODED(ListReaders_Call, Ctx(), 36, allReaders.data(), 0, ~0u)},
      // No disposition field: 0 goes out whatever follows hCard.
      {PCSCD_BEGIN_TRANSACTION, {U(0, c), U(4, h)}, ENCODED(HCardAndDisposition_Call, Card(), 0)},
      {PCSCD_TRANSMIT,
       {U(0, c), U(4, h), U(8, 0), U(12, 2), U(16, 1)},
       ENCODED(Transmit_Call, Card(), {1, 0, nullptr}, 0, nullptr, nullptr, 0, 2)},
      {PCSCD_GET_STATUS_CHANGE,
       {U(0, c), U(4, 1000), U(8, 0)},
       ENCODED(GetStatusChangeW_Call, Ctx(), 1000, 0, nullptr)},
      // 8-bit names are widened with their sign, as the client expects.
      {PCSCD_GET_STATUS_CHANGE,
       {U(0, c), U(4, ~0u), U(8, 2), S(slot0, "Reader A\0"s), U(slot0 + 128, 0x10),
        U(slot0 + 132, 0x20), U(slot0 + 136, 3), S(slot0 + 140, "\x3B\x01\x02"s),
        S(slot1, "\xE9t\xE9\0"s), U(slot1 + 128, 0x11), U(slot1 + 132, 0x21), U(slot1 + 136, 0)},
       ENCODED(GetStatusChangeW_Call, Ctx(), ~0u, 2, states)},
  };
  // The second pass traces every record, which must not change the bytes.
  for (bool debug : {false, true}) {
    for (const Case& k : cases) {
      SCOPED_TRACE(testing::Message() << "row " << &k - cases << (debug ? " traced" : ""));
      ASSERT_FALSE(k.call.empty());
      Register();
      debugEnabled = debug;
      EXPECT_EQ(Build(k.command, Record(k.command, k.record)), k.call);
      debugEnabled = false;
      EXPECT_EQ(status_, 0u);
      Lines lines = Take();
      EXPECT_EQ(debug ? Lines{} : lines, Lines{});  // traces add lines
    }
  }
}

// Before any context or handle is known the current lengths are 0: requests
// that must carry one fail, the ones that may go empty still go.
TEST_F(RequestBuild, RequestsThatCannotBeBuiltLeaveNoInput) {
  const std::string kNoMemory = "ERROR(c0000017): Not enough memory";
  const std::string kLookup = "ERROR(00000000): Failed to lookup ";
  struct Case {
    bool fresh;  // maps without any context or handle
    uint32_t command;
    std::vector<Patch> record;
    uint32_t status;
    Lines lines;
  } cases[] = {
      {true, PCSCD_RELEASE_CONTEXT, {U(0, 5)}, 0, {kLookup + "context 5"}},
      {true, PCSCD_TRANSMIT, {U(0, 5), U(4, 6)}, 0, {kLookup + "context 5", kLookup + "handle 6"}},
      {true, PCSCD_LIST_READERS, {}, 0xC0000017, {kNoMemory}},
      {true, PCSCD_STATUS, {}, 0xC0000017, {kNoMemory}},
      // An attribute write without a value.
      {false, PCSCD_SET_ATTRIB, {U(0, ctx_), U(4, card_), U(276, 0)}, 0xC0000017, {kNoMemory}},
      // The call record carries at most 11 readers.
      {false,
       PCSCD_GET_STATUS_CHANGE,
       {U(0, ctx_), U(8, 12)},
       0xC0000001,
       {"ERROR(00000000): Could not encode buffer from GetStatusChangeW_Call: RPC_S_INVALID_ARG"}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.command);
    k.fresh ? ResetMaps() : Register();
    Bytes record = Patched(Bytes(ScRedirQrn_FindCommand(k.command)->recordBytes), k.record);
    EXPECT_EQ(Build(k.command, record).empty(), k.status != 0);
    EXPECT_EQ(status_, k.status);
    EXPECT_EQ(Take(), k.lines);
  }
}

// The handle goes with its Disconnect; a second one sends zeroed bytes.
TEST_F(RequestBuild, DisconnectDropsTheHandleAndASecondSendsZeros) {
  Bytes record = Record(PCSCD_DISCONNECT, {U(0, ctx_), U(4, card_), U(8, 0)});
  Build(PCSCD_DISCONNECT, record);
  EXPECT_EQ(Take(), Lines{});
  EXPECT_EQ(ScRedirQrn_HandleCount(), 0u);
  EXPECT_EQ(Build(PCSCD_DISCONNECT, record),
            ENCODED(HCardAndDisposition_Call, {Ctx(), 4, kZeros}, 0));
  EXPECT_EQ(Take(), (Lines{"ERROR(00000000): Failed to lookup handle " +
                               (std::ostringstream() << std::hex << card_).str(),
                           "ERROR(00000000): Failed to delete handle " +
                               std::to_string(static_cast<int>(card_)) + " from hash map"}));
}

// ---- The command table and the dispatch -----------------------------------

// Hands `received` to the dispatch as the daemon link thread does: in a
// block of the full record size, zeros past what was received.
void Enter(uint32_t command, const Bytes& received) {
  static int channel;
  static ScRedirSession session(&channel);  // the fake engine never looks at it
  const auto size = static_cast<uint32_t>(received.size());
  const PcscdCommand* row = ScRedirQrn_FindCommand(command);
  Bytes block(std::max(size, row->recordBytes));
  std::copy(received.begin(), received.end(), block.begin());
  ScRedirQrn_RedirectCommand(session, *row, PcscdMessageHeader{0x77, command, size}, block.data());
}

TEST_F(RequestBuild, RecordsBreakingAFieldLimitAreRefusedWithOneLine) {
  const std::string noNul(128, 'x');
  const size_t slot0 = offsetof(GetStatusChangeMsg, rgReaderStates);
  struct Case {
    uint32_t command;
    uint32_t size;
    std::vector<Patch> record;
    const char* line;
  } cases[] = {
      {PCSCD_CONNECT, 152, {S(4, noNul)}, "CONNECT: szReader has no NUL within its 128 bytes"},
      {PCSCD_GET_STATUS_CHANGE, 11280, {U(8, 65)}, "GET_STATUS_CHANGE: cReaders 65 is above 64"},
      {PCSCD_GET_STATUS_CHANGE,
       11280,
       {U(8, 2), S(slot0 + 176, noNul)},
       "GET_STATUS_CHANGE: rgReaderStates[1].szReader has no NUL within its 128 bytes"},
      {PCSCD_GET_STATUS_CHANGE,
       11280,
       {U(8, 1), U(slot0 + 136, 37)},
       "GET_STATUS_CHANGE: rgReaderStates[0].cbAtr is above 36"},
      {PCSCD_TRANSMIT, 35, {}, "TRANSMIT: size 35 is below its fixed part of 36 bytes"},
      {PCSCD_TRANSMIT, 65585, {}, "TRANSMIT: size 65585 is above the full record of 65584 bytes"},
      {9, 45, {U(8, 10)}, "TRANSMIT: cbSendLength 10 is beyond the 9 data bytes received"},
      {PCSCD_CONTROL,
       65576,
       {U(12, 65549)},
       "CONTROL: cbSendLength 65549 is beyond the 65548 data bytes received"},
      {PCSCD_SET_ATTRIB, 284, {U(276, 265)}, "SET_ATTRIB: cbAttrLen 265 is above 264"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.line);
    Enter(k.command, Patched(Bytes(k.size), k.record));
    EXPECT_TRUE(g_redirected.empty());
    EXPECT_EQ(Take(), Lines{"ERROR(c000000d): Refused PCSCD_"s + k.line});
  }
}

// Every command's entry against the daemon's and the protocol's numbers:
// each redirects with its IOCTL and full record size, and names its own
// IOCTL when the redirection fails.
TEST_F(RequestBuild, EveryCommandEntryMatchesItsRecordAndIoctl) {
  struct Case {
    uint32_t command;
    const char* name;
    uint32_t ioctl, recordBytes, fixedBytes, rvOffset, resendOutputLength;
    const char* failure;  // the IOCTL named when redirecting fails
  } cases[] = {
      {1, "ESTABLISH_CONTEXT", 0x00090014, 12, 12, 8, 0, "ESTABLISHCONTEXT"},
      {2, "RELEASE_CONTEXT", 0x00090018, 8, 8, 4, 0, "RELEASECONTEXT"},
      {3, "LIST_READERS", 0x0009002C, 8216, 8216, 8212, 17408, "LISTREADERSW"},
      {4, "CONNECT", 0x000900B0, 152, 152, 148, 0, "CONNECTW"},
      {5, "RECONNECT", 0x000900B4, 28, 28, 24, 0, "RECONNECT"},
      {6, "DISCONNECT", 0x000900B8, 16, 16, 12, 0, "DISCONNECT"},
      {7, "BEGIN_TRANSACTION", 0x000900BC, 12, 12, 8, 0, "BEGINTRANSACTION"},
      {8, "END_TRANSACTION", 0x000900C0, 16, 16, 12, 0, "ENDTRANSACTION"},
      {9, "TRANSMIT", 0x000900D0, 65584, 36, 32, 66572, "TRANSMIT"},
      {10, "CONTROL", 0x000900D4, 65576, 28, 24, 66572, "CONTROL"},
      {11, "STATUS", 0x000900CC, 192, 192, 188, 0, "STATUS"},
      {13, "CANCEL", 0x000900A8, 8, 8, 4, 0, "CANCEL"},
      {15, "GET_ATTRIB", 0x000900D8, 284, 284, 280, 0, "GETATTRIB"},
      {16, "SET_ATTRIB", 0x000900DC, 284, 284, 280, 0, "SETATTRIB"},
      {18, "GET_STATUS_CHANGE", 0x000900A4, 11280, 11280, 11276, 4096, "GETSTATUSCHANGEW"},
  };
  g_redirectStatus = 0xC0000001;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.command);
    const PcscdCommand* row = ScRedirQrn_FindCommand(k.command);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(ScRedirQrn_FindCommandByIoctl(k.ioctl), row);
    EXPECT_EQ(row->name, "PCSCD_"s + k.name);
    EXPECT_EQ(std::string(row->ioctlName()).rfind("SCARD_IOCTL_"s + k.failure, 0), 0u);
    EXPECT_EQ(row->body == PcscdBody::kFixed, k.fixedBytes == k.recordBytes);
    EXPECT_EQ(
        std::vector({row->recordBytes, row->fixedBytes, row->rvOffset, row->resendOutputLength}),
        std::vector({k.recordBytes, k.fixedBytes, k.rvOffset, k.resendOutputLength}));
    g_redirected.clear();
    Enter(k.command, Bytes(std::min(k.recordBytes, 40u)));  // zeros pass every check
    ASSERT_EQ(g_redirected.size(), 1u);
    EXPECT_EQ(g_redirected[0].ioControlCode, k.ioctl);
    EXPECT_EQ(g_redirected[0].body.size(), k.recordBytes);
    EXPECT_EQ(Take(), Lines{"ERROR(c0000001): Failed to redirect SCARD_IOCTL_"s + k.failure});
  }
  for (uint32_t code : {0u, 12u, 14u, 17u, 19u, ~0u})
    EXPECT_EQ(ScRedirQrn_FindCommand(code), nullptr);
}

}  // namespace
}  // namespace cmdtest
