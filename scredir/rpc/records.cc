// The smart-card records: one routine per record serves both directions.
//
// Every record is described once, by its Fields() in record_fields.h. The
// codec walks that description twice: the inline part field by field
// (pointers as referent ids), then the deferred data of every pointer that
// was present, in the order the pointers appeared. A third walk releases what
// decoding allocated. Limits are applied right after the field they guard, in
// both directions, and again when a count comes back in the deferred part.
// When decoding, presence markers stay in the walk's own bits: record fields
// only ever receive null or blocks allocated here.
#include "scredir/rpc/records.h"

#include <glib.h>

#include "scredir/qrn_log.h"
#include "scredir/rpc/record_fields.h"

namespace {

using rpc::kNoLimit;

template <class T>
void FreeBlock(T*& p) {
  g_free(p);
  p = nullptr;
}

template <class R>
void Release(R& rec);

// The state of one record routine run: handle, id counter, names for traces.
class Rec {
 public:
  Rec(ScRedirRpc_Handle* h, const char* routine, const char* who)
      : h_(h), routine_(routine), who_(who) {}

  // Refuses a missing handle or record; clears a record about to be decoded
  // so that every pointer starts null.
  template <class R>
  bool Begin(R* rec) {
    if (h_ == nullptr || rec == nullptr) {
      ScRedirRpc_SetErrorCode(RPC_S_INVALID_ARG);
      return false;
    }
    if (decoding()) *rec = R{};
    return true;
  }

  // Closes the run: status 0 on success; on failure the GOTO trace, and a
  // failed decode gives back what it allocated.
  template <class R>
  int End(bool ok, R* rec, int line) {
    if (ok) {
      ScRedirRpc_SetErrorCode(RPC_S_OK);
    } else {
      if (ScRedirQrn_DebugOn())
        ScRedirQrn_Logf(kQrnLogDebug, 0, "%s():%d: GOTO %s", routine_, line, "ioFailed");
      if (h_ != nullptr && rec != nullptr && decoding()) Release(*rec);
    }
    if (ScRedirQrn_DebugOn()) ScRedirQrn_Logf(kQrnLogDebug, 0, "%s():%d: Exit", routine_, line);
    return ok ? 1 : 0;
  }

  bool decoding() const { return h_->direction == kScRedirRpcDecode; }

  bool U32(uint32_t& v, const char* path, uint32_t max = kNoLimit) {
    Trace("UInt32", path);
    return ScRedirRpc_NdrUInt32(h_, &v) && Limit(v, max);
  }
  bool I32(int32_t& v, const char* path) {
    Trace("Int32", path);
    return ScRedirRpc_NdrInt32(h_, &v);
  }
  bool Limit(uint32_t v, uint32_t max) {
    if (v <= max) return true;
    ScRedirRpc_SetErrorCode(RPC_S_INVALID_ARG);
    return false;
  }

  // A pointer's referent id. `present` says whether its deferred data follows.
  template <class T>
  bool Ptr(T*& field, bool& present) {
    void* slot = decoding() ? nullptr : static_cast<void*>(field);
    if (!ScRedirRpc_NdrPtrId(h_, &slot, &ids_)) return false;
    present = slot != nullptr;
    if (decoding()) field = nullptr;
    return true;
  }

  bool Fixed(uint8_t* bytes, uint32_t n) { return ScRedirRpc_CodecIO(h_, bytes, n); }

  // A zeroed block of `count` elements for a decoded pointer, after the count
  // has been held against the bytes its elements need on the wire. A count
  // of 0 gives null.
  template <class T>
  bool Alloc(uint32_t count, uint32_t wireSize, T*& out) {
    out = nullptr;
    if (!ScRedirRpc_CheckLeft(h_, count, wireSize)) return false;
    if (count == 0) return true;
    out = static_cast<T*>(g_try_malloc0_n(count, sizeof(T)));
    if (out != nullptr) return true;
    ScRedirRpc_SetErrorCode(RPC_S_OUT_OF_MEMORY);
    return false;
  }

  // A conformant byte array: its count (the length field again), then the
  // bytes; `apdu` marks a command APDU, whose trace masks a PIN.
  bool Bytes(uint32_t& count, uint8_t*& data, const char* path, uint32_t max = kNoLimit,
             bool apdu = false) {
    if (!U32(count, path, max)) return false;
    if (decoding() && !Alloc(count, 1, data)) return false;
    return count == 0 || (apdu ? ScRedirRpc_CodecIOApdu : ScRedirRpc_CodecIO)(h_, data, count);
  }

