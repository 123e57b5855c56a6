// A PIN sent to the card never reaches the log: every dump and trace that
// shows a Transmit send buffer masks the data of VERIFY, CHANGE REFERENCE
// DATA and RESET RETRY COUNTER, and leaves other commands readable.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "lib/log/log.h"
#include "scredir/dump.h"
#include "scredir/qrn_log.h"
#include "scredir/rpc/encode_bytes.h"
#include "scredir/rpc/records.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<std::string> g_rows;  // hex dump rows only, without the newline

class Redaction : public ::testing::Test {
 protected:
  void SetUp() override {
    g_rows.clear();
    LogSetCaptureSink([](const char* message) {
      std::string line(message);
      if (line.rfind("SCQRN: ", 0) != 0) g_rows.push_back(line.substr(0, line.size() - 1));
    });
    debugEnabled = true;
  }
  void TearDown() override {
    debugEnabled = false;
    LogSetCaptureSink(nullptr);
  }
};

// A hex dump row: the hex column padded to 49 characters, then the text column.
std::string Row(const std::string& hex, const std::string& text) {
  return hex + std::string(49 - hex.size(), ' ') + text + std::string(16 - text.size(), ' ');
}

size_t Stars() {
  size_t n = 0;
  for (const std::string& row : g_rows)
    n += static_cast<size_t>(std::count(row.begin(), row.end(), '*'));
  return n;
}

bool HasRow(const std::string& row) {
  return std::find(g_rows.begin(), g_rows.end(), row) != g_rows.end();
}

uint8_t g_context[4] = {0x11, 0x22, 0x33, 0x44};
uint8_t g_handle[4] = {0xA1, 0xB2, 0xC3, 0xD4};

TEST_F(Redaction, SecretBearingCommandsAreMaskedInEveryDumpAndTrace) {
  struct Case {
    const char* what;
    Bytes apdu;
    uint32_t masked;  // bytes after the header shown as ** and *
    std::string firstRow;
  } cases[] = {
      {"VERIFY",
       {0x00, 0x20, 0x00, 0x81, 0x08, '9', '8', '7', '6', '5', '4', 0xFF, 0xFF},
       8,
       Row("00 20 00 81 08 ** ** ** ** ** ** ** **", ". ...********")},
      {"CHANGE REFERENCE DATA, old and new PIN",
       {0x00, 0x24, 0x00, 0x81, 0x0C, '1', '1', '1', '1', '1', '1', '2', '2', '2', '2', '2', '2'},
       12,
       Row("00 24 00 81 0c ** ** ** ** ** ** ** ** ** ** **", ".$...***********")},
      {"RESET RETRY COUNTER with PUK and new PIN, and Le",
       {0x00, 0x2C, 0x00, 0x81, 0x04, 'P', 'U', 'K', '!', 0x00},
       5,
       Row("00 2c 00 81 04 ** ** ** ** **", ".,...*****")},
      {"VERIFY in its BER-TLV form",
       {0x00, 0x21, 0x00, 0x81, 0x03, 0x80, 0x01, '7'},
       3,
       Row("00 21 00 81 03 ** ** **", ".!...***")},
      {"VERIFY asking for the tries left carries nothing",
       {0x00, 0x20, 0x00, 0x81},
       0,
       Row("00 20 00 81", ". ..")},
      {"SELECT stays readable",
       {0x00, 0xA4, 0x04, 0x00, 0x06, 0xA0, 0x00, 0x00, 0x03, 0x08, 0x20},
       0,
       Row("00 a4 04 00 06 a0 00 00 03 08 20", ".......... ")},
  };
  for (Case& c : cases) {
    Transmit_Call call{{{4, g_context}, 4, g_handle},
                       {2, 0, nullptr},
                       static_cast<uint32_t>(c.apdu.size()),
                       c.apdu.data(),
                       nullptr,
                       0,
                       258};
    // The record dump, the encoding traces, then the decoding traces with
    // the raw body dump: each shows the command once.
    g_rows.clear();
    ScRedirQrn_DumpTransmit_Call(call);
    EXPECT_EQ(Stars(), 3 * c.masked) << c.what << ": record dump";
    EXPECT_TRUE(HasRow(c.firstRow)) << c.what << ": record dump";

    g_rows.clear();
    auto wire = ScRedirRpc_EncodeToBytes(Transmit_Call_Encode, &call);
    ASSERT_TRUE(wire.has_value()) << c.what;
    EXPECT_EQ(Stars(), 3 * c.masked) << c.what << ": encoding traces";
    EXPECT_TRUE(HasRow(c.firstRow)) << c.what << ": encoding traces";

    g_rows.clear();
    ScRedirRpc_Handle* h = nullptr;
    ASSERT_EQ(MesDecodeBufferHandleCreate(wire->data(), static_cast<uint32_t>(wire->size()), &h),
              0u);
    Transmit_Call decoded;
    Transmit_Call_Decode(h, &decoded);
    ASSERT_EQ(ScRedirRpc_ErrorCode(), RPC_S_OK) << c.what;
    EXPECT_EQ(Bytes(decoded.pbSendBuffer, decoded.pbSendBuffer + decoded.cbSendLength), c.apdu);
    Transmit_Call_Free(h, &decoded);
    MesHandleFree(h);
    EXPECT_EQ(Stars(), 2 * 3 * c.masked) << c.what << ": body dump and decoding traces";
    EXPECT_TRUE(HasRow(c.firstRow)) << c.what << ": decoding traces";
  }
}

// The raw body dump does not know the record yet: every place a counted
// byte array could start is tried, and candidates that overlap (here one
// whose count is the Lc and data of another) are masked as one stretch.
TEST_F(Redaction, RawBodyDumpMasksOverlappingCandidatesOnce) {
  const Bytes buffer = {0x01, 0x10, 0x08, 0x00, 0xCC, 0xCC, 0xCC, 0xCC, 20,   0,    0,    0,
                        0,    0,    0,    0,    16,   0,    0,    0,    0x00, 0x20, 0x00, 0x81,
                        8,    0,    0,    0,    0x00, 0x24, 0x00, 0x81, 0x03, 0xAA, 0xBB, 0xCC};
  ScRedirRpc_DumpTypeHeaders(buffer.data(), static_cast<uint32_t>(buffer.size()));
  EXPECT_EQ(g_rows, (std::vector<std::string>{
                        Row("10 00 00 00 00 20 00 81 08 ** ** ** ** ** ** **", "..... ...*******"),
                        Row("** ** ** **", "****")}));
}

}  // namespace
