// The PC/SC daemon's message formats and the command table.
//
// The daemon writes one message per PC/SC call: a 12-byte header, then the
// command's record. The same record travels back as the reply with the
// results filled in. Every integer is 32 bits in host byte order (both ends
// run on this machine); the layouts below are pinned by static_asserts so
// they cannot drift from what the daemon writes.
//
// The command table tells the daemon link thread how many record bytes to
// read for a command and which entry point redirects it; the entry points
// live in request_build.cc. All of this is constant data and thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

struct PcscdMessageHeader {
  uint32_t id;       // chosen by the daemon; our CompletionId and list key
  uint32_t command;  // one of PcscdCommandCode
  uint32_t size;     // record bytes that follow; only TRANSMIT/CONTROL use it
};
static_assert(sizeof(PcscdMessageHeader) == 12);
static_assert(offsetof(PcscdMessageHeader, command) == 4);
static_assert(offsetof(PcscdMessageHeader, size) == 8);

enum PcscdCommandCode : uint32_t {
  PCSCD_ESTABLISH_CONTEXT = 1,
  PCSCD_RELEASE_CONTEXT = 2,
  PCSCD_LIST_READERS = 3,
  PCSCD_CONNECT = 4,
  PCSCD_RECONNECT = 5,
  PCSCD_DISCONNECT = 6,
  PCSCD_BEGIN_TRANSACTION = 7,
  PCSCD_END_TRANSACTION = 8,
  PCSCD_TRANSMIT = 9,
  PCSCD_CONTROL = 10,
  PCSCD_STATUS = 11,
  PCSCD_CANCEL = 13,
  PCSCD_GET_ATTRIB = 15,
  PCSCD_SET_ATTRIB = 16,
  PCSCD_GET_STATUS_CHANGE = 18,
};

// Capacities of the daemon's fixed fields.
inline constexpr uint32_t kPcscdReaderNameBytes = 128;  // szReader, NUL included
inline constexpr uint32_t kPcscdMaxReaderStates = 64;
inline constexpr uint32_t kPcscdAtrBytes = 36;
inline constexpr uint32_t kPcscdStatusNameBytes = 128;  // mszReaderName
inline constexpr uint32_t kPcscdReadersBytes = 8192;    // mszReaders
inline constexpr uint32_t kPcscdAttrBytes = 264;
inline constexpr uint32_t kPcscdBufferBytes = 65548;  // TRANSMIT/CONTROL pbBuffer

struct EstablishContextMsg {
  uint32_t dwScope;
  uint32_t hContext;
  uint32_t rv;
};
static_assert(sizeof(EstablishContextMsg) == 12);
static_assert(offsetof(EstablishContextMsg, hContext) == 4);
static_assert(offsetof(EstablishContextMsg, rv) == 8);

// ReleaseContextMsg and CancelMsg share this layout.
struct ContextMsg {
  uint32_t hContext;
  uint32_t rv;
};
using ReleaseContextMsg = ContextMsg;
using CancelMsg = ContextMsg;
static_assert(sizeof(ContextMsg) == 8);
static_assert(offsetof(ContextMsg, rv) == 4);

struct ListReadersMsg {
  uint32_t hContext;
  uint32_t cbGroups;
  uint8_t mszGroups[8];  // the daemon client's own pointer value; never followed
  uint32_t cchReaders;
  char mszReaders[kPcscdReadersBytes];
  uint32_t rv;
};
static_assert(sizeof(ListReadersMsg) == 8216);
static_assert(offsetof(ListReadersMsg, cbGroups) == 4);
static_assert(offsetof(ListReadersMsg, mszGroups) == 8);
static_assert(offsetof(ListReadersMsg, cchReaders) == 16);
static_assert(offsetof(ListReadersMsg, mszReaders) == 20);
static_assert(offsetof(ListReadersMsg, rv) == 8212);

struct ConnectMsg {
  uint32_t hContext;
  char szReader[kPcscdReaderNameBytes];
  uint32_t dwShareMode;
  uint32_t dwPreferredProtocols;
  uint32_t hCard;
  uint32_t dwActiveProtocol;
  uint32_t rv;
};
static_assert(sizeof(ConnectMsg) == 152);
static_assert(offsetof(ConnectMsg, szReader) == 4);
static_assert(offsetof(ConnectMsg, dwShareMode) == 132);
static_assert(offsetof(ConnectMsg, dwPreferredProtocols) == 136);
static_assert(offsetof(ConnectMsg, hCard) == 140);
static_assert(offsetof(ConnectMsg, dwActiveProtocol) == 144);
static_assert(offsetof(ConnectMsg, rv) == 148);

struct ReconnectMsg {
  uint32_t hContext;
  uint32_t hCard;
  uint32_t dwShareMode;
  uint32_t dwPreferredProtocols;
  uint32_t dwInitialization;
  uint32_t dwActiveProtocol;
  uint32_t rv;
};
static_assert(sizeof(ReconnectMsg) == 28);
static_assert(offsetof(ReconnectMsg, hCard) == 4);
static_assert(offsetof(ReconnectMsg, dwShareMode) == 8);
static_assert(offsetof(ReconnectMsg, dwPreferredProtocols) == 12);
static_assert(offsetof(ReconnectMsg, dwInitialization) == 16);
static_assert(offsetof(ReconnectMsg, dwActiveProtocol) == 20);
static_assert(offsetof(ReconnectMsg, rv) == 24);

