// The PC/SC daemon's message formats and the command table.
//
// The daemon writes one message per PC/SC call: a 12-byte header, then the
// command's record. The same record travels back as the reply with the
// results filled in. Every integer is 32 bits in host byte order (both ends
// run on this machine); the sizes below are pinned by static_asserts so the
// records cannot drift from what the daemon writes.
//
// Every daemon command is described once, by its PcscdCommand entry
// (pcscd_msg.cc): the daemon link reads, checks and redirects with it, the
// request builder and the completion parser find their halves in it, and
// the log names come from it. All of this is constant data, shared by every
// thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "scredir/names.h"

struct PcscdMessageHeader {
  uint32_t id;       // chosen by the daemon; our CompletionId and list key
  uint32_t command;  // one of PcscdCommandCode
  uint32_t size;     // record bytes that follow; only TRANSMIT/CONTROL use it
};
static_assert(sizeof(PcscdMessageHeader) == 12);

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

// Each record's fields as "in" (what the call is built from) and "out" (what
// the return fills in); rv is always out.
struct EstablishContextMsg {
  uint32_t dwScope;       // in
  uint32_t hContext, rv;  // out: our fake id for the client's context
};
static_assert(sizeof(EstablishContextMsg) == 12);

// ReleaseContextMsg and CancelMsg share this layout.
struct ContextMsg {
  uint32_t hContext;  // in
  uint32_t rv;
};
using ReleaseContextMsg = ContextMsg;
using CancelMsg = ContextMsg;
static_assert(sizeof(ContextMsg) == 8);

struct ListReadersMsg {
  uint32_t hContext, cbGroups;          // in; cbGroups is never sent
  uint8_t mszGroups[8];                 // the daemon client's own pointer value; never followed
  uint32_t cchReaders;                  // in: the room asked for; out: the bytes written
  char mszReaders[kPcscdReadersBytes];  // out
  uint32_t rv;
};
static_assert(sizeof(ListReadersMsg) == 8216);

struct ConnectMsg {
  uint32_t hContext;                           // in
  char szReader[kPcscdReaderNameBytes];        // in, NUL-terminated
  uint32_t dwShareMode, dwPreferredProtocols;  // in
  uint32_t hCard, dwActiveProtocol, rv;        // out: hCard is our fake id
};
static_assert(sizeof(ConnectMsg) == 152);

struct ReconnectMsg {
  uint32_t hContext, hCard, dwShareMode, dwPreferredProtocols, dwInitialization;  // in
  uint32_t dwActiveProtocol, rv;                                                  // out
};
static_assert(sizeof(ReconnectMsg) == 28);

// DisconnectMsg and EndTransactionMsg share this layout.
struct DispositionMsg {
  uint32_t hContext, hCard, dwDisposition;  // in
  uint32_t rv;
};
using DisconnectMsg = DispositionMsg;
using EndTransactionMsg = DispositionMsg;
static_assert(sizeof(DispositionMsg) == 16);

struct BeginTransactionMsg {
  uint32_t hContext, hCard;  // in
  uint32_t rv;
};
static_assert(sizeof(BeginTransactionMsg) == 12);

// TRANSMIT and CONTROL end in the same buffer: the data sent (the first
// cbSendLength bytes after the fixed part), then the data returned.
struct TransmitMsg {
  uint32_t hContext, hCard, cbSendLength;       // in
  uint32_t cbRecvLength;                        // in: the room asked for; out: the bytes returned
  uint32_t ioSendPciProtocol, ioSendPciLength;  // in; the length is never sent
  uint32_t ioRecvPciProtocol, ioRecvPciLength;  // out
  uint32_t rv;
  uint8_t pbBuffer[kPcscdBufferBytes];  // in: the APDU; out: the card's answer
};
inline constexpr uint32_t kTransmitFixedBytes = 36;
static_assert(sizeof(TransmitMsg) == 65584 && offsetof(TransmitMsg, rv) == 32);
static_assert(offsetof(TransmitMsg, pbBuffer) == kTransmitFixedBytes);

struct ControlMsg {
  uint32_t hContext, hCard, dwControlCode, cbSendLength, cbRecvLength;  // in
  uint32_t dwBytesReturned, rv;                                         // out
  uint8_t pbBuffer[kPcscdBufferBytes];  // in: the input; out: the reader's output
};
inline constexpr uint32_t kControlFixedBytes = 28;
static_assert(sizeof(ControlMsg) == 65576 && offsetof(ControlMsg, rv) == 24);
static_assert(offsetof(ControlMsg, pbBuffer) == kControlFixedBytes);

struct StatusMsg {
  uint32_t hContext, hCard;                   // in
  char mszReaderName[kPcscdStatusNameBytes];  // out
  uint32_t cchReaderLen;                      // in: the room asked for; out: the bytes written
  uint32_t dwState, dwProtocol;               // out
  uint8_t pbAtr[kPcscdAtrBytes];              // out
  uint32_t cbAtrLen;                          // in: the room asked for; out: the ATR's length
  uint32_t rv;
};
static_assert(sizeof(StatusMsg) == 192);

