// The process-wide configuration store: six dictionaries consulted in a
// fixed order, built once and published with a compare-and-swap.
//
// Every lookup, load and change happens under the store's recursive lock.
// Messages raised meanwhile are collected and handed to the message sink
// only after the lock is released, so a sink that logs (and a log that reads
// the configuration) can never deadlock against the store.
#include <pwd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "lib/config/config.h"
#include "lib/config/preference.h"
#include "lib/user/dictionary.h"

namespace config {
namespace {

constexpr int kGlobalSettingsLayer = 0;
constexpr int kNonPersistentLayer = 1;
constexpr int kUserDefaultsLayer = 3;
constexpr int kSiteDefaultsLayer = 5;

struct Store {
  std::recursive_mutex preferenceLock;
  // Guarded by preferenceLock.
  std::array<dict::Dictionary, kLayerCount> layers;
  // Fixed once the store is built.
  std::array<std::string, kLayerCount> paths;
};

std::atomic<Store*> g_store{nullptr};
std::atomic<ConfigMessageSink> g_sink{nullptr};

void Emit(const std::string& text) {
  ConfigMessageSink sink = g_sink.load(std::memory_order_acquire);
  if (sink) {
    sink(text.c_str());
  } else {
    fputs(text.c_str(), stderr);
  }
}

// Messages held back until the store's lock is released.
class PendingMessages {
 public:
  dict::MessageFn Recorder() {
    return [this](const std::string& text) { texts_.push_back(text); };
  }
  void Add(std::string text) { texts_.push_back(std::move(text)); }
  void Flush() {
    for (const std::string& t : texts_) Emit(t);
    texts_.clear();
  }

 private:
  std::vector<std::string> texts_;
};

std::string HomeDirectory(const ConfigStoreOptions& options) {
  if (!options.homeDir.empty()) return options.homeDir;
  if (const char* home = getenv("HOME"); home && *home) return home;
  struct passwd pw;
  struct passwd* found = nullptr;
  std::vector<char> buf(16384);
  if (getpwuid_r(options.realUid, &pw, buf.data(), buf.size(), &found) == 0 && found &&
      found->pw_dir) {
    return found->pw_dir;
  }
  return {};
}

void LoadLayer(Store& s, int layer, PendingMessages& msgs) {
  const std::string& path = s.paths[layer];
  if (path.empty()) return;
  dict::Dictionary::LoadOptions opts;
  opts.label = kLayerNames[layer];
  opts.quietIfMissing = true;
  if (!s.layers[layer].Load(path, msgs.Recorder(), opts)) {
    msgs.Add(dict::StrPrintf(
        "PREF Optional preferences file not found at %s. Using default values.\n", path.c_str()));
  }
}

// A value of the host defaults layer alone, without creating anything.
dict::Value HostValue(Store& s, const char* key, const dict::Value& def, dict::ValueType type,
                      PendingMessages& msgs) {
  dict::Entry* e = s.layers[kHostDefaultsLayer].Find(key);
  return e ? e->Get(type, def, msgs.Recorder()) : def;
}

std::unique_ptr<Store> BuildStore(const ConfigStoreOptions& options, PendingMessages& msgs) {
  auto s = std::make_unique<Store>();
  std::lock_guard<std::recursive_mutex> guard(s->preferenceLock);
  s->paths[kHostDefaultsLayer] = options.hostDir + "/config";
  LoadLayer(*s, kHostDefaultsLayer, msgs);

  bool disableUser = HostValue(*s, "disableUserPreferences", dict::Value::Bool(false),
                               dict::ValueType::kBool, msgs)
                         .num != 0;
  std::string libDir = HostValue(*s, "libdir", dict::Value::String(options.defaultLibDir),
                                 dict::ValueType::kString, msgs)
                           .str;
  if (libDir.empty()) libDir = options.defaultLibDir;
  s->paths[kGlobalSettingsLayer] = libDir + "/settings";
  s->paths[kSiteDefaultsLayer] = libDir + "/config";

  if (disableUser) {
    msgs.Add("PREF Disabling user preferences because disableUserPreferences is set.\n");
  } else if (options.realUid == options.effectiveUid) {
    std::string home = HomeDirectory(options);
    if (!home.empty()) {
      s->paths[kUserDefaultsLayer] = home + "/.nimbrel/config";
      s->paths[kUserPreferencesLayer] = home + "/.nimbrel/preferences";
    }
  } else {
    // A set-user-id process must not let the invoking user steer it.
    msgs.Add("setuid: ignoring user's config and preferences\n");
  }

  for (int layer :
       {kGlobalSettingsLayer, kSiteDefaultsLayer, kUserDefaultsLayer, kUserPreferencesLayer}) {
    LoadLayer(*s, layer, msgs);
  }
  return s;
}

dict::Value LookupLocked(Store& s, const dict::Value& def, dict::ValueType type, const char* key,
                         PendingMessages& msgs) {
  for (dict::Dictionary& layer : s.layers) {
    if (dict::Entry* e = layer.Find(key)) return e->Get(type, def, msgs.Recorder());
  }
  if (!def.IsZero()) s.layers[kUserPreferencesLayer].Set(key, def, true, false);
  return def;
}

}  // namespace

dict::Value PreferenceGet(const dict::Value& def, dict::ValueType type, const char* key) {
  Store* s = g_store.load(std::memory_order_acquire);
  if (!s) {
    Emit(dict::StrPrintf("PREF early PreferenceGet(%s), using default\n", key));
    return def;
  }
  PendingMessages msgs;
  dict::Value result;
  {
    std::lock_guard<std::recursive_mutex> guard(s->preferenceLock);
    result = LookupLocked(*s, def, type, key, msgs);
  }
  msgs.Flush();
  return result;
}

}  // namespace config

