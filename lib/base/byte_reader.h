// ByteReader: the one bounds-checked cursor over bytes we did not produce.
//
// Every parser of the project (RDPDR packets, NDR bodies, daemon records,
// configuration lines) reads through this class. A read either succeeds in
// full and advances, or fails and leaves the cursor where it was; nothing is
// ever read past the end of the span. The reader does not own the bytes: the
// span must outlive the reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

namespace base {

class ByteReader {
 public:
  ByteReader() = default;
  explicit ByteReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  ByteReader(const void* data, size_t size)
      : bytes_(static_cast<const uint8_t*>(data), data ? size : 0) {}

  size_t size() const { return bytes_.size(); }
  size_t position() const { return pos_; }
  size_t remaining() const { return bytes_.size() - pos_; }
  bool empty() const { return remaining() == 0; }
  std::span<const uint8_t> rest() const { return bytes_.subspan(pos_); }
  std::span<const uint8_t> whole() const { return bytes_; }

  // True when n more bytes are present; written so it cannot overflow.
  bool Has(size_t n) const { return n <= remaining(); }

  [[nodiscard]] bool Skip(size_t n) {
    if (!Has(n)) return false;
    pos_ += n;
    return true;
  }
  // Moves to an absolute offset within the span.
  [[nodiscard]] bool Seek(size_t offset) {
    if (offset > bytes_.size()) return false;
    pos_ = offset;
    return true;
  }

  [[nodiscard]] bool ReadU8(uint8_t& out) { return ReadInt<uint8_t, false>(out); }
  [[nodiscard]] bool ReadU16Le(uint16_t& out) { return ReadInt<uint16_t, false>(out); }
  [[nodiscard]] bool ReadU32Le(uint32_t& out) { return ReadInt<uint32_t, false>(out); }
  [[nodiscard]] bool ReadU64Le(uint64_t& out) { return ReadInt<uint64_t, false>(out); }
  [[nodiscard]] bool ReadU16Be(uint16_t& out) { return ReadInt<uint16_t, true>(out); }
  [[nodiscard]] bool ReadU32Be(uint32_t& out) { return ReadInt<uint32_t, true>(out); }
  [[nodiscard]] bool ReadU64Be(uint64_t& out) { return ReadInt<uint64_t, true>(out); }
  [[nodiscard]] bool ReadI32Le(int32_t& out) {
    uint32_t v;
    if (!ReadU32Le(v)) return false;
    out = static_cast<int32_t>(v);
    return true;
  }

  // Copies n bytes out; fails without copying when fewer are present.
  [[nodiscard]] bool ReadBytes(void* out, size_t n) {
    if (!Has(n)) return false;
    if (n) std::memcpy(out, bytes_.data() + pos_, n);
    pos_ += n;
    return true;
  }
  // Returns a view of the next n bytes and advances past them.
  [[nodiscard]] std::optional<std::span<const uint8_t>> ReadSpan(size_t n) {
    if (!Has(n)) return std::nullopt;
    auto s = bytes_.subspan(pos_, n);
    pos_ += n;
    return s;
  }
  // A nested reader over the next n bytes (a payload with its own length).
  [[nodiscard]] std::optional<ByteReader> ReadSubReader(size_t n) {
    auto s = ReadSpan(n);
    if (!s) return std::nullopt;
    return ByteReader(*s);
  }
  // Reads up to (not including) the delimiter; consumes the delimiter when
  // present. Returns the rest of the span when the delimiter is absent.
  std::string_view ReadUntil(uint8_t delim, bool* found = nullptr) {
    auto r = rest();
    const void* hit = r.empty() ? nullptr : std::memchr(r.data(), delim, r.size());
    size_t n = hit ? static_cast<size_t>(static_cast<const uint8_t*>(hit) - r.data()) : r.size();
    std::string_view v(reinterpret_cast<const char*>(r.data()), n);
    pos_ += n + (hit ? 1 : 0);
    if (found) *found = hit != nullptr;
    return v;
  }
  // Peeks without advancing.
  [[nodiscard]] bool PeekU8(uint8_t& out) const {
    if (!Has(1)) return false;
    out = bytes_[pos_];
    return true;
  }
  // Bytes needed to bring the position to a multiple of `align` (a power of two).
  size_t PaddingTo(size_t align) const { return (align - (pos_ & (align - 1))) & (align - 1); }

 private:
  template <typename T, bool kBigEndian>
  bool ReadInt(T& out) {
    if (!Has(sizeof(T))) return false;
    T v = 0;
    for (size_t i = 0; i < sizeof(T); ++i) {
      size_t shift = kBigEndian ? (sizeof(T) - 1 - i) * 8 : i * 8;
      v = static_cast<T>(v | static_cast<T>(static_cast<T>(bytes_[pos_ + i]) << shift));
    }
    out = v;
    pos_ += sizeof(T);
    return true;
  }

  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

// Overflow-proof count * element size, for wire counts that would size a
// buffer. Returns nullopt when the product does not fit.
inline std::optional<size_t> CheckedMul(size_t count, size_t elem) {
  if (elem != 0 && count > SIZE_MAX / elem) return std::nullopt;
  return count * elem;
}

}  // namespace base
