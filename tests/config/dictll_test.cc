// Line classification, escaping and line splitting of configuration files.
#include "lib/dict/dictll.h"

#include <gtest/gtest.h>

#include <cstring>

namespace dict {
namespace {

using namespace std::string_literals;

TEST(DictLine, EachKindOfLineIsClassified) {
  const LineKind kU = LineKind::kUninterpreted, kE = LineKind::kEntry, kX = LineKind::kSyntaxError;
  const std::tuple<std::string, LineKind, std::string, std::string> cases[] = {
      {"", kU, "", ""},
      {" \t ", kU, "", ""},
      {"  # c = \"x\" \0"s, kU, "", ""},
      {"\t a.b=\"x y\"  # c", kE, "a.b", "x y"},
      {"a=\"\"", kE, "a", ""},
      {"a = bare   # c", kE, "a", "bare"},
      {"a = bare#c", kE, "a", "bare"},
      {"a = b=\"c", kE, "a", "b=\"c"},  // bare words may hold = and "
      {"a =", kE, "a", ""},
      {"a = \"q\"#c", kE, "a", "q"},
      {"name only", kX, "", ""},
      {"= \"value\"", kX, "", ""},
      {"a = \"unterminated", kX, "", ""},
      {"a = \"x\" junk", kX, "", ""},
      {"a = two words", kX, "", ""},
      {"a = \"x\0y\""s, kX, "", ""},
      {"a\0b = 1"s, kX, "", ""},
      {"a = x\0y"s, kX, "", ""},
  };
  for (const auto& [line, kind, name, raw] : cases) {
    ParsedLine p = ParseLine(line);
    EXPECT_EQ(p.kind, kind) << line;
    if (kind == kE) {
      EXPECT_EQ(std::string(p.name) + "|" + std::string(p.rawValue), name + "|" + raw);
    }
  }
}

TEST(DictLine, UnescapeDecodesPipeHexAndKeepsStrayPipes) {
  const std::pair<std::string, std::string> cases[] = {
      {"a|22b", "a\"b"}, {"|7c|7C", "||"}, {"|00", "\0"s}, {"|", "|"},
      {"|4", "|4"},      {"x|4g", "x|4g"}, {"||41", "|A"}, {"|0a|0D", "\n\r"},
  };
  for (const auto& [raw, want] : cases) EXPECT_EQ(UnescapeValue(raw), want) << raw;
}

TEST(DictLine, FormatLineEscapesControlQuotePipeAndDelete) {
  EXPECT_EQ(FormatLine("k", "tab\tok a\"b|c\x7F\x01\n\x1F\x80\xFF"),
            "k = \"tab\tok a|22b|7Cc|7F|01|0A|1F\x80\xFF\"\n");
  EXPECT_EQ(FormatLine("k", ""), "k = \"\"\n");
}

TEST(DictLine, EveryByteValueRoundTripsThroughAWrittenLine) {
  for (int b = 1; b < 256; ++b) {
    std::string value = "<" + std::string(3, static_cast<char>(b)) + ">";
    std::string line = FormatLine("key", value);
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