// DisconnectMsg and EndTransactionMsg share this layout.
struct DispositionMsg {
  uint32_t hContext;
  uint32_t hCard;
  uint32_t dwDisposition;
  uint32_t rv;
};
using DisconnectMsg = DispositionMsg;
using EndTransactionMsg = DispositionMsg;
static_assert(sizeof(DispositionMsg) == 16);
static_assert(offsetof(DispositionMsg, hCard) == 4);
static_assert(offsetof(DispositionMsg, dwDisposition) == 8);
static_assert(offsetof(DispositionMsg, rv) == 12);

struct BeginTransactionMsg {
  uint32_t hContext;
  uint32_t hCard;
  uint32_t rv;
};
static_assert(sizeof(BeginTransactionMsg) == 12);
static_assert(offsetof(BeginTransactionMsg, hCard) == 4);
static_assert(offsetof(BeginTransactionMsg, rv) == 8);

struct TransmitMsg {
  uint32_t hContext;
  uint32_t hCard;
  uint32_t cbSendLength;
  uint32_t cbRecvLength;
  uint32_t ioSendPciProtocol;
  uint32_t ioSendPciLength;
  uint32_t ioRecvPciProtocol;
  uint32_t ioRecvPciLength;
  uint32_t rv;
  uint8_t pbBuffer[kPcscdBufferBytes];
};
inline constexpr uint32_t kTransmitFixedBytes = 36;
static_assert(sizeof(TransmitMsg) == 65584);
static_assert(offsetof(TransmitMsg, hCard) == 4);
static_assert(offsetof(TransmitMsg, cbSendLength) == 8);
static_assert(offsetof(TransmitMsg, cbRecvLength) == 12);
static_assert(offsetof(TransmitMsg, ioSendPciProtocol) == 16);
static_assert(offsetof(TransmitMsg, ioSendPciLength) == 20);
static_assert(offsetof(TransmitMsg, ioRecvPciProtocol) == 24);
static_assert(offsetof(TransmitMsg, ioRecvPciLength) == 28);
static_assert(offsetof(TransmitMsg, rv) == 32);
static_assert(offsetof(TransmitMsg, pbBuffer) == kTransmitFixedBytes);

struct ControlMsg {
  uint32_t hContext;
  uint32_t hCard;
  uint32_t dwControlCode;
  uint32_t cbSendLength;
  uint32_t cbRecvLength;
  uint32_t dwBytesReturned;
  uint32_t rv;
  uint8_t pbBuffer[kPcscdBufferBytes];
};
inline constexpr uint32_t kControlFixedBytes = 28;
static_assert(sizeof(ControlMsg) == 65576);
static_assert(offsetof(ControlMsg, hCard) == 4);
static_assert(offsetof(ControlMsg, dwControlCode) == 8);
static_assert(offsetof(ControlMsg, cbSendLength) == 12);
static_assert(offsetof(ControlMsg, cbRecvLength) == 16);
static_assert(offsetof(ControlMsg, dwBytesReturned) == 20);
static_assert(offsetof(ControlMsg, rv) == 24);
static_assert(offsetof(ControlMsg, pbBuffer) == kControlFixedBytes);

struct StatusMsg {
  uint32_t hContext;
  uint32_t hCard;
  char mszReaderName[kPcscdStatusNameBytes];
  uint32_t cchReaderLen;
  uint32_t dwState;
  uint32_t dwProtocol;
  uint8_t pbAtr[kPcscdAtrBytes];
  uint32_t cbAtrLen;
  uint32_t rv;
};
static_assert(sizeof(StatusMsg) == 192);
static_assert(offsetof(StatusMsg, mszReaderName) == 8);
static_assert(offsetof(StatusMsg, cchReaderLen) == 136);
static_assert(offsetof(StatusMsg, dwState) == 140);
static_assert(offsetof(StatusMsg, dwProtocol) == 144);
static_assert(offsetof(StatusMsg, pbAtr) == 148);
static_assert(offsetof(StatusMsg, cbAtrLen) == 184);
static_assert(offsetof(StatusMsg, rv) == 188);

// GetAttribMsg and SetAttribMsg share this layout.
struct AttribMsg {
  uint32_t hContext;
  uint32_t hCard;
  uint32_t dwAttrId;
  uint8_t pbAttr[kPcscdAttrBytes];
  uint32_t cbAttrLen;
  uint32_t rv;
};
using GetAttribMsg = AttribMsg;
using SetAttribMsg = AttribMsg;
static_assert(sizeof(AttribMsg) == 284);
static_assert(offsetof(AttribMsg, dwAttrId) == 8);
static_assert(offsetof(AttribMsg, pbAttr) == 12);
static_assert(offsetof(AttribMsg, cbAttrLen) == 276);
static_assert(offsetof(AttribMsg, rv) == 280);

