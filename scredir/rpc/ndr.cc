// NDR handles and primitives: the headers, alignment, integers, pointer ids,
// UTF-16 strings, the finish steps and the per-thread status word.
#include "scredir/rpc/ndr.h"

#include <glib.h>

#include <atomic>
#include <cstring>
#include <new>
#include <type_traits>
#include <vector>

#include "scredir/qrn_log.h"

namespace {

constexpr uint8_t kVersion1 = 0x01;
constexpr uint8_t kLittleEndian = 0x10;
constexpr uint8_t kBigEndian = 0x00;
constexpr uint16_t kCommonHeaderLength = 8;
constexpr uint32_t kCommonFiller = 0xCCCCCCCC;
constexpr uint32_t kInitialCapacity = 256;
constexpr uint8_t kHeaders[kScRedirRpcHeaderSize] = {
    0x01, 0x10, 0x08, 0x00, 0xCC, 0xCC, 0xCC, 0xCC, 0x01, 0x10, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00};
constexpr uint32_t kBufferLengthOffset = 8;

// What each thread keeps: its status word and one handle to reuse (most
// records run on the same few threads, one handle at a time). Found through
// a plain thread-local pointer; owned by a GPrivate that g_free releases
// when the thread ends, so that none of this library's code runs then (it
// may have been unloaded by that time).
struct PerThread {
  uint32_t status = 0;
  bool spareBusy = false;
  ScRedirRpc_Handle spare;
};
static_assert(std::is_trivially_destructible_v<PerThread>);
GPrivate g_perThread = G_PRIVATE_INIT(g_free);
thread_local PerThread* t_perThread = nullptr;

PerThread* ThisThread() {
  PerThread* t = t_perThread;
  if (t == nullptr) {
    t = new (g_malloc(sizeof(PerThread))) PerThread{};
    g_private_set(&g_perThread, t);
    t_perThread = t;
  }
  return t;
}

ScRedirRpc_Handle* NewHandle() {
  PerThread* t = ThisThread();
  if (!t->spareBusy) {
    t->spareBusy = true;
    auto* h = new (&t->spare) ScRedirRpc_Handle{};
    h->threadSlot = t;
    return h;
  }
  void* p = g_try_malloc(sizeof(ScRedirRpc_Handle));
  return p != nullptr ? new (p) ScRedirRpc_Handle{} : nullptr;
}

void ReleaseHandle(ScRedirRpc_Handle* h) {
  if (h->threadSlot != nullptr) {
    static_cast<PerThread*>(h->threadSlot)->spareBusy = false;
  } else {
    g_free(h);
  }
}

// Makes room for `length` buffer bytes after the headroom. The first
// allocation also lays down the headroom (zeros) and the headers.
bool Reserve(ScRedirRpc_Handle* h, uint32_t length, bool exact) {
  if (h->block != nullptr && length <= h->capacity) return true;
  uint64_t want = length;
  if (!exact) {
    want = h->capacity < kInitialCapacity ? kInitialCapacity : h->capacity;
    while (want < length) want *= 2;
  }
  if (want + h->headroom > UINT32_MAX) return false;
  bool fresh = h->block == nullptr;
  auto* block = static_cast<uint8_t*>(g_try_realloc(h->block, h->headroom + want));
  if (block == nullptr) return false;
  h->block = block;
  h->capacity = static_cast<uint32_t>(want);
  if (fresh) {
    std::memset(block, 0, h->headroom);
    std::memcpy(block + h->headroom, kHeaders, sizeof kHeaders);
  }
  return true;
}

// Appends `count` bytes from `data` to an encoding. Running out of memory
// here ends the process, as growing a GLib array always has.
void Append(ScRedirRpc_Handle* h, const void* data, uint32_t count) {
  if (!Reserve(h, h->length + count, false)) g_error("out of memory encoding a record");
  if (count != 0) std::memcpy(h->block + h->headroom + h->length, data, count);
  h->length += count;
}

// Set by ScRedirRpc_CodecIOApdu for the transfer it makes: its trace masks
// a secret-bearing command.
thread_local bool t_apduTransfer = false;

bool Encoding(const ScRedirRpc_Handle* h) {
  return h->direction == kScRedirRpcEncode;
}

bool BigEndianStream(const ScRedirRpc_Handle* h) {
  return h->buffer != nullptr && h->buffer[1] != kLittleEndian;
}

uint32_t Swap32(uint32_t v) {
  return GUINT32_SWAP_LE_BE(v);
}

void LogBounds(uint32_t pos, uint32_t need, uint32_t total) {
  ScRedirQrn_Logf(kQrnLogError, RPC_S_BUFFER_TOO_SMALL,
                  "At pos %u, need %u more bytes, but only have %u total", pos, need, total);
}

// Bytes that may be read in place without passing the body.
uint32_t BytesLeft(const ScRedirRpc_Handle* h) {
  return static_cast<uint32_t>(h->body.remaining());
}

void TraceTransfer(const ScRedirRpc_Handle* h, const void* data, uint32_t count) {
  if (!ScRedirQrn_DebugOn()) return;
  ScRedirQrn_Logf(kQrnLogDebug, 0, "%s %u bytes:", Encoding(h) ? "Writing" : "Reading", count);
  if (t_apduTransfer) {
    ScRedirQrn_HexDumpApdu(data, count);
  } else {
    ScRedirQrn_HexDump(data, count);
  }
}

void TraceInt(const ScRedirRpc_Handle* h, const char* type, const char* label) {
  if (!ScRedirQrn_DebugOn()) return;
  ScRedirQrn_Logf(kQrnLogDebug, 0, "%s %s to %s", Encoding(h) ? "writing" : "reading", type, label);
}

// The 32-bit transfer shared by both integer forms.
int Transfer32(ScRedirRpc_Handle* h, uint32_t* value) {
  if (!ScRedirRpc_RealignCodec(h, 3)) return 0;
  uint8_t raw[4];
  if (Encoding(h)) {
    for (int i = 0; i < 4; ++i) raw[i] = static_cast<uint8_t>(*value >> (8 * i));
    return ScRedirRpc_CodecIO(h, raw, 4);
  }
  if (!ScRedirRpc_CodecIO(h, raw, 4)) return 0;
  uint32_t v = static_cast<uint32_t>(raw[0]) | static_cast<uint32_t>(raw[1]) << 8 |
               static_cast<uint32_t>(raw[2]) << 16 | static_cast<uint32_t>(raw[3]) << 24;
  *value = BigEndianStream(h) ? Swap32(v) : v;
  return 1;
}

int LabelledUInt32(ScRedirRpc_Handle* h, uint32_t* value, const char* label) {
  TraceInt(h, "UInt32", label);
  return Transfer32(h, value);
}

const char* VersionName(uint8_t v) {
  return v == kVersion1 ? "RPCE_VERSION_1" : "UNKNOWN";
}

const char* EndiannessName(uint8_t v) {
  if (v == kLittleEndian) return "RPCE_LITTLE_ENDIAN";
  if (v == kBigEndian) return "RPCE_BIG_ENDIAN";
  return "UNKNOWN";
}

uint32_t Le32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return GUINT32_FROM_LE(v);
}

