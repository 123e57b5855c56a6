// The layered store: which layer answers, where its files come from, typed
// getters, defaults, messages and the dump.
#include <glib.h>
#include <gtest/gtest.h>

#include <memory>

#include "lib/config/config.h"
#include "lib/config/preference.h"
#include "tests/config/config_test_util.h"

namespace {

using config_test::TempDir;

config_test::Messages g_messages;
void Capture(const char* text) {
  g_messages.Add(text);
}

std::string Str(char* s) {
  std::unique_ptr<char, decltype(&g_free)> holder(s, g_free);
  return s ? s : "<null>";
}

// A temporary file system: host folder, library folder and home.
class ConfigStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ConfigStoreResetForTest();
    ConfigSetMessageSink(Capture);
    g_messages.Take();
    options_.hostDir = dir_.path() + "/etc";
    options_.defaultLibDir = dir_.path() + "/lib";
    options_.homeDir = dir_.path() + "/home";
    options_.realUid = options_.effectiveUid = 1000;
  }
  void TearDown() override {
    ConfigStoreResetForTest();
    ConfigSetMessageSink(nullptr);
  }

  // Layer index -> the file that backs it with the default library folder.
  std::string LayerFile(int layer) const {
    static const char* const kRel[] = {
        "lib/settings",         nullptr,      "home/.nimbrel/preferences",
        "home/.nimbrel/config", "etc/config", "lib/config"};
    return kRel[layer] ? dir_.path() + "/" + kRel[layer] : "";
  }
  void WriteLayer(int layer, const std::string& text) {
    dir_.Write(LayerFile(layer).substr(dir_.path().size() + 1), text);
  }
  void Init() { ASSERT_TRUE(ConfigStoreInitWith(options_)); }

  TempDir dir_;
  ConfigStoreOptions options_;
};

TEST_F(ConfigStoreTest, FirstLayerThatDefinesTheKeyAnswers) {
  // Each row: the layers that define the key; the lowest index must answer.
  const std::vector<std::vector<int>> rows = {
      {0, 4}, {4, 5}, {3, 4, 5}, {2, 3}, {1, 2, 5}, {5}, {0, 1, 2, 3, 4, 5},
  };
  for (const auto& layers : rows) {
    SCOPED_TRACE(testing::PrintToString(layers));
    TearDown();
    SetUp();
    for (int layer : {0, 2, 3, 4, 5}) WriteLayer(layer, "# empty\n");
    for (int layer : layers) {
      if (layer != 1) WriteLayer(layer, "k = \"from " + std::to_string(layer) + "\"\n");
    }
    Init();
    for (int layer : layers) {
      if (layer == 1) {
        ASSERT_TRUE(ConfigSetNonPersistent("k", "from 1"));
      }
    }
    EXPECT_EQ(Str(ConfigGetString("dflt", "k")), "from " + std::to_string(layers[0]));
    EXPECT_EQ(g_messages.Take(), std::vector<std::string>{});
  }
}

