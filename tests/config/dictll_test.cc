// Escaping and line splitting of configuration files; the kinds of line are
// covered where the loader reads them.
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
    const std::string value = "<" + std::string(3, c) + ">";
    std::string line = FormatLine("key", value);
    EXPECT_EQ(line, "key = \"<" + one + one + one + ">\"\n") << b;
    line.pop_back();  // the newline
    ParsedLine p = ParseLine(line);
    ASSERT_EQ(p.kind, LineKind::kEntry) << b;
    EXPECT_EQ(UnescapeValue(p.rawValue), value) << b;
  }
}

// Hands out `data` at most `chunk` bytes at a time.
ReadFn ChunkedSource(std::string data, size_t chunk) {
  return [data = std::move(data), chunk, pos = size_t{0}](void* buf, size_t len) mutable {
    size_t n = std::min({chunk, len, data.size() - pos});
    std::memcpy(buf, data.data() + pos, n);
    pos += n;
    return static_cast<ssize_t>(n);
  };
}

std::vector<std::string> ReadAll(LineReader r) {
  std::vector<std::string> lines;
  std::string line;
  while (r.Next(line) == LineReader::Result::kLine) lines.push_back(line);
  return lines;
}

TEST(DictLineReader, SplitsOnNewlineWhateverTheChunking) {
  const std::string text = "one\n\ntwo\0x\nlast without newline"s;
  const std::vector<std::string> want = {"one", "", "two\0x"s, "last without newline"};
  for (size_t chunk : {1u, 2u, 3u, 7u, 1000u}) {
    EXPECT_EQ(ReadAll(LineReader(ChunkedSource(text, chunk))), want) << chunk;
  }
  std::string big(3 * 1024 * 1024 + 17, 'x');
  EXPECT_EQ(ReadAll(LineReader(ChunkedSource(big + "\nnext", 65536))),
            (std::vector<std::string>{big, "next"}));
}

}  // namespace
}  // namespace dict
