// One description per smart-card record: its fields in wire order.
//
// Fields(v, record) names every field once, with its kind, its trace path and
// its limit; a visitor interprets the list. The codec walks it twice (the
// inline part, then the deferred data of every pointer present, in the order
// the pointers appeared) and once more to release what decoding allocated, so
// wire order, deferred order, ownership and trace paths come from one place.
//
// Field kinds a visitor provides (each returns false to stop the walk):
//   U32(value, path, max)        a 32-bit unsigned integer, limit inclusive
//   I32(value, path)             a 32-bit signed integer
//   Fixed(bytes, n)              n bytes inline, no count
//   Bytes(count, data, path, max, apdu)
//                                a count, a pointer, and in the deferred part
//                                the conformant bytes (count again, limit
//                                again); `apdu` masks a PIN in the trace
//   Str(text)                    a pointer to a NUL-terminated UTF-16 string
//   Context(c, path, max)        an embedded context: cbContext + pbContext
//   Handle(h, limits)            an embedded card handle: context + cbHandle
//   RecvPci(io)                  a pointer to an SCardIO_Request whose referent
//                                carries its extra bytes without a count
//   Array(count, elems, path, max, wireSize)
//                                a count, a pointer, and in the deferred part
//                                the count again and each element's Fields
#pragma once

#include <cstdint>

#include "scredir/rpc/records.h"