TEST_F(ConfigStoreTest, UserFilesAreReadOnlyWhenAllowed) {
  struct Case {
    const char* what;
    std::string hostText;
    uid_t effectiveUid;
    std::string want;
    std::vector<std::string> messages;
  };
  const Case cases[] = {
      {"allowed", "", 1000, "user", {}},
      {"disabled by the host file",
       "disableUserPreferences = \"TRUE\"\n",
       1000,
       "site",
       {"PREF Disabling user preferences because disableUserPreferences is set.\n"}},
      {"explicitly enabled", "disableUserPreferences = no\n", 1000, "user", {}},
      {"setuid process", "", 0, "site", {"setuid: ignoring user's config and preferences\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    for (int layer : {0, 2}) WriteLayer(layer, "");
    WriteLayer(4, c.hostText);
    WriteLayer(3, "k = user\n");
    WriteLayer(5, "k = site\n");
    options_.effectiveUid = c.effectiveUid;
    Init();
    EXPECT_EQ(Str(ConfigGetString(nullptr, "k")), c.want);
    EXPECT_EQ(g_messages.Take(), c.messages);
  }
}

TEST_F(ConfigStoreTest, LibraryFolderComesFromTheHostFile) {
  dir_.Write("etc/config", "libdir = \"" + dir_.path() + "/other\"\n");
  dir_.Write("other/settings", "a = settings\n");
  dir_.Write("other/config", "a = site\nb = site\n");
  dir_.Write("home/.nimbrel/config", "");
  dir_.Write("home/.nimbrel/preferences", "");
  Init();
  EXPECT_EQ(Str(ConfigGetString(nullptr, "a")), "settings");
  EXPECT_EQ(Str(ConfigGetString(nullptr, "b")), "site");
  EXPECT_EQ(g_messages.Take(), std::vector<std::string>{});
}

TEST_F(ConfigStoreTest, EveryMissingOrBrokenFileIsReportedOnceAsOptional) {
  WriteLayer(5, "k = 1\nk = 2\n");  // a repeated name fails the load; k stays
  Init();
  std::vector<std::string> want;
  for (int layer : {4, 0}) {
    want.push_back("PREF Optional preferences file not found at " + LayerFile(layer) +
                   ". Using default values.\n");
  }
  want.push_back("SITE DEFAULTS: \"" + LayerFile(5) +
                 "\" line 2: variable \"k\" is already defined.\n");
  for (int layer : {5, 3, 2}) {
    want.push_back("PREF Optional preferences file not found at " + LayerFile(layer) +
                   ". Using default values.\n");
  }
  EXPECT_EQ(g_messages.Take(), want);
  EXPECT_EQ(ConfigGetInt(0, "k"), 1);
}

TEST_F(ConfigStoreTest, TypedGettersConvertFileTextOrFallBackWithAMessage) {
  WriteLayer(0,
             "off = no\nodd = maybe\nhex = 0x10\nneg = 0xFFFFFFFF\nbig = 99999999999\n"
             "long = 0x7FFFFFFFFFFFFFFF\nword = hello\n");
  Init();
  g_messages.Take();
  EXPECT_FALSE(ConfigGetBool(true, "off"));
  EXPECT_TRUE(ConfigGetBool(true, "odd"));
  EXPECT_EQ(ConfigGetInt(7, "hex"), 16);
  EXPECT_EQ(ConfigGetInt(7, "neg"), -1);
  EXPECT_EQ(ConfigGetInt(7, "big"), 7);
  EXPECT_EQ(ConfigGetLong(7, "long"), INT64_MAX);
  EXPECT_EQ(ConfigGetLong(7, "big"), 99999999999);
  EXPECT_EQ(ConfigGetInt(7, "word"), 7);
  EXPECT_EQ(
      g_messages.Take(),
      (std::vector<std::string>{"Value \"maybe\" of \"odd\" is not a valid boolean value.\n",
                                "Value \"99999999999\" of \"big\" is not a valid integer value.\n",
                                "Value \"hello\" of \"word\" is not a valid integer value.\n"}));
}

TEST_F(ConfigStoreTest, NonZeroDefaultsAreRememberedZeroDefaultsAreNot) {
  Init();
  EXPECT_EQ(Str(ConfigGetString("first", "s")), "first");
  EXPECT_EQ(Str(ConfigGetString("second", "s")), "first");
  EXPECT_EQ(ConfigGetInt(0, "i"), 0);
  EXPECT_EQ(ConfigGetInt(5, "i"), 5);
  EXPECT_EQ(ConfigGetInt(9, "i"), 5);
  EXPECT_FALSE(ConfigGetBool(false, "b"));
  EXPECT_TRUE(ConfigGetBool(true, "b"));
  EXPECT_EQ(Str(ConfigGetString("", "e")), "");
  EXPECT_EQ(Str(ConfigGetString(nullptr, "e")), "<null>");
  // A file value set later in memory still wins over a remembered default
  // only when its layer comes first: layer 1 precedes layer 2.
  ASSERT_TRUE(ConfigSetNonPersistent("s", "set"));
  EXPECT_EQ(Str(ConfigGetString("x", "s")), "set");
  ASSERT_TRUE(ConfigSetNonPersistent("s", nullptr));
  EXPECT_EQ(Str(ConfigGetString("x", "s")), "first");
}

TEST_F(ConfigStoreTest, KeysAreFormattedIntoAKilobyteBuffer) {
  std::string longKey(2000, 'k');
  dir_.Write("lib/settings", "QRN.ScRedir.x7 = a\n" + longKey.substr(0, 1023) + " = cut\n");
  Init();
  EXPECT_EQ(Str(ConfigGetString(nullptr, "%s.x%d", "QRN.ScRedir", 7)), "a");
  EXPECT_EQ(Str(ConfigGetString(nullptr, "%s", longKey.c_str())), "cut");
  const ConfigAccessor* acc = ConfigGetAccessor();
  EXPECT_EQ(Str(acc->getString(nullptr, "QRN.ScRedir.x%d", 7)), "a");
  EXPECT_EQ(acc->getInt(3, "none"), 3);
  EXPECT_TRUE(acc->getBool(true, "none.b"));
}

TEST_F(ConfigStoreTest, LookupBeforeTheStoreExistsGivesTheDefault) {
  EXPECT_TRUE(ConfigGetBool(true, "QRN.ScRedir.Enable"));
  EXPECT_EQ(Str(ConfigGetString("info", "QRN.ScRedir.%s", "logLevel")), "info");
  EXPECT_FALSE(ConfigSetNonPersistent("k", "v"));
  EXPECT_EQ(ConfigDump(), "");
  EXPECT_EQ(g_messages.Take(),
            (std::vector<std::string>{
                "PREF early PreferenceGet(QRN.ScRedir.Enable), using default\n",
                "PREF early PreferenceGet(QRN.ScRedir.logLevel), using default\n"}));
}

TEST_F(ConfigStoreTest, DumpListsEveryLayerWithTypedValues) {
  dir_.Write("lib/settings", "flag = yes\nnum = 012\nd = 2.50\ntext = \"a|22b\"\nuntouched = x\n");
  Init();
  ConfigGetBool(false, "flag");
  ConfigGetInt(0, "num");
  config::PreferenceGet(dict::Value::Double(0), dict::ValueType::kDouble, "d");
  Str(ConfigGetString(nullptr, "text"));
  ConfigGetInt(42, "remembered");
  ConfigSetNonPersistent("np", "v");
  const std::string d = dir_.path();
  EXPECT_EQ(ConfigDump(), "DICT --- GLOBAL SETTINGS " + d + "/lib/settings\n" +
                              "                     flag = \"TRUE\"\n"
                              "                      num = \"10\"\n"
                              "                        d = \"2.5\"\n"
                              "                     text = \"a|22b\"\n"
                              "                untouched = \"x\"\n"
                              "DICT --- NON PERSISTENT \n"
                              "                       np = \"v\"\n"
                              "DICT --- USER PREFERENCES " +
                              d + "/home/.nimbrel/preferences\n" +
                              "               remembered = \"42\"\n"
                              "DICT --- USER DEFAULTS " +
                              d + "/home/.nimbrel/config\n" + "DICT --- HOST DEFAULTS " + d +
                              "/etc/config\n" + "DICT --- SITE DEFAULTS " + d + "/lib/config\n");
}

}  // namespace
