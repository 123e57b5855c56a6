// Serialisation handles, header checks, primitives, status word and traces.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "tests/rpc/rpc_test_util.h"

namespace rpc_test {
namespace {

TEST(DecodeHandle, RefusesEachBadHeaderWith1784AndNoHandle) {
  const struct {
    const char* what;
    Bytes bytes;
  } cases[] = {
      {"15 bytes", Hex("01 10 08 00 cc cc cc cc 00 00 00 00 00 00 00")},
      {"version 2", Hex("02 10 08 00 cc cc cc cc 00 00 00 00 00 00 00 00")},
      {"endianness 0x01", Hex("01 01 08 00 cc cc cc cc 00 00 00 00 00 00 00 00")},
      {"endianness 0x11", Hex("01 11 08 00 cc cc cc cc 00 00 00 00 00 00 00 00")},
      {"header length 0x0800", Hex("01 10 00 08 cc cc cc cc 00 00 00 00 00 00 00 00")},
      {"common filler", Hex("01 10 08 00 cc cc cc cd 00 00 00 00 00 00 00 00")},
      {"private filler 1", Hex("01 10 08 00 cc cc cc cc 00 00 00 00 01 00 00 00")},
      {"buffer length one past the bytes", Hex("01 10 08 00 cc cc cc cc 01 00 00 00 00 00 00 00")},
  };
  for (const auto& c : cases) {
    ScRedirRpc_Handle* h = reinterpret_cast<ScRedirRpc_Handle*>(0x1);
    EXPECT_EQ(
        MesDecodeBufferHandleCreate(c.bytes.data(), static_cast<uint32_t>(c.bytes.size()), &h),
        1784u)
        << c.what;
    EXPECT_EQ(h, reinterpret_cast<ScRedirRpc_Handle*>(0x1)) << c.what;
  }
}

TEST(DecodeHandle, BytesAfterTheAnnouncedBodyAreIgnored) {
  Bytes b = WithHeaders(Hex("05 00 00 00 00 00 00 00 ee ee ee"));
  b[8] = 8;
  EXPECT_EQ(DecodeRec<Long_Return>(b, [](Long_Return& r) { EXPECT_EQ(r.ReturnCode, 5); }),
            RPC_S_OK);
}

TEST(DecodeHandle, BigEndianSwapsIntegersButNotBytesOrStringUnits) {
  auto check = [](Transmit_Return& r) {
    EXPECT_EQ(static_cast<uint32_t>(r.ReturnCode), 0x80100069u);
    EXPECT_EQ(r.cbRecvLength, 2u);
    EXPECT_EQ(Bytes(r.pbRecvBuffer, r.pbRecvBuffer + r.cbRecvLength), (Bytes{0x90, 0x00}));
    EXPECT_EQ(r.pioRecvPci, nullptr);
  };
  EXPECT_EQ(DecodeRec<Transmit_Return>(kTransmitReturnBigEndian, check), RPC_S_OK);

  // Every integer of the body swapped; the two string bytes (body 32..33) are
  // zero either way, so a unit goes there to see it is not swapped.
  Bytes be = kConnectWCallEmptyName;
  be[1] = 0x00;
  for (size_t off : {8u, 16u, 20u, 24u, 28u, 32u, 36u, 40u, 44u, 52u})
    std::reverse(be.begin() + static_cast<long>(off), be.begin() + static_cast<long>(off) + 4);
  be[16 + 32] = 0x41;
  auto checkName = [](ConnectW_Call& c) {
    EXPECT_EQ(c.szReader[0], 0x0041);
    EXPECT_EQ(c.Common.dwShareMode, 2u);
  };
  EXPECT_EQ(DecodeRec<ConnectW_Call>(be, checkName), RPC_S_OK);
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
    after = DecodeStatus<Long_Return>(WithHeaders({}));
  });
  t.join();
  EXPECT_EQ(fresh, 0u);
  EXPECT_EQ(after, RPC_S_BUFFER_TOO_SMALL);
  EXPECT_EQ(ScRedirRpc_ErrorCode(), RPC_S_OK);
}

TEST(Traces, DecodeWritesHeaderDumpFieldTracesAndGoto) {
  LogCapture log;
  debugEnabled = true;
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
  ASSERT_LE(static_cast<size_t>(first - texts.begin()) + headerDump.size(), texts.size());
  EXPECT_EQ(std::vector<std::string>(first, first + static_cast<long>(headerDump.size())),
            headerDump);
  EXPECT_TRUE(LogCapture::Has("reading UInt32 to call->dwScope"));
  EXPECT_TRUE(LogCapture::Has("Reading 4 bytes:"));

  // The same buffer through a routine that wants more: the failure is traced.
  EXPECT_EQ(DecodeStatus<Connect_Return>(b), RPC_S_BUFFER_TOO_SMALL);
  debugEnabled = false;
  bool sawGoto = false;
  for (const auto& t : LogCapture::Texts())
    sawGoto |= t.rfind("ScRedirRpc_Connect_Return_Codec():", 0) == 0 &&
               t.find(": GOTO ioFailed") != std::string::npos;
  EXPECT_TRUE(sawGoto);
}

// An empty body is accepted by the handle; the first read fails with the
// bounds message, the only line written without debug.
TEST(Traces, NothingButErrorsWithoutDebug) {
  LogCapture log;
  EncodeRec(EstablishContext_Call{2});
  EXPECT_EQ(DecodeStatus<Long_Return>(WithHeaders({})), RPC_S_BUFFER_TOO_SMALL);
  EXPECT_EQ(LogCapture::Texts(),
            std::vector<std::string>{"At pos 0, need 4 more bytes, but only have 0 total"});
}

}  // namespace
}  // namespace rpc_test