namespace rpc {

inline constexpr uint32_t kNoLimit = UINT32_MAX;

struct HandleLimits {
  uint32_t context = kNoLimit;
  uint32_t handle = kNoLimit;
};

inline constexpr HandleLimits kConnectHandleLimits{kMaxConnectHandleBytes, kMaxConnectHandleBytes};

// ---- Array elements ----------------------------------------------------------

template <class V>
bool Fields(V& v, ReaderStateW& s) {
  return v.Str(s.szReader) &&
         v.U32(s.Common.dwCurrentState, "rgReaderStates[i].Common.dwCurrentState") &&
         v.U32(s.Common.dwEventState, "rgReaderStates[i].Common.dwEventState") &&
         v.U32(s.Common.cbAtr, "rgReaderStates[i].Common.cbAtr", kMaxReaderStateAtr) &&
         v.Fixed(s.Common.rgbAtr, kReaderStateAtrSize);
}

template <class V>
bool Fields(V& v, ReaderState_Return& s) {
  return v.U32(s.dwCurrentState, "rgReaderStates[i].dwCurrentState") &&
         v.U32(s.dwEventState, "rgReaderStates[i].dwEventState") &&
         v.U32(s.cbAtr, "rgReaderStates[i].cbAtr", kMaxReaderStateAtr) &&
         v.Fixed(s.rgbAtr, kReaderStateAtrSize);
}

// ---- Call records ------------------------------------------------------------

template <class V>
bool Fields(V& v, EstablishContext_Call& c) {
  return v.U32(c.dwScope, "dwScope");
}

template <class V>
bool Fields(V& v, Context_Call& c) {
  return v.Context(c.Context, "Context.cbContext");
}

template <class V>
bool Fields(V& v, ListReaders_Call& c) {
  return v.Context(c.Context, "Context.cbContext") &&
         v.Bytes(c.cBytes, c.mszGroups, "cBytes", kMaxMultiStringBytes) &&
         v.I32(c.fmszReadersIsNULL, "fmszReadersIsNULL") && v.U32(c.cchReaders, "cchReaders");
}

template <class V>
bool Fields(V& v, ConnectW_Call& c) {
  return v.Str(c.szReader) && v.Context(c.Common.Context, "Common.Context.cbContext") &&
         v.U32(c.Common.dwShareMode, "Common.dwShareMode") &&
         v.U32(c.Common.dwPreferredProtocols, "Common.dwPreferredProtocols");
}

template <class V>
bool Fields(V& v, Reconnect_Call& c) {
  return v.Handle(c.hCard) && v.U32(c.dwShareMode, "dwShareMode") &&
         v.U32(c.dwPreferredProtocols, "dwPreferredProtocols") &&
         v.U32(c.dwInitialization, "dwInitialization");
}

template <class V>
bool Fields(V& v, HCardAndDisposition_Call& c) {
  return v.Handle(c.hCard) && v.U32(c.dwDisposition, "dwDisposition");
}

template <class V>
bool Fields(V& v, Status_Call& c) {
  return v.Handle(c.hCard) && v.I32(c.fmszReaderNamesIsNULL, "fmszReaderNamesIsNULL") &&
         v.U32(c.cchReaderLen, "cchReaderLen") && v.U32(c.cbAtrLen, "cbAtrLen");
}

template <class V>
bool Fields(V& v, Transmit_Call& c) {
  return v.Handle(c.hCard) && v.U32(c.ioSendPci.dwProtocol, "ioSendPci.dwProtocol") &&
         v.Bytes(c.ioSendPci.cbExtraBytes, c.ioSendPci.pbExtraBytes, "ioSendPci.cbExtraBytes") &&
         v.Bytes(c.cbSendLength, c.pbSendBuffer, "cbSendLength", kMaxIoBufferBytes, true) &&
         v.RecvPci(c.pioRecvPci) && v.I32(c.fpbRecvBufferIsNULL, "fpbRecvBufferIsNULL") &&
         v.U32(c.cbRecvLength, "cbRecvLength");
}

template <class V>
bool Fields(V& v, Control_Call& c) {
  return v.Handle(c.hCard) && v.U32(c.dwControlCode, "dwControlCode") &&
         v.Bytes(c.cbInBufferSize, c.pvInBuffer, "cbInBufferSize", kMaxIoBufferBytes) &&
         v.I32(c.fpvOutBufferIsNULL, "fpvOutBufferIsNULL") &&
         v.U32(c.cbOutBufferSize, "cbOutBufferSize");
}

template <class V>
bool Fields(V& v, GetAttrib_Call& c) {
  return v.Handle(c.hCard) && v.U32(c.dwAttrId, "dwAttrId") &&
         v.I32(c.fpbAttrIsNULL, "fpbAttrIsNULL") && v.U32(c.cbAttrLen, "cbAttrLen");
}

template <class V>
bool Fields(V& v, SetAttrib_Call& c) {
  return v.Handle(c.hCard) && v.U32(c.dwAttrId, "dwAttrId") &&
         v.Bytes(c.cbAttrLen, c.pbAttr, "cbAttrLen", kMaxAttrBytes);
}

template <class V>
bool Fields(V& v, GetStatusChangeW_Call& c) {
  return v.Context(c.Context, "Context.cbContext") && v.U32(c.dwTimeOut, "dwTimeOut") &&
         v.Array(c.cReaders, c.rgReaderStates, "cReaders", kMaxReaderStates, kReaderStateWWireSize);
}

// ---- Return records ----------------------------------------------------------

template <class V>
bool Fields(V& v, EstablishContext_Return& c) {
  return v.I32(c.ReturnCode, "ReturnCode") && v.Context(c.Context, "Context.cbContext");
}

template <class V>
bool Fields(V& v, Long_Return& c) {
  return v.I32(c.ReturnCode, "ReturnCode");
}

template <class V>
bool Fields(V& v, ListReaders_Return& c) {
  return v.I32(c.ReturnCode, "ReturnCode") &&
         v.Bytes(c.cBytes, c.msz, "cBytes", kMaxMultiStringBytes);
}

template <class V>
bool Fields(V& v, Connect_Return& c) {
  return v.I32(c.ReturnCode, "ReturnCode") && v.Handle(c.hCard, kConnectHandleLimits) &&
         v.U32(c.dwActiveProtocol, "dwActiveProtocol");
}

template <class V>
bool Fields(V& v, Reconnect_Return& c) {
  return v.I32(c.ReturnCode, "ReturnCode") && v.U32(c.dwActiveProtocol, "dwActiveProtocol");
}

template <class V>
bool Fields(V& v, Status_Return& c) {
  return v.I32(c.ReturnCode, "ReturnCode") &&
         v.Bytes(c.cBytes, c.mszReaderNames, "cBytes", kMaxMultiStringBytes) &&
         v.U32(c.dwState, "dwState") && v.U32(c.dwProtocol, "dwProtocol") &&
         v.Fixed(c.pbAtr, kStatusAtrSize) && v.U32(c.cbAtrLen, "cbAtrLen", kMaxStatusAtrLen);
}

// ReturnCode travels unsigned here.
template <class V>
bool Fields(V& v, Transmit_Return& c) {
  return v.U32(c.ReturnCode, "ReturnCode") && v.RecvPci(c.pioRecvPci) &&
         v.Bytes(c.cbRecvLength, c.pbRecvBuffer, "cbRecvLength", kMaxIoBufferBytes);
}

template <class V>
bool Fields(V& v, Control_Return& c) {
  return v.I32(c.ReturnCode, "ReturnCode") &&
         v.Bytes(c.cbOutBufferSize, c.pvOutBuffer, "cbOutBufferSize");
}

template <class V>
bool Fields(V& v, GetAttrib_Return& c) {
  return v.I32(c.ReturnCode, "ReturnCode") &&
         v.Bytes(c.cbAttrLen, c.pbAttr, "cbAttrLen", kMaxAttrBytes);
}

template <class V>
bool Fields(V& v, GetStatusChange_Return& c) {
  return v.I32(c.ReturnCode, "ReturnCode") &&
         v.Array(c.cReaders, c.rgReaderStates, "cReaders", kNoLimit, kReaderStateReturnWireSize);
}

}  // namespace rpc
