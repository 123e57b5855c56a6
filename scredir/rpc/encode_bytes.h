// ScRedirRpc_EncodeToBytes: one record through its Encode wrapper into an
// owned byte vector, for code that wants the wire bytes as a value (the
// client double, tests, benchmarks). The plug-in's own request path keeps
// the GLib buffer and does not copy.
#pragma once

#include <glib.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "scredir/rpc/ndr.h"

// Returns the encoded buffer, or nullopt when the codec refused the record
// (the reason stays in ScRedirRpc_ErrorCode()).
template <typename Record>
std::optional<std::vector<uint8_t>> ScRedirRpc_EncodeToBytes(void (*encode)(ScRedirRpc_Handle*,
                                                                            Record*),
                                                             Record* record) {
  uint8_t* buffer = nullptr;
  uint32_t length = 0;
  ScRedirRpc_Handle* handle = nullptr;
  if (MesEncodeDynBufferHandleCreate(&buffer, &length, &handle) != 0) return std::nullopt;
  encode(handle, record);
  const uint32_t status = ScRedirRpc_ErrorCode();
  MesHandleFree(handle);
  std::optional<std::vector<uint8_t>> out;
  if (status == RPC_S_OK && buffer != nullptr) out.emplace(buffer, buffer + length);
  g_free(buffer);
  return out;
}