// The eight header checks. Every refusal has the same result, so the sixteen
// bytes are taken at once and compared in place.
bool HeadersAcceptable(const uint8_t* buffer, uint32_t length, uint32_t* objectLength) {
  if (buffer == nullptr) return false;
  base::ByteReader r(buffer, length);
  auto headers = r.ReadSpan(kScRedirRpcHeaderSize);
  if (!headers) return false;
  const uint8_t* b = headers->data();
  const uint8_t endian = b[1];
  if (b[0] != kVersion1 || (endian & 0xEF) != 0 || b[2] != kCommonHeaderLength || b[3] != 0 ||
      Le32(b + 4) != kCommonFiller || Le32(b + 12) != 0)
    return false;
  uint32_t bufferLength = Le32(b + kBufferLengthOffset);
  if (endian != kLittleEndian) bufferLength = Swap32(bufferLength);
  if (bufferLength > r.remaining()) return false;
  *objectLength = bufferLength;
  return true;
}

}  // namespace

uint32_t ScRedirRpc_ErrorCode() {
  return t_perThread != nullptr ? t_perThread->status : 0;
}

void ScRedirRpc_SetErrorCode(uint32_t status) {
  ThisThread()->status = status;
}

const char* ScRedirRpc_StatusName(uint32_t status) {
  switch (status) {
    case RPC_S_OK:
      return "RPC_S_OK";
    case RPC_S_INVALID_ARG:
      return "RPC_S_INVALID_ARG";
    case RPC_S_BUFFER_TOO_SMALL:
      return "RPC_S_BUFFER_TOO_SMALL";
    case RPC_S_OUT_OF_MEMORY:
      return "RPC_S_OUT_OF_MEMORY";
    default:
      return "UNKNOWN";
  }
}

