// Encode/decode helpers shared by the codec tests.
#pragma once

#include <glib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "lib/log/log.h"
#include "scredir/qrn_log.h"
#include "scredir/rpc/records.h"
#include "tests/rpc/rpc_test_data.h"

namespace rpc_test {

// Routes every record type to its wrappers.
template <class R>
struct Ops;
#define RPC_TEST_OPS(R)                                                  \
  template <>                                                            \
  struct Ops<R> {                                                        \
    static void Encode(ScRedirRpc_Handle* h, R* r) { R##_Encode(h, r); } \
    static void Decode(ScRedirRpc_Handle* h, R* r) { R##_Decode(h, r); } \
    static void Free(ScRedirRpc_Handle* h, R* r) { R##_Free(h, r); }     \
  };
SCREDIR_RPC_CALL_RECORDS(RPC_TEST_OPS)
SCREDIR_RPC_RETURN_RECORDS(RPC_TEST_OPS)
#undef RPC_TEST_OPS

// Encodes a copy of `rec`; the status word lands in *status. With headroom,
// the block starts with that many zeros, then the same bytes.
template <class R>
Bytes EncodeRec(R rec, uint32_t* status = nullptr, uint32_t headroom = 0) {
  uint8_t* buf = nullptr;
  uint32_t len = 0;
  ScRedirRpc_Handle* h = nullptr;
  EXPECT_EQ(ScRedirRpc_EncodeHandleCreateWithHeadroom(&buf, &len, headroom, &h), 0u);
  Ops<R>::Encode(h, &rec);
  if (status) *status = ScRedirRpc_ErrorCode();
  MesHandleFree(h);
  EXPECT_EQ(Bytes(buf, buf + headroom), Bytes(headroom, 0));
  Bytes out(buf + headroom, buf + headroom + len);
  g_free(buf);
  return out;
}

// Decodes from a heap copy of exactly bytes.size() bytes (so that ASan sees
// any read past it), hands a successfully decoded record to `check` while
// the handle lives, then frees it. Returns the status (1784 for headers).
template <class R, class F>
uint32_t DecodeRec(const Bytes& bytes, F check) {
  auto copy = std::make_unique<uint8_t[]>(bytes.size() ? bytes.size() : 1);
  if (!bytes.empty()) std::memcpy(copy.get(), bytes.data(), bytes.size());
  ScRedirRpc_Handle* h = nullptr;
  uint32_t created =
      MesDecodeBufferHandleCreate(copy.get(), static_cast<uint32_t>(bytes.size()), &h);
  if (created != 0) return created;
  R rec;
  std::memset(&rec, 0xA5, sizeof rec);  // decoding must not trust what was there
  Ops<R>::Decode(h, &rec);
  uint32_t status = ScRedirRpc_ErrorCode();
  if (status == RPC_S_OK) check(rec);
  Ops<R>::Free(h, &rec);  // harmless after a failure: slots are null
  MesHandleFree(h);
  return status;
}

template <class R>
uint32_t DecodeStatus(const Bytes& bytes) {
  return DecodeRec<R>(bytes, [](R&) {});
}

// A buffer with the given body and a Buffer Length that announces it.
inline Bytes WithHeaders(const Bytes& body) {
  Bytes out = {0x01, 0x10, 0x08, 0x00, 0xCC, 0xCC, 0xCC, 0xCC};
  uint32_t n = static_cast<uint32_t>(body.size());
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(n >> (8 * i)));
  out.insert(out.end(), 4, 0);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

// Collects every message handed to the log facility while alive, with the
// plug-in's "SCQRN: LEVEL |tid|: " framing and the newline removed.
class LogCapture {
 public:
  LogCapture() {
    Texts().clear();
    LogSetCaptureSink([](const char* m) {
      std::string l(m);
      if (!l.empty() && l.back() == '\n') l.pop_back();
      auto bar = l.find("|: ");
      Texts().push_back(l.rfind("SCQRN: ", 0) == 0 && bar != l.npos ? l.substr(bar + 3) : l);
    });
  }
  ~LogCapture() { LogSetCaptureSink(nullptr); }
  static std::vector<std::string>& Texts() {
    static std::vector<std::string> texts;
    return texts;
  }
  static bool Has(const std::string& text) {
    return std::find(Texts().begin(), Texts().end(), text) != Texts().end();
  }
};

}  // namespace rpc_test
