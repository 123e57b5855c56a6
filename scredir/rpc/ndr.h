// NDR codec handles and primitives.
//
// One serialisation handle carries one type-serialised record: a 16-byte
// pair of headers (common and private) followed by the NDR body of exactly
// one record. The same record routine both encodes and decodes; every
// primitive below looks at the handle's direction and either appends the
// field to the stream or reads the stream into the field.
//
// Encoding appends to a g_malloc block that the finish step hands to the
// caller (released with g_free); the block may start with room the caller
// asked for (a packet header it fills in place). Decoding reads the caller's buffer in place
// through a bounds-checked reader limited to the body length the private
// header announces; the buffer must outlive the handle.
//
// A handle belongs to the thread that created it and is freed before that
// thread ends. Every outcome is left in a per-thread status word read with
// ScRedirRpc_ErrorCode, so runs on different threads never see each other's
// status.
#pragma once

#include <glib.h>

#include <cstdint>

#include "lib/base/byte_reader.h"

// Status values the codec leaves in the per-thread status word.
enum : uint32_t {
  RPC_S_OK = 0,
  RPC_S_OUT_OF_MEMORY = 14,
  RPC_S_INVALID_ARG = 87,
  RPC_S_BUFFER_TOO_SMALL = 122,
  // Result of MesDecodeBufferHandleCreate for a buffer whose headers are
  // refused; never stored in the status word.
  ERROR_INVALID_USER_BUFFER = 1784,
};

// Direction of a handle.
enum : uint32_t {
  kScRedirRpcDecode = 0,
  kScRedirRpcEncode = 1,
};

// Byte sizes of the two serialisation headers together.
inline constexpr uint32_t kScRedirRpcHeaderSize = 16;

struct ScRedirRpc_Handle {
  // Encoding: the block receiving `headroom` bytes for the caller, then the
  // whole buffer, headers included: `length` bytes written after the
  // headroom, room for `capacity`. Null until the first write.
  uint8_t* block = nullptr;
  uint32_t headroom = 0;
  uint32_t length = 0;
  uint32_t capacity = 0;
  // Decoding: the caller's buffer at its common header; byte 1 is the
  // endianness mark every integer read consults.
  const uint8_t* buffer = nullptr;
  // Encoding: where the finish step stores the buffer's address and length.
  uint8_t** outBuffer = nullptr;
  uint32_t* outLength = nullptr;
  // Decoding: the private header and the body length it announces.
  const uint8_t* privateHeader = nullptr;
  uint32_t objectLength = 0;
  // Decoding: reader over exactly objectLength body bytes; its position is
  // the number of body bytes consumed.
  base::ByteReader body;
  uint32_t direction = kScRedirRpcDecode;
  // Encoding: set once the finish step has handed the bytes to the caller.
  bool finished = false;
  // Set when the handle is its thread's reusable one, kept in that thread's
  // block: it must be freed before the thread ends.
  void* threadSlot = nullptr;
};

// Creates an encoding handle; the finished buffer and its length land in
// *buffer and *length when the record's finish step runs. Returns 0 (or
// RPC_S_OUT_OF_MEMORY, with no handle, when the handle cannot be allocated).
uint32_t MesEncodeDynBufferHandleCreate(uint8_t** buffer, uint32_t* length,
                                        ScRedirRpc_Handle** handle);
// The same, with `headroom` zero bytes in front of the buffer: *buffer then
// receives the block's start and *length the buffer's length without them,
// so a packet header can be written in front of the encoding, in place.
uint32_t ScRedirRpc_EncodeHandleCreateWithHeadroom(uint8_t** buffer, uint32_t* length,
                                                   uint32_t headroom, ScRedirRpc_Handle** handle);
// Checks the two headers of `buffer` and creates a decoding handle over it.
// Returns 0, or ERROR_INVALID_USER_BUFFER with *handle left untouched
// (RPC_S_OUT_OF_MEMORY when the handle itself cannot be allocated).
uint32_t MesDecodeBufferHandleCreate(const uint8_t* buffer, uint32_t length,
                                     ScRedirRpc_Handle** handle);
