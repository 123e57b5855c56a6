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

int ScRedirRpc_EstablishContext_Call_Codec(ScRedirRpc_Handle* handle,
                                           EstablishContext_Call* record);
void EstablishContext_Call_Encode(ScRedirRpc_Handle* handle, EstablishContext_Call* record);
void EstablishContext_Call_Decode(ScRedirRpc_Handle* handle, EstablishContext_Call* record);
void EstablishContext_Call_Free(ScRedirRpc_Handle* handle, EstablishContext_Call* record);

int ScRedirRpc_Context_Call_Codec(ScRedirRpc_Handle* handle, Context_Call* record);
void Context_Call_Encode(ScRedirRpc_Handle* handle, Context_Call* record);
void Context_Call_Decode(ScRedirRpc_Handle* handle, Context_Call* record);
void Context_Call_Free(ScRedirRpc_Handle* handle, Context_Call* record);

int ScRedirRpc_ListReaders_Call_Codec(ScRedirRpc_Handle* handle, ListReaders_Call* record);
void ListReaders_Call_Encode(ScRedirRpc_Handle* handle, ListReaders_Call* record);
void ListReaders_Call_Decode(ScRedirRpc_Handle* handle, ListReaders_Call* record);
void ListReaders_Call_Free(ScRedirRpc_Handle* handle, ListReaders_Call* record);

int ScRedirRpc_ConnectW_Call_Codec(ScRedirRpc_Handle* handle, ConnectW_Call* record);
void ConnectW_Call_Encode(ScRedirRpc_Handle* handle, ConnectW_Call* record);
void ConnectW_Call_Decode(ScRedirRpc_Handle* handle, ConnectW_Call* record);
void ConnectW_Call_Free(ScRedirRpc_Handle* handle, ConnectW_Call* record);

int ScRedirRpc_Reconnect_Call_Codec(ScRedirRpc_Handle* handle, Reconnect_Call* record);
void Reconnect_Call_Encode(ScRedirRpc_Handle* handle, Reconnect_Call* record);
void Reconnect_Call_Decode(ScRedirRpc_Handle* handle, Reconnect_Call* record);
void Reconnect_Call_Free(ScRedirRpc_Handle* handle, Reconnect_Call* record);

int ScRedirRpc_HCardAndDisposition_Call_Codec(ScRedirRpc_Handle* handle,
                                              HCardAndDisposition_Call* record);
void HCardAndDisposition_Call_Encode(ScRedirRpc_Handle* handle, HCardAndDisposition_Call* record);
void HCardAndDisposition_Call_Decode(ScRedirRpc_Handle* handle, HCardAndDisposition_Call* record);
void HCardAndDisposition_Call_Free(ScRedirRpc_Handle* handle, HCardAndDisposition_Call* record);

int ScRedirRpc_Status_Call_Codec(ScRedirRpc_Handle* handle, Status_Call* record);
void Status_Call_Encode(ScRedirRpc_Handle* handle, Status_Call* record);
void Status_Call_Decode(ScRedirRpc_Handle* handle, Status_Call* record);
void Status_Call_Free(ScRedirRpc_Handle* handle, Status_Call* record);

int ScRedirRpc_Transmit_Call_Codec(ScRedirRpc_Handle* handle, Transmit_Call* record);
void Transmit_Call_Encode(ScRedirRpc_Handle* handle, Transmit_Call* record);
void Transmit_Call_Decode(ScRedirRpc_Handle* handle, Transmit_Call* record);
void Transmit_Call_Free(ScRedirRpc_Handle* handle, Transmit_Call* record);

int ScRedirRpc_Control_Call_Codec(ScRedirRpc_Handle* handle, Control_Call* record);
void Control_Call_Encode(ScRedirRpc_Handle* handle, Control_Call* record);
void Control_Call_Decode(ScRedirRpc_Handle* handle, Control_Call* record);
void Control_Call_Free(ScRedirRpc_Handle* handle, Control_Call* record);

int ScRedirRpc_GetAttrib_Call_Codec(ScRedirRpc_Handle* handle, GetAttrib_Call* record);
void GetAttrib_Call_Encode(ScRedirRpc_Handle* handle, GetAttrib_Call* record);
void GetAttrib_Call_Decode(ScRedirRpc_Handle* handle, GetAttrib_Call* record);
void GetAttrib_Call_Free(ScRedirRpc_Handle* handle, GetAttrib_Call* record);

int ScRedirRpc_SetAttrib_Call_Codec(ScRedirRpc_Handle* handle, SetAttrib_Call* record);
void SetAttrib_Call_Encode(ScRedirRpc_Handle* handle, SetAttrib_Call* record);
void SetAttrib_Call_Decode(ScRedirRpc_Handle* handle, SetAttrib_Call* record);
void SetAttrib_Call_Free(ScRedirRpc_Handle* handle, SetAttrib_Call* record);

