// Shared pieces of the command tests: log capture, codec encoding and
// patching of daemon records.
#pragma once

#include <glib.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "lib/log/log.h"
#include "scredir/maps.h"
#include "scredir/pcscd_msg.h"
#include "scredir/qrn_log.h"
#include "scredir/rpc/encode_bytes.h"
#include "scredir/rpc/ndr.h"
#include "scredir/rpc/records.h"

namespace cmdtest {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

inline Lines* g_lines = nullptr;
inline void CaptureLine(const char* message) {
  if (g_lines) g_lines->emplace_back(message);
}

// Captures every plug-in line as "LEVEL(code): text" (the thread column
// dropped) and gives each test fresh maps.
class CommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_lines = &lines_;
    LogSetCaptureSink(CaptureLine);
    ResetMaps();
  }
  void TearDown() override {
    ScRedirQrn_MapsDestroy();
    debugEnabled = false;
    LogSetCaptureSink(nullptr);
    g_lines = nullptr;
  }
  static void ResetMaps() {
    ScRedirQrn_MapsDestroy();
    ScRedirQrn_MapsCreate();
  }
  Lines Take() {
    static const std::regex kFrame(R"(^SCQRN: (\w+)(\([0-9a-f]{8}\))? \|\s*\d+\|: ([\s\S]*)\n$)");
    Lines out;
    for (const auto& l : lines_) out.push_back(std::regex_replace(l, kFrame, "$1$2: $3"));
    lines_.clear();
    return out;
  }
  Lines lines_;
};

// Encodes `record` with the codec's Encode wrapper; empty on failure.
template <typename Record>
Bytes Encode(void (*encode)(ScRedirRpc_Handle*, Record*), Record record) {
  return ScRedirRpc_EncodeToBytes(encode, &record).value_or(Bytes{});
}

// The encoding of a record of type R built from the initialiser that follows.
#define ENCODED(R, ...) Encode(R##_Encode, R{__VA_ARGS__})

// Bytes to write at an offset of a record.
struct Patch {
  size_t offset;
  Bytes bytes;
};
inline Patch U(size_t offset, uint32_t value) {
  Bytes b(4);
  std::memcpy(b.data(), &value, 4);
  return {offset, b};
}
inline Patch S(size_t offset, const std::string& s) {
  return {offset, Bytes(s.begin(), s.end())};
}
inline Bytes Patched(Bytes record, const std::vector<Patch>& patches) {
  for (const Patch& p : patches)
    std::copy(p.bytes.begin(), p.bytes.end(), record.begin() + p.offset);
  return record;
}

// A record of `size` bytes filled with a recognisable pattern, so fields we
// must not touch show up when they change.
inline Bytes Patterned(size_t size) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(0x40 + i % 61);
  return b;
}

// UTF-16LE bytes of a string of 8-bit characters (embedded NULs included).
inline Bytes Utf16(const std::string& s) {
  Bytes out;
  for (char c : s) out.insert(out.end(), {static_cast<uint8_t>(c), 0});
  return out;
}

}  // namespace cmdtest
