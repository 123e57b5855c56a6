// What the record decode fuzzers share: the first input byte picks a record
// from a list, the rest is decoded as that record's whole serialised buffer
// and the result freed. Free runs on failed decodes too: they own nothing,
// and freeing them must be harmless.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "scredir/rpc/records.h"

namespace fuzz_records {

using Decoder = void (*)(const uint8_t* data, uint32_t size);

template <class R>
void DecodeAndFree(const uint8_t* data, uint32_t size, void (*decode)(ScRedirRpc_Handle*, R*),
                   void (*release)(ScRedirRpc_Handle*, R*)) {
  ScRedirRpc_Handle* h = nullptr;
  if (MesDecodeBufferHandleCreate(data, size, &h) != 0) return;
  R rec;
  std::memset(&rec, 0xA5, sizeof rec);
  decode(h, &rec);
  release(h, &rec);
  MesHandleFree(h);
}

inline int DecodeOne(const uint8_t* data, size_t size, std::span<const Decoder> decoders) {
  if (size < 1 || size - 1 > UINT32_MAX) return 0;
  auto bodySize = static_cast<uint32_t>(size - 1);
  // An exact-size copy, so that any read past the input is caught.
  auto* body = new uint8_t[bodySize ? bodySize : 1];
  if (bodySize) std::memcpy(body, data + 1, bodySize);
  decoders[data[0] % decoders.size()](body, bodySize);
  delete[] body;
  return 0;
}

}  // namespace fuzz_records

// One list entry: decodes and frees record R.
#define SCREDIR_FUZZ_DECODER(R) \
  [](const uint8_t* d, uint32_t n) { fuzz_records::DecodeAndFree<R>(d, n, R##_Decode, R##_Free); },
