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
  // The number of raw hex rows (lines without the log framing) taken.
  size_t HexRows() {
    size_t rows = 0;
    for (const auto& l : Take()) rows += l.rfind("SCQRN: ", 0) != 0;
    return rows;
  }
};

// A debug line as the log routine frames it on this thread.
std::string D(const std::string& text) {
  char prefix[64];
  snprintf(prefix, sizeof prefix,
           "SCQRN: DEBUG |%5lu|: ", static_cast<unsigned long>(syscall(SYS_gettid)));
  return prefix + text + "\n";
}
// `label` is the pointer line up to and including " = ".
std::string Ptr(const std::string& label, const void* address) {
  char text[32];
  snprintf(text, sizeof text, "%p", address);
  return D(label + text);
}
// The Entry line of ScRedirQrn_Dump<fn>, the parts in order, its Exit line.
Lines Wrap(const std::string& fn, std::initializer_list<Lines> parts) {
  Lines all = {D("ScRedirQrn_Dump" + fn + "():L: Entry")};
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  all.push_back(D("ScRedirQrn_Dump" + fn + "():L: Exit"));
  return all;
}

Lines ReturnCodeLines(const std::string& line) {
  return Wrap("ReturnCode", {{D(line)}});
}

// Record contents as the request builder and decoder leave them.
uint8_t g_context[4] = {0x11, 0x22, 0x33, 0x44};
uint8_t g_handle[4] = {0xA1, 0xB2, 0xC3, 0xD4};
uint8_t g_attr[3] = {0x3B, 0x8F, 0x80};
uint8_t g_response[2] = {0x90, 0x00};
uint16_t g_name1[] = {'R', '1', 0};
uint16_t g_name2[] = {0};  // an empty name still shows its terminator
ReaderStateW g_states[2] = {{g_name1, {0, 0x22, 2, {0x3B, 0x00}}}, {g_name2, {0x10, 0, 0, {}}}};
SCardIO_Request g_recvPci{2, 0, nullptr};
const REDIR_SCARDHANDLE kCard{{4, g_context}, 4, g_handle};

Lines ContextLines() {
  return Wrap("RedirSCardContext",
              {{D("04 00 00 00             cbContext = 0x00000004 (4)"),
                Ptr("                        pbContext = ", g_context),
                "11 22 33 44                                      .\"3D            \n"}});
}

Lines CardLines() {
  return Wrap("RedirSCardHandle",
              {ContextLines(),
               {D("04 00 00 00              cbHandle = 0x00000004 (4)"),
                Ptr("                         pbHandle = ", g_handle),
                "a1 b2 c3 d4                                      ....            \n"}});
}

Lines ReaderLines(const std::string& nameRow, const ReaderStateW& s, const Lines& common) {
  return Wrap("ReaderStateW",
              {{Ptr("                         szReader = ", s.szReader), nameRow + "\n"},
               Wrap("ReaderState_Common_Call", {common})});
}

Lines TransmitReturnLines(bool withPci) {
  Lines pci = Wrap("SCardIO_Request", {{D("02 00 00 00            dwProtocol = 0x00000002 (2)"),
                                        D("00 00 00 00          cbExtraBytes = 0000000000 (0)"),
                                        Ptr("                     pbExtraBytes = ", nullptr)}});
  return Wrap("Transmit_Return",
              {ReturnCodeLines("00 00 00 00            ReturnCode = 0000000000 (SCARD_S_SUCCESS)"),
               withPci ? pci : Lines{},
               {D("02 00 00 00          cbRecvLength = 0x00000002 (2)"),
                Ptr("                     pbRecvBuffer = ", g_response),
                "90 00                                            ..              \n"}});
}

