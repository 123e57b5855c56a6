// Typed getters over PreferenceGet, with printf-formatted keys, and the
// accessor table handed to the log facility.
#include <glib.h>

#include <cstdarg>
#include <cstdio>

#include "lib/config/config.h"
#include "lib/config/preference.h"

namespace {

constexpr size_t kKeyBufferSize = 1024;

// A key longer than the buffer is cut short, as the buffer allows.
struct Key {
  char text[kKeyBufferSize];
  Key(const char* format, va_list ap) { vsnprintf(text, sizeof text, format, ap); }
};

dict::Value Lookup(const dict::Value& def, dict::ValueType type, const char* format, va_list ap) {
  Key key(format, ap);
  return config::PreferenceGet(def, type, key.text);
}

}  // namespace

char* ConfigGetString(const char* def, const char* keyFormat, ...) {
  va_list ap;
  va_start(ap, keyFormat);
  dict::Value v = Lookup(def ? dict::Value::String(def) : dict::Value::NullString(),
                         dict::ValueType::kString, keyFormat, ap);
  va_end(ap);
  return v.null ? nullptr : g_strdup(v.str.c_str());
}

bool ConfigGetBool(bool def, const char* keyFormat, ...) {
  va_list ap;
  va_start(ap, keyFormat);
  dict::Value v = Lookup(dict::Value::Bool(def), dict::ValueType::kBool, keyFormat, ap);
  va_end(ap);
  return v.num != 0;
}

int32_t ConfigGetInt(int32_t def, const char* keyFormat, ...) {
  va_list ap;
  va_start(ap, keyFormat);
  dict::Value v = Lookup(dict::Value::Int32(def), dict::ValueType::kInt32, keyFormat, ap);
  va_end(ap);
  return static_cast<int32_t>(v.num);
}

int64_t ConfigGetLong(int64_t def, const char* keyFormat, ...) {
  va_list ap;
  va_start(ap, keyFormat);
  dict::Value v = Lookup(dict::Value::Int64(def), dict::ValueType::kInt64, keyFormat, ap);
  va_end(ap);
  return v.num;
}

const ConfigAccessor* ConfigGetAccessor() {
  static const ConfigAccessor kAccessor = {ConfigGetString, ConfigGetBool, ConfigGetInt};
  return &kAccessor;
}
