// Shared pieces of the command tests: log capture, codec round trips and
// daemon record builders.
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
    ScRedirQrn_MapsDestroy();
    ScRedirQrn_MapsCreate();
  }
  void TearDown() override {
    ScRedirQrn_MapsDestroy();
    debugEnabled = false;
    LogSetCaptureSink(nullptr);
    g_lines = nullptr;
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
  uint8_t* buffer = nullptr;
  uint32_t length = 0;
  ScRedirRpc_Handle* handle = nullptr;
  MesEncodeDynBufferHandleCreate(&buffer, &length, &handle);
  encode(handle, &record);
  MesHandleFree(handle);
  Bytes out;
  if (ScRedirRpc_ErrorCode() == RPC_S_OK) out.assign(buffer, buffer + length);
  g_free(buffer);
  return out;
}

inline void PutU32(Bytes& b, size_t offset, uint32_t v) {
  std::memcpy(b.data() + offset, &v, 4);
}
inline uint32_t GetU32(const Bytes& b, size_t offset) {
  uint32_t v;
  std::memcpy(&v, b.data() + offset, 4);
  return v;
}
inline void PutText(Bytes& b, size_t offset, const std::string& s) {
  std::memcpy(b.data() + offset, s.data(), s.size());
}

// A record of `size` bytes filled with a recognisable pattern, so fields we
// must not touch show up when they change.
inline Bytes Patterned(size_t size) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(0x40 + i % 61);
  return b;
}

// UTF-16LE bytes of an ASCII multi-string given with explicit "\0"s.
inline Bytes Utf16(const std::string& ascii) {
  Bytes out;
  for (char c : ascii) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(0);
  }
  return out;
}

// A GLib copy of some bytes, as the decoder would have allocated them.
struct GCopy {
  explicit GCopy(const Bytes& b) : p(static_cast<uint8_t*>(g_memdup2(b.data(), b.size()))) {}
  ~GCopy() { g_free(p); }
  GCopy(const GCopy&) = delete;
  GCopy& operator=(const GCopy&) = delete;
  uint8_t* p;
};

}  // namespace cmdtest
