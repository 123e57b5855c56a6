// Serialisation handles, header checks, primitives, status word and traces.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "tests/rpc/rpc_test_util.h"

namespace rpc_test {
namespace {

// A valid 16-byte buffer with an empty body, to be spoiled one field at a time.
Bytes EmptyBody() {
  return WithHeaders({});
}

TEST(DecodeHandle, RefusesEachBadHeaderWith1784AndNoHandle) {
  struct Case {
    const char* what;
    size_t offset;  // byte to change, or SIZE_MAX to shorten instead
    uint8_t value;
    size_t length;
  };
  const Case cases[] = {
      {"7 bytes", SIZE_MAX, 0, 7},
      {"15 bytes", SIZE_MAX, 0, 15},
      {"version 2", 0, 0x02, 16},
      {"endianness 0x01", 1, 0x01, 16},
      {"endianness 0x11", 1, 0x11, 16},
      {"header length 0x0800", 2, 0x00, 16},  // bytes 00 08
      {"common filler", 7, 0xCD, 16},
      {"private filler 1", 12, 0x01, 16},
      {"buffer length one past the bytes", 8, 0x01, 16},
  };
  for (const auto& c : cases) {
    Bytes b = EmptyBody();
    if (c.offset != SIZE_MAX) b[c.offset] = c.value;
    if (c.offset == 2) b[3] = 0x08;
    b.resize(c.length);
    ScRedirRpc_Handle* h = reinterpret_cast<ScRedirRpc_Handle*>(0x1);
    EXPECT_EQ(MesDecodeBufferHandleCreate(b.data(), static_cast<uint32_t>(b.size()), &h), 1784u)
        << c.what;
    EXPECT_EQ(h, reinterpret_cast<ScRedirRpc_Handle*>(0x1)) << c.what;
  }
}

TEST(DecodeHandle, EmptyBodyAcceptedButFirstReadFailsWithBoundsMessage) {
  LogCapture log;
  ScRedirRpc_SetErrorCode(RPC_S_OK);
  EXPECT_EQ(DecodeStatus<Long_Return>(EmptyBody()), RPC_S_BUFFER_TOO_SMALL);
  EXPECT_TRUE(LogCapture::Has("At pos 0, need 4 more bytes, but only have 0 total"));
}

TEST(DecodeHandle, BytesAfterTheAnnouncedBodyAreIgnored) {
  Bytes b = WithHeaders({0x05, 0, 0, 0, 0, 0, 0, 0});
  b.insert(b.end(), {0xEE, 0xEE, 0xEE});
  int32_t rc = 0;
  EXPECT_EQ(DecodeRec<Long_Return>(b, [&](Long_Return& r) { rc = r.ReturnCode; }), RPC_S_OK);
  EXPECT_EQ(rc, 5);
}

TEST(DecodeHandle, BigEndianSwapsIntegersButNotBytes) {
  uint32_t rc = 0, len = 0;
  Bytes data;
  auto check = [&](Transmit_Return& r) {
    rc = r.ReturnCode;
    len = r.cbRecvLength;
    data.assign(r.pbRecvBuffer, r.pbRecvBuffer + r.cbRecvLength);
    EXPECT_EQ(r.pioRecvPci, nullptr);
  };
  EXPECT_EQ(DecodeRec<Transmit_Return>(kTransmitReturnBigEndian, check), RPC_S_OK);
  EXPECT_EQ(rc, 0x80100069u);
  EXPECT_EQ(len, 2u);
  EXPECT_EQ(data, (Bytes{0x90, 0x00}));
}

TEST(DecodeHandle, BigEndianStringUnitsStayAsReceived) {
  Bytes be = kConnectWCallEmptyName;
  be[1] = 0x00;
  // Swap every integer of the body; the two string bytes (body 32..33) are
  // zero either way, so put a unit there to see it is not swapped.
  for (size_t off : {8u, 16u, 20u, 24u, 28u, 32u, 36u, 40u, 44u, 52u})
    std::reverse(be.begin() + static_cast<long>(off), be.begin() + static_cast<long>(off) + 4);
  be[16 + 32] = 0x41;
  uint16_t unit = 0;
  uint32_t share = 0;
  auto check = [&](ConnectW_Call& c) {
    unit = c.szReader[0];
    share = c.Common.dwShareMode;
  };
  EXPECT_EQ(DecodeRec<ConnectW_Call>(be, check), RPC_S_OK);
  EXPECT_EQ(unit, 0x0041);
  EXPECT_EQ(share, 2u);
}

TEST(EncodeHandle, UnfinishedEncodingReleasesItsBytes) {
  uint8_t* buf = nullptr;
  uint32_t len = 0;
  ScRedirRpc_Handle* h = nullptr;
  ASSERT_EQ(MesEncodeDynBufferHandleCreate(&buf, &len, &h), 0u);
  uint32_t v = 7;
  EXPECT_EQ(ScRedirRpc_NdrUInt32(h, &v), 1);
  EXPECT_EQ(MesHandleFree(h), 0u);  // LeakSanitizer checks the bytes went too
  EXPECT_EQ(buf, nullptr);
}

TEST(StatusWord, IsPerThreadAndZeroUntilSet) {
  ScRedirRpc_SetErrorCode(RPC_S_OK);
  uint32_t fresh = 1, after = 0;
  std::thread t([&] {
    fresh = ScRedirRpc_ErrorCode();
    after = DecodeStatus<Long_Return>(EmptyBody());
  });
  t.join();
  EXPECT_EQ(fresh, 0u);
  EXPECT_EQ(after, RPC_S_BUFFER_TOO_SMALL);
  EXPECT_EQ(ScRedirRpc_ErrorCode(), RPC_S_OK);
}

TEST(StatusWord, NamesAsPrinted) {
  const std::pair<uint32_t, const char*> names[] = {
      {0, "RPC_S_OK"},
      {87, "RPC_S_INVALID_ARG"},
      {122, "RPC_S_BUFFER_TOO_SMALL"},
      {14, "RPC_S_OUT_OF_MEMORY"},
      {1784, "UNKNOWN"},
  };
  for (const auto& [v, name] : names) EXPECT_STREQ(ScRedirRpc_StatusName(v), name);
}

TEST(Traces, DecodeWritesHeaderDumpFieldTracesAndGoto) {
  LogCapture log;
  DebugOn debug;
  const Bytes& b = kEstablishContextCall;
  EXPECT_EQ(DecodeStatus<EstablishContext_Call>(b), RPC_S_OK);
  const std::vector<std::string> headerDump = {
      "01                        Version = 0x01 (RPCE_VERSION_1)",
      "10                     Endianness = 0x10 (RPCE_LITTLE_ENDIAN)",
      "08 00               Header Length = 0x0008 (8)",
      "cc cc cc cc                Filler = 0xcccccccc (3435973836)",
      "08 00 00 00         Buffer Length = 0x00000008 (8)",
      "00 00 00 00                Filler = 0000000000 (0)",
      "Buffer is 8 bytes:",
      "02 00 00 00 00 00 00 00                          ........        ",
  };
  auto texts = LogCapture::Texts();
  auto first = std::find(texts.begin(), texts.end(), headerDump[0]);
  ASSERT_NE(first, texts.end());
  ASSERT_GE(static_cast<size_t>(texts.end() - first), headerDump.size());
  EXPECT_EQ(std::vector<std::string>(first, first + static_cast<long>(headerDump.size())),
            headerDump);
  EXPECT_TRUE(LogCapture::Has("reading UInt32 to call->dwScope"));
  EXPECT_TRUE(LogCapture::Has("Reading 4 bytes:"));

  // The same buffer through a routine that wants more: the failure is traced.
  EXPECT_EQ(DecodeStatus<Connect_Return>(b), RPC_S_BUFFER_TOO_SMALL);
  bool sawGoto = false;
  for (const auto& t : LogCapture::Texts())
    sawGoto |= t.rfind("ScRedirRpc_Connect_Return_Codec():", 0) == 0 &&
               t.find(": GOTO ioFailed") != std::string::npos;
  EXPECT_TRUE(sawGoto);
}

TEST(Traces, NothingButErrorsWithoutDebug) {
  LogCapture log;
  EncodeRec(EstablishContext_Call{2});
  EXPECT_EQ(DecodeStatus<Long_Return>(EmptyBody()), RPC_S_BUFFER_TOO_SMALL);
  ASSERT_EQ(LogCapture::Texts().size(), 1u);
  EXPECT_EQ(LogCapture::Texts()[0], "At pos 0, need 4 more bytes, but only have 0 total");
}

}  // namespace
}  // namespace rpc_test
