// Decodes arbitrary bytes as one of the call records (the first byte picks
// which, the rest is the whole serialised buffer) and frees the result: the
// client's side of every request the plug-in sends. Built with libFuzzer by
// the fuzz build, and with replay_main.cc as a corpus replay test of the
// ordinary test run.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "lib/log/log.h"
#include "scredir/rpc/records.h"

namespace {

template <class R>
void DecodeAndFree(const uint8_t* data, uint32_t size, void (*decode)(ScRedirRpc_Handle*, R*),
                   void (*release)(ScRedirRpc_Handle*, R*)) {
  ScRedirRpc_Handle* h = nullptr;
  if (MesDecodeBufferHandleCreate(data, size, &h) != 0) return;
  R rec;
  std::memset(&rec, 0xA5, sizeof rec);
  decode(h, &rec);
  // A failed decode owns nothing; Free on it must still be harmless.
  release(h, &rec);
  MesHandleFree(h);
}

#define CALL_FUZZ_CASE(N, R)                                \
  case N:                                                   \
    DecodeAndFree<R>(body, bodySize, R##_Decode, R##_Free); \
    break;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The bounds messages of refused buffers are formatted, then dropped
  // (the trace fuzzer writes lines the whole way).
  static const bool quiet = [] {
    LogSetCaptureSink([](const char*) {});
    return true;
  }();
  (void)quiet;
  if (size < 1 || size - 1 > UINT32_MAX) return 0;
  auto bodySize = static_cast<uint32_t>(size - 1);
  // An exact-size copy, so that any read past the input is caught.
  auto* body = new uint8_t[bodySize ? bodySize : 1];
  if (bodySize) std::memcpy(body, data + 1, bodySize);
  switch (data[0] % 12) {
    CALL_FUZZ_CASE(0, EstablishContext_Call)
    CALL_FUZZ_CASE(1, Context_Call)
    CALL_FUZZ_CASE(2, ListReaders_Call)
    CALL_FUZZ_CASE(3, ConnectW_Call)
    CALL_FUZZ_CASE(4, Reconnect_Call)
    CALL_FUZZ_CASE(5, HCardAndDisposition_Call)
    CALL_FUZZ_CASE(6, Status_Call)
    CALL_FUZZ_CASE(7, Transmit_Call)
    CALL_FUZZ_CASE(8, Control_Call)
    CALL_FUZZ_CASE(9, GetAttrib_Call)
    CALL_FUZZ_CASE(10, SetAttrib_Call)
    CALL_FUZZ_CASE(11, GetStatusChangeW_Call)
  }
  delete[] body;
  return 0;
}
