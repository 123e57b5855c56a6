// Completions + kept daemon messages -> daemon replies, byte for byte.
#include "scredir/completion_parse.h"

#include <cstdlib>

#include "scredir/keyed_list.h"
#include "tests/commands/commands_test_util.h"

namespace cmdtest {
namespace {

using namespace std::string_literals;

constexpr uint32_t kId = 7;

// An RDPDR device I/O completion carrying `output`.
Bytes Completion(const Bytes& output, uint32_t id = kId, uint32_t ioStatus = 0,
                 uint32_t componentAndPacket = 0x49434472) {
  Bytes p = Patched(Bytes(20), {U(0, componentAndPacket), U(8, id), U(12, ioStatus),
                                U(16, static_cast<uint32_t>(output.size()))});
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
  // Keeps `record` as the engine does once the request is sent; returns the
  // header the reply must carry.
  Bytes Keep(uint32_t command, const Bytes& record) {
    const PcscdCommand* row = ScRedirQrn_FindCommand(command);
    auto* entry = static_cast<PcscdMsgEntry*>(calloc(1, sizeof(PcscdMsgEntry) + row->recordBytes));
    entry->ioControlCode = row->ioControlCode;
    entry->header = {kId, command, row->recordBytes};
    std::memcpy(PcscdMsgEntry_Body(entry), record.data(), record.size());
    KeyedList_AppendWithKey(list_, kId, entry);
    return Bytes(reinterpret_cast<uint8_t*>(&entry->header),
                 reinterpret_cast<uint8_t*>(&entry->header) + 12);
  }
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

// The whole road answers every command, succeeding and failing; these are
// the returns its card never gives.
TEST_F(CompletionParse, UnusualReturnsAreWrittenIntoTheirRecord) {
  static Bytes none = Utf16("\0\0"s), name = Utf16("Reader A\0\0"s);
  const uint8_t atr[32] = {0x3B, 0x8F, 0x80};
  Status_Return failedStatus{int32_t(0x80100069), uint32_t(name.size()), name.data(), 6, 2, {}, 2};
  std::memcpy(failedStatus.pbAtr, atr, 32);
  struct Case {
    uint32_t command;
    Bytes output;
    std::vector<Patch> reply;  // applied to the record as sent
    Lines lines = {};
  } cases[] = {
      // An empty context: no id is handed out, hContext stays as sent.
      {PCSCD_ESTABLISH_CONTEXT, ENCODED(EstablishContext_Return, 0, {0, nullptr}), {U(8, 0)}},
      {PCSCD_LIST_READERS,
       ENCODED(ListReaders_Return, 0, 4, none.data()),
       {U(16, 1), S(20, "\0"s), U(8212, 0)}},
      // A failed Status still carries state, protocol and ATR; the names stay.
      {PCSCD_STATUS,
       Encode(Status_Return_Encode, failedStatus),
       {U(140, 6), U(144, 2), S(148, "\x3B\x8F"s), U(184, 2), U(188, 0x80100069)},
       {"ERROR(80100069): Error return code for SCARD_IOCTL_STATUSW cmd"}},
      // A length without bytes: the length is written, the value stays.
      {PCSCD_GET_ATTRIB,
       ENCODED(GetAttrib_Return, int32_t(0x80100008), 20, nullptr),
       {U(276, 20), U(280, 0x80100008)}},
      // No states at all: the count drops to 0, the slots stay as sent.
      {PCSCD_GET_STATUS_CHANGE,
       ENCODED(GetStatusChange_Return, int32_t(0x8010000A), 0, nullptr),
       {U(8, 0), U(11276, 0x8010000A)}},
  };
  // The second pass traces every return, which must not change the reply.
  for (bool debug : {false, true}) {
    for (const Case& k : cases) {
      SCOPED_TRACE(testing::Message() << "row " << &k - cases << (debug ? " traced" : ""));
      ASSERT_FALSE(k.output.empty());
      ResetMaps();
      Bytes record = Patterned(ScRedirQrn_FindCommand(k.command)->recordBytes);
      Bytes expected = Keep(k.command, record);
      record = Patched(record, k.reply);
      expected.insert(expected.end(), record.begin(), record.end());
      debugEnabled = debug;
      EXPECT_EQ(Parse(Completion(k.output)), expected);
      debugEnabled = false;
      EXPECT_EQ(status_, 0u);
      EXPECT_EQ(KeyedList_Count(list_), 0);
      Lines lines = Take();
      EXPECT_EQ(debug ? k.lines : lines, k.lines);  // traces add lines
    }
  }
}

TEST_F(CompletionParse, FailedCallsStillSetTheContextLengthButNotTheHandleLength) {
  Keep(PCSCD_ESTABLISH_CONTEXT, Bytes(12));
  Parse(Completion(ENCODED(EstablishContext_Return, int32_t(0x8010001D), {4, kCtx4})));
  Keep(PCSCD_CONNECT, Bytes(152));
  Parse(Completion(ENCODED(Connect_Return, int32_t(0x8010000C), {{4, kCtx4}, 4, kCtx4}, 1)));
  EXPECT_EQ(ScRedirQrn_ContextLength(), 4u);
  EXPECT_EQ(ScRedirQrn_HandleLength(), 0u);
  EXPECT_EQ(ScRedirQrn_ContextCount() + ScRedirQrn_HandleCount(), 0u);
}

// A malformed completion names no request for sure and leaves the message
// kept; a failed one (IoStatus not 0, with or without OutputBufferLength)
// takes its message, which the engine then answers.
TEST_F(CompletionParse, MalformedCompletionsLeaveTheMessageKeptFailedOnesTakeIt) {
  Bytes ok = ENCODED(Long_Return, 0);
  Bytes outputCut = Completion(ok), fixedCut = Completion(ok);
  outputCut.pop_back();  // OutputBufferLength says one byte more
  fixedCut.resize(19);
  // A failure without OutputBufferLength, as some clients send it; one byte
  // less is not a completion at all, and a success needs the length field.
  Bytes failure16 = Completion({}, kId, 0xC0000001), cut15 = failure16, success16 = Completion({});
  failure16.resize(16);
  cut15.resize(15);
  success16.resize(16);
  const char* kSize = "ERROR(00000000): Invalid completion packet or size";
  const Lines kFailed = {"ERROR(c0000001): Incorrect IO completion status",
                         "ERROR(c0000001): Failed IO completion for ID(00000007)"};
  struct Case {
    Bytes packet;
    uint32_t status;
    Lines lines;
  } cases[] = {
      {{}, 0xC000000D, {kSize}},
      {fixedCut, 0xC000000D, {kSize}},
      {outputCut, 0xC000000D, {kSize}},
      {cut15, 0xC000000D, {kSize}},
      {success16, 0xC000000D, {kSize}},
      {Completion(ok, kId, 0, 0x49435052),
       0xC000000D,
       {"ERROR(00005052): Invalid header component"}},
      {Completion(ok, kId, 0, 0x49524472),
       0xC000000D,
       {"ERROR(00004952): Invalid completion packet ID"}},
      {Completion(ok, kId, 0xC0000001), 0xC0000001, kFailed},
      {failure16, 0xC0000001, kFailed},
  };
  Bytes expected = Keep(PCSCD_BEGIN_TRANSACTION, Bytes(12));
  for (const Case& k : cases) {
    SCOPED_TRACE(k.lines.back());
    EXPECT_TRUE(Parse(k.packet).empty());
    EXPECT_EQ(status_, k.status);
    EXPECT_EQ(Take(), k.lines);
    const bool failed = k.status == 0xC0000001;
    EXPECT_EQ(KeyedList_Count(list_), failed ? 0 : 1);
    if (failed) Keep(PCSCD_BEGIN_TRANSACTION, Bytes(12));
  }
  expected.resize(24);  // the kept message is still answered
  EXPECT_EQ(Parse(Completion(ok)), expected);
}

TEST_F(CompletionParse, UnmatchedIdsAnswerNothingAndTheOlderTwinIsAnsweredFirst) {
  Bytes ok = ENCODED(Long_Return, 0);
  Keep(PCSCD_CANCEL, Bytes{1, 1, 1, 1, 9, 9, 9, 9});
  Keep(PCSCD_CANCEL, Bytes{2, 2, 2, 2, 9, 9, 9, 9});
  EXPECT_TRUE(Parse(Completion(ok, 8)).empty());
  EXPECT_EQ(status_, 0xC0000001u);
  EXPECT_EQ(Take(), (Lines{"ERROR(c0000001): No matched pcscd message for ID(00000008)",
                           "ERROR(00000000): No matched completionId: 00000008, exit!"}));
  EXPECT_EQ(Parse(Completion(ok))[12], 1);  // the older message
  EXPECT_EQ(Parse(Completion(ok))[12], 2);
  EXPECT_TRUE(Parse(Completion(ok)).empty());
  EXPECT_EQ(Take().size(), 2u);
}

// Once the message is matched it is gone, whatever fails after. (Output
// whose headers the codec refuses is driven by the whole road.)
TEST_F(CompletionParse, UndecodableOrOversizedReturnsConsumeTheMessageWithoutReply) {
  Bytes unpadded = ENCODED(Long_Return, 0);
  unpadded.resize(20);
  unpadded = Patched(unpadded, {U(8, 4)});
  static uint8_t big[65549];
  static Bytes longName = Utf16(std::string(128, 'n') + "\0\0"s);
  static Bytes hugeNames = Utf16(std::string(8192, 'n') + "\0\0"s);
  static ReaderState_Return many[65] = {};
  const char* kRefused = "ERROR(c0000001): Refused SCARD_IOCTL_";
  struct Case {
    uint32_t command;
    Bytes output;
    Lines lines;
  } cases[] = {
      {PCSCD_CANCEL,
       unpadded,
       {"ERROR(0000007a): At pos 4, need 4 more bytes, but only have 4 total",
        "ERROR(00000000): Could not decode buffer into Long_Return: RPC_S_BUFFER_TOO_SMALL"}},
      {PCSCD_TRANSMIT,
       ENCODED(Transmit_Return, 0, nullptr, 65549, big),
       {kRefused + "TRANSMIT return: cbRecvLength 65549 is above 65548"s}},
      {PCSCD_CONTROL,
       ENCODED(Control_Return, 0, 65549, nullptr),
       {kRefused + "CONTROL return: cbOutBufferSize 65549 is above 65548"s}},
      {PCSCD_GET_ATTRIB,
       ENCODED(GetAttrib_Return, 0, 265, big),
       {kRefused + "GETATTRIB return: cbAttrLen 265 is above 264"s}},
      {PCSCD_GET_STATUS_CHANGE,
       ENCODED(GetStatusChange_Return, 0, 65, many),
       {kRefused + "GETSTATUSCHANGEW return: cReaders 65 is above 64"s}},
      {PCSCD_STATUS,
       ENCODED(Status_Return, 0, 260, longName.data(), 0, 0, {}, 0),
       {kRefused + "STATUSW return: reader names of 130 bytes are above 128"s}},
      {PCSCD_LIST_READERS,
       ENCODED(ListReaders_Return, 0, 16388, hugeNames.data()),
       {kRefused + "LISTREADERSW return: reader names of 8194 bytes are above 8192"s}},
      {PCSCD_ESTABLISH_CONTEXT,
       ENCODED(EstablishContext_Return, 0, {17, big}),
       {kRefused + "ESTABLISHCONTEXT return: cbContext 17 is above 16"s}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.lines.back());
    ASSERT_FALSE(k.output.empty());
    Keep(k.command, Bytes(ScRedirQrn_FindCommand(k.command)->recordBytes));
    EXPECT_TRUE(Parse(Completion(k.output)).empty());
    EXPECT_EQ(status_, 0xC0000001u);
    EXPECT_EQ(Take(), k.lines);
    EXPECT_EQ(KeyedList_Count(list_), 0);
  }
}

// Plain reader lists come back over the whole road; these are the odd ones.
TEST(MultiStringWToA, ConvertsEveryStringAndClosesTheList) {
  struct Case {
    std::vector<uint16_t> units;
    std::string utf8;  // empty: refused
  } cases[] = {
      {{}, "\0"s},
      {{0xE9, 0x20AC, 0, 0}, "\xC3\xA9\xE2\x82\xAC\0\0"s},
      {{'A', 0, 'B'}, "A\0B\0\0"s},  // the last string runs to the end
      {{'A', 0xDC00, 0, 0}, ""},     // a lone low surrogate
  };
  for (const Case& k : cases) {
    uint32_t length = 99;
    uint8_t* out = ScRedirQrn_MultiStringWToA(k.units.empty() ? nullptr : k.units.data(),
                                              static_cast<uint32_t>(k.units.size()), &length);
    std::string got = out ? std::string(reinterpret_cast<char*>(out), length) : "";
    EXPECT_EQ(got, k.utf8);
    EXPECT_EQ(length, out ? k.utf8.size() : 99u);
    g_free(out);
  }
}

}  // namespace
}  // namespace cmdtest
