// Conversion of configuration text to typed values.
#include "lib/user/dictionary_core.h"

#include <strings.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace dict {
namespace {

constexpr std::array<const char*, 6> kTrueWords = {"", "true", "t", "yes", "y", "on"};
constexpr std::array<const char*, 6> kFalseWords = {"false", "f", "no", "n", "off", "0"};

bool IsWord(const std::string& text, const char* word) {
  return strcasecmp(text.c_str(), word) == 0;
}

// Text that parses in full: an embedded NUL or any trailing byte fails it.
bool ParsedAll(const std::string& text, const char* end) {
  return end != text.c_str() && end == text.c_str() + text.size();
}

std::optional<Value> ToBool(const std::string& text) {
  if (text.find('\0') != std::string::npos) return std::nullopt;
  if (text == "1") return Value::Bool(true);
  for (const char* w : kTrueWords) {
    if (IsWord(text, w)) return Value::Bool(true);
  }
  for (const char* w : kFalseWords) {
    if (IsWord(text, w)) return Value::Bool(false);
  }
  return std::nullopt;
}

std::optional<Value> ToTri(const std::string& text) {
  if (text.find('\0') == std::string::npos && IsWord(text, "default")) {
    return Value::Tri(TriState::kDefault);
  }
  auto b = ToBool(text);
  if (!b) return std::nullopt;
  return Value::Tri(b->num ? TriState::kTrue : TriState::kFalse);
}

// strtol with base 0; a value past the signed range gets a second chance as
// an unsigned 32-bit number (so 0xFFFFFFFF reads as -1).
std::optional<Value> ToInt32(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  long v = strtol(text.c_str(), &end, 0);
  if (!ParsedAll(text, end)) return std::nullopt;
  if (errno != ERANGE && v >= INT32_MIN && v <= INT32_MAX) {
    return Value::Int32(static_cast<int32_t>(v));
  }
  errno = 0;
  unsigned long u = strtoul(text.c_str(), &end, 0);
  if (!ParsedAll(text, end) || errno == ERANGE || u > UINT32_MAX) return std::nullopt;
  return Value::Int32(static_cast<int32_t>(static_cast<uint32_t>(u)));
}

std::optional<Value> ToInt64(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(text.c_str(), &end, 0);
  if (!ParsedAll(text, end) || errno == ERANGE) return std::nullopt;
  return Value::Int64(static_cast<int64_t>(v));
}

std::optional<Value> ToDouble(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  double v = strtod(text.c_str(), &end);
  // Underflow also sets ERANGE but yields a usable tiny number; only
  // overflow is out of range.
  if (!ParsedAll(text, end) || (errno == ERANGE && std::isinf(v))) return std::nullopt;
  return Value::Double(v);
}

}  // namespace

Value Value::String(std::string_view s) {
  Value v;
  v.str.assign(s);
  return v;
}
Value Value::NullString() {
  Value v;
  v.null = true;
  return v;
}
Value Value::Bool(bool b) {
  Value v;
  v.type = ValueType::kBool;
  v.num = b ? 1 : 0;
  return v;
}
Value Value::Int32(int32_t i) {
  Value v;
  v.type = ValueType::kInt32;
  v.num = i;
  return v;
}
Value Value::Double(double d) {
  Value v;
  v.type = ValueType::kDouble;
  v.dbl = d;
  return v;
}
Value Value::Tri(TriState t) {
  Value v;
  v.type = ValueType::kTriState;
  v.num = static_cast<int64_t>(t);
  return v;
}
Value Value::Int64(int64_t i) {
  Value v;
  v.type = ValueType::kInt64;
  v.num = i;
  return v;
}

bool Value::IsZero() const {
  switch (type) {
    case ValueType::kString:
      return null || str.empty();
    case ValueType::kDouble:
      return dbl == 0;
    default:
      return num == 0;
  }
}

std::string StrPrintf(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  va_list again;
  va_copy(again, ap);
  int n = vsnprintf(nullptr, 0, format, ap);
  va_end(ap);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<size_t>(n) + 1);
    vsnprintf(out.data(), out.size(), format, again);
    out.resize(static_cast<size_t>(n));
  }
  va_end(again);
  return out;
}

std::optional<Value> ConvertText(std::string_view view, ValueType type) {
  std::string text(view);  // the C conversions need a terminated copy
  switch (type) {
    case ValueType::kString:
      return Value::String(text);
    case ValueType::kBool:
      return ToBool(text);
    case ValueType::kInt32:
      return ToInt32(text);
    case ValueType::kDouble:
      return ToDouble(text);
    case ValueType::kTriState:
      return ToTri(text);
    case ValueType::kInt64:
      return ToInt64(text);
  }
  return std::nullopt;
}

std::string ValueText(const Value& v) {
  switch (v.type) {
    case ValueType::kString:
      return v.str;
    case ValueType::kBool:
      return v.num ? "TRUE" : "FALSE";
    case ValueType::kInt32:
    case ValueType::kInt64:
      return std::to_string(v.num);
    case ValueType::kDouble:
      return StrPrintf("%g", v.dbl);
    case ValueType::kTriState:
      return v.num == static_cast<int64_t>(TriState::kDefault) ? "DEFAULT"
                                                               : (v.num ? "TRUE" : "FALSE");
  }
  return {};
}

const char* TypeWord(ValueType type) {
  switch (type) {
    case ValueType::kString:
      return "string";
    case ValueType::kBool:
      return "boolean";
    case ValueType::kInt32:
      return "integer";
    case ValueType::kDouble:
      return "floating-point";
    case ValueType::kTriState:
      return "tristate";
    case ValueType::kInt64:
      return "64-bit integer";
  }
  return "unknown";
}

Value Entry::Get(ValueType type, const Value& def, const MessageFn& report) {
  if (!untyped && value.type == type) return value;
  // A typed entry asked for as another type is read through its text and
  // left as it is; untyped text takes the type for good.
  std::string text = untyped ? value.str : ValueText(value);
  auto converted = ConvertText(text, type);
  if (!converted) {
    if (report) {
      report(StrPrintf("Value \"%s\" of \"%s\" is not a valid %s value.\n", text.c_str(),
                       name.c_str(), TypeWord(type)));
    }
    return def;
  }
  if (untyped) {
    value = *converted;
    untyped = false;
  }
  return *converted;
}

}  // namespace dict
