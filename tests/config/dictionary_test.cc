// Loading configuration files into a dictionary, typed conversion of their
// text, and writing a dictionary back.
#include "lib/user/dictionary.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "tests/config/config_test_util.h"

namespace dict {
namespace {

using namespace std::string_literals;
using config_test::TempDir;
using Strings = std::vector<std::string>;

struct Loaded {
  bool ok = false;
  Strings messages;
  Dictionary d;
};

// "name=value;" for every entry, in file order.
std::string Defined(const Dictionary& d) {
  std::string out;
  for (const Entry* e : d.Entries()) out += e->name + "=" + e->value.str + ";";
  return out;
}

Loaded LoadText(const TempDir& dir, const std::string& text, const std::string& path = "f") {
  Loaded out;
  out.ok = out.d.Load(dir.Write(path, text),
                      [&](const std::string& m) { out.messages.push_back(m); }, {});
  return out;
}

// Every kind of line, as the loader sees it.
TEST(DictionaryLoad, EachKindOfLineHasItsEffect) {
  struct Case {
    std::string text;
    bool ok;
    std::string defined;  // "name=value;" for every entry, in order
    std::string message;  // a part of the last message, or empty for none
    size_t messages = 1;
  };
  std::string manyRepeats = "a = 0\n";
  for (int i = 0; i < 150; ++i) manyRepeats += "a = 1\n";
  const Case cases[] = {
      // clang-format off
      {"# c\n\n \t \n  # c = \"x\" \0\n"s, true, "", ""},
      {"\t a.b=\"x y\"  # c\na=\"\"\n", true, "a.b=x y;a=;", ""},
      {"a = bare   # c\nb = bare#c\nc = \"q\"#c\n", true, "a=bare;b=bare;c=q;", ""},
      {"a = b=\"c\nd =\n", true, "a=b=\"c;d=;", ""},  // bare words may hold = and "
      {"= \"value\"\n", false, "", "syntax error"},
      {"a = \"unterminated\n", false, "", "syntax error"},
      {"a = \"x\" junk\n", false, "", "syntax error"},
      {"a = two words\n", false, "", "syntax error"},
      {"a = \"x\0y\"\n"s, false, "", "syntax error"},
      {"a\0b = 1\n"s, false, "", "syntax error"},
      {"a = x\0y\n"s, false, "", "syntax error"},
      {"a = 1\nbroken line\nc = 3\n", false, "a=1;", "f: syntax error with line, \"broken line\".\n"},
      {".colour = \"red\"\nk = v\n", true, "k=v;", "line 1: unrecognized metavariable \".colour\"\n"},
      {"a = 1\nn\xC3\xA4me = 2\nb = 3\n", false, "a=1;", "line 2: variable name \"n\xC3\xA4me\" is not valid ASCII.\n"},
      {"config.encoding = \"UTF-8\"\nk = \"\xC3\xA9\"\n", true, "k=\xC3\xA9;", ""},
      {".ENCODING = utf8\na = 1\nk = \"\xC3(\"\nz = 1\n", false, "a=1;", "line 3: value of \"k\" is not valid utf8.\n"},
      {"k = \"\xC3(\"\n", true, "k=\xC3(;", ""},  // no declared encoding: bytes as they are
      {"preferences.encoding = \"ISO-8859-1\"\nk = \"\xE9\"\n", true, "k=\xC3\xA9;", ""},
      // A repeat keeps the first value and fails the load, but reading goes
      // on; past 100 repeats it stops.
      {"a = 1\nb = 2\na = 3\nc = 4\n", false, "a=1;b=2;c=4;", "f\" line 3: variable \"a\" is already defined.\n"},
      {manyRepeats + "late = 1\n", false, "a=0;", "f\" line 102: too many duplicate entries in dictionary, quitting.\n", 101},
      {"vmlist.encoding = \"no-such-charset\"\nk = 1\n", false, "", "unknown encoding \"no-such-charset\""},
      // clang-format on
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Loaded l = LoadText(dir, c.text);
    EXPECT_EQ(l.ok, c.ok);
    EXPECT_EQ(Defined(l.d), c.defined);
    ASSERT_EQ(l.messages.size(), c.message.empty() ? 0u : c.messages);
    if (!c.message.empty()) {
      EXPECT_NE(l.messages.back().find(c.message), std::string::npos) << l.messages.back();
    }
  }
}

// Standard input ("-") and a FIFO without a writer load (the FIFO must not
// hang); what cannot be opened fails with its reason, quietly only when the
// file is missing and missing files are the caller's to report.
TEST(DictionaryLoad, EachKindOfSourceLoadsOrFailsWithItsMessage) {
  TempDir dir;
  std::string regular = dir.Write("regular", "a = 1\n");
  std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int savedStdin = dup(STDIN_FILENO);
  ASSERT_NE(freopen(regular.c_str(), "r", stdin), nullptr);
  const std::tuple<std::string, bool, std::string> cases[] = {
      // clang-format off
      {"-", false, ""},
      {fifo, false, ""},
      {dir.path(), false, "\"" + dir.path() + "\" is a directory.\n"},
      // Only a missing file is the caller's to report.
      {regular + "/x", true, "Cannot open file \"" + regular + "/x\": " + strerror(ENOTDIR) + ".\n"},
      {dir.path() + "/no", false, "Cannot open file \"" + dir.path() + "/no\": " + strerror(ENOENT) + ".\n"},
      {dir.path() + "/no", true, ""},
      // clang-format on
  };
  for (const auto& [path, quiet, message] : cases) {
    Dictionary d;
    Strings msgs;
    bool ok = d.Load(path, [&](const std::string& m) { msgs.push_back(m); }, {"x", quiet});
    EXPECT_EQ(ok, message.empty() && !quiet) << path;
    EXPECT_EQ(d.Entries().size(), path == "-" ? 1u : 0u) << path;
    EXPECT_EQ(msgs, message.empty() ? Strings{} : Strings{message});
  }
  dup2(savedStdin, STDIN_FILENO);
  close(savedStdin);
}

// Hands out `data` at most `chunk` bytes a read, then ends, or fails with
// EIO when `fail` is set.
ReadFn ChunkedSource(std::string data, size_t chunk, bool fail = false) {
  return [=, pos = size_t{0}](void* buf, size_t len) mutable -> ssize_t {
    if (fail && pos == data.size()) return errno = EIO, -1;
    size_t n = std::min({chunk, len, data.size() - pos});
    std::memcpy(buf, data.data() + pos, n);
    pos += n;
    return static_cast<ssize_t>(n);
  };
}

// Lines split the same whatever sizes the reads return, a NUL does not end a
// line, and a line may be far longer than any read; a read error keeps the
// lines before it and names the line it broke.
TEST(DictionaryLoad, ReadsSplitIntoLinesWhateverTheChunking) {
  for (size_t chunk : {1u, 2u, 3u, 7u, 65536u}) {
    const std::string big(chunk < 65536 ? 100 : 3 * 1024 * 1024 + 17, 'x');
    Dictionary d;
    EXPECT_TRUE(d.LoadFrom(
        ChunkedSource("one = 1\n\n# c\0x = 2\nbig = \""s + big + "\"\nlast = no-newline", chunk),
        "src", {}, {}));
    EXPECT_TRUE(Defined(d) == "one=1;big=" + big + ";last=no-newline;") << chunk;
  }
  Dictionary d;
  Strings msgs;
  auto collect = [&](const std::string& m) { msgs.push_back(m); };
  EXPECT_FALSE(d.LoadFrom(ChunkedSource("a = 1\nb = 2\nc", 13, true), "src", collect, {}));
  EXPECT_EQ(Defined(d), "a=1;b=2;");
  EXPECT_EQ(msgs, Strings{"src: error reading line 3: "s + strerror(EIO) + ".\n"});
}

TEST(DictionaryWrite, LinesComeBackAsReadValuesEscapedAndInTheFileEncoding) {
  TempDir dir;
  // A repeated name is written back as it was read.
  const std::string text = "# header\n  \nk = bare # c\n.odd = 1\nq = \"a|22|7c\"\nk = 3\n";
  Loaded l = LoadText(dir, text);
  l.d.Set("added", Value::Int32(7), false, false);
  l.d.Set("remembered", Value::String("x"), true, false);  // a default: never written
  EXPECT_EQ(l.d.Serialize(),
            "# header\n  \nk = \"bare\"\n.odd = 1\nq = \"a|22|7C\"\nk = 3\nadded = \"7\"\n");
  EXPECT_EQ(Defined(LoadText(dir, l.d.Serialize()).d), "k=bare;q=a\"|;added=7;");

  const std::string latin = "preferences.encoding = \"ISO-8859-1\"\nk = \"\xE9\"\n";
  Loaded l1 = LoadText(dir, latin);
  l1.d.Set("snow", Value::String("\xE2\x98\x83"), false, false);  // not in Latin-1
  EXPECT_EQ(l1.d.Serialize(), latin + "snow = \"?\"\n");
}

TEST(DictionaryConvert, TextConvertsToEachTypeOrNotAtAll) {
  using T = ValueType;
  const std::tuple<T, std::vector<std::string>, std::optional<Value>> cases[] = {
      {T::kBool, {"", "Yes", "t", "1"}, Value::Bool(true)},
      {T::kBool, {"OFF", "0"}, Value::Bool(false)},
      {T::kBool, {"maybe", "2"}, std::nullopt},
      {T::kTriState, {"default"}, Value::Tri(TriState::kDefault)},
      {T::kInt32, {"-17"}, Value::Int32(-17)},
      {T::kInt32, {"0x1F"}, Value::Int32(31)},
      {T::kInt32, {"010"}, Value::Int32(8)},
      {T::kInt32, {"0xFFFFFFFF"}, Value::Int32(-1)},
      {T::kInt32, {"4294967296", "-2147483649", "12abc", "", "1\0"s}, std::nullopt},
      {T::kDouble, {"-2e3"}, Value::Double(-2000)},
      {T::kDouble, {"1e999", "1.5x"}, std::nullopt},
      {T::kInt64, {"18446744073709551615"}, Value::Int64(-1)},
      {T::kInt64, {"18446744073709551616"}, std::nullopt},
  };
  for (const auto& [type, texts, want] : cases)
    for (const std::string& text : texts) EXPECT_EQ(ConvertText(text, type), want) << text;
}

}  // namespace
}  // namespace dict