// Releases the handle. An encoding handle whose bytes were handed over by the
// finish step keeps them (they are the caller's); otherwise they go too.
uint32_t MesHandleFree(ScRedirRpc_Handle* handle);

// The calling thread's codec status word; 0 if never set.
uint32_t ScRedirRpc_ErrorCode();
// Sets the calling thread's status word (the codec's own steps use it;
// exposed for callers that report a failure through the same word).
void ScRedirRpc_SetErrorCode(uint32_t status);
// "RPC_S_OK", "RPC_S_INVALID_ARG", "RPC_S_BUFFER_TOO_SMALL",
// "RPC_S_OUT_OF_MEMORY", else "UNKNOWN".
const char* ScRedirRpc_StatusName(uint32_t status);

// Stream position alignment is computed from (body bytes consumed, or bytes
// appended including the headers; both align the body alike).
uint32_t ScRedirRpc_Position(const ScRedirRpc_Handle* handle);

// Primitives: 1 on success, 0 on failure (status word set).
int ScRedirRpc_CodecIO(ScRedirRpc_Handle* handle, void* data, uint32_t count);
// The same transfer for the bytes of a command APDU (a Transmit send
// buffer): its trace masks the data of a command that carries a PIN.
int ScRedirRpc_CodecIOApdu(ScRedirRpc_Handle* handle, void* data, uint32_t count);
int ScRedirRpc_RealignCodec(ScRedirRpc_Handle* handle, uint32_t mask);
int ScRedirRpc_NdrUInt32(ScRedirRpc_Handle* handle, uint32_t* value);
int ScRedirRpc_NdrInt32(ScRedirRpc_Handle* handle, int32_t* value);
// How referent ids of non-null pointers are numbered within one record.
// Sequential: 1, 2, 3. Windows: 0x00020000, then 4 more for each further
// pointer, the sequence the Windows NDR engine writes and some clients
// (FreeRDP among them) insist on. Either restarts with every record.
enum class ScRedirRpc_PointerIds : uint8_t { kSequential, kWindows };
// Process-wide; set once at start, before any record is encoded.
void ScRedirRpc_SetPointerIds(ScRedirRpc_PointerIds style);
// The id of a record's first non-null pointer under the current style, and
// what every further one adds.
uint32_t ScRedirRpc_FirstPointerId();
uint32_t ScRedirRpc_PointerIdStep();

// Encoding writes *counter (then advances it by the style's step) for a
// non-null *slot, else 0.
// Decoding stores the id read, zero-extended, in *slot: a presence marker,
// never an address. Record routines pass a scratch slot, never a record
// field, so decoded records only ever hold null or blocks they own.
int ScRedirRpc_NdrPtrId(ScRedirRpc_Handle* handle, void** slot, uint32_t* counter);
// The referent of a non-null UTF-16 string pointer. Decoding allocates the
// string (actualCount units, exactly as received) and stores it in *slot.
int ScRedirRpc_NdrPtrStrW(ScRedirRpc_Handle* handle, uint16_t** slot);

// Holds a decoded count against the body bytes left: fails with
// RPC_S_BUFFER_TOO_SMALL and the bounds message when count * elementSize
// bytes cannot be there. Always succeeds on an encoding handle.
int ScRedirRpc_CheckLeft(ScRedirRpc_Handle* handle, uint32_t count, uint32_t elementSize);

// Encoding: makes room for the buffer to reach `length` bytes (headers
// included) and returns its start, for a writer that fills it itself and
// then sets handle->length; null when memory runs out.
uint8_t* ScRedirRpc_EncodeRoom(ScRedirRpc_Handle* handle, uint32_t length);

void ScRedirRpc_FinishEncode(ScRedirRpc_Handle* handle);
void ScRedirRpc_FinishDecode(ScRedirRpc_Handle* handle);

// Debug dump of the two headers and the body of a buffer that passed the
// header checks (writes nothing unless debugging). Which record the body
// holds is not known yet, so every conformant byte array in it that begins
// like a command carrying a PIN (ScRedirQrn_HexDumpApdu) is masked.
void ScRedirRpc_DumpTypeHeaders(const uint8_t* buffer, uint32_t length);