int ScRedirRpc_GetStatusChangeW_Call_Codec(ScRedirRpc_Handle* handle,
                                           GetStatusChangeW_Call* record);
void GetStatusChangeW_Call_Encode(ScRedirRpc_Handle* handle, GetStatusChangeW_Call* record);
void GetStatusChangeW_Call_Decode(ScRedirRpc_Handle* handle, GetStatusChangeW_Call* record);
void GetStatusChangeW_Call_Free(ScRedirRpc_Handle* handle, GetStatusChangeW_Call* record);

int ScRedirRpc_EstablishContext_Return_Codec(ScRedirRpc_Handle* handle,
                                             EstablishContext_Return* record);
void EstablishContext_Return_Encode(ScRedirRpc_Handle* handle, EstablishContext_Return* record);
void EstablishContext_Return_Decode(ScRedirRpc_Handle* handle, EstablishContext_Return* record);
void EstablishContext_Return_Free(ScRedirRpc_Handle* handle, EstablishContext_Return* record);

int ScRedirRpc_Long_Return_Codec(ScRedirRpc_Handle* handle, Long_Return* record);
void Long_Return_Encode(ScRedirRpc_Handle* handle, Long_Return* record);
void Long_Return_Decode(ScRedirRpc_Handle* handle, Long_Return* record);
void Long_Return_Free(ScRedirRpc_Handle* handle, Long_Return* record);

int ScRedirRpc_ListReaders_Return_Codec(ScRedirRpc_Handle* handle, ListReaders_Return* record);
void ListReaders_Return_Encode(ScRedirRpc_Handle* handle, ListReaders_Return* record);
void ListReaders_Return_Decode(ScRedirRpc_Handle* handle, ListReaders_Return* record);
void ListReaders_Return_Free(ScRedirRpc_Handle* handle, ListReaders_Return* record);

int ScRedirRpc_Connect_Return_Codec(ScRedirRpc_Handle* handle, Connect_Return* record);
void Connect_Return_Encode(ScRedirRpc_Handle* handle, Connect_Return* record);
void Connect_Return_Decode(ScRedirRpc_Handle* handle, Connect_Return* record);
void Connect_Return_Free(ScRedirRpc_Handle* handle, Connect_Return* record);

int ScRedirRpc_Reconnect_Return_Codec(ScRedirRpc_Handle* handle, Reconnect_Return* record);
void Reconnect_Return_Encode(ScRedirRpc_Handle* handle, Reconnect_Return* record);
void Reconnect_Return_Decode(ScRedirRpc_Handle* handle, Reconnect_Return* record);
void Reconnect_Return_Free(ScRedirRpc_Handle* handle, Reconnect_Return* record);

int ScRedirRpc_Status_Return_Codec(ScRedirRpc_Handle* handle, Status_Return* record);
void Status_Return_Encode(ScRedirRpc_Handle* handle, Status_Return* record);
void Status_Return_Decode(ScRedirRpc_Handle* handle, Status_Return* record);
void Status_Return_Free(ScRedirRpc_Handle* handle, Status_Return* record);

int ScRedirRpc_Transmit_Return_Codec(ScRedirRpc_Handle* handle, Transmit_Return* record);
void Transmit_Return_Encode(ScRedirRpc_Handle* handle, Transmit_Return* record);
void Transmit_Return_Decode(ScRedirRpc_Handle* handle, Transmit_Return* record);
void Transmit_Return_Free(ScRedirRpc_Handle* handle, Transmit_Return* record);

int ScRedirRpc_Control_Return_Codec(ScRedirRpc_Handle* handle, Control_Return* record);
void Control_Return_Encode(ScRedirRpc_Handle* handle, Control_Return* record);
void Control_Return_Decode(ScRedirRpc_Handle* handle, Control_Return* record);
void Control_Return_Free(ScRedirRpc_Handle* handle, Control_Return* record);

int ScRedirRpc_GetAttrib_Return_Codec(ScRedirRpc_Handle* handle, GetAttrib_Return* record);
void GetAttrib_Return_Encode(ScRedirRpc_Handle* handle, GetAttrib_Return* record);
void GetAttrib_Return_Decode(ScRedirRpc_Handle* handle, GetAttrib_Return* record);
void GetAttrib_Return_Free(ScRedirRpc_Handle* handle, GetAttrib_Return* record);

int ScRedirRpc_GetStatusChange_Return_Codec(ScRedirRpc_Handle* handle,
                                            GetStatusChange_Return* record);
void GetStatusChange_Return_Encode(ScRedirRpc_Handle* handle, GetStatusChange_Return* record);
void GetStatusChange_Return_Decode(ScRedirRpc_Handle* handle, GetStatusChange_Return* record);
void GetStatusChange_Return_Free(ScRedirRpc_Handle* handle, GetStatusChange_Return* record);
