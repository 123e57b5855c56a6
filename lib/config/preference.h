// The store's one lookup operation and its layer names, shared by the typed
// getters and the tests. Callers outside lib/config use config.h.
#pragma once

#include <array>

#include "lib/user/dictionary_core.h"

namespace config {

inline constexpr int kLayerCount = 6;
inline constexpr int kUserPreferencesLayer = 2;
inline constexpr int kHostDefaultsLayer = 4;

// Names a dump prints for the layers, in lookup order.
inline constexpr std::array<const char*, kLayerCount> kLayerNames = {
    "GLOBAL SETTINGS", "NON PERSISTENT", "USER PREFERENCES",
    "USER DEFAULTS",   "HOST DEFAULTS",  "SITE DEFAULTS"};

// Looks `key` up in layers 0 to 5 and returns its value as `type`. With no
// definition anywhere, a non-zero default is remembered in the user
// preferences layer and returned; a zero, empty or false one is just
// returned. Before the store exists the default is returned with a message.
// The value is returned by copy so no caller holds a pointer into the store.
dict::Value PreferenceGet(const dict::Value& def, dict::ValueType type, const char* key);

}  // namespace config