uint32_t MesEncodeDynBufferHandleCreate(uint8_t** buffer, uint32_t* length,
                                        ScRedirRpc_Handle** handle) {
  return ScRedirRpc_EncodeHandleCreateWithHeadroom(buffer, length, 0, handle);
}

uint32_t ScRedirRpc_EncodeHandleCreateWithHeadroom(uint8_t** buffer, uint32_t* length,
                                                   uint32_t headroom, ScRedirRpc_Handle** handle) {
  SCREDIR_TRACE_ENTRY();
  // Running out of memory for the handle is the one failure: it is reported
  // as out of memory, with no handle, rather than by throwing.
  auto* h = NewHandle();
  if (h == nullptr) {
    SCREDIR_TRACE_EXIT();
    return RPC_S_OUT_OF_MEMORY;
  }
  h->direction = kScRedirRpcEncode;
  h->outBuffer = buffer;
  h->outLength = length;
  // The block itself comes with the first write, sized for it.
  h->headroom = headroom;
  h->length = kScRedirRpcHeaderSize;
  *handle = h;
  SCREDIR_TRACE_EXIT();
  return 0;
}

uint32_t MesDecodeBufferHandleCreate(const uint8_t* buffer, uint32_t length,
                                     ScRedirRpc_Handle** handle) {
  SCREDIR_TRACE_ENTRY();
  uint32_t objectLength = 0;
  if (handle == nullptr || !HeadersAcceptable(buffer, length, &objectLength)) {
    SCREDIR_TRACE_EXIT();
    return ERROR_INVALID_USER_BUFFER;
  }
  ScRedirRpc_DumpTypeHeaders(buffer, length);
  auto* h = NewHandle();
  if (h == nullptr) {
    SCREDIR_TRACE_EXIT();
    return RPC_S_OUT_OF_MEMORY;
  }
  h->direction = kScRedirRpcDecode;
  h->buffer = buffer;
  h->privateHeader = buffer + 8;
  h->objectLength = objectLength;
  h->body = base::ByteReader(buffer + kScRedirRpcHeaderSize, objectLength);
  *handle = h;
  SCREDIR_TRACE_EXIT();
  return 0;
}

uint32_t MesHandleFree(ScRedirRpc_Handle* handle) {
  SCREDIR_TRACE_ENTRY();
  if (handle != nullptr) {
    // Once finished, the bytes belong to the caller; an unfinished encoding
    // has handed nothing over, so its bytes go with the handle.
    if (!handle->finished) g_free(handle->block);
    ReleaseHandle(handle);
  }
  SCREDIR_TRACE_EXIT();
  return 0;
}

uint32_t ScRedirRpc_Position(const ScRedirRpc_Handle* h) {
  if (Encoding(h)) return h->length;
  return static_cast<uint32_t>(h->body.position());
}

