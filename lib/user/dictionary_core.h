// Typed values and entries of a configuration dictionary.
//
// Values read from a file arrive as untyped text; the first typed lookup
// converts the text and the entry keeps the converted value from then on.
// Nothing here locks: a dictionary belongs to one owner (the configuration
// store serialises every access under its own lock).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace dict {

// The numbers are part of the store's vocabulary; keep them.
enum class ValueType : int {
  kString = 1,
  kBool = 2,
  kInt32 = 3,
  kDouble = 4,
  kTriState = 5,
  kInt64 = 6,
};

enum class TriState : int64_t { kFalse = 0, kTrue = 1, kDefault = 2 };

// One typed value. `num` carries booleans (0/1), tristates and both integer
// widths; `dbl` doubles; `str` strings. A string value may be null (a null
// default), which is different from an empty string.
struct Value {
  ValueType type = ValueType::kString;
  bool null = false;
  std::string str;
  int64_t num = 0;
  double dbl = 0;

  static Value String(std::string_view s);
  static Value NullString();
  static Value Bool(bool b);
  static Value Int32(int32_t i);
  static Value Double(double d);
  static Value Tri(TriState t);
  static Value Int64(int64_t i);

  // A zero, empty, false or null value: such defaults are never stored.
  bool IsZero() const;
  bool operator==(const Value&) const = default;
};

// Where recorded messages go; the owner decides how they reach a log.
using MessageFn = std::function<void(const std::string& text)>;

// printf into a std::string.
std::string StrPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Converts text to `type`; nullopt when it is not a valid value of the type.
std::optional<Value> ConvertText(std::string_view text, ValueType type);

// A value as text: strings as they are, integers in decimal, doubles in %g
// form, booleans "TRUE"/"FALSE", tristates also "DEFAULT".
std::string ValueText(const Value& v);

// The word used in "is not a valid ... value" messages.
const char* TypeWord(ValueType type);

struct Entry {
  std::string name;
  Value value;
  bool fromDefault = false;  // created by a lookup's default, not read or set
  bool untyped = false;      // still the text read from a file

  // The value as `type`. Untyped text is converted in place on success; a
  // value that does not convert gives `def` and reports why.
  Value Get(ValueType type, const Value& def, const MessageFn& report);
};

}  // namespace dict
