// Decodes arbitrary bytes as one of the return records (the first byte picks
// which) and frees the result. Built with libFuzzer by the fuzz build, and
// with replay_main.cc as the corpus replay test of the ordinary test run.
#include <cstddef>
#include <cstdint>
#include <cstring>

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
  if (ScRedirRpc_ErrorCode() == RPC_S_OK) release(h, &rec);
  MesHandleFree(h);
}

// Long_Return and Reconnect_Return own nothing; their Free is still called
// so that every path the agent takes is covered.
#define RPC_FUZZ_CASE(N, R)                                 \
  case N:                                                   \
    DecodeAndFree<R>(body, bodySize, R##_Decode, R##_Free); \
    break;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size - 1 > UINT32_MAX) return 0;
  auto bodySize = static_cast<uint32_t>(size - 1);
  // An exact-size copy, so that any read past the input is caught.
  auto* body = new uint8_t[bodySize ? bodySize : 1];
  if (bodySize) std::memcpy(body, data + 1, bodySize);
  switch (data[0] % 10) {
    RPC_FUZZ_CASE(0, EstablishContext_Return)
    RPC_FUZZ_CASE(1, Long_Return)
    RPC_FUZZ_CASE(2, ListReaders_Return)
    RPC_FUZZ_CASE(3, Connect_Return)
    RPC_FUZZ_CASE(4, Reconnect_Return)
    RPC_FUZZ_CASE(5, Status_Return)
    RPC_FUZZ_CASE(6, Transmit_Return)
    RPC_FUZZ_CASE(7, Control_Return)
    RPC_FUZZ_CASE(8, GetAttrib_Return)
    RPC_FUZZ_CASE(9, GetStatusChange_Return)
  }
  delete[] body;
  return 0;
}
