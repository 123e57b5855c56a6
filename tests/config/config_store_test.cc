// The layered store: which layer answers, where its files come from, typed
// getters, defaults, messages and the dump.
#include <glib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <utility>

#include "lib/config/config.h"
#include "lib/config/preference.h"
#include "tests/config/config_test_util.h"

namespace {

using Strings = std::vector<std::string>;

Strings g_messages;
Strings Take() {
  return std::exchange(g_messages, {});
}

std::string Str(char* s) {
  std::string out = s ? s : "<null>";
  g_free(s);
  return out;
}

// Files of layers 0 to 5 (layer 1 has none) under the temporary folder.
const char* const kLayerFile[] = {"lib/settings",         nullptr,      "home/.nimbrel/preferences",
                                  "home/.nimbrel/config", "etc/config", "lib/config"};

class ConfigStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ConfigStoreResetForTest();
    ConfigSetMessageSink([](const char* text) { g_messages.push_back(text); });
    g_messages.clear();
    options_.hostDir = dir_.path() + "/etc";
    options_.defaultLibDir = dir_.path() + "/lib";
    options_.homeDir = dir_.path() + "/home";
    options_.realUid = options_.effectiveUid = 1000;
  }
  void TearDown() override {
    ConfigStoreResetForTest();
    ConfigSetMessageSink(nullptr);
  }
  // Writes every layer file: `texts` by layer, "" for the rest; then builds.
  void Build(std::map<int, std::string> texts) {
    for (int layer : {0, 2, 3, 4, 5}) dir_.Write(kLayerFile[layer], texts[layer]);
    ConfigStoreResetForTest();
    ASSERT_TRUE(ConfigStoreInitWith(options_));
  }
  std::string Path(int layer) const { return dir_.path() + "/" + kLayerFile[layer]; }

  config_test::TempDir dir_;
  ConfigStoreOptions options_;
};

TEST_F(ConfigStoreTest, FirstLayerThatDefinesTheKeyAnswers) {
  for (const std::vector<int>& layers : std::vector<std::vector<int>>{
           {0, 4}, {4, 5}, {3, 4, 5}, {2, 3}, {1, 2, 5}, {5}, {0, 1, 2, 3, 4, 5}}) {
    std::map<int, std::string> texts;
    for (int layer : layers) texts[layer] = "k = \"from " + std::to_string(layer) + "\"\n";
    Build(texts);
    if (std::count(layers.begin(), layers.end(), 1)) {
      ASSERT_TRUE(ConfigSetNonPersistent("k", "from 1"));
    }
    EXPECT_EQ(Str(ConfigGetString("dflt", "k")), "from " + std::to_string(layers[0]));
  }
  EXPECT_EQ(Take(), Strings{});
}

TEST_F(ConfigStoreTest, UserFilesAreReadOnlyWhenAllowed) {
  const std::tuple<std::string, uid_t, std::string, Strings> cases[] = {
      // clang-format off
      {"", 1000, "user", {}},
      {"disableUserPreferences = \"TRUE\"\n", 1000, "site",
       {"PREF Disabling user preferences because disableUserPreferences is set.\n"}},
      {"disableUserPreferences = no\n", 1000, "user", {}},
      {"", 0, "site", {"setuid: ignoring user's config and preferences\n"}},
      // clang-format on
  };
  for (const auto& [host, euid, want, messages] : cases) {
    options_.effectiveUid = euid;
    Build({{4, host}, {3, "k = user\n"}, {5, "k = site\n"}});
    EXPECT_EQ(Str(ConfigGetString(nullptr, "k")), want) << host << euid;
    EXPECT_EQ(Take(), messages);
  }
}

TEST_F(ConfigStoreTest, EveryMissingOrFailedFileIsReportedAsOptional) {
  dir_.Write(kLayerFile[5], "k = 1\nk = 2\n");  // a repeat fails the load; k stays
  ASSERT_TRUE(ConfigStoreInitWith(options_));
  auto optional = [&](int layer) {
    return "PREF Optional preferences file not found at " + Path(layer) +
           ". Using default values.\n";
  };
  EXPECT_EQ(Take(), (Strings{optional(4), optional(0),
                             "SITE DEFAULTS: \"" + Path(5) +
                                 "\" line 2: variable \"k\" is already defined.\n",
                             optional(5), optional(3), optional(2)}));
  EXPECT_EQ(ConfigGetInt(0, "k"), 1);
}