  // Raw bytes counted by a field moved earlier (the pioRecvPci extra bytes).
  bool RawCounted(uint32_t count, uint8_t*& data) {
    if (count == 0) return true;
    if (decoding()) return Alloc(count, 1, data) && ScRedirRpc_CodecIO(h_, data, count);
    // Nothing to write the announced bytes from: the stream could not be read back.
    if (data == nullptr) return Limit(1, 0);
    return ScRedirRpc_CodecIO(h_, data, count);
  }

  bool Str(uint16_t*& s) { return ScRedirRpc_NdrPtrStrW(h_, &s); }

 private:
  void Trace(const char* type, const char* path) const {
    if (!ScRedirQrn_DebugOn()) return;
    ScRedirQrn_Logf(kQrnLogDebug, 0, "%s %s to %s->%s", decoding() ? "reading" : "writing", type,
                    who_, path);
  }

  ScRedirRpc_Handle* h_;
  const char* routine_;
  const char* who_;
  uint32_t ids_ = ScRedirRpc_FirstPointerId();
};

// The pioRecvPci referent: two integers and the extra bytes themselves,
// without an id or a count of their own.
bool RecvPciReferent(Rec& r, SCardIO_Request*& io) {
  if (r.decoding() && !r.Alloc(1, 0, io)) return false;
  return r.U32(io->dwProtocol, "pioRecvPci->dwProtocol") &&
         r.U32(io->cbExtraBytes, "pioRecvPci->cbExtraBytes") &&
         r.RawCounted(io->cbExtraBytes, io->pbExtraBytes);
}

// ---- Walking a description -------------------------------------------------

enum class Pass { kInline, kDeferred };

// Which pointers the inline pass found present, in order; the deferred pass
// consumes them in the same order.
struct Presence {
  static constexpr uint32_t kMax = 64;
  uint64_t bits = 0;
  uint32_t count = 0;
  uint32_t next = 0;
};

// One pass of the codec over a record's Fields(): the inline pass moves
// integers, fixed bytes and referent ids; the deferred pass moves what the
// present pointers refer to.
template <Pass P>
class Walk {
 public:
  static constexpr bool kInline = P == Pass::kInline;

  Walk(Rec& r, Presence& p) : r_(r), p_(p) {}

  bool U32(uint32_t& v, const char* path, uint32_t max = kNoLimit) {
    return !kInline || r_.U32(v, path, max);
  }
  bool I32(int32_t& v, const char* path) { return !kInline || r_.I32(v, path); }
  bool Fixed(uint8_t* bytes, uint32_t n) { return !kInline || r_.Fixed(bytes, n); }

  bool Bytes(uint32_t& count, uint8_t*& data, const char* path, uint32_t max = kNoLimit,
             bool apdu = false) {
    if constexpr (kInline) return r_.U32(count, path, max) && Pointer(data);
    return !Present() || r_.Bytes(count, data, path, max, apdu);
  }
  bool Str(uint16_t*& s) {
    if constexpr (kInline) return Pointer(s);
    return !Present() || r_.Str(s);
  }
  bool RecvPci(SCardIO_Request*& io) {
    if constexpr (kInline) return Pointer(io);
    return !Present() || RecvPciReferent(r_, io);
  }
  // Deferred: the count again, every element's inline part, then the
  // deferred data of all elements.
  template <class E>
  bool Array(uint32_t& count, E*& elems, const char* path, uint32_t max, uint32_t wireSize) {
    if constexpr (kInline) return r_.U32(count, path, max) && Pointer(elems);
    if (!Present()) return true;
    if (!r_.U32(count, path, max)) return false;
    if (r_.decoding() && !r_.Alloc(count, wireSize, elems)) return false;
    Presence inner;
    Walk<Pass::kInline> in(r_, inner);
    for (uint32_t i = 0; i < count; ++i)
      if (!rpc::Fields(in, elems[i])) return false;
    Walk<Pass::kDeferred> deferred(r_, inner);
    for (uint32_t i = 0; i < count; ++i)
      if (!rpc::Fields(deferred, elems[i])) return false;
    return true;
  }

 private:
  template <class T>
  bool Pointer(T*& field) {
    if (p_.count == Presence::kMax) return r_.Limit(1, 0);
    bool present = false;
    if (!r_.Ptr(field, present)) return false;
    p_.bits |= uint64_t{present} << p_.count++;
    return true;
  }
  bool Present() { return (p_.bits >> p_.next++) & 1; }