int ScRedirRpc_CodecIO(ScRedirRpc_Handle* h, void* data, uint32_t count) {
  SCREDIR_TRACE_ENTRY();
  int ok = 1;
  if (Encoding(h)) {
    TraceTransfer(h, data, count);
    Append(h, data, count);
  } else {
    // The dump shows only bytes that are really there.
    uint32_t present = count < BytesLeft(h) ? count : BytesLeft(h);
    TraceTransfer(h, h->body.rest().data(), present);
    if (!h->body.ReadBytes(data, count)) {
      ScRedirRpc_SetErrorCode(RPC_S_BUFFER_TOO_SMALL);
      LogBounds(ScRedirRpc_Position(h), count, h->objectLength);
      ok = 0;
    }
  }
  SCREDIR_TRACE_EXIT();
  return ok;
}

int ScRedirRpc_CodecIOApdu(ScRedirRpc_Handle* h, void* data, uint32_t count) {
  t_apduTransfer = true;
  int ok = ScRedirRpc_CodecIO(h, data, count);
  t_apduTransfer = false;
  return ok;
}

int ScRedirRpc_RealignCodec(ScRedirRpc_Handle* h, uint32_t mask) {
  uint32_t pos = ScRedirRpc_Position(h);
  if ((pos & mask) == 0) return 1;
  SCREDIR_TRACE_ENTRY();
  uint8_t scratch[8] = {};
  int ok = ScRedirRpc_CodecIO(h, scratch, (~pos & mask) + 1);
  SCREDIR_TRACE_EXIT();
  return ok;
}

int ScRedirRpc_NdrUInt32(ScRedirRpc_Handle* h, uint32_t* value) {
  SCREDIR_TRACE_ENTRY();
  int ok = Transfer32(h, value);
  SCREDIR_TRACE_EXIT();
  return ok;
}

int ScRedirRpc_NdrInt32(ScRedirRpc_Handle* h, int32_t* value) {
  SCREDIR_TRACE_ENTRY();
  uint32_t v = static_cast<uint32_t>(*value);
  int ok = Transfer32(h, &v);
  if (ok) *value = static_cast<int32_t>(v);
  SCREDIR_TRACE_EXIT();
  return ok;
}

namespace {
std::atomic<ScRedirRpc_PointerIds> pointerIds{ScRedirRpc_PointerIds::kSequential};

}  // namespace

uint32_t ScRedirRpc_PointerIdStep() {
  return pointerIds.load(std::memory_order_relaxed) == ScRedirRpc_PointerIds::kWindows ? 4 : 1;
}

void ScRedirRpc_SetPointerIds(ScRedirRpc_PointerIds style) {
  pointerIds.store(style, std::memory_order_relaxed);
}

uint32_t ScRedirRpc_FirstPointerId() {
  return pointerIds.load(std::memory_order_relaxed) == ScRedirRpc_PointerIds::kWindows ? 0x00020000
                                                                                       : 1;
}

int ScRedirRpc_NdrPtrId(ScRedirRpc_Handle* h, void** slot, uint32_t* counter) {
  SCREDIR_TRACE_ENTRY();
  int ok;
  if (Encoding(h)) {
    uint32_t id = *slot != nullptr ? *counter : 0;
    ok = LabelledUInt32(h, &id, "id");
    if (ok && *slot != nullptr) *counter += ScRedirRpc_PointerIdStep();
  } else {
    uint32_t id = 0;
    ok = LabelledUInt32(h, &id, "id");
    if (ok) *slot = reinterpret_cast<void*>(static_cast<uintptr_t>(id));
  }
  SCREDIR_TRACE_EXIT();
  return ok;
}

