// The smart-card records: one routine per record serves both directions.
//
// Each routine moves the record's inline part field by field (pointers as
// referent ids), then the deferred data of every pointer that was present,
// in the order the pointers appeared. Limits are applied right after the
// field they guard, in both directions, and again when a count comes back in
// the deferred part. When decoding, presence markers stay in local flags:
// record fields only ever receive null or blocks allocated here.
#include "scredir/rpc/records.h"

#include <glib.h>

#include <array>

#include "scredir/qrn_log.h"

namespace {

constexpr uint32_t kNoLimit = UINT32_MAX;

// ---- Releasing decoded blocks ----------------------------------------------

template <class T>
void FreeBlock(T*& p) {
  g_free(p);
  p = nullptr;
}

void Release(REDIR_SCARDCONTEXT& c) {
  FreeBlock(c.pbContext);
}
void Release(REDIR_SCARDHANDLE& h) {
  Release(h.Context);
  FreeBlock(h.pbHandle);
}
void Release(SCardIO_Request*& io) {
  if (io != nullptr) FreeBlock(io->pbExtraBytes);
  FreeBlock(io);
}
void Release(EstablishContext_Call&) {}
void Release(Context_Call& r) {
  Release(r.Context);
}
void Release(ListReaders_Call& r) {
  Release(r.Context);
  FreeBlock(r.mszGroups);
}
void Release(ConnectW_Call& r) {
  FreeBlock(r.szReader);
  Release(r.Common.Context);
}
void Release(Reconnect_Call& r) {
  Release(r.hCard);
}
void Release(HCardAndDisposition_Call& r) {
  Release(r.hCard);
}
void Release(Status_Call& r) {
  Release(r.hCard);
}
void Release(Transmit_Call& r) {
  Release(r.hCard);
  FreeBlock(r.ioSendPci.pbExtraBytes);
  FreeBlock(r.pbSendBuffer);
  Release(r.pioRecvPci);
}
void Release(Control_Call& r) {
  Release(r.hCard);
  FreeBlock(r.pvInBuffer);
}
void Release(GetAttrib_Call& r) {
  Release(r.hCard);
}
void Release(SetAttrib_Call& r) {
  Release(r.hCard);
  FreeBlock(r.pbAttr);
}
void Release(GetStatusChangeW_Call& r) {
  Release(r.Context);
  // The block was allocated for exactly cReaders elements, and cReaders is
  // not written after the allocation.
  if (r.rgReaderStates != nullptr)
    for (uint32_t i = 0; i < r.cReaders; ++i) FreeBlock(r.rgReaderStates[i].szReader);
  FreeBlock(r.rgReaderStates);
}
void Release(EstablishContext_Return& r) {
  Release(r.Context);
}
void Release(Long_Return&) {}
void Release(ListReaders_Return& r) {
  FreeBlock(r.msz);
}
void Release(Connect_Return& r) {
  Release(r.hCard);
}
void Release(Reconnect_Return&) {}
void Release(Status_Return& r) {
  FreeBlock(r.mszReaderNames);
}
void Release(Transmit_Return& r) {
  Release(r.pioRecvPci);
  FreeBlock(r.pbRecvBuffer);
}
void Release(Control_Return& r) {
  FreeBlock(r.pvOutBuffer);
}
void Release(GetAttrib_Return& r) {
  FreeBlock(r.pbAttr);
}
void Release(GetStatusChange_Return& r) {
  FreeBlock(r.rgReaderStates);
}

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
  // Transmit_Return's ReturnCode travels as an unsigned value.
  bool U32Code(uint32_t& v, const char* path) { return U32(v, path); }

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

// ---- Shared sub-records ----------------------------------------------------

// Trace paths of a context's length field, by where the context sits.
struct ContextPath {
  const char* cbContext;
};
constexpr ContextPath kContext{"Context.cbContext"};
constexpr ContextPath kCommonContext{"Common.Context.cbContext"};

struct Limits {
  uint32_t context = kNoLimit;
  uint32_t handle = kNoLimit;
};

bool ContextInline(Rec& r, REDIR_SCARDCONTEXT& c, ContextPath path, bool& present,
                   uint32_t max = kNoLimit) {
  return r.U32(c.cbContext, path.cbContext, max) && r.Ptr(c.pbContext, present);
}

bool ContextDeferred(Rec& r, REDIR_SCARDCONTEXT& c, ContextPath path, bool present,
                     uint32_t max = kNoLimit) {
  return !present || r.Bytes(c.cbContext, c.pbContext, path.cbContext, max);
}

struct HandlePresence {
  bool context = false;
  bool handle = false;
};

bool HandleInline(Rec& r, REDIR_SCARDHANDLE& h, HandlePresence& p, Limits lim = {}) {
  return ContextInline(r, h.Context, {"hCard.Context.cbContext"}, p.context, lim.context) &&
         r.U32(h.cbHandle, "hCard.cbHandle", lim.handle) && r.Ptr(h.pbHandle, p.handle);
}

bool HandleDeferred(Rec& r, REDIR_SCARDHANDLE& h, const HandlePresence& p, Limits lim = {}) {
  return ContextDeferred(r, h.Context, {"hCard.Context.cbContext"}, p.context, lim.context) &&
         (!p.handle || r.Bytes(h.cbHandle, h.pbHandle, "hCard.cbHandle", lim.handle));
}

// The pioRecvPci referent: two integers and the extra bytes themselves,
// without an id or a count of their own.
bool RecvPciReferent(Rec& r, SCardIO_Request*& io) {
  if (r.decoding() && !r.Alloc(1, 0, io)) return false;
  return r.U32(io->dwProtocol, "pioRecvPci->dwProtocol") &&
         r.U32(io->cbExtraBytes, "pioRecvPci->cbExtraBytes") &&
         r.RawCounted(io->cbExtraBytes, io->pbExtraBytes);
}

// ---- Record bodies ---------------------------------------------------------

bool Body(Rec& r, EstablishContext_Call& c) {
  return r.U32(c.dwScope, "dwScope");
}

bool Body(Rec& r, Context_Call& c) {
  bool ctx = false;
  return ContextInline(r, c.Context, kContext, ctx) && ContextDeferred(r, c.Context, kContext, ctx);
}

bool Body(Rec& r, ListReaders_Call& c) {
  bool ctx = false, groups = false;
  return ContextInline(r, c.Context, kContext, ctx) &&
         r.U32(c.cBytes, "cBytes", kMaxMultiStringBytes) && r.Ptr(c.mszGroups, groups) &&
         r.I32(c.fmszReadersIsNULL, "fmszReadersIsNULL") && r.U32(c.cchReaders, "cchReaders") &&
         ContextDeferred(r, c.Context, kContext, ctx) &&
         (!groups || r.Bytes(c.cBytes, c.mszGroups, "cBytes", kMaxMultiStringBytes));
}

bool Body(Rec& r, ConnectW_Call& c) {
  bool name = false, ctx = false;
  return r.Ptr(c.szReader, name) && ContextInline(r, c.Common.Context, kCommonContext, ctx) &&
         r.U32(c.Common.dwShareMode, "Common.dwShareMode") &&
         r.U32(c.Common.dwPreferredProtocols, "Common.dwPreferredProtocols") &&
         (!name || r.Str(c.szReader)) && ContextDeferred(r, c.Common.Context, kCommonContext, ctx);
}

bool Body(Rec& r, Reconnect_Call& c) {
  HandlePresence p;
  return HandleInline(r, c.hCard, p) && r.U32(c.dwShareMode, "dwShareMode") &&
         r.U32(c.dwPreferredProtocols, "dwPreferredProtocols") &&
         r.U32(c.dwInitialization, "dwInitialization") && HandleDeferred(r, c.hCard, p);
}

bool Body(Rec& r, HCardAndDisposition_Call& c) {
  HandlePresence p;
  return HandleInline(r, c.hCard, p) && r.U32(c.dwDisposition, "dwDisposition") &&
         HandleDeferred(r, c.hCard, p);
}

bool Body(Rec& r, Status_Call& c) {
  HandlePresence p;
  return HandleInline(r, c.hCard, p) && r.I32(c.fmszReaderNamesIsNULL, "fmszReaderNamesIsNULL") &&
         r.U32(c.cchReaderLen, "cchReaderLen") && r.U32(c.cbAtrLen, "cbAtrLen") &&
         HandleDeferred(r, c.hCard, p);
}

bool Body(Rec& r, Transmit_Call& c) {
  HandlePresence p;
  bool extra = false, send = false, recv = false;
  return HandleInline(r, c.hCard, p) && r.U32(c.ioSendPci.dwProtocol, "ioSendPci.dwProtocol") &&
         r.U32(c.ioSendPci.cbExtraBytes, "ioSendPci.cbExtraBytes") &&
         r.Ptr(c.ioSendPci.pbExtraBytes, extra) &&
         r.U32(c.cbSendLength, "cbSendLength", kMaxIoBufferBytes) && r.Ptr(c.pbSendBuffer, send) &&
         r.Ptr(c.pioRecvPci, recv) && r.I32(c.fpbRecvBufferIsNULL, "fpbRecvBufferIsNULL") &&
         r.U32(c.cbRecvLength, "cbRecvLength") && HandleDeferred(r, c.hCard, p) &&
         (!extra ||
          r.Bytes(c.ioSendPci.cbExtraBytes, c.ioSendPci.pbExtraBytes, "ioSendPci.cbExtraBytes")) &&
         (!send ||
          r.Bytes(c.cbSendLength, c.pbSendBuffer, "cbSendLength", kMaxIoBufferBytes, true)) &&
         (!recv || RecvPciReferent(r, c.pioRecvPci));
}

bool Body(Rec& r, Control_Call& c) {
  HandlePresence p;
  bool in = false;
  return HandleInline(r, c.hCard, p) && r.U32(c.dwControlCode, "dwControlCode") &&
         r.U32(c.cbInBufferSize, "cbInBufferSize", kMaxIoBufferBytes) && r.Ptr(c.pvInBuffer, in) &&
         r.I32(c.fpvOutBufferIsNULL, "fpvOutBufferIsNULL") &&
         r.U32(c.cbOutBufferSize, "cbOutBufferSize") && HandleDeferred(r, c.hCard, p) &&
         (!in || r.Bytes(c.cbInBufferSize, c.pvInBuffer, "cbInBufferSize", kMaxIoBufferBytes));
}

bool Body(Rec& r, GetAttrib_Call& c) {
  HandlePresence p;
  return HandleInline(r, c.hCard, p) && r.U32(c.dwAttrId, "dwAttrId") &&
         r.I32(c.fpbAttrIsNULL, "fpbAttrIsNULL") && r.U32(c.cbAttrLen, "cbAttrLen") &&
         HandleDeferred(r, c.hCard, p);
}

bool Body(Rec& r, SetAttrib_Call& c) {
  HandlePresence p;
  bool attr = false;
  return HandleInline(r, c.hCard, p) && r.U32(c.dwAttrId, "dwAttrId") &&
         r.U32(c.cbAttrLen, "cbAttrLen", kMaxAttrBytes) && r.Ptr(c.pbAttr, attr) &&
         HandleDeferred(r, c.hCard, p) &&
         (!attr || r.Bytes(c.cbAttrLen, c.pbAttr, "cbAttrLen", kMaxAttrBytes));
}

bool ReaderStateInline(Rec& r, ReaderStateW& s, bool& name) {
  return r.Ptr(s.szReader, name) &&
         r.U32(s.Common.dwCurrentState, "rgReaderStates[i].Common.dwCurrentState") &&
         r.U32(s.Common.dwEventState, "rgReaderStates[i].Common.dwEventState") &&
         r.U32(s.Common.cbAtr, "rgReaderStates[i].Common.cbAtr", kMaxReaderStateAtr) &&
         r.Fixed(s.Common.rgbAtr, kReaderStateAtrSize);
}

// The array's count, its elements' inline parts, then the names present.
bool ReaderStatesDeferred(Rec& r, GetStatusChangeW_Call& c) {
  if (!r.U32(c.cReaders, "cReaders", kMaxReaderStates)) return false;
  if (r.decoding() && !r.Alloc(c.cReaders, kReaderStateWWireSize, c.rgReaderStates)) return false;
  std::array<bool, kMaxReaderStates> named{};
  for (uint32_t i = 0; i < c.cReaders; ++i)
    if (!ReaderStateInline(r, c.rgReaderStates[i], named[i])) return false;
  for (uint32_t i = 0; i < c.cReaders; ++i)
    if (named[i] && !r.Str(c.rgReaderStates[i].szReader)) return false;
  return true;
}

bool Body(Rec& r, GetStatusChangeW_Call& c) {
  bool ctx = false, states = false;
  return ContextInline(r, c.Context, kContext, ctx) && r.U32(c.dwTimeOut, "dwTimeOut") &&
         r.U32(c.cReaders, "cReaders", kMaxReaderStates) && r.Ptr(c.rgReaderStates, states) &&
         ContextDeferred(r, c.Context, kContext, ctx) && (!states || ReaderStatesDeferred(r, c));
}

bool Body(Rec& r, EstablishContext_Return& c) {
  bool ctx = false;
  return r.I32(c.ReturnCode, "ReturnCode") && ContextInline(r, c.Context, kContext, ctx) &&
         ContextDeferred(r, c.Context, kContext, ctx);
}

bool Body(Rec& r, Long_Return& c) {
  return r.I32(c.ReturnCode, "ReturnCode");
}

bool Body(Rec& r, ListReaders_Return& c) {
  bool msz = false;
  return r.I32(c.ReturnCode, "ReturnCode") && r.U32(c.cBytes, "cBytes", kMaxMultiStringBytes) &&
         r.Ptr(c.msz, msz) && (!msz || r.Bytes(c.cBytes, c.msz, "cBytes", kMaxMultiStringBytes));
}

bool Body(Rec& r, Connect_Return& c) {
  constexpr Limits kHandleLimits{kMaxConnectHandleBytes, kMaxConnectHandleBytes};
  HandlePresence p;
  return r.I32(c.ReturnCode, "ReturnCode") && HandleInline(r, c.hCard, p, kHandleLimits) &&
         r.U32(c.dwActiveProtocol, "dwActiveProtocol") &&
         HandleDeferred(r, c.hCard, p, kHandleLimits);
}

bool Body(Rec& r, Reconnect_Return& c) {
  return r.I32(c.ReturnCode, "ReturnCode") && r.U32(c.dwActiveProtocol, "dwActiveProtocol");
}

bool Body(Rec& r, Status_Return& c) {
  bool names = false;
  return r.I32(c.ReturnCode, "ReturnCode") && r.U32(c.cBytes, "cBytes", kMaxMultiStringBytes) &&
         r.Ptr(c.mszReaderNames, names) && r.U32(c.dwState, "dwState") &&
         r.U32(c.dwProtocol, "dwProtocol") && r.Fixed(c.pbAtr, kStatusAtrSize) &&
         r.U32(c.cbAtrLen, "cbAtrLen", kMaxStatusAtrLen) &&
         (!names || r.Bytes(c.cBytes, c.mszReaderNames, "cBytes", kMaxMultiStringBytes));
}

bool Body(Rec& r, Transmit_Return& c) {
  bool recv = false, buffer = false;
  return r.U32Code(c.ReturnCode, "ReturnCode") && r.Ptr(c.pioRecvPci, recv) &&
         r.U32(c.cbRecvLength, "cbRecvLength", kMaxIoBufferBytes) &&
         r.Ptr(c.pbRecvBuffer, buffer) && (!recv || RecvPciReferent(r, c.pioRecvPci)) &&
         (!buffer || r.Bytes(c.cbRecvLength, c.pbRecvBuffer, "cbRecvLength", kMaxIoBufferBytes));
}

bool Body(Rec& r, Control_Return& c) {
  bool out = false;
  return r.I32(c.ReturnCode, "ReturnCode") && r.U32(c.cbOutBufferSize, "cbOutBufferSize") &&
         r.Ptr(c.pvOutBuffer, out) &&
         (!out || r.Bytes(c.cbOutBufferSize, c.pvOutBuffer, "cbOutBufferSize"));
}

bool Body(Rec& r, GetAttrib_Return& c) {
  bool attr = false;
  return r.I32(c.ReturnCode, "ReturnCode") && r.U32(c.cbAttrLen, "cbAttrLen", kMaxAttrBytes) &&
         r.Ptr(c.pbAttr, attr) &&
         (!attr || r.Bytes(c.cbAttrLen, c.pbAttr, "cbAttrLen", kMaxAttrBytes));
}

bool ReaderStateReturn(Rec& r, ReaderState_Return& s) {
  return r.U32(s.dwCurrentState, "rgReaderStates[i].dwCurrentState") &&
         r.U32(s.dwEventState, "rgReaderStates[i].dwEventState") &&
         r.U32(s.cbAtr, "rgReaderStates[i].cbAtr", kMaxReaderStateAtr) &&
         r.Fixed(s.rgbAtr, kReaderStateAtrSize);
}

bool Body(Rec& r, GetStatusChange_Return& c) {
  bool states = false;
  if (!r.I32(c.ReturnCode, "ReturnCode") || !r.U32(c.cReaders, "cReaders") ||
      !r.Ptr(c.rgReaderStates, states))
    return false;
  if (!states) return true;
  if (!r.U32(c.cReaders, "cReaders")) return false;
  if (r.decoding() && !r.Alloc(c.cReaders, kReaderStateReturnWireSize, c.rgReaderStates))
    return false;
  for (uint32_t i = 0; i < c.cReaders; ++i)
    if (!ReaderStateReturn(r, c.rgReaderStates[i])) return false;
  return true;
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