  Rec& r_;
  Presence& p_;
};

template <class R>
bool Body(Rec& r, R& rec) {
  Presence p;
  Walk<Pass::kInline> in(r, p);
  Walk<Pass::kDeferred> deferred(r, p);
  return rpc::Fields(in, rec) && rpc::Fields(deferred, rec);
}

// Gives back every block a decode allocated and nulls its pointer.
struct Releaser {
  bool U32(uint32_t&, const char*, uint32_t = kNoLimit) { return true; }
  bool I32(int32_t&, const char*) { return true; }
  bool Fixed(uint8_t*, uint32_t) { return true; }
  bool Bytes(uint32_t&, uint8_t*& data, const char*, uint32_t = kNoLimit, bool = false) {
    FreeBlock(data);
    return true;
  }
  bool Str(uint16_t*& s) {
    FreeBlock(s);
    return true;
  }
  bool RecvPci(SCardIO_Request*& io) {
    if (io != nullptr) FreeBlock(io->pbExtraBytes);
    FreeBlock(io);
    return true;
  }
  // The block was allocated for exactly `count` elements, and the count is
  // not written after the allocation.
  template <class E>
  bool Array(uint32_t& count, E*& elems, const char*, uint32_t, uint32_t) {
    if (elems != nullptr)
      for (uint32_t i = 0; i < count; ++i) rpc::Fields(*this, elems[i]);
    FreeBlock(elems);
    return true;
  }
};

template <class R>
void Release(R& rec) {
  Releaser v;
  rpc::Fields(v, rec);
}

bool Decoding(const ScRedirRpc_Handle* h) {
  return h != nullptr && h->direction == kScRedirRpcDecode;
}

}  // namespace

// ---- Public routines and wrappers ------------------------------------------
//
// Spelled out per record so that every routine's traces carry its own name.

#define SCREDIR_RPC_CODEC(R, WHO)                                           \
  int ScRedirRpc_##R##_Codec(ScRedirRpc_Handle* h, R* rec) {                \
    SCREDIR_TRACE_ENTRY();                                                  \
    Rec r(h, __func__, WHO);                                                \
    bool ok = r.Begin(rec) && Body(r, *rec);                                \
    return r.End(ok, rec, __LINE__);                                        \
  }                                                                         \
  void R##_Encode(ScRedirRpc_Handle* h, R* rec) {                           \
    SCREDIR_TRACE_ENTRY();                                                  \
    ScRedirRpc_##R##_Codec(h, rec);                                         \
    ScRedirRpc_FinishEncode(h);                                             \
    SCREDIR_TRACE_EXIT();                                                   \
  }                                                                         \
  void R##_Decode(ScRedirRpc_Handle* h, R* rec) {                           \
    SCREDIR_TRACE_ENTRY();                                                  \
    if (ScRedirRpc_##R##_Codec(h, rec)) {                                   \
      ScRedirRpc_FinishDecode(h);                                           \
      /* A record whose padding is missing is a failed record: nobody */    \
      /* frees it, so its blocks go now. */                                 \
      if (ScRedirRpc_ErrorCode() != RPC_S_OK && Decoding(h)) Release(*rec); \
    }                                                                       \
    SCREDIR_TRACE_EXIT();                                                   \
  }                                                                         \
  void R##_Free(ScRedirRpc_Handle* h, R* rec) {                             \
    SCREDIR_TRACE_ENTRY();                                                  \
    if (Decoding(h) && rec != nullptr) Release(*rec);                       \
    SCREDIR_TRACE_EXIT();                                                   \
  }

SCREDIR_RPC_CODEC(EstablishContext_Call, "call")
SCREDIR_RPC_CODEC(Context_Call, "call")
SCREDIR_RPC_CODEC(ListReaders_Call, "call")
SCREDIR_RPC_CODEC(ConnectW_Call, "call")
SCREDIR_RPC_CODEC(Reconnect_Call, "call")
SCREDIR_RPC_CODEC(HCardAndDisposition_Call, "call")
SCREDIR_RPC_CODEC(Status_Call, "call")
SCREDIR_RPC_CODEC(Transmit_Call, "call")
SCREDIR_RPC_CODEC(Control_Call, "call")
SCREDIR_RPC_CODEC(GetAttrib_Call, "call")
SCREDIR_RPC_CODEC(SetAttrib_Call, "call")
SCREDIR_RPC_CODEC(GetStatusChangeW_Call, "call")
SCREDIR_RPC_CODEC(EstablishContext_Return, "ret")
SCREDIR_RPC_CODEC(Long_Return, "ret")
SCREDIR_RPC_CODEC(ListReaders_Return, "ret")
SCREDIR_RPC_CODEC(Connect_Return, "ret")
SCREDIR_RPC_CODEC(Reconnect_Return, "ret")
SCREDIR_RPC_CODEC(Status_Return, "ret")
SCREDIR_RPC_CODEC(Transmit_Return, "ret")
SCREDIR_RPC_CODEC(Control_Return, "ret")
SCREDIR_RPC_CODEC(GetAttrib_Return, "ret")
SCREDIR_RPC_CODEC(GetStatusChange_Return, "ret")