TEST_F(ConfigStoreTest, TypedGettersFormatKeysAndConvertFileTextOrFallBack) {
  std::string longKey(2000, 'k');  // cut to the 1023 bytes the key buffer holds
  Build({{0, "off = no\nodd = maybe\nhex = 0x10\nbig = 99999999999\nlong = 0x7FFFFFFFFFFFFFFF\n" +
                 longKey.substr(0, 1023) + " = cut\n"}});
  EXPECT_FALSE(ConfigGetBool(true, "off"));
  EXPECT_TRUE(ConfigGetBool(true, "odd"));
  EXPECT_EQ(ConfigGetInt(7, "%sx", "he"), 16);
  EXPECT_EQ(ConfigGetInt(7, "big"), 7);
  EXPECT_EQ(ConfigGetLong(7, "big"), 99999999999);
  EXPECT_EQ(ConfigGetLong(7, "lo%s", "ng"), INT64_MAX);
  EXPECT_EQ(Str(ConfigGetString(nullptr, "hex")), "16");  // converted once, read as text
  EXPECT_EQ(Str(ConfigGetString(nullptr, "%s", longKey.c_str())), "cut");
  const ConfigAccessor* acc = ConfigGetAccessor();
  EXPECT_EQ(Str(acc->getString(nullptr, "%s", "odd")), "maybe");
  EXPECT_EQ(acc->getInt(3, "h%s", "ex") + acc->getBool(true, "o%s", "ff"), 16);
  EXPECT_EQ(Take(), (Strings{"Value \"maybe\" of \"odd\" is not a valid boolean value.\n",
                             "Value \"99999999999\" of \"big\" is not a valid integer value.\n"}));
}

// Before the store exists every lookup gives its default and says so; once
// it exists, non-zero defaults are remembered and zero ones are not.
TEST_F(ConfigStoreTest, EarlyLookupsGiveTheDefaultLaterOnesRememberIt) {
  EXPECT_TRUE(ConfigGetBool(true, "QRN.ScRedir.Enable"));
  EXPECT_EQ(Str(ConfigGetString("info", "QRN.ScRedir.%s", "logLevel")), "info");
  EXPECT_FALSE(ConfigSetNonPersistent("k", "v"));
  EXPECT_EQ(ConfigDump(), "");
  EXPECT_EQ(Take(), (Strings{"PREF early PreferenceGet(QRN.ScRedir.Enable), using default\n",
                             "PREF early PreferenceGet(QRN.ScRedir.logLevel), using default\n"}));
  Build({});
  // Each call in its own statement: the order of the calls is the point.
  EXPECT_EQ(Str(ConfigGetString("first", "s")), "first");
  EXPECT_EQ(Str(ConfigGetString("second", "s")), "first");
  EXPECT_EQ(ConfigGetInt(0, "i"), 0);
  EXPECT_EQ(ConfigGetInt(5, "i"), 5);
  EXPECT_EQ(ConfigGetInt(9, "i"), 5);
  EXPECT_FALSE(ConfigGetBool(false, "b"));
  EXPECT_TRUE(ConfigGetBool(true, "b"));
  EXPECT_EQ(Str(ConfigGetString("", "e")) + Str(ConfigGetString(nullptr, "e")), "<null>");
  // The in-memory layer comes before the remembered default, and can be cleared.
  ASSERT_TRUE(ConfigSetNonPersistent("s", "set"));
  EXPECT_EQ(Str(ConfigGetString("x", "s")), "set");
  ASSERT_TRUE(ConfigSetNonPersistent("s", nullptr));
  EXPECT_EQ(Str(ConfigGetString("x", "s")), "first");
}

TEST_F(ConfigStoreTest, DumpShowsLayersBelowTheHostFilesLibdirWithTypedValues) {
  const std::string d = dir_.path();
  dir_.Write("other/settings", "flag = yes\nnum = 012\nd = 2.50\ntext = \"a|22b\"\n");
  Build({{4, "libdir = \"" + d + "/other\"\n"}, {0, "flag = not this file\n"}});
  ConfigGetBool(false, "flag");
  ConfigGetInt(0, "num");
  config::PreferenceGet(dict::Value::Double(0), dict::ValueType::kDouble, "d");
  ConfigGetInt(42, "remembered");
  ConfigSetNonPersistent("np", "v");
  EXPECT_EQ(ConfigDump(), "DICT --- GLOBAL SETTINGS " + d + "/other/settings\n" +
                              "                     flag = \"TRUE\"\n"
                              "                      num = \"10\"\n"
                              "                        d = \"2.5\"\n"
                              "                     text = \"a|22b\"\n"
                              "DICT --- NON PERSISTENT \n"
                              "                       np = \"v\"\n"
                              "DICT --- USER PREFERENCES " +
                              d + "/home/.nimbrel/preferences\n" +
                              "               remembered = \"42\"\n"
                              "DICT --- USER DEFAULTS " +
                              d + "/home/.nimbrel/config\n" + "DICT --- HOST DEFAULTS " + d +
                              "/etc/config\n" + "                   libdir = \"" + d +
                              "/other\"\n" + "DICT --- SITE DEFAULTS " + d + "/other/config\n");
}

}  // namespace
