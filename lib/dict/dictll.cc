// Line splitting, line classification and value escaping for configuration
// files. Every byte of a line is read through base::ByteReader.
#include "lib/dict/dictll.h"

#include <cerrno>

#include "lib/base/byte_reader.h"

namespace dict {
namespace {

constexpr size_t kReadChunk = 64 * 1024;

bool IsBlank(uint8_t c) {
  return c == ' ' || c == '\t';
}

int HexDigit(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A cursor over one line with the few steps the grammar needs.
class LineCursor {
 public:
  explicit LineCursor(std::string_view line) : line_(line), reader_(line.data(), line.size()) {}

  bool AtEnd() const { return reader_.empty(); }
  bool Peek(uint8_t& c) const { return reader_.PeekU8(c); }
  bool PeekIs(uint8_t want) const {
    uint8_t c;
    return Peek(c) && c == want;
  }
  void SkipBlanks() {
    uint8_t c;
    while (Peek(c) && IsBlank(c)) Advance();
  }
  void Advance() { (void)reader_.Skip(1); }
  // Consumes bytes while `keep` holds and returns them.
  template <typename Pred>
  std::string_view TakeWhile(Pred keep) {
    size_t start = reader_.position();
    uint8_t c;
    while (Peek(c) && keep(c)) Advance();
    return line_.substr(start, reader_.position() - start);
  }

 private:
  std::string_view line_;
  base::ByteReader reader_;
};

// Optional blanks, then either the end of the line or a comment.
bool RestIsBlankOrComment(LineCursor& cur) {
  cur.SkipBlanks();
  return cur.AtEnd() || cur.PeekIs('#');
}

}  // namespace

ParsedLine ParseLine(std::string_view line) {
  ParsedLine out;
  LineCursor cur(line);
  if (RestIsBlankOrComment(cur)) {
    out.kind = LineKind::kUninterpreted;
    return out;
  }
  out.name = cur.TakeWhile([](uint8_t c) { return c != 0 && !IsBlank(c) && c != '#' && c != '='; });
  if (out.name.empty()) return out;
  cur.SkipBlanks();
  if (!cur.PeekIs('=')) return out;
  cur.Advance();
  cur.SkipBlanks();
  if (cur.PeekIs('"')) {
    cur.Advance();
    out.rawValue = cur.TakeWhile([](uint8_t c) { return c != 0 && c != '"'; });
    if (!cur.PeekIs('"')) return out;  // unterminated, or a NUL inside the quotes
    cur.Advance();
  } else {
    // An empty bare word is accepted: "name =" sets an empty value.
    out.rawValue = cur.TakeWhile([](uint8_t c) { return c != 0 && !IsBlank(c) && c != '#'; });
  }
  if (!RestIsBlankOrComment(cur)) return out;
  out.kind = LineKind::kEntry;
  return out;
}

std::string UnescapeValue(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  base::ByteReader r(raw.data(), raw.size());
  uint8_t c;
  while (r.ReadU8(c)) {
    if (c == '|' && r.Has(2)) {
      auto next = r.rest();
      int hi = HexDigit(next[0]);
      int lo = HexDigit(next[1]);
      if (hi >= 0 && lo >= 0) {
        (void)r.Skip(2);
        out.push_back(static_cast<char>(hi * 16 + lo));
        continue;
      }
    }
    out.push_back(static_cast<char>(c));
  }
  return out;
}

std::string EscapeValue(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size());
  for (char ch : value) {
    auto c = static_cast<uint8_t>(ch);
    bool escape = (c < 0x20 && c != '\t') || c == '"' || c == '|' || c == 0x7F;
    if (escape) {
      out.push_back('|');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    } else {
      out.push_back(ch);
    }
  }
  return out;
}

std::string FormatLine(std::string_view name, std::string_view value) {
  std::string out(name);
  out += " = \"";
  out += EscapeValue(value);
  out += "\"\n";
  return out;
}

bool LineReader::Refill() {
  if (end_ || error_) return false;
  buf_.erase(0, pos_);
  pos_ = 0;
  size_t old = buf_.size();
  buf_.resize(old + kReadChunk);
  ssize_t n;
  do {
    n = read_(buf_.data() + old, kReadChunk);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    error_ = errno;
    buf_.resize(old);
    return false;
  }
  // A source must never claim more than it was offered.
  size_t got = static_cast<size_t>(n) > kReadChunk ? kReadChunk : static_cast<size_t>(n);
  buf_.resize(old + got);
  if (got == 0) end_ = true;
  return got != 0;
}

LineReader::Result LineReader::Next(std::string& line) {
  size_t scanned = pos_;
  for (;;) {
    size_t nl = buf_.find('\n', scanned);
    if (nl != std::string::npos) {
      line.assign(buf_, pos_, nl - pos_);
      pos_ = nl + 1;
      return Result::kLine;
    }
    scanned = buf_.size() - pos_;  // bytes already searched, relative to the new start
    if (!Refill()) break;
    // Refill moved the unread bytes to the front; resume the search after
    // what has been looked at already.
  }
  if (error_) {
    errno = error_;
    return Result::kError;
  }
  if (pos_ < buf_.size()) {
    line.assign(buf_, pos_, std::string::npos);
    pos_ = buf_.size();
    return Result::kLine;
  }
  return Result::kEnd;
}

}  // namespace dict