TEST_F(Trace, RecordsAreTracedLineForLineAndNotAtAllWithoutDebug) {
  const std::string kSuccess = "00 00 00 00            ReturnCode = 0000000000 (SCARD_S_SUCCESS)";
  Check("ReturnCode 0 (the # flag drops 0x from a zero)",
        std::bind(ScRedirQrn_DumpLong_Return, Long_Return{0}),
        Wrap("Long_Return", {ReturnCodeLines(kSuccess)}));
  Check("ReturnCode of a removed card", std::bind(ScRedirQrn_DumpReturnCode, 0x80100069),
        ReturnCodeLines("69 00 10 80            ReturnCode = 0x80100069 (SCARD_W_REMOVED_CARD)"));
  Check("unknown scope", std::bind(ScRedirQrn_DumpEstablishContext_Call, EstablishContext_Call{3}),
        Wrap("EstablishContext_Call",
             {{D("03 00 00 00               dwScope = 0x00000003 (UNKNOWN)")}}));
  Check("negative IsNULL flag keeps its sign",
        std::bind(ScRedirQrn_DumpSignedField, "fpbAttrIsNULL", -1),
        {D("ff ff ff ff         fpbAttrIsNULL = 0xffffffff (-1)")});
  Check("packet header field", std::bind(ScRedirQrn_DumpHeaderField, 0x4472, "RDPDR_CTYP_CORE"),
        {D("72 44            Header->RDPDR_CTYP_CORE = 0x4472")});
  Check("attribute read is named",
        std::bind(ScRedirQrn_DumpGetAttrib_Call, GetAttrib_Call{kCard, 0x00090303, 0, 32}),
        Wrap("GetAttrib_Call",
             {CardLines(),
              {D("03 03 09 00              dwAttrId = 0x00090303 (SCARD_ATTR_ATR_STRING)"),
               D("00 00 00 00         fpbAttrIsNULL = 0000000000 (0)"),
               D("20 00 00 00             cbAttrLen = 0x00000020 (32)")}}));
  Check("attribute write shows the number",
        std::bind(ScRedirQrn_DumpSetAttrib_Call, SetAttrib_Call{kCard, 0x00090303, 3, g_attr}),
        Wrap("SetAttrib_Call",
             {CardLines(),
              {D("03 03 09 00              dwAttrId = 0x00090303 (590595)"),
               D("03 00 00 00             cbAttrLen = 0x00000003 (3)"),
               Ptr("                           pbAttr = ", g_attr),
               "3b 8f 80                                         ;..             \n"}}));
  Check("null buffer: pointer line, no hex dump",
        std::bind(ScRedirQrn_DumpSetAttrib_Call, SetAttrib_Call{kCard, 1, 3, nullptr}),
        Wrap("SetAttrib_Call", {CardLines(),
                                {D("01 00 00 00              dwAttrId = 0x00000001 (1)"),
                                 D("03 00 00 00             cbAttrLen = 0x00000003 (3)"),
                                 D("                           pbAttr = (nil)")}}));
  Check("transmit return without pioRecvPci",
        std::bind(ScRedirQrn_DumpTransmit_Return, Transmit_Return{0, nullptr, 2, g_response}),
        TransmitReturnLines(false));
  Check("transmit return with pioRecvPci",
        std::bind(ScRedirQrn_DumpTransmit_Return, Transmit_Return{0, &g_recvPci, 2, g_response}),
        TransmitReturnLines(true));
}

// The reader-state array is dumped raw (pointers and padding included), so
// its rows come from the hex dump itself.
TEST_F(Trace, StatusChangeWithTwoReaders) {
  ScRedirQrn_HexDump(g_states, sizeof g_states);
  const Lines arrayRows = Take();
  ASSERT_EQ(arrayRows.size(), (sizeof g_states + 15) / 16);
  Check(
      "status change with two readers",
      std::bind(ScRedirQrn_DumpGetStatusChangeW_Call,
                GetStatusChangeW_Call{{4, g_context}, 0xFFFFFFFF, 2, g_states}),
      Wrap("GetStatusChangeW_Call",
           {
               ContextLines(),
               {D("ff ff ff ff             dwTimeOut = 0xffffffff (4294967295)"),
                D("02 00 00 00              cReaders = 0x00000002 (2)"),
                Ptr("                   rgReaderStates = ", g_states)},
               arrayRows,
               ReaderLines("52 00 31 00 00 00                                R.1...          ",
                           g_states[0],
                           {D("00 00 00 00        dwCurrentState = 0000000000 (0)"),
                            D("22 00 00 00          dwEventState = 0x00000022 (34)"),
                            D("02 00 00 00                 cbAtr = 0x00000002 (2)"),
                            Ptr("                           rgbAtr = ", g_states[0].Common.rgbAtr),
                            "3b 00                                            ;.              \n"}),
               ReaderLines(
                   "00 00                                            ..              ", g_states[1],
                   {D("10 00 00 00        dwCurrentState = 0x00000010 (16)"),
                    D("00 00 00 00          dwEventState = 0000000000 (0)"),
                    D("00 00 00 00                 cbAtr = 0000000000 (0)"),
                    Ptr("                           rgbAtr = ", g_states[1].Common.rgbAtr)}),
           }));
}

// A count beside a fixed ATR array that is larger than the array (a call's
// count is still the daemon's, unchecked, when it is traced) must not make
// the dump read past the array: only the array's rows are dumped.
TEST_F(Trace, AtrCountBeyondItsArrayDumpsOnlyTheArray) {
  ScRedirQrn_DumpReaderState_Common_Call({0, 0, 37, {}});
  EXPECT_EQ(HexRows(), 3u);  // 36 bytes
  ScRedirQrn_DumpReaderState_Return({0, 0, 200, {}});
  EXPECT_EQ(HexRows(), 3u);
  ScRedirQrn_DumpStatus_Return({0, 0, nullptr, 0, 0, {}, 33});
  EXPECT_EQ(HexRows(), 2u);  // 32 bytes
}

}  // namespace
