// Escaping of configuration values; the kinds of line and their splitting
// are covered where the loader reads them.
#include "lib/dict/dictll.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

namespace dict {
namespace {

using namespace std::string_literals;

TEST(DictLine, UnescapeDecodesPipeHexAndKeepsStrayPipes) {
  const std::pair<std::string, std::string> cases[] = {
      {"a|22b", "a\"b"}, {"|7c|7C", "||"}, {"|00", "\0"s}, {"|", "|"},
      {"|4", "|4"},      {"x|4g", "x|4g"}, {"||41", "|A"}, {"|0a|0D", "\n\r"},
  };
  for (const auto& [raw, want] : cases) EXPECT_EQ(UnescapeValue(raw), want) << raw;
}

// Every byte but NUL, three times between markers, is written and read back;
// control characters but tab, the quote, the pipe and DEL are written as
// "|XX".
TEST(DictLine, EveryByteValueRoundTripsThroughAWrittenLine) {
  for (int b = 1; b < 256; ++b) {
    const char c = static_cast<char>(b);
    char hex[4];
    snprintf(hex, sizeof hex, "|%02X", b);
    const bool escaped = (b < 0x20 && c != '\t') || c == '"' || c == '|' || b == 0x7F;
    const std::string one = escaped ? hex : std::string(1, c);
    std::string value(5, c);  // "<" + ... would draw gcc 12's false -O3 overlap warning
    value.front() = '<';
    value.back() = '>';
    std::string line = FormatLine("key", value);
    EXPECT_EQ(line, "key = \"<" + one + one + one + ">\"\n") << b;
    line.pop_back();  // the newline
    ParsedLine p = ParseLine(line);
    ASSERT_EQ(p.kind, LineKind::kEntry) << b;
    EXPECT_EQ(UnescapeValue(p.rawValue), value) << b;
  }
}

}  // namespace
}  // namespace dict
