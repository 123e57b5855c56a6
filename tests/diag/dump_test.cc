#include "scredir/dump.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "lib/log/log.h"
#include "scredir/qrn_log.h"

namespace {

using Lines = std::vector<std::string>;

Lines g_captured;

class Trace : public ::testing::Test {
 protected:
  void SetUp() override {
    g_captured.clear();
    LogSetCaptureSink([](const char* message) { g_captured.emplace_back(message); });
    debugEnabled = true;
  }
  void TearDown() override {
    debugEnabled = false;
    LogSetCaptureSink(nullptr);
  }
  // Source line numbers in the Entry/Exit brackets are not part of the
  // format under test; everything else is compared byte for byte.
  Lines Take() {
    static const std::regex kBracket("\\(\\):[0-9]+: (Entry|Exit)\n$");
    Lines out;
    for (const auto& l : g_captured) out.push_back(std::regex_replace(l, kBracket, "():L: $1\n"));
    g_captured.clear();
    return out;
  }
  // Runs `dump` with debug on and compares every line, then again with
  // debug off, when nothing may be written.
  void Check(const char* what, const std::function<void()>& dump, const Lines& expected) {
    debugEnabled = true;
    dump();
    EXPECT_EQ(Take(), expected) << what;
    debugEnabled = false;
    dump();
    EXPECT_EQ(Take(), Lines{}) << what << " without debug";
  }
};

// A debug line as the log routine frames it on this thread.
std::string D(const std::string& text) {
  char prefix[64];
  snprintf(prefix, sizeof prefix,
           "SCQRN: DEBUG |%5lu|: ", static_cast<unsigned long>(syscall(SYS_gettid)));
  return prefix + text + "\n";
}
// The Entry line of ScRedirQrn_Dump<fn>, the parts in order, its Exit line.
Lines Wrap(const std::string& fn, std::initializer_list<Lines> parts) {
  Lines all = {D("ScRedirQrn_Dump" + fn + "():L: Entry")};
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  all.push_back(D("ScRedirQrn_Dump" + fn + "():L: Exit"));
  return all;
}

// A field line and a pointer line for the records whose rows come after
// the literal ones: those pin the formats, these rows which fields come in
// which order and how each is shown (`shown` replaces the decimal column).
std::string F(const char* name, uint32_t v, const std::string& shown = "") {
  char text[128];
  snprintf(text, sizeof text, "%02x %02x %02x %02x  %20s = %#010x (%s)", v & 0xFF, v >> 8 & 0xFF,
           v >> 16 & 0xFF, v >> 24, name, v, (shown.empty() ? std::to_string(v) : shown).c_str());
  return D(text);
}
std::string P(const char* name, const void* address) {
  char text[64];
  snprintf(text, sizeof text, " %32s = %p", name, address);
  return D(text);
}

// Record contents as the request builder and decoder leave them.
uint8_t g_context[4] = {0x11, 0x22, 0x33, 0x44};
uint8_t g_handle[4] = {0xA1, 0xB2, 0xC3, 0xD4};
uint8_t g_attr[3] = {0x3B, 0x8F, 0x80};
uint16_t g_name1[] = {'R', '1', 0};
uint16_t g_name2[] = {0};  // an empty name still shows its terminator
ReaderStateW g_states[2] = {{g_name1, {0, 0x22, 2, {0x3B, 0x00}}}, {g_name2, {0x10, 0, 37, {}}}};
SCardIO_Request g_recvPci{2, 0, nullptr};
const REDIR_SCARDHANDLE kCard{{4, g_context}, 4, g_handle};

const std::string kAttrRow = "3b 8f 80                                         ;..             \n";
const std::string kZeroRow = "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00  ................\n";
const std::string kZero4Row = "00 00 00 00                                      ....            \n";
const std::string kNameRow = "52 00 31 00 00 00                                R.1...          \n";
// A VERIFY: masked where it is sent, shown where it comes back as an answer.
uint8_t g_answer[] = {0x00, 0x20, 0x00, 0x81, 0x02, 0x90, 0x00};
const std::string kAnswer = "00 20 00 81 02 90 00                             . .....         \n";
const std::string kMasked = "00 20 00 81 02 ** **                             . ...**         \n";

// A table row: what ScRedirQrn_Dump<R> writes for `rec`, bracketed by its Entry and Exit.
#define ROW(R, rec, ...) \
  { #R, std::bind(ScRedirQrn_Dump##R, rec), Wrap(#R, {__VA_ARGS__}) }

// Every record and shared piece, filled as the builder or the decoder
// leaves it, compared line for line; then again without debug, when nothing
// may be written. A count beside a fixed ATR array that is larger than the
// array (a call's count is still the daemon's, unchecked, when it is traced)
// dumps only the array.
TEST_F(Trace, EveryRecordIsTracedLineForLineAndNotAtAllWithoutDebug) {
  ReaderState_Return stateRet{1, 2, 200, {}};
  Status_Return status{0, 3, g_attr, 6, 2, {}, 33};
  ScRedirQrn_HexDump(g_states, sizeof g_states);
  const Lines arrayRows = Take();
  ASSERT_EQ(arrayRows.size(), (sizeof g_states + 15) / 16);
  const Lines context =
      Wrap("RedirSCardContext",
           {{D("04 00 00 00             cbContext = 0x00000004 (4)"), P("pbContext", g_context),
             "11 22 33 44                                      .\"3D            \n"}});
  const Lines card =
      Wrap("RedirSCardHandle",
           {context,
            {D("04 00 00 00              cbHandle = 0x00000004 (4)"), P("pbHandle", g_handle),
             "a1 b2 c3 d4                                      ....            \n"}});
  const Lines ok =
      Wrap("ReturnCode", {{D("00 00 00 00            ReturnCode = 0000000000 (SCARD_S_SUCCESS)")}});
  const Lines pci = Wrap("SCardIO_Request", {{F("dwProtocol", 2), F("cbExtraBytes", 0),
                                              D("                     pbExtraBytes = (nil)")}});
  const Lines recv = {F("cbRecvLength", 7), P("pbRecvBuffer", g_answer), kAnswer};
  const struct {
    const char* what;
    std::function<void()> dump;
    Lines expected;
  } cases[] = {
      {"ReturnCode of a removed card", std::bind(ScRedirQrn_DumpReturnCode, 0x80100069),
       Wrap("ReturnCode",
            {{D("69 00 10 80            ReturnCode = 0x80100069 (SCARD_W_REMOVED_CARD)")}})},
      {"negative IsNULL flag keeps its sign",
       std::bind(ScRedirQrn_DumpSignedField, "fpbAttrIsNULL", -1),
       {D("ff ff ff ff         fpbAttrIsNULL = 0xffffffff (-1)")}},
      {"packet header field",
       std::bind(ScRedirQrn_DumpHeaderField, 0x4472, "RDPDR_CTYP_CORE"),
       {D("72 44            Header->RDPDR_CTYP_CORE = 0x4472")}},
      // The # flag drops 0x from a zero.
      ROW(Long_Return, Long_Return{0}, ok),
      ROW(EstablishContext_Call, EstablishContext_Call{3},
          {D("03 00 00 00               dwScope = 0x00000003 (UNKNOWN)")}),
      ROW(Context_Call, (Context_Call{{4, g_context}}), context),
      // The IsNULL flag of ListReaders is traced unsigned.
      ROW(ListReaders_Call, (ListReaders_Call{{4, g_context}, 3, g_attr, -1, 64}), context,
          {F("cBytes", 3), P("mszGroups", g_attr), kAttrRow, F("fmszReadersIsNULL", 0xFFFFFFFF),
           F("cchReaders", 64)}),
      // The array as it sits in memory, then reader by reader.
      ROW(GetStatusChangeW_Call, (GetStatusChangeW_Call{{4, g_context}, 0xFFFFFFFF, 2, g_states}),
          context,
          {D("ff ff ff ff             dwTimeOut = 0xffffffff (4294967295)"), F("cReaders", 2),
           P("rgReaderStates", g_states)},
          arrayRows,
          Wrap("ReaderStateW",
               {{P("szReader", g_name1), kNameRow},
                Wrap("ReaderState_Common_Call",
                     {{F("dwCurrentState", 0), F("dwEventState", 0x22), F("cbAtr", 2),
                       P("rgbAtr", g_states[0].Common.rgbAtr),
                       "3b 00                                            ;.              \n"}})}),
          Wrap("ReaderStateW",
               {{P("szReader", g_name2),
                 "00 00                                            ..              \n"},
                Wrap("ReaderState_Common_Call",
                     {{F("dwCurrentState", 16), F("dwEventState", 0), F("cbAtr", 37),
                       P("rgbAtr", g_states[1].Common.rgbAtr), kZeroRow, kZeroRow, kZero4Row}})})),
      ROW(ConnectW_Call, (ConnectW_Call{g_name1, {{4, g_context}, 2, 3}}),
          {P("szReader", g_name1), kNameRow},
          Wrap("Connect_Common", {context, {F("dwShareMode", 2), F("dwPreferredProtocols", 3)}})),
      ROW(Reconnect_Call, (Reconnect_Call{kCard, 2, 3, 1}), card,
          {F("dwShareMode", 2), F("dwPreferredProtocols", 3), F("dwInitialization", 1)}),
      ROW(HCardAndDisposition_Call, (HCardAndDisposition_Call{kCard, 1}), card,
          {F("dwDisposition", 1)}),
      ROW(Status_Call, (Status_Call{kCard, -2, 64, 36}), card,
          {F("fmszReaderNamesIsNULL", 0xFFFFFFFE, "-2"), F("cchReaderLen", 64), F("cbAtrLen", 36)}),
      ROW(Transmit_Call, (Transmit_Call{kCard, {1, 3, g_attr}, 7, g_answer, &g_recvPci, -1, 258}),
          card,
          Wrap("SCardIO_Request",
               {{F("dwProtocol", 1), F("cbExtraBytes", 3), P("pbExtraBytes", g_attr), kAttrRow}}),
          {F("cbSendLength", 7), P("pbSendBuffer", g_answer), kMasked}, pci,
          {F("fpbRecvBufferIsNULL", 0xFFFFFFFF, "-1"), F("cbRecvLength", 258)}),
      ROW(Control_Call, (Control_Call{kCard, 0x313520, 3, g_attr, -1, 256}), card,
          {F("dwControlCode", 0x313520), F("cbInBufferSize", 3), P("pvInBuffer", g_attr), kAttrRow,
           F("fpvOutBufferIsNULL", 0xFFFFFFFF, "-1"), F("cbOutBufferSize", 256)}),
      // Only a read names the attribute.
      ROW(GetAttrib_Call, (GetAttrib_Call{kCard, 0x00090303, 0, 32}), card,
          {D("03 03 09 00              dwAttrId = 0x00090303 (SCARD_ATTR_ATR_STRING)"),
           F("fpbAttrIsNULL", 0), F("cbAttrLen", 32)}),
      ROW(SetAttrib_Call, (SetAttrib_Call{kCard, 0x00090303, 3, g_attr}), card,
          {D("03 03 09 00              dwAttrId = 0x00090303 (590595)"), F("cbAttrLen", 3),
           P("pbAttr", g_attr), kAttrRow}),
      // A null buffer: its pointer line, no hex dump.
      ROW(SetAttrib_Call, (SetAttrib_Call{kCard, 1, 3, nullptr}), card,
          {F("dwAttrId", 1), F("cbAttrLen", 3), D("                           pbAttr = (nil)")}),
      ROW(EstablishContext_Return, (EstablishContext_Return{0, {4, g_context}}), ok, context),
      ROW(LongAndMultiString_Return, (ListReaders_Return{0, 3, g_attr}), ok,
          {F("cBytes", 3), P("msz", g_attr), kAttrRow}),
      ROW(GetStatusChange_Return, (GetStatusChange_Return{0, 1, &stateRet}), ok, {F("cReaders", 1)},
          Wrap("ReaderState_Return",
               {{F("dwCurrentState", 1), F("dwEventState", 2), F("cbAtr", 200),
                 P("rgbAtr", stateRet.rgbAtr), kZeroRow, kZeroRow, kZero4Row}})),
      ROW(Connect_Return, (Connect_Return{0, kCard, 2}), ok, card, {F("dwActiveProtocol", 2)}),
      ROW(Reconnect_Return, (Reconnect_Return{0, 2}), ok, {F("dwActiveProtocol", 2)}),
      ROW(Status_Return, std::cref(status), ok,
          {F("cBytes", 3), P("mszReaderNames", g_attr), kAttrRow, F("dwState", 6),
           F("dwProtocol", 2), F("cbAtrLen", 33), P("pbAtr", status.pbAtr), kZeroRow, kZeroRow}),
      ROW(Transmit_Return, (Transmit_Return{0, nullptr, 7, g_answer}), ok, recv),
      ROW(Transmit_Return, (Transmit_Return{0, &g_recvPci, 7, g_answer}), ok, pci, recv),
      ROW(Control_Return, (Control_Return{0, 3, g_attr}), ok,
          {F("cbOutBufferSize", 3), P("pvOutBuffer", g_attr), kAttrRow}),
      ROW(GetAttrib_Return, (GetAttrib_Return{0, 3, g_attr}), ok,
          {F("cbAttrLen", 3), P("pbAttr", g_attr), kAttrRow}),
  };
  for (const auto& c : cases) Check(c.what, c.dump, c.expected);
}

}  // namespace
