// Loading configuration files into a dictionary, typed conversion of their
// text, and writing a dictionary back.
#include "lib/user/dictionary.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>

#include "tests/config/config_test_util.h"

namespace dict {
namespace {

using namespace std::string_literals;
using config_test::TempDir;

struct Loaded {
  bool ok = false;
  std::vector<std::string> messages;
  Dictionary d;
};

Loaded LoadText(const TempDir& dir, const std::string& text) {
  Loaded out;
  std::string path = dir.Write("f.conf", text);
  out.ok = out.d.Load(path, [&](const std::string& m) { out.messages.push_back(m); }, {});
  return out;
}

std::string ValueOf(Dictionary& d, const char* name) {
  Entry* e = d.Find(name);
  return e ? e->value.str : "<absent>";
}

struct FileCase {
  const char* what;
  std::string text;
  bool ok;
  std::vector<std::pair<std::string, std::string>> defined;
  std::string messageContains;  // empty: no message expected
};

TEST(DictionaryLoad, EachKindOfLineHasItsEffect) {
  const FileCase cases[] = {
      {"comments and blanks only", "# c\n\n   \n\t# c2\n", true, {}, ""},
      {"escaped quote in a quoted value", "k = \"a|22b\"\n", true, {{"k", "a\"b"}}, ""},
      {"bare value with comment", "k = word   # note\n", true, {{"k", "word"}}, ""},
      {"last line without newline", "a = 1\nb = \"2\"", true, {{"a", "1"}, {"b", "2"}}, ""},
      {"name without equals sign",
       "a = 1\nbroken line\nc = 3\n",
       false,
       {{"a", "1"}},
       "f.conf: syntax error with line, \"broken line\".\n"},
      {"unknown metavariable",
       ".colour = \"red\"\nk = v\n",
       true,
       {{"k", "v"}},
       "line 1: unrecognized metavariable \".colour\"\n"},
      {"non-ASCII name fails",
       "a = 1\nn\xC3\xA4me = 2\nb = 3\n",
       false,
       {{"a", "1"}},
       "line 2: variable name \"n\xC3\xA4me\" is not valid ASCII.\n"},
      {"NUL in a quoted value is a syntax error",
       "a = 1\nb = \"x\0y\"\n"s,
       false,
       {{"a", "1"}},
       "syntax error"},
      {"UTF-8 declared, valid value",
       "config.encoding = \"UTF-8\"\nk = \"\xC3\xA9\"\n",
       true,
       {{"k", "\xC3\xA9"}},
       ""},
      {"UTF-8 declared, invalid value",
       ".ENCODING = utf8\na = 1\nk = \"\xC3(\"\nz = 1\n",
       false,
       {{"a", "1"}},
       "line 3: value of \"k\" is not valid utf8.\n"},
      {"undeclared encoding keeps raw bytes", "k = \"\xC3(\"\n", true, {{"k", "\xC3("}}, ""},
      {"Latin-1 declared converts to UTF-8",
       "preferences.encoding = \"ISO-8859-1\"\nk = \"\xE9\"\n",
       true,
       {{"k", "\xC3\xA9"}},
       ""},
      {"unknown encoding fails",
       "vmlist.encoding = \"no-such-charset\"\nk = 1\n",
       false,
       {},
       "unknown encoding \"no-such-charset\""},
  };
  TempDir dir;
  for (const FileCase& c : cases) {
    SCOPED_TRACE(c.what);
    Loaded l = LoadText(dir, c.text);
    EXPECT_EQ(l.ok, c.ok);
    EXPECT_EQ(l.d.Entries().size(), c.defined.size());
    for (const auto& [name, value] : c.defined) {
      Entry* e = l.d.Find(name);
      ASSERT_NE(e, nullptr) << name;
      EXPECT_TRUE(e->untyped);
      EXPECT_EQ(e->value.str, value);
    }
    if (c.messageContains.empty()) {
      EXPECT_TRUE(l.messages.empty()) << l.messages[0];
    } else {
      ASSERT_EQ(l.messages.size(), 1u);
      EXPECT_NE(l.messages[0].find(c.messageContains), std::string::npos) << l.messages[0];
    }
  }
}

TEST(DictionaryLoad, RepeatedNameKeepsFirstValueAndFailsAtTheEnd) {
  TempDir dir;
  Loaded l = LoadText(dir, "a = 1\nb = 2\na = 3\nc = 4\n");
  EXPECT_FALSE(l.ok);
  EXPECT_EQ(ValueOf(l.d, "a"), "1");
  EXPECT_EQ(ValueOf(l.d, "c"), "4");  // reading went on past the repeat
  EXPECT_EQ(l.messages,
            std::vector<std::string>{"dictionary: \"" + dir.path() +
                                     "/f.conf\" line 3: variable \"a\" is already defined.\n"});
  // The repeated line is kept as read, so writing back loses nothing.
  EXPECT_EQ(l.d.Serialize(), "a = \"1\"\nb = \"2\"\na = 3\nc = \"4\"\n");
}

TEST(DictionaryLoad, MoreThanAHundredRepeatsQuitAtOnce) {
  TempDir dir;
  std::string text = "a = 0\n";
  for (int i = 0; i < 150; ++i) text += "a = " + std::to_string(i) + "\n";
  text += "late = 1\n";
  Loaded l = LoadText(dir, text);
  EXPECT_FALSE(l.ok);
  EXPECT_EQ(l.d.Find("late"), nullptr);
  ASSERT_EQ(l.messages.size(), 101u);
  EXPECT_EQ(l.messages.back(), "dictionary: \"" + dir.path() +
                                   "/f.conf\" line 102: too many duplicate entries in "
                                   "dictionary, quitting.\n");
}

TEST(DictionaryLoad, FilesThatCannotBeReadFailWithTheirMessage) {
  TempDir dir;
  std::string regular = dir.Write("regular", "a = 1\n");
  std::string loop = dir.path() + "/loop";
  ASSERT_EQ(symlink(loop.c_str(), loop.c_str()), 0);
  struct Case {
    std::string path;
    bool quietIfMissing;
    std::string message;
  };
  const Case cases[] = {
      {dir.path(), false, "\"" + dir.path() + "\" is a directory.\n"},
      {loop, false, "Cannot open file \"" + loop + "\": " + strerror(ELOOP) + ".\n"},
      {regular + "/below", false,
       "Cannot open file \"" + regular + "/below\": " + strerror(ENOTDIR) + ".\n"},
      {dir.path() + "/missing", false,
       "Cannot open file \"" + dir.path() + "/missing\": " + strerror(ENOENT) + ".\n"},
      {dir.path() + "/missing", true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    Dictionary d;
    std::vector<std::string> msgs;
    Dictionary::LoadOptions opts;
    opts.quietIfMissing = c.quietIfMissing;
    EXPECT_FALSE(d.Load(
        c.path, [&](const std::string& m) { msgs.push_back(m); }, opts));
    EXPECT_EQ(msgs,
              c.message.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.message});
  }
}

TEST(DictionaryLoad, ReadErrorKeepsEarlierLinesAndNamesTheLine) {
  int calls = 0;
  ReadFn source = [&](void* buf, size_t) -> ssize_t {
    if (calls++ == 0) {
      std::memcpy(buf, "a = 1\nb = 2\nc", 13);
      return 13;
    }
    errno = EIO;
    return -1;
  };
  Dictionary d;
  std::vector<std::string> msgs;
  EXPECT_FALSE(d.LoadFrom(source, "src", [&](const std::string& m) { msgs.push_back(m); }, {}));
  EXPECT_EQ(ValueOf(d, "b"), "2");
  EXPECT_EQ(msgs, std::vector<std::string>{"src: error reading line 3: "s + strerror(EIO) + ".\n"});
}

TEST(DictionaryLoad, DashReadsStandardInput) {
  TempDir dir;
  std::string path = dir.Write("in", "k = \"from stdin\"\n");
  int saved = dup(STDIN_FILENO);
  FILE* f = freopen(path.c_str(), "r", stdin);
  ASSERT_NE(f, nullptr);
  Dictionary d;
  EXPECT_TRUE(d.Load("-", {}, {}));
  dup2(saved, STDIN_FILENO);
  close(saved);
  EXPECT_EQ(ValueOf(d, "k"), "from stdin");
}

TEST(DictionaryWrite, UninterpretedLinesComeBackAsReadAndValuesEscaped) {
  TempDir dir;
  const std::string text = "# header\n  \nk = bare # c\n.odd = 1\nq = \"a|22|7c\"\n";
  Loaded l = LoadText(dir, text);
  ASSERT_TRUE(l.ok);
  l.d.Set("added", Value::Int32(7), false, false);
  l.d.Set("remembered", Value::String("x"), true, false);  // a default: never written
  EXPECT_EQ(l.d.Serialize(),
            "# header\n  \nk = \"bare\"\n.odd = 1\nq = \"a|22|7C\"\nadded = \"7\"\n");
  std::string out = dir.path() + "/out.conf";
  ASSERT_TRUE(l.d.Save(out, {}));
  Loaded again = LoadText(dir, l.d.Serialize());
  EXPECT_EQ(ValueOf(again.d, "q"), "a\"|");
}

TEST(DictionaryWrite, ValuesGoBackInTheEncodingTheFileDeclared) {
  TempDir dir;
  const std::string text = "preferences.encoding = \"ISO-8859-1\"\nk = \"\xE9\"\n";
  Loaded l = LoadText(dir, text);
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(ValueOf(l.d, "k"), "\xC3\xA9");
  l.d.Set("snow", Value::String("\xE2\x98\x83"), false, false);  // not in Latin-1
  EXPECT_EQ(l.d.Serialize(), text + "snow = \"?\"\n");
}

struct ConvCase {
  const char* text;
  ValueType type;
  std::optional<Value> want;
};

TEST(DictionaryConvert, TextConvertsToEachTypeOrNotAtAll) {
  const ConvCase cases[] = {
      {"", ValueType::kBool, Value::Bool(true)},
      {"TRUE", ValueType::kBool, Value::Bool(true)},
      {"Yes", ValueType::kBool, Value::Bool(true)},
      {"y", ValueType::kBool, Value::Bool(true)},
      {"on", ValueType::kBool, Value::Bool(true)},
      {"t", ValueType::kBool, Value::Bool(true)},
      {"1", ValueType::kBool, Value::Bool(true)},
      {"no", ValueType::kBool, Value::Bool(false)},
      {"F", ValueType::kBool, Value::Bool(false)},
      {"OFF", ValueType::kBool, Value::Bool(false)},
      {"0", ValueType::kBool, Value::Bool(false)},
      {"maybe", ValueType::kBool, std::nullopt},
      {"2", ValueType::kBool, std::nullopt},
      {"default", ValueType::kTriState, Value::Tri(TriState::kDefault)},
      {"n", ValueType::kTriState, Value::Tri(TriState::kFalse)},
      {"42", ValueType::kInt32, Value::Int32(42)},
      {"-17", ValueType::kInt32, Value::Int32(-17)},
      {"0x1F", ValueType::kInt32, Value::Int32(31)},
      {"010", ValueType::kInt32, Value::Int32(8)},
      {"2147483647", ValueType::kInt32, Value::Int32(INT32_MAX)},
      {"0xFFFFFFFF", ValueType::kInt32, Value::Int32(-1)},  // unsigned retry
      {"4294967296", ValueType::kInt32, std::nullopt},
      {"-2147483649", ValueType::kInt32, std::nullopt},
      {"99999999999999999999", ValueType::kInt32, std::nullopt},
      {"12abc", ValueType::kInt32, std::nullopt},
      {"", ValueType::kInt32, std::nullopt},
      {"09", ValueType::kInt32, std::nullopt},
      {"1.5", ValueType::kDouble, Value::Double(1.5)},
      {"-2e3", ValueType::kDouble, Value::Double(-2000)},
      {"1e999", ValueType::kDouble, std::nullopt},
      {"1.5x", ValueType::kDouble, std::nullopt},
      {"0x7FFFFFFFFFFFFFFF", ValueType::kInt64, Value::Int64(INT64_MAX)},
      {"18446744073709551615", ValueType::kInt64, Value::Int64(-1)},
      {"18446744073709551616", ValueType::kInt64, std::nullopt},
      {"5 ", ValueType::kInt64, std::nullopt},
  };
  for (const ConvCase& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ConvertText(c.text, c.type), c.want);
  }
  EXPECT_EQ(ConvertText("1\0"s, ValueType::kInt32), std::nullopt);  // escaped NUL inside
}

TEST(DictionaryConvert, EntryConvertsOnceOrReportsAndGivesTheDefault) {
  std::vector<std::string> msgs;
  MessageFn report = [&](const std::string& m) { msgs.push_back(m); };
  Entry e{"QRN.ScRedir.Enable", Value::String("maybe"), false, true};
  EXPECT_EQ(e.Get(ValueType::kBool, Value::Bool(true), report), Value::Bool(true));
  EXPECT_TRUE(e.untyped);
  EXPECT_EQ(msgs, std::vector<std::string>{
                      "Value \"maybe\" of \"QRN.ScRedir.Enable\" is not a valid boolean value.\n"});

  Entry n{"n", Value::String("0x10"), false, true};
  EXPECT_EQ(n.Get(ValueType::kInt32, Value::Int32(0), report), Value::Int32(16));
  EXPECT_FALSE(n.untyped);
  EXPECT_EQ(n.value, Value::Int32(16));
  // Asked as another type later, the typed value is read through its text.
  EXPECT_EQ(n.Get(ValueType::kString, Value::NullString(), report), Value::String("16"));
  EXPECT_EQ(n.value, Value::Int32(16));
}

}  // namespace
}  // namespace dict
