// Smart-card call and return records and their codec.
//
// Each record is a plain structure whose fields stand in wire order. Every
// record has one routine, ScRedirRpc_<Record>_Codec, that encodes or decodes
// it depending on the handle's direction; <Record>_Encode and
// <Record>_Decode add the finish step, and <Record>_Free releases what
// decoding allocated. Outcomes are read with ScRedirRpc_ErrorCode().
//
// Ownership: the structure is always the caller's. When encoding, every
// pointer field is the caller's and is only read. When decoding, the routine
// first clears the structure, then every pointer field holds either null or
// a block the routine allocated (g_malloc family), never a wire referent id.
// A decode that fails (including a failed finish step in the Decode wrapper)
// releases its own blocks and leaves those pointers null, so a failed record
// needs no Free; calling Free on it anyway is harmless. Free must run while
// the decoding handle still exists and does nothing on an encoding handle.
#pragma once

#include <cstdint>

#include "scredir/rpc/ndr.h"

// ---- Shared sub-records --------------------------------------------------

struct REDIR_SCARDCONTEXT {
  uint32_t cbContext;
  uint8_t* pbContext;
};

struct REDIR_SCARDHANDLE {
  REDIR_SCARDCONTEXT Context;
  uint32_t cbHandle;
  uint8_t* pbHandle;
};

struct SCardIO_Request {
  uint32_t dwProtocol;
  uint32_t cbExtraBytes;
  uint8_t* pbExtraBytes;
};

struct Connect_Common {
  REDIR_SCARDCONTEXT Context;
  uint32_t dwShareMode;
  uint32_t dwPreferredProtocols;
};

inline constexpr uint32_t kReaderStateAtrSize = 36;
inline constexpr uint32_t kStatusAtrSize = 32;

struct ReaderState_Common_Call {
  uint32_t dwCurrentState;
  uint32_t dwEventState;
  uint32_t cbAtr;
  uint8_t rgbAtr[kReaderStateAtrSize];
};

struct ReaderStateW {
  uint16_t* szReader;  // UTF-16, NUL-terminated when encoding
  ReaderState_Common_Call Common;
};

struct ReaderState_Return {
  uint32_t dwCurrentState;
  uint32_t dwEventState;
  uint32_t cbAtr;
  uint8_t rgbAtr[kReaderStateAtrSize];
};

// Bytes one array element's inline part takes on the wire.
inline constexpr uint32_t kReaderStateWWireSize = 52;
inline constexpr uint32_t kReaderStateReturnWireSize = 48;

// ---- Limits (inclusive maxima; exceeding one fails with RPC_S_INVALID_ARG)

inline constexpr uint32_t kMaxMultiStringBytes = 0x10000;  // cBytes
inline constexpr uint32_t kMaxAttrBytes = 0x10000;         // cbAttrLen
inline constexpr uint32_t kMaxIoBufferBytes = 0x10400;     // APDUs, control input
inline constexpr uint32_t kMaxConnectHandleBytes = 16;     // Connect_Return hCard
inline constexpr uint32_t kMaxStatusAtrLen = 32;           // Status_Return cbAtrLen
inline constexpr uint32_t kMaxReaderStates = 11;           // GetStatusChangeW_Call
inline constexpr uint32_t kMaxReaderStateAtr = 36;         // each cbAtr

// ---- Call records --------------------------------------------------------

struct EstablishContext_Call {
  uint32_t dwScope;
};

struct Context_Call {
  REDIR_SCARDCONTEXT Context;
};

struct ListReaders_Call {
  REDIR_SCARDCONTEXT Context;
  uint32_t cBytes;
  uint8_t* mszGroups;
  int32_t fmszReadersIsNULL;
  uint32_t cchReaders;
};

struct ConnectW_Call {
  uint16_t* szReader;
  Connect_Common Common;
};

struct Reconnect_Call {
  REDIR_SCARDHANDLE hCard;
  uint32_t dwShareMode;
  uint32_t dwPreferredProtocols;
  uint32_t dwInitialization;
};

struct HCardAndDisposition_Call {
  REDIR_SCARDHANDLE hCard;
  uint32_t dwDisposition;
};

struct Status_Call {
  REDIR_SCARDHANDLE hCard;
  int32_t fmszReaderNamesIsNULL;
  uint32_t cchReaderLen;
  uint32_t cbAtrLen;
};

struct Transmit_Call {
  REDIR_SCARDHANDLE hCard;
  SCardIO_Request ioSendPci;
  uint32_t cbSendLength;
  uint8_t* pbSendBuffer;
  SCardIO_Request* pioRecvPci;
  int32_t fpbRecvBufferIsNULL;
  uint32_t cbRecvLength;
};