// GetAttribMsg and SetAttribMsg share this layout: SET sends the value,
// GET receives it.
struct AttribMsg {
  uint32_t hContext, hCard, dwAttrId;  // in
  uint8_t pbAttr[kPcscdAttrBytes];     // SET: in; GET: out
  uint32_t cbAttrLen;                  // SET: in; GET: the room asked for, then out
  uint32_t rv;
};
using GetAttribMsg = AttribMsg;
using SetAttribMsg = AttribMsg;
static_assert(sizeof(AttribMsg) == 284);

struct PcscdReaderState {
  char szReader[kPcscdReaderNameBytes];  // in, NUL-terminated
  uint32_t dwCurrentState;               // in
  uint32_t dwEventState, cbAtr;          // in and out
  uint8_t rgbAtr[kPcscdAtrBytes];        // in and out
};
static_assert(sizeof(PcscdReaderState) == 176);

struct GetStatusChangeMsg {
  uint32_t hContext, dwTimeOut;  // in
  uint32_t cReaders;             // in and out
  PcscdReaderState rgReaderStates[kPcscdMaxReaderStates];
  uint32_t rv;
};
static_assert(sizeof(GetStatusChangeMsg) == 11280);

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

// ---- One entry per daemon command ------------------------------------------

struct PcscdCommand;
struct ScRedirCallBuild;
struct ScRedirRpc_Handle;

// How many record bytes follow the header.
enum class PcscdBody : uint8_t {
  kFixed,          // always the whole record; the header's `size` is not looked at
  kSizedByHeader,  // `size` bytes: the fixed part, then only the data bytes sent
};

// The daemon record: its size, how its body is sized, where rv sits.
struct PcscdRecordShape {
  uint32_t recordBytes;
  PcscdBody body;
  uint32_t fixedBytes;  // what every message carries; the whole record when kFixed
  uint32_t rvOffset;
};
template <typename Record>
constexpr PcscdRecordShape Fixed() {
  return {sizeof(Record), PcscdBody::kFixed, sizeof(Record), offsetof(Record, rv)};
}
template <typename Record>
constexpr PcscdRecordShape SizedByHeader(uint32_t fixedBytes) {
  return {sizeof(Record), PcscdBody::kSizedByHeader, fixedBytes, offsetof(Record, rv)};
}

// The "in" side: the limits a received record must keep (null: none; logs
// its own refusal), the call record built from its fields, and what follows
// once the call is encoded (null: nothing).
struct PcscdCall {
  bool (*check)(const PcscdCommand& row, const void* body, uint32_t received);
  uint32_t (*build)(const ScRedirCallBuild& in);
  const char* name;  // the call record, as "Could not encode buffer from %s" names it
  void (*encoded)(const void* body) = nullptr;
};
// The "out" side: decodes the return record and writes its results into
// the kept daemon record (`held` of its bytes are there).
using PcscdApply = uint32_t (*)(ScRedirRpc_Handle* handle, const PcscdCommand& row, uint8_t* body,
                                uint32_t held);

// The whole description of one daemon command; pcscd_msg.cc holds one per
// command.
struct PcscdCommand : PcscdRecordShape {
  uint32_t command;        // PCSCD_TRANSMIT
  const char* name;        // "PCSCD_TRANSMIT"
  uint32_t ioControlCode;  // the IOCTL the command is redirected with
  PcscdCall call;
  PcscdApply apply;
  // OutputBufferLength that holds the largest return the record's fields
  // can take, for the one resend after STATUS_BUFFER_TOO_SMALL; 0 when the
  // first request's room already holds it (a resend cannot help).
  uint32_t resendOutputLength = 0;
  // The IOCTL "Failed to redirect %s" names, when not ioctlName (Status
  // names the ANSI one).
  const char* failureName = nullptr;

  // The IOCTL's name in every log line, from the catalogue in names.cc.
  const char* ioctlName() const { return ScRedirQrn_IoctlName(ioControlCode); }
  constexpr uint32_t replyLength() const {
    return static_cast<uint32_t>(sizeof(PcscdMessageHeader)) + recordBytes;
  }
};

// The entry for a command code, or null for a code we do not handle (0, 12,
// 14, 17 and everything above 18).
const PcscdCommand* ScRedirQrn_FindCommand(uint32_t command);
// The entry whose IOCTL is ioControlCode, or null. Completions carry only
// the IOCTL we sent, so the reply side finds its record this way.
const PcscdCommand* ScRedirQrn_FindCommandByIoctl(uint32_t ioControlCode);

// The record bytes a kept message holds: the whole record for the commands
// of a fixed size; for TRANSMIT/CONTROL the `size` bytes the daemon sent
// (never less than the fixed part, never more than the record). Every byte
// of the record past them is zero in the reply.
inline uint32_t ScRedirQrn_KeptBytes(const PcscdCommand& row, const PcscdMessageHeader& header) {
  if (row.body == PcscdBody::kFixed) return row.recordBytes;
  if (header.size < row.fixedBytes) return row.fixedBytes;
  return header.size < row.recordBytes ? header.size : row.recordBytes;
}

// A read-only run of at least kPcscdZerosBytes zero bytes: the tail of a
// reply past the kept bytes is written from here. Never written to.
inline constexpr uint32_t kPcscdZerosBytes = sizeof(PcscdMessageHeader) + sizeof(TransmitMsg);
static_assert(kPcscdZerosBytes >= sizeof(PcscdMessageHeader) + sizeof(ControlMsg));
const uint8_t* ScRedirQrn_Zeros();