struct PcscdReaderState {
  char szReader[kPcscdReaderNameBytes];
  uint32_t dwCurrentState;
  uint32_t dwEventState;
  uint32_t cbAtr;
  uint8_t rgbAtr[kPcscdAtrBytes];
};
static_assert(sizeof(PcscdReaderState) == 176);
static_assert(offsetof(PcscdReaderState, dwCurrentState) == 128);
static_assert(offsetof(PcscdReaderState, dwEventState) == 132);
static_assert(offsetof(PcscdReaderState, cbAtr) == 136);
static_assert(offsetof(PcscdReaderState, rgbAtr) == 140);

struct GetStatusChangeMsg {
  uint32_t hContext;
  uint32_t dwTimeOut;
  uint32_t cReaders;
  PcscdReaderState rgReaderStates[kPcscdMaxReaderStates];
  uint32_t rv;
};
static_assert(sizeof(GetStatusChangeMsg) == 11280);
static_assert(offsetof(GetStatusChangeMsg, dwTimeOut) == 4);
static_assert(offsetof(GetStatusChangeMsg, cReaders) == 8);
static_assert(offsetof(GetStatusChangeMsg, rgReaderStates) == 12);
static_assert(offsetof(GetStatusChangeMsg, rv) == 11276);

// A daemon message kept until its completion arrives: one malloc block of
// sizeof(PcscdMsgEntry) + the record bytes the message carried
// (ScRedirQrn_KeptBytes), released with free(). The header and the record
// follow each other, so header..kept bytes is the start of the reply; the
// rest of the command's full record is zero and is written from
// ScRedirQrn_Zeros() rather than kept, so a 5-byte Transmit does not hold
// a 64 KiB block while it waits for the client.
struct PcscdMsgEntry {
  uint32_t ioControlCode;
  uint32_t flags;  // kPcscdMsgResent once the request went out a second time
  PcscdMessageHeader header;
};
static_assert(sizeof(PcscdMsgEntry) == 20);
static_assert(offsetof(PcscdMsgEntry, header) == 8);
inline constexpr uint32_t kPcscdMsgResent = 1;

inline uint8_t* PcscdMsgEntry_Body(PcscdMsgEntry* entry) {
  return reinterpret_cast<uint8_t*>(entry) + sizeof(PcscdMsgEntry);
}

// Per-command entry point: the header as read, and `body`, a block of the
// command's full record size (recordBytes) whose first bodyLength bytes were
// received (header->size for TRANSMIT/CONTROL, the fixed size otherwise) and
// whose remaining bytes are zero. The block is the link thread's and is
// reused for the next message; whatever must outlive the call is copied.
// Called on the daemon link thread; it logs its own failures and never
// answers the daemon itself.
using PcscdEntryPoint = void (*)(const PcscdMessageHeader* header, const void* body,
                                 uint32_t bodyLength);

struct PcscdCommand {
  uint32_t command;
  const char* name;        // "PCSCD_TRANSMIT"
  uint32_t bodyBytes;      // bytes to read after the header; 0: read header->size
  uint32_t recordBytes;    // the full record size, the size of the kept copy
  uint32_t replyLength;    // 12 + recordBytes
  uint32_t ioControlCode;  // the IOCTL the entry point redirects with
  PcscdEntryPoint entry;
  uint32_t rvOffset;  // where the record keeps rv
  // OutputBufferLength that holds the largest return the record's fields
  // can take, for the one resend after STATUS_BUFFER_TOO_SMALL; 0 when the
  // first request's room already holds it (a resend cannot help).
  uint32_t resendOutputLength;
};

// The table row for a command code, or null for a code we do not handle
// (0, 12, 14, 17 and everything above 18).
const PcscdCommand* ScRedirQrn_FindCommand(uint32_t command);
// The row whose IOCTL is ioControlCode, or null. Completions carry only the
// IOCTL we sent, so the reply side finds its record size this way.
const PcscdCommand* ScRedirQrn_FindCommandByIoctl(uint32_t ioControlCode);

// The record bytes a kept message holds: the whole record for the commands
// of a fixed size; for TRANSMIT/CONTROL the `size` bytes the daemon sent
// (never less than the fixed part, never more than the record). Every byte
// of the record past them is zero in the reply.
inline uint32_t ScRedirQrn_KeptBytes(const PcscdCommand& row, const PcscdMessageHeader& header) {
  if (row.bodyBytes != 0) return row.recordBytes;
  const uint32_t fixedPart = row.recordBytes - kPcscdBufferBytes;
  if (header.size < fixedPart) return fixedPart;
  return header.size < row.recordBytes ? header.size : row.recordBytes;
}

// A read-only run of at least kPcscdZerosBytes zero bytes: the tail of a
// reply past the kept bytes is written from here. Never written to.
inline constexpr uint32_t kPcscdZerosBytes = sizeof(PcscdMessageHeader) + sizeof(TransmitMsg);
static_assert(kPcscdZerosBytes >= sizeof(PcscdMessageHeader) + sizeof(ControlMsg));
const uint8_t* ScRedirQrn_Zeros();
