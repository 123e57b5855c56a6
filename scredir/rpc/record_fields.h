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
//   RecvPci(io)                  a pointer to an SCardIO_Request whose referent
//                                carries its extra bytes without a count
//   Array(count, elems, path, max, wireSize)
//                                a count, a pointer, and in the deferred part
//                                the count again and each element's Fields
// Embedded contexts and card handles are described once below and used by
// the records that carry them.
//
// A path may come as a Path, which adds what the debug dumps show beyond the
// path; the codec sees only the path. The dumps show each field by the last
// part of its path, and each group in kDumpGroups through its own routine.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "scredir/rpc/records.h"

namespace rpc {

inline constexpr uint32_t kNoLimit = UINT32_MAX;

struct HandleLimits {
  uint32_t context = kNoLimit;
  uint32_t handle = kNoLimit;
};

inline constexpr HandleLimits kConnectHandleLimits{kMaxConnectHandleBytes, kMaxConnectHandleBytes};

// ---- What the debug dumps add --------------------------------------------------

// How a dump shows a 32-bit value after its hex column.
enum class Shown : uint8_t {
  kAsTyped,     // in decimal, signed for an I32 field
  kUnsigned,    // in decimal, unsigned even for an I32 field
  kScopeName,   // by the name of the context scope
  kAttrIdName,  // by the name of the reader attribute
  kResultCode,  // by the name of the PC/SC result, through ScRedirQrn_DumpReturnCode
};

// A trace path with the dump's extras: `data` names the pointer line of a
// buffer or array (an array without one is dumped element by element only);
// `fixed` is the inline array a count sizes, dumped after the count and
// never past the array's end.
struct Path {
  const char* trace;
  const char* data = nullptr;
  Shown shown = Shown::kAsTyped;
  std::span<const uint8_t> fixed = {};
  constexpr operator const char*() const { return trace; }
};

inline constexpr Path kReturnCode{.trace = "ReturnCode", .shown = Shown::kResultCode};

// Fields under these paths are dumped by a routine of their own, whose
// Entry and Exit lines bracket them inside the record's.
struct DumpGroup {
  std::string_view path;
  const char* routine;
};
inline constexpr DumpGroup kDumpGroups[] = {
    {"Context", "ScRedirQrn_DumpRedirSCardContext"},
    {"hCard", "ScRedirQrn_DumpRedirSCardHandle"},
    {"hCard.Context", "ScRedirQrn_DumpRedirSCardContext"},
    {"Common", "ScRedirQrn_DumpConnect_Common"},
    {"Common.Context", "ScRedirQrn_DumpRedirSCardContext"},
    {"ioSendPci", "ScRedirQrn_DumpSCardIO_Request"},
    {"rgReaderStates[i].Common", "ScRedirQrn_DumpReaderState_Common_Call"},
};

// ---- Embedded sub-records ----------------------------------------------------

// A context's trace path depends on where it sits; a card handle's does not.
bool Fields(auto& v, REDIR_SCARDCONTEXT& c, const char* path, uint32_t max = kNoLimit) {
  return v.Bytes(c.cbContext, c.pbContext, Path{.trace = path, .data = "pbContext"}, max);
}

bool Fields(auto& v, REDIR_SCARDHANDLE& h, HandleLimits lim = {}) {
  return Fields(v, h.Context, "hCard.Context.cbContext", lim.context) &&
         v.Bytes(h.cbHandle, h.pbHandle, Path{.trace = "hCard.cbHandle", .data = "pbHandle"},
                 lim.handle);
}

// ---- Array elements ----------------------------------------------------------

bool Fields(auto& v, ReaderStateW& s) {
  return v.Str(s.szReader) &&
         v.U32(s.Common.dwCurrentState, "rgReaderStates[i].Common.dwCurrentState") &&
         v.U32(s.Common.dwEventState, "rgReaderStates[i].Common.dwEventState") &&
         v.U32(s.Common.cbAtr,
               Path{.trace = "rgReaderStates[i].Common.cbAtr",
                    .data = "rgbAtr",
                    .fixed = s.Common.rgbAtr},
               kMaxReaderStateAtr) &&
         v.Fixed(s.Common.rgbAtr, kReaderStateAtrSize);
}

bool Fields(auto& v, ReaderState_Return& s) {
  return v.U32(s.dwCurrentState, "rgReaderStates[i].dwCurrentState") &&
         v.U32(s.dwEventState, "rgReaderStates[i].dwEventState") &&
         v.U32(s.cbAtr,
               Path{.trace = "rgReaderStates[i].cbAtr", .data = "rgbAtr", .fixed = s.rgbAtr},
               kMaxReaderStateAtr) &&
         v.Fixed(s.rgbAtr, kReaderStateAtrSize);
}

// ---- Call records ------------------------------------------------------------

bool Fields(auto& v, EstablishContext_Call& c) {
  return v.U32(c.dwScope, Path{.trace = "dwScope", .shown = Shown::kScopeName});
}

bool Fields(auto& v, Context_Call& c) {
  return Fields(v, c.Context, "Context.cbContext");
}

bool Fields(auto& v, ListReaders_Call& c) {
  return Fields(v, c.Context, "Context.cbContext") &&
         v.Bytes(c.cBytes, c.mszGroups, Path{.trace = "cBytes", .data = "mszGroups"},
                 kMaxMultiStringBytes) &&
         v.I32(c.fmszReadersIsNULL,
               Path{.trace = "fmszReadersIsNULL", .shown = Shown::kUnsigned}) &&
         v.U32(c.cchReaders, "cchReaders");
}

bool Fields(auto& v, ConnectW_Call& c) {
  return v.Str(c.szReader) && Fields(v, c.Common.Context, "Common.Context.cbContext") &&
         v.U32(c.Common.dwShareMode, "Common.dwShareMode") &&
         v.U32(c.Common.dwPreferredProtocols, "Common.dwPreferredProtocols");
}

bool Fields(auto& v, Reconnect_Call& c) {
  return Fields(v, c.hCard) && v.U32(c.dwShareMode, "dwShareMode") &&
         v.U32(c.dwPreferredProtocols, "dwPreferredProtocols") &&
         v.U32(c.dwInitialization, "dwInitialization");
}

bool Fields(auto& v, HCardAndDisposition_Call& c) {
  return Fields(v, c.hCard) && v.U32(c.dwDisposition, "dwDisposition");
}

bool Fields(auto& v, Status_Call& c) {
  return Fields(v, c.hCard) && v.I32(c.fmszReaderNamesIsNULL, "fmszReaderNamesIsNULL") &&
         v.U32(c.cchReaderLen, "cchReaderLen") && v.U32(c.cbAtrLen, "cbAtrLen");
}

bool Fields(auto& v, Transmit_Call& c) {
  return Fields(v, c.hCard) && v.U32(c.ioSendPci.dwProtocol, "ioSendPci.dwProtocol") &&
         v.Bytes(c.ioSendPci.cbExtraBytes, c.ioSendPci.pbExtraBytes,
                 Path{.trace = "ioSendPci.cbExtraBytes", .data = "pbExtraBytes"}) &&
         v.Bytes(c.cbSendLength, c.pbSendBuffer,
                 Path{.trace = "cbSendLength", .data = "pbSendBuffer"}, kMaxIoBufferBytes, true) &&
         v.RecvPci(c.pioRecvPci) && v.I32(c.fpbRecvBufferIsNULL, "fpbRecvBufferIsNULL") &&
         v.U32(c.cbRecvLength, "cbRecvLength");
}

bool Fields(auto& v, Control_Call& c) {
  return Fields(v, c.hCard) && v.U32(c.dwControlCode, "dwControlCode") &&
         v.Bytes(c.cbInBufferSize, c.pvInBuffer,
                 Path{.trace = "cbInBufferSize", .data = "pvInBuffer"}, kMaxIoBufferBytes) &&
         v.I32(c.fpvOutBufferIsNULL, "fpvOutBufferIsNULL") &&
         v.U32(c.cbOutBufferSize, "cbOutBufferSize");
}

bool Fields(auto& v, GetAttrib_Call& c) {
  return Fields(v, c.hCard) &&
         v.U32(c.dwAttrId, Path{.trace = "dwAttrId", .shown = Shown::kAttrIdName}) &&
         v.I32(c.fpbAttrIsNULL, "fpbAttrIsNULL") && v.U32(c.cbAttrLen, "cbAttrLen");
}

bool Fields(auto& v, SetAttrib_Call& c) {
  return Fields(v, c.hCard) && v.U32(c.dwAttrId, "dwAttrId") &&
         v.Bytes(c.cbAttrLen, c.pbAttr, Path{.trace = "cbAttrLen", .data = "pbAttr"},
                 kMaxAttrBytes);
}

bool Fields(auto& v, GetStatusChangeW_Call& c) {
  return Fields(v, c.Context, "Context.cbContext") && v.U32(c.dwTimeOut, "dwTimeOut") &&
         v.Array(c.cReaders, c.rgReaderStates, Path{.trace = "cReaders", .data = "rgReaderStates"},
                 kMaxReaderStates, kReaderStateWWireSize);
}

// ---- Return records ----------------------------------------------------------

bool Fields(auto& v, EstablishContext_Return& c) {
  return v.I32(c.ReturnCode, kReturnCode) && Fields(v, c.Context, "Context.cbContext");
}

bool Fields(auto& v, Long_Return& c) {
  return v.I32(c.ReturnCode, kReturnCode);
}

bool Fields(auto& v, ListReaders_Return& c) {
  return v.I32(c.ReturnCode, kReturnCode) &&
         v.Bytes(c.cBytes, c.msz, Path{.trace = "cBytes", .data = "msz"}, kMaxMultiStringBytes);
}

bool Fields(auto& v, Connect_Return& c) {
  return v.I32(c.ReturnCode, kReturnCode) && Fields(v, c.hCard, kConnectHandleLimits) &&
         v.U32(c.dwActiveProtocol, "dwActiveProtocol");
}

bool Fields(auto& v, Reconnect_Return& c) {
  return v.I32(c.ReturnCode, kReturnCode) && v.U32(c.dwActiveProtocol, "dwActiveProtocol");
}

bool Fields(auto& v, Status_Return& c) {
  return v.I32(c.ReturnCode, kReturnCode) &&
         v.Bytes(c.cBytes, c.mszReaderNames, Path{.trace = "cBytes", .data = "mszReaderNames"},
                 kMaxMultiStringBytes) &&
         v.U32(c.dwState, "dwState") && v.U32(c.dwProtocol, "dwProtocol") &&
         v.Fixed(c.pbAtr, kStatusAtrSize) &&
         v.U32(c.cbAtrLen, Path{.trace = "cbAtrLen", .data = "pbAtr", .fixed = c.pbAtr},
               kMaxStatusAtrLen);
}

// ReturnCode travels unsigned here.
bool Fields(auto& v, Transmit_Return& c) {
  return v.U32(c.ReturnCode, kReturnCode) && v.RecvPci(c.pioRecvPci) &&
         v.Bytes(c.cbRecvLength, c.pbRecvBuffer,
                 Path{.trace = "cbRecvLength", .data = "pbRecvBuffer"}, kMaxIoBufferBytes);
}

bool Fields(auto& v, Control_Return& c) {
  return v.I32(c.ReturnCode, kReturnCode) &&
         v.Bytes(c.cbOutBufferSize, c.pvOutBuffer,
                 Path{.trace = "cbOutBufferSize", .data = "pvOutBuffer"});
}

bool Fields(auto& v, GetAttrib_Return& c) {
  return v.I32(c.ReturnCode, kReturnCode) &&
         v.Bytes(c.cbAttrLen, c.pbAttr, Path{.trace = "cbAttrLen", .data = "pbAttr"},
                 kMaxAttrBytes);
}

bool Fields(auto& v, GetStatusChange_Return& c) {
  return v.I32(c.ReturnCode, kReturnCode) &&
         v.Array(c.cReaders, c.rgReaderStates, "cReaders", kNoLimit, kReaderStateReturnWireSize);
}

}  // namespace rpc