struct Control_Call {
  REDIR_SCARDHANDLE hCard;
  uint32_t dwControlCode;
  uint32_t cbInBufferSize;
  uint8_t* pvInBuffer;
  int32_t fpvOutBufferIsNULL;
  uint32_t cbOutBufferSize;
};

struct GetAttrib_Call {
  REDIR_SCARDHANDLE hCard;
  uint32_t dwAttrId;
  int32_t fpbAttrIsNULL;
  uint32_t cbAttrLen;
};

struct SetAttrib_Call {
  REDIR_SCARDHANDLE hCard;
  uint32_t dwAttrId;
  uint32_t cbAttrLen;
  uint8_t* pbAttr;
};

struct GetStatusChangeW_Call {
  REDIR_SCARDCONTEXT Context;
  uint32_t dwTimeOut;
  uint32_t cReaders;
  ReaderStateW* rgReaderStates;
};

// ---- Return records ------------------------------------------------------

struct EstablishContext_Return {
  int32_t ReturnCode;
  REDIR_SCARDCONTEXT Context;
};

struct Long_Return {
  int32_t ReturnCode;
};

struct ListReaders_Return {
  int32_t ReturnCode;
  uint32_t cBytes;
  uint8_t* msz;
};

struct Connect_Return {
  int32_t ReturnCode;
  REDIR_SCARDHANDLE hCard;
  uint32_t dwActiveProtocol;
};

struct Reconnect_Return {
  int32_t ReturnCode;
  uint32_t dwActiveProtocol;
};

struct Status_Return {
  int32_t ReturnCode;
  uint32_t cBytes;
  uint8_t* mszReaderNames;
  uint32_t dwState;
  uint32_t dwProtocol;
  uint8_t pbAtr[kStatusAtrSize];
  uint32_t cbAtrLen;
};

struct Transmit_Return {
  uint32_t ReturnCode;
  SCardIO_Request* pioRecvPci;
  uint32_t cbRecvLength;
  uint8_t* pbRecvBuffer;
};

struct Control_Return {
  int32_t ReturnCode;
  uint32_t cbOutBufferSize;
  uint8_t* pvOutBuffer;
};

struct GetAttrib_Return {
  int32_t ReturnCode;
  uint32_t cbAttrLen;
  uint8_t* pbAttr;
};

struct GetStatusChange_Return {
  int32_t ReturnCode;
  uint32_t cReaders;
  ReaderState_Return* rgReaderStates;
};

// ---- Operations ----------------------------------------------------------
//
// ScRedirRpc_<R>_Codec(handle, record): 1 on success (status word 0), 0 on
// failure (status word says why).
// <R>_Encode / <R>_Decode(handle, record): the routine plus the finish step.
// <R>_Free(handle, record): releases decoded blocks (decoding handle only).
// Free exists for the call records too, for whoever decodes them (tests,
// client doubles), and for Reconnect_Return, which owns nothing.

// Every record, calls and returns apart, in a fixed order: the fuzzers'
// first byte picks a record by its place here.
// clang-format off
#define SCREDIR_RPC_CALL_RECORDS(X) \
  X(EstablishContext_Call)          \
  X(Context_Call)                   \
  X(ListReaders_Call)               \
  X(ConnectW_Call)                  \
  X(Reconnect_Call)                 \
  X(HCardAndDisposition_Call)       \
  X(Status_Call)                    \
  X(Transmit_Call)                  \
  X(Control_Call)                   \
  X(GetAttrib_Call)                 \
  X(SetAttrib_Call)                 \
  X(GetStatusChangeW_Call)
#define SCREDIR_RPC_RETURN_RECORDS(X) \
  X(EstablishContext_Return)          \
  X(Long_Return)                      \
  X(ListReaders_Return)               \
  X(Connect_Return)                   \
  X(Reconnect_Return)                 \
  X(Status_Return)                    \
  X(Transmit_Return)                  \
  X(Control_Return)                   \
  X(GetAttrib_Return)                 \
  X(GetStatusChange_Return)
// clang-format on

#define SCREDIR_RPC_DECLARE_OPERATIONS(R)                           \
  int ScRedirRpc_##R##_Codec(ScRedirRpc_Handle* handle, R* record); \
  void R##_Encode(ScRedirRpc_Handle* handle, R* record);            \
  void R##_Decode(ScRedirRpc_Handle* handle, R* record);            \
  void R##_Free(ScRedirRpc_Handle* handle, R* record);

SCREDIR_RPC_CALL_RECORDS(SCREDIR_RPC_DECLARE_OPERATIONS)
SCREDIR_RPC_RETURN_RECORDS(SCREDIR_RPC_DECLARE_OPERATIONS)