using config::g_store;

bool ConfigStoreInit() {
  return ConfigStoreInitWith(ConfigStoreOptions{});
}

bool ConfigStoreInitWith(const ConfigStoreOptions& options) {
  if (g_store.load(std::memory_order_acquire)) return true;
  config::PendingMessages msgs;
  std::unique_ptr<config::Store> mine = config::BuildStore(options, msgs);
  config::Store* expected = nullptr;
  if (g_store.compare_exchange_strong(expected, mine.get(), std::memory_order_acq_rel)) {
    mine.release();
    // Only the builder that won speaks, so a race does not repeat messages.
    msgs.Flush();
  }
  return true;
}

void ConfigStoreResetForTest() {
  delete g_store.exchange(nullptr, std::memory_order_acq_rel);
}

void ConfigSetMessageSink(ConfigMessageSink sink) {
  config::g_sink.store(sink, std::memory_order_release);
}

bool ConfigSetNonPersistent(const char* key, const char* value) {
  config::Store* s = g_store.load(std::memory_order_acquire);
  if (!s || !key) return false;
  std::lock_guard<std::recursive_mutex> guard(s->preferenceLock);
  dict::Dictionary& layer = s->layers[config::kNonPersistentLayer];
  if (!value) {
    layer.Remove(key);
  } else {
    layer.Set(key, dict::Value::String(value), false, true);
  }
  return true;
}

std::string ConfigDump() {
  config::Store* s = g_store.load(std::memory_order_acquire);
  if (!s) return {};
  std::lock_guard<std::recursive_mutex> guard(s->preferenceLock);
  std::string out;
  for (int i = 0; i < config::kLayerCount; ++i) {
    out += dict::StrPrintf("DICT --- %s %s\n", config::kLayerNames[i], s->paths[i].c_str());
    for (const dict::Entry* e : s->layers[i].Entries()) {
      // Escaped like a file line so every entry stays on one line.
      out += dict::StrPrintf("%25s = \"%s\"\n", e->name.c_str(),
                             dict::EscapeValue(dict::ValueText(e->value)).c_str());
    }
  }
  return out;
}
