// Low-level reading and writing of configuration file lines.
//
// A configuration file is a sequence of lines, each ended by a newline byte
// or by the end of the file. This module splits a byte stream into lines,
// classifies one line (entry, uninterpreted, or malformed), undoes and applies
// the "|XX" value escaping, and formats an entry line for writing. It holds no
// state shared between threads; every function works on the caller's data.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace dict {

enum class LineKind {
  kUninterpreted,  // empty, blanks only, or a comment: defines nothing
  kEntry,          // name = value
  kSyntaxError,    // anything else
};

// The pieces of one line. `name` and `rawValue` view the caller's line and
// are only meaningful for kEntry; rawValue is still escaped and, for a
// quoted value, excludes the quotes.
struct ParsedLine {
  LineKind kind = LineKind::kSyntaxError;
  std::string_view name;
  std::string_view rawValue;
};

// Classifies one line (without its newline byte).
ParsedLine ParseLine(std::string_view line);

// Replaces every "|" followed by two hexadecimal digits by that byte. A "|"
// without two hexadecimal digits after it is kept as it is.
std::string UnescapeValue(std::string_view raw);

// Escapes the bytes 0x00-0x1F except tab, the double quote, "|" and 0x7F as
// "|" and two upper-case hexadecimal digits.
std::string EscapeValue(std::string_view value);

// `name = "escaped value"` followed by one newline byte.
std::string FormatLine(std::string_view name, std::string_view value);

// Where lines come from. Read has the contract of read(2): bytes read, 0 at
// the end, -1 with errno set on failure. Tests put failing sources here.
using ReadFn = std::function<ssize_t(void* buf, size_t len)>;

// Splits a byte source into lines. A line never includes its newline byte;
// a last line without a newline is still a line.
class LineReader {
 public:
  enum class Result { kLine, kEnd, kError };

  explicit LineReader(ReadFn read) : read_(std::move(read)) {}

  // On kError errno holds the reason; lines already returned stay valid in
  // the caller's hands.
  Result Next(std::string& line);

 private:
  bool Refill();  // false on end or error; error_ tells which

  ReadFn read_;
  std::string buf_;
  size_t pos_ = 0;
  bool end_ = false;
  int error_ = 0;
};

}  // namespace dict