int ScRedirRpc_CheckLeft(ScRedirRpc_Handle* h, uint32_t count, uint32_t elementSize) {
  if (Encoding(h)) return 1;
  auto need = base::CheckedMul(count, elementSize);
  if (need && *need <= BytesLeft(h)) return 1;
  ScRedirRpc_SetErrorCode(RPC_S_BUFFER_TOO_SMALL);
  // The message shows the bytes the count asks for, clipped to 32 bits.
  uint64_t wanted = static_cast<uint64_t>(count) * elementSize;
  LogBounds(ScRedirRpc_Position(h),
            wanted > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(wanted), h->objectLength);
  return 0;
}

namespace {

int EncodeStringW(ScRedirRpc_Handle* h, uint16_t* text) {
  uint32_t count = 1;
  while (text[count - 1] != 0) ++count;
  uint32_t offset = 0, actual = count;
  if (!LabelledUInt32(h, &count, "maxCount") || !LabelledUInt32(h, &offset, "offset") ||
      !LabelledUInt32(h, &actual, "len"))
    return 0;
  return ScRedirRpc_CodecIO(h, text, actual * 2);
}

int DecodeStringW(ScRedirRpc_Handle* h, uint16_t** slot) {
  *slot = nullptr;
  uint32_t maxCount = 0, offset = 0, actual = 0;
  if (!LabelledUInt32(h, &maxCount, "maxCount") || !LabelledUInt32(h, &offset, "offset") ||
      !LabelledUInt32(h, &actual, "len"))
    return 0;
  if (!ScRedirRpc_CheckLeft(h, actual, 2)) return 0;
  uint32_t bytes = actual * 2;  // cannot wrap: held against the body above
  void* block = bytes ? g_try_malloc0(bytes) : nullptr;
  if (block == nullptr) {
    ScRedirRpc_SetErrorCode(RPC_S_OUT_OF_MEMORY);
    return 0;
  }
  *slot = static_cast<uint16_t*>(block);
  return ScRedirRpc_CodecIO(h, block, bytes);
}

}  // namespace

int ScRedirRpc_NdrPtrStrW(ScRedirRpc_Handle* h, uint16_t** slot) {
  SCREDIR_TRACE_ENTRY();
  int ok;
  if (Encoding(h)) {
    ok = *slot != nullptr ? EncodeStringW(h, *slot) : 1;
  } else {
    ok = DecodeStringW(h, slot);
  }
  SCREDIR_TRACE_EXIT();
  return ok;
}

uint8_t* ScRedirRpc_EncodeRoom(ScRedirRpc_Handle* h, uint32_t length) {
  if (!Reserve(h, length, true)) return nullptr;
  return h->block + h->headroom;
}

void ScRedirRpc_FinishEncode(ScRedirRpc_Handle* h) {
  if (h == nullptr || !Encoding(h) || h->finished) return;
  SCREDIR_TRACE_ENTRY();
  (void)ScRedirRpc_RealignCodec(h, 7);
  Append(h, nullptr, 0);  // a record that wrote nothing still hands over its headers
  uint32_t body = h->length - kScRedirRpcHeaderSize;
  uint8_t* stream = h->block + h->headroom;
  for (uint32_t i = 0; i < 4; ++i)
    stream[kBufferLengthOffset + i] = static_cast<uint8_t>(body >> (8 * i));
  if (h->outBuffer) *h->outBuffer = h->block;
  if (h->outLength) *h->outLength = h->length;
  h->finished = true;
  SCREDIR_TRACE_EXIT();
}

void ScRedirRpc_FinishDecode(ScRedirRpc_Handle* h) {
  if (h == nullptr || Encoding(h)) return;
  SCREDIR_TRACE_ENTRY();
  (void)ScRedirRpc_RealignCodec(h, 7);
  SCREDIR_TRACE_EXIT();
}

