// The demo's text forms and command line: the transcript must name results,
// states and protocols right, and bad options must be refused with a reason.
#include <gtest/gtest.h>

#include "tools/demo/format.h"
#include "tools/demo/log_follower.h"
#include "tools/demo/options.h"

namespace scredir::demo {
namespace {

TEST(DemoTextTest, TranscriptNamesValuesAsTheStacksDo) {
  const std::pair<std::string, std::string> cases[] = {
      {HexBytes({}), "(none)"},
      {HexBytes(std::vector<uint8_t>{0x00, 0x9f, 0xA4}), "00 9F A4"},
      {ResultName(0), "SCARD_S_SUCCESS"},
      // pcsc-lite's value for an unsupported feature; the plug-in's table has no name for it.
      {ResultName(0x8010001F), "SCARD_E_UNSUPPORTED_FEATURE (0x8010001F)"},
      {ResultName(0x80100018), "UNKNOWN (0x80100018)"},
      {ReaderStateText(0), "UNAWARE"},
      // The event counter pcsc-lite keeps in the upper half is not a flag.
      {ReaderStateText(0x00030122), "CHANGED|PRESENT|INUSE events=3"},
      {ReaderStateText(0x1010), "EMPTY|0x00001000"},
      {CardStateText(0x10034), "PRESENT|POWERED|NEGOTIABLE events=1"},
      {CardStateText(0), "none"},
      {WindowsCardStateText(7), "0x00000007"},
      {ProtocolText(0), "none"},
      {ProtocolText(3), "T=0|T=1"},
      {ProtocolText(0x00010000), "0x00010000"},
      {StatusWordText(std::vector<uint8_t>{1, 2, 0x63, 0xC2}), "wrong PIN, 2 tries left"},
      {StatusWordText(std::vector<uint8_t>{0x61, 0x10}), "16 more bytes available"},
      {StatusWordText(std::vector<uint8_t>{0x6F, 0x00}), "status 6F 00"},
      {StatusWordText(std::vector<uint8_t>{0x90}), ""},
      {Milliseconds(0.4213), "0.42 ms"},
      {Milliseconds(305.34), "305.3 ms"},
      {QuotedList({}), "(none)"},
      {QuotedList({"a", "b c"}), "\"a\", \"b c\""},
      // Log lines lose only a well-formed prefix.
      {WithoutLinePrefix("2026-12-05T19:24:41.658Z In(05) scredir-demo SCQRN: INFO |1|: x"),
       "SCQRN: INFO |1|: x"},
      {WithoutLinePrefix("02 00 00 00   ...."), "02 00 00 00   ...."},
      {WithoutLinePrefix("2026-12-05Z noparen thread text"), "2026-12-05Z noparen thread text"},
      {WithoutLinePrefix(""), ""},
  };
  for (const auto& [got, want] : cases) EXPECT_EQ(got, want);
}

TEST(DemoOptionsTest, BadCommandLinesAreRefusedWithTheReason) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--log-level", "DEBUG"}, "takes info or debug"},
      {{"--log-level"}, "needs a value"},
      {{"--plugin="}, "non-empty path"},
      {{"--timeout", "0"}, "above 0"},
      {{"--timeout", "5s"}, "seconds"},
      {{"--card-wait", "inf"}, "seconds"},
      {{"--timeout", "0.0001"}, "seconds"},  // rounds to 0 ms
      {{"--remove-card-before", "lunch"}, "unknown step"},
      {{"--backend", "pcsc", "--remove-card-before", "select"}, "emulated card only"},
      {{"--verbose"}, "unknown option"},
      {{"--private-stack"}, "goes with --backend pcsc"},
      {{"--client", "mstsc"}, "takes double or freerdp"},
      {{"--client", "freerdp", "--client-stops-at", "list"}, "client double only"},
  };
  for (const auto& [args, errorPart] : cases) {
    DemoOptions o;
    std::string error;
    EXPECT_FALSE(ParseOptions(args, &o, &error)) << args.front();
    EXPECT_NE(error.find(errorPart), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace scredir::demo
