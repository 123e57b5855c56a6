// ByteWriter: the one appender every producer of wire bytes writes through.
//
// It owns a growable std::vector<uint8_t>; integers are written in the byte
// order their name says. Writers never fail except by running out of memory,
// which the standard library reports as an exception and which the callers
// at the C boundary catch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

namespace base {

class ByteWriter {
 public:
  ByteWriter() = default;
  explicit ByteWriter(size_t reserve) { buf_.reserve(reserve); }

  size_t size() const { return buf_.size(); }
  const std::vector<uint8_t>& bytes() const { return buf_; }
  std::vector<uint8_t> Take() { return std::move(buf_); }

  void WriteU8(uint8_t v) { buf_.push_back(v); }
  void WriteU16Le(uint16_t v) { WriteInt<uint16_t, false>(v); }
  void WriteU32Le(uint32_t v) { WriteInt<uint32_t, false>(v); }
  void WriteU64Le(uint64_t v) { WriteInt<uint64_t, false>(v); }
  void WriteU16Be(uint16_t v) { WriteInt<uint16_t, true>(v); }
  void WriteU32Be(uint32_t v) { WriteInt<uint32_t, true>(v); }
  void WriteBytes(const void* data, size_t n) {
    if (n == 0) return;
    const auto* p = static_cast<const uint8_t*>(data);
    buf_.insert(buf_.end(), p, p + n);
  }
  void WriteBytes(std::span<const uint8_t> s) { WriteBytes(s.data(), s.size()); }
  void WriteString(std::string_view s) { WriteBytes(s.data(), s.size()); }
  void WriteZeros(size_t n) { buf_.insert(buf_.end(), n, 0); }
  // Overwrites a little-endian u32 already written at `offset`.
  void PatchU32Le(size_t offset, uint32_t v) {
    for (size_t i = 0; i < 4; ++i) buf_.at(offset + i) = static_cast<uint8_t>(v >> (8 * i));
  }

 private:
  template <typename T, bool kBigEndian>
  void WriteInt(T v) {
    for (size_t i = 0; i < sizeof(T); ++i) {
      size_t shift = kBigEndian ? (sizeof(T) - 1 - i) * 8 : i * 8;
      buf_.push_back(static_cast<uint8_t>(v >> shift));
    }
  }

  std::vector<uint8_t> buf_;
};

}  // namespace base