namespace {

// The body bytes to mask in its raw dump: the data of every place where a
// conformant byte array could sit (a 4-aligned count N followed by N bytes
// inside the body) and whose bytes begin like a command carrying a PIN. A
// false match only hides bytes of the raw dump; the field traces after it
// still show them.
std::vector<ScRedirQrn_MaskedRange> SecretRanges(const uint8_t* body, uint32_t size,
                                                 bool bigEndian) {
  std::vector<ScRedirQrn_MaskedRange> ranges;
  for (uint32_t pos = 0; size >= 4 && pos <= size - 4; pos += 4) {
    uint32_t n = static_cast<uint32_t>(body[pos]) | static_cast<uint32_t>(body[pos + 1]) << 8 |
                 static_cast<uint32_t>(body[pos + 2]) << 16 |
                 static_cast<uint32_t>(body[pos + 3]) << 24;
    if (bigEndian) n = Swap32(n);
    const uint32_t start = pos + 4;
    if (n > size - start) continue;
    const uint32_t clear = ScRedirQrn_ApduClearBytes(body + start, n);
    if (clear == n) continue;
    // Found in rising order: one that overlaps the last one extends it, so
    // the list stays sorted and disjoint however many there are.
    if (!ranges.empty() && start + clear <= ranges.back().to) {
      if (start + n > ranges.back().to) ranges.back().to = start + n;
    } else {
      ranges.push_back({start + clear, start + n});
    }
  }
  return ranges;
}

void DumpBody(const uint8_t* body, uint32_t size, bool bigEndian) {
  try {
    std::vector<ScRedirQrn_MaskedRange> ranges = SecretRanges(body, size, bigEndian);
    ScRedirQrn_HexDumpMasked(body, size, ranges);
  } catch (...) {
    // No memory for the list: show nothing rather than a secret.
    const ScRedirQrn_MaskedRange all{0, size};
    ScRedirQrn_HexDumpMasked(body, size, std::span(&all, 1));
  }
}

}  // namespace

void ScRedirRpc_DumpTypeHeaders(const uint8_t* buffer, uint32_t length) {
  if (!ScRedirQrn_DebugOn() || buffer == nullptr || length < kScRedirRpcHeaderSize) return;
  SCREDIR_TRACE_ENTRY();
  const uint8_t* b = buffer;
  uint16_t headerLength = static_cast<uint16_t>(b[2] | b[3] << 8);
  auto le32 = [](const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
  };
  uint32_t objectLength = le32(b + 8);
  if (b[1] != kLittleEndian) objectLength = Swap32(objectLength);
  const char* kByte = "%02x           %20s = %#04hhx (%s)";
  const char* kWord = "%02x %02x %02x %02x  %20s = %#010x (%u)";
  ScRedirQrn_Logf(kQrnLogDebug, 0, kByte, b[0], "Version", b[0], VersionName(b[0]));
  ScRedirQrn_Logf(kQrnLogDebug, 0, kByte, b[1], "Endianness", b[1], EndiannessName(b[1]));
  ScRedirQrn_Logf(kQrnLogDebug, 0, "%02x %02x        %20s = %#06hx (%hd)", b[2], b[3],
                  "Header Length", headerLength, static_cast<short>(headerLength));
  ScRedirQrn_Logf(kQrnLogDebug, 0, kWord, b[4], b[5], b[6], b[7], "Filler", le32(b + 4),
                  le32(b + 4));
  ScRedirQrn_Logf(kQrnLogDebug, 0, kWord, b[8], b[9], b[10], b[11], "Buffer Length", objectLength,
                  objectLength);
  ScRedirQrn_Logf(kQrnLogDebug, 0, kWord, b[12], b[13], b[14], b[15], "Filler", le32(b + 12),
                  le32(b + 12));
  // Only what the buffer really holds is shown.
  uint32_t shown = objectLength <= length - kScRedirRpcHeaderSize ? objectLength : 0;
  ScRedirQrn_Logf(kQrnLogDebug, 0, "Buffer is %u bytes:", shown);
  DumpBody(b + kScRedirRpcHeaderSize, shown, b[1] != kLittleEndian);
  SCREDIR_TRACE_EXIT();
}
