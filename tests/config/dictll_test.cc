// Line classification, escaping and line splitting of configuration files.
#include "lib/dict/dictll.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace dict {
namespace {

using namespace std::string_literals;

struct LineCase {
  std::string line;
  LineKind kind;
  std::string name;
  std::string rawValue;
};

TEST(DictLine, EachKindOfLineIsClassified) {
  const LineCase cases[] = {
      {"", LineKind::kUninterpreted, "", ""},
      {" \t ", LineKind::kUninterpreted, "", ""},
      {"  # just a comment = \"x\"", LineKind::kUninterpreted, "", ""},
      {"#comment with \0 inside"s, LineKind::kUninterpreted, "", ""},
      {"a = \"b\"", LineKind::kEntry, "a", "b"},
      {"\t a.b.c=\"x y\"  # trailing", LineKind::kEntry, "a.b.c", "x y"},
      {"a=\"\"", LineKind::kEntry, "a", ""},
      {"a = bare   # comment", LineKind::kEntry, "a", "bare"},
      {"a = bare#comment", LineKind::kEntry, "a", "bare"},
      {"a = b=\"c", LineKind::kEntry, "a", "b=\"c"},  // bare words may hold = and "
      {"a =", LineKind::kEntry, "a", ""},
      {"a = \"q\"#c", LineKind::kEntry, "a", "q"},
      {"na\xC3\xAFve = 1", LineKind::kEntry, "na\xC3\xAFve", "1"},
      {"name only", LineKind::kSyntaxError, "", ""},    // no equals sign
      {"name", LineKind::kSyntaxError, "", ""},         // no equals sign
      {"= \"value\"", LineKind::kSyntaxError, "", ""},  // no name
      {"a = \"unterminated", LineKind::kSyntaxError, "", ""},
      {"a = \"x\" junk", LineKind::kSyntaxError, "", ""},
      {"a = two words", LineKind::kSyntaxError, "", ""},
      {"a = \"x\0y\""s, LineKind::kSyntaxError, "", ""},  // NUL inside quotes
      {"a\0b = 1"s, LineKind::kSyntaxError, "", ""},      // NUL inside the name
      {"a = x\0y"s, LineKind::kSyntaxError, "", ""},      // NUL ends the bare word
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.line);
    ParsedLine p = ParseLine(c.line);
    EXPECT_EQ(p.kind, c.kind);
    if (c.kind == LineKind::kEntry) {
      EXPECT_EQ(p.name, c.name);
      EXPECT_EQ(p.rawValue, c.rawValue);
    }
  }
}

TEST(DictLine, UnescapeDecodesPipeHexAndKeepsStrayPipes) {
  const std::pair<std::string, std::string> cases[] = {
      {"a|22b", "a\"b"}, {"|7c|7C", "||"}, {"|00", "\0"s}, {"|", "|"},         {"|4", "|4"},
      {"|zz", "|zz"},    {"x|4g", "x|4g"}, {"||41", "|A"}, {"|0a|0D", "\n\r"}, {"", ""},
  };
  for (const auto& [raw, want] : cases) {
    EXPECT_EQ(UnescapeValue(raw), want) << raw;
  }
}

TEST(DictLine, FormatLineEscapesControlQuotePipeAndDelete) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "k = \"plain\"\n"},
      {"tab\tkept", "k = \"tab\tkept\"\n"},
      {"a\"b|c\x7F", "k = \"a|22b|7Cc|7F\"\n"},
      {"\x01\n\x1F", "k = \"|01|0A|1F\"\n"},
      {"\x80\xFF", "k = \"\x80\xFF\"\n"},
      {"", "k = \"\"\n"},
  };
  for (const auto& [value, want] : cases) {
    EXPECT_EQ(FormatLine("k", value), want);
  }
}

TEST(DictLine, EveryByteValueRoundTripsThroughAWrittenLine) {
  for (int b = 1; b < 256; ++b) {
    std::string value =
        "<" + std::string(1, static_cast<char>(b)) + std::string(2, static_cast<char>(b)) + ">";
    std::string line = FormatLine("key", value);
    ASSERT_EQ(line.back(), '\n');
    line.pop_back();
    ASSERT_EQ(line.find('\n'), std::string::npos) << b;
    ParsedLine p = ParseLine(line);
    ASSERT_EQ(p.kind, LineKind::kEntry) << b;
    EXPECT_EQ(UnescapeValue(p.rawValue), value) << b;
  }
}

// Feeds `data` in chunks of at most `chunk` bytes, then fails with
// `failErrno` (0: ends normally).
ReadFn ChunkedSource(std::string data, size_t chunk, int failErrno = 0) {
  auto pos = std::make_shared<size_t>(0);
  return [data = std::move(data), chunk, failErrno, pos](void* buf, size_t len) -> ssize_t {
    if (*pos == data.size()) {
      if (failErrno) {
        errno = failErrno;
        return -1;
      }
      return 0;
    }
    size_t n = std::min({chunk, len, data.size() - *pos});
    std::memcpy(buf, data.data() + *pos, n);
    *pos += n;
    return static_cast<ssize_t>(n);
  };
}

std::vector<std::string> ReadAll(LineReader& r, LineReader::Result* last) {
  std::vector<std::string> lines;
  std::string line;
  while ((*last = r.Next(line)) == LineReader::Result::kLine) lines.push_back(line);
  return lines;
}

TEST(DictLineReader, SplitsOnNewlineWhateverTheChunking) {
  const std::string text = "one\n\ntwo\0x\nlast without newline"s;
  const std::vector<std::string> want = {"one", "", "two\0x"s, "last without newline"};
  for (size_t chunk : {1u, 2u, 3u, 7u, 1000u}) {
    LineReader r(ChunkedSource(text, chunk));
    LineReader::Result last;
    EXPECT_EQ(ReadAll(r, &last), want) << chunk;
    EXPECT_EQ(last, LineReader::Result::kEnd);
  }
}

TEST(DictLineReader, MegabyteLineArrivesWhole) {
  std::string big(3 * 1024 * 1024 + 17, 'x');
  LineReader r(ChunkedSource(big + "\nnext\n", 65536));
  LineReader::Result last;
  auto lines = ReadAll(r, &last);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], big);
  EXPECT_EQ(lines[1], "next");
}

TEST(DictLineReader, ReadErrorIsReportedWithErrnoAfterCompleteLines) {
  LineReader r(ChunkedSource("a\nb\npartial", 4, EIO));
  LineReader::Result last;
  EXPECT_EQ(ReadAll(r, &last), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(last, LineReader::Result::kError);
  EXPECT_EQ(errno, EIO);
}

}  // namespace
}  // namespace dict
