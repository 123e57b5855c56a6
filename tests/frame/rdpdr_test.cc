// RDPDR framing: the client capability walk and the header dump of a
// request (which shows every header byte the framing wrote). The announce
// bytes and every command's request are checked on the whole road, the
// completion checks through the engine's router.
#include "scredir/rdpdr.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "scredir/qrn_log.h"
#include "tests/frame/frame_test_util.h"

namespace {

using frame_test::Bytes;
using frame_test::Cat;
using frame_test::Hex;
using frame_test::Le32;

// A client core capability response: header, numCapabilities, padding, sets.
Bytes CapResponse(uint16_t count, const Bytes& sets) {
  return Cat({Hex("72445043"), Le32({count}), sets});
}

TEST(RdpdrTest, ClientCapabilityWalkFindsGeneralSetsWithinTheBytes) {
  const frame_test::Lines general = {
      "SCQRN: INFO |TID|: Client osType is 00000002 and osVersion is 0000000a"};
  // General set (type 1, 44 bytes, version 2): osType 2, osVersion 10.
  const Bytes set = Cat({Hex("01002c00 02000000 02000000 0a000000"), Bytes(28, 0)});
  // Claims 4 bytes, less than its own header: taken at its word, the walk
  // would find the general set right behind it.
  const Bytes tooShort = Hex("01000400");
  Bytes cut = CapResponse(1, set);
  cut.pop_back();
  struct Case {
    const char* name;
    Bytes packet;
    frame_test::Lines lines;
  } cases[] = {
      {"no sets", CapResponse(0, set), {}},
      {"count larger than the sets present", CapResponse(5, set), general},
      {"general set cut short by the packet end", cut, {}},
      {"set shorter than its header stops the walk", CapResponse(2, Cat({tooShort, set})), {}},
      {"header only", Hex("72445043"), {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    frame_test::LogCapture log;
    ScRedirQrn_ParseClientCap(c.packet.data(), static_cast<uint32_t>(c.packet.size()));
    EXPECT_EQ(log.PluginLines(), c.lines);
  }
}

TEST(RdpdrTest, HeaderDumpOfARequestNamesEveryField) {
  debugEnabled = true;
  size_t length = 0;
  uint8_t* packet = ScRedirQrn_FrameIoRequest(7, 2048, 0x000900D0, Bytes(4, 0), &length);
  ASSERT_NE(packet, nullptr);
  frame_test::LogCapture log;
  ScRedirQrn_DumpMsg(packet, static_cast<uint32_t>(length));
  debugEnabled = false;
  char padding[128];
  snprintf(padding, sizeof padding, "SCQRN: DEBUG |TID|:                           Padding = %p",
           static_cast<void*>(packet + 36));
  const std::string d = "SCQRN: DEBUG |TID|: ";
  const frame_test::Lines expected = {
      d + "72 44            Header->RDPDR_CTYP_CORE = 0x4472",
      d + "52 49            Header->PAKID_CORE_DEVICE_IOREQUEST = 0x4952",
      d + "00 00 00 00              DeviceId = 0000000000 (0)",
      d + "00 00 00 00                FileId = 0000000000 (0)",
      d + "07 00 00 00          CompletionId = 0x00000007 (7)",
      d + "0e 00 00 00         MajorFunction = 0x0000000e (IRP_MJ_DEVICE_CONTROL)",
      d + "00 00 00 00         MinorFunction = 0000000000 (0)",
      d + "00 08 00 00    OutputBufferLength = 0x00000800 (2048)",
      d + "04 00 00 00     InputBufferLength = 0x00000004 (4)",
      d + "d0 00 09 00         IoControlCode = 0x000900d0 (SCARD_IOCTL_TRANSMIT)",
      padding,
      "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00  ................",
      "00 00 00 00" + std::string(38, ' ') + "...." + std::string(12, ' '),
  };
  EXPECT_EQ(log.PluginLines(true), expected);
  g_free(packet);
}

}  // namespace
