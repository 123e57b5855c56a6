// Building the encoded smart-card call for one daemon message, and the
// per-command entry points (see request_build.h for the contract).
//
// The daemon record is read field by field at its fixed offsets (memcpy, so
// a record that sits at any alignment is fine); the only variable-length
// part, the TRANSMIT/CONTROL data, is taken through a ByteReader bounded by
// the record. Limits are checked once, in ScRedirQrn_CheckPcscdRecord, before
// anything is allocated; the builders rely on them.
#include "scredir/request_build.h"

#include <glib.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include "lib/base/byte_reader.h"
#include "scredir/alloc_seam.h"
#include "scredir/answers.h"
#include "scredir/dump.h"
#include "scredir/engine.h"
#include "scredir/maps.h"
#include "scredir/names.h"
#include "scredir/qrn_log.h"
#include "scredir/rdpdr.h"
#include "scredir/rpc/ndr.h"
#include "scredir/rpc/records.h"

namespace {

// ---- Reading the daemon record -------------------------------------------

uint32_t LoadU32(const void* body, size_t offset) {
  uint32_t v;
  std::memcpy(&v, static_cast<const uint8_t*>(body) + offset, sizeof v);
  return v;
}
const uint8_t* BytesAt(const void* body, size_t offset) {
  return static_cast<const uint8_t*>(body) + offset;
}
#define FIELD(Record, field) LoadU32(body, offsetof(Record, field))

size_t SlotOffset(uint32_t i) {
  return offsetof(GetStatusChangeMsg, rgReaderStates) + size_t{i} * sizeof(PcscdReaderState);
}

// ---- Size limits ---------------------------------------------------------

bool HasNul(const uint8_t* name, size_t capacity) {
  return std::memchr(name, 0, capacity) != nullptr;
}

void Refuse(const PcscdCommand& row, const char* format, uint32_t a = 0, uint32_t b = 0) {
  gchar* what = g_strdup_printf(format, a, b);
  ScRedirQrn_Logf(kQrnLogError, kStatusInvalidParameter, "Refused %s: %s", row.name, what);
  g_free(what);
}

// TRANSMIT and CONTROL: the send length must lie inside both the bytes the
// daemon sent and the buffer field.
bool CheckSendLength(const PcscdCommand& row, uint32_t cbSendLength, uint32_t received,
                     uint32_t fixed) {
  uint32_t present = received - fixed;
  if (cbSendLength > present) {
    Refuse(row, "cbSendLength %u is beyond the %u data bytes received", cbSendLength, present);
    return false;
  }
  return true;
}

bool CheckReaderStates(const PcscdCommand& row, const void* body) {
  uint32_t cReaders = FIELD(GetStatusChangeMsg, cReaders);
  if (cReaders > kPcscdMaxReaderStates) {
    Refuse(row, "cReaders %u is above %u", cReaders, kPcscdMaxReaderStates);
    return false;
  }
  for (uint32_t i = 0; i < cReaders; ++i) {
    size_t slot = SlotOffset(i);
    if (!HasNul(BytesAt(body, slot + offsetof(PcscdReaderState, szReader)),
                kPcscdReaderNameBytes)) {
      Refuse(row, "rgReaderStates[%u].szReader has no NUL within its %u bytes", i,
             kPcscdReaderNameBytes);
      return false;
    }
    uint32_t cbAtr = LoadU32(body, slot + offsetof(PcscdReaderState, cbAtr));
    if (cbAtr > kPcscdAtrBytes) {
      Refuse(row, "rgReaderStates[%u].cbAtr is above %u", i, kPcscdAtrBytes);
      return false;
    }
  }
  return true;
}

bool CheckFields(const PcscdCommand& row, const void* body, uint32_t received) {
  switch (row.command) {
    case PCSCD_CONNECT:
      if (HasNul(BytesAt(body, offsetof(ConnectMsg, szReader)), kPcscdReaderNameBytes)) return true;
      Refuse(row, "szReader has no NUL within its %u bytes", kPcscdReaderNameBytes);
      return false;
    case PCSCD_GET_STATUS_CHANGE:
      return CheckReaderStates(row, body);
    case PCSCD_TRANSMIT:
      return CheckSendLength(row, FIELD(TransmitMsg, cbSendLength), received, kTransmitFixedBytes);
    case PCSCD_CONTROL:
      return CheckSendLength(row, FIELD(ControlMsg, cbSendLength), received, kControlFixedBytes);
    case PCSCD_SET_ATTRIB:
      if (FIELD(SetAttribMsg, cbAttrLen) <= kPcscdAttrBytes) return true;
      Refuse(row, "cbAttrLen %u is above %u", FIELD(SetAttribMsg, cbAttrLen), kPcscdAttrBytes);
      return false;
    default:
      return true;
  }
}

uint32_t FixedPart(uint32_t command) {
  if (command == PCSCD_TRANSMIT) return kTransmitFixedBytes;
  if (command == PCSCD_CONTROL) return kControlFixedBytes;
  return 0;
}

// ---- Buffers made for one call record ------------------------------------

struct GFreeDeleter {
  void operator()(void* p) const { g_free(p); }
};
using GBlock = std::unique_ptr<uint8_t, GFreeDeleter>;

// Owns every block made for one call record until the record is encoded.
class CallBuffers {
 public:
  uint8_t* Keep(void* block) {
    blocks_.emplace_back(static_cast<uint8_t*>(block));
    return blocks_.back().get();
  }
  uint16_t* KeepW(void* block) { return reinterpret_cast<uint16_t*>(Keep(block)); }

 private:
  std::vector<GBlock> blocks_;
};

// Whether a context or handle buffer that yields nothing (its current
// length is 0) fails the request.
enum class Tested { kNo, kYes };

bool BuildContext(uint32_t hContext, Tested tested, REDIR_SCARDCONTEXT& out, CallBuffers& keep) {
  ScRedirMapBytes bytes = ScRedirQrn_CopyContextBytes(hContext);
  out = REDIR_SCARDCONTEXT{bytes.length, keep.Keep(bytes.bytes)};
  if (!bytes.bytes && tested == Tested::kYes) {
    ScRedirQrn_Log(kQrnLogError, kStatusNoMemory, "Not enough memory");
    return false;
  }
  if (!bytes.found) ScRedirQrn_Logf(kQrnLogError, 0, "Failed to lookup context %x", hContext);
  return true;
}

bool BuildHandle(uint32_t hContext, uint32_t hCard, Tested tested, REDIR_SCARDHANDLE& out,
                 CallBuffers& keep) {
  if (!BuildContext(hContext, tested, out.Context, keep)) return false;
  ScRedirMapBytes bytes = ScRedirQrn_CopyHandleBytes(hCard);
  out.cbHandle = bytes.length;
  out.pbHandle = keep.Keep(bytes.bytes);
  if (!bytes.bytes && tested == Tested::kYes) {
    ScRedirQrn_Log(kQrnLogError, kStatusNoMemory, "Not enough memory");
    return false;
  }
  if (!bytes.found) ScRedirQrn_Logf(kQrnLogError, 0, "Failed to lookup handle %x", hCard);
  return true;
}

// An 8-bit daemon name as UTF-16 in a zero-filled 128-unit buffer; bytes are
// sign-extended, so ASCII comes out unchanged. At most 127 units are copied,
// so the zero tail always terminates the string.
uint16_t* WidenName(const uint8_t* name, CallBuffers& keep) {
  auto* wide = static_cast<uint16_t*>(g_malloc0(kPcscdReaderNameBytes * sizeof(uint16_t)));
  keep.Keep(wide);
  for (uint32_t i = 0; i + 1 < kPcscdReaderNameBytes && name[i] != 0; ++i)
    wide[i] = static_cast<uint16_t>(static_cast<int16_t>(static_cast<int8_t>(name[i])));
  return wide;
}

// The group every reader belongs to, as a UTF-16LE multi-string.
constexpr char kAllReaders[] = "SCard$AllReaders";
constexpr uint32_t kAllReadersBytes = (sizeof(kAllReaders) + 1) * 2;  // + closing NUL
static_assert(kAllReadersBytes == 36);

// ---- Per-IOCTL builders ----------------------------------------------------
//
// Each fills its call record from the daemon record, traces it and encodes it
// through the handle; it returns 0, or 0xC0000017 when a buffer could not be
// made. The codec reports its own outcome in the status word.

struct BuildArgs {
  const void* body;
  ScRedirRpc_Handle* handle;
  CallBuffers& keep;
};

template <typename Call>
void EncodeTraced(ScRedirRpc_Handle* handle, Call& call, void (*dump)(const Call&),
                  void (*encode)(ScRedirRpc_Handle*, Call*)) {
  if (ScRedirQrn_DebugOn()) dump(call);
  encode(handle, &call);
}

uint32_t BuildEstablishContext(BuildArgs a) {
  const void* body = a.body;
  EstablishContext_Call call{FIELD(EstablishContextMsg, dwScope)};
  EncodeTraced(a.handle, call, ScRedirQrn_DumpEstablishContext_Call, EstablishContext_Call_Encode);
  return kStatusSuccess;
}

// RELEASECONTEXT and CANCEL; both go out even with an empty context.
uint32_t BuildContextCall(BuildArgs a) {
  const void* body = a.body;
  Context_Call call{};
  BuildContext(FIELD(ContextMsg, hContext), Tested::kNo, call.Context, a.keep);
  EncodeTraced(a.handle, call, ScRedirQrn_DumpContext_Call, Context_Call_Encode);
  return kStatusSuccess;
}

uint32_t BuildListReaders(BuildArgs a) {
  const void* body = a.body;
  ListReaders_Call call{};
  if (!BuildContext(FIELD(ListReadersMsg, hContext), Tested::kYes, call.Context, a.keep))
    return kStatusNoMemory;
  // The daemon's group list is a pointer into its client's memory, never
  // the text itself, so every listing asks for all readers.
  uint8_t* groups = a.keep.Keep(g_malloc0(kAllReadersBytes));
  for (size_t i = 0; i + 1 < sizeof(kAllReaders); ++i) groups[2 * i] = kAllReaders[i];
  call.cBytes = kAllReadersBytes;
  call.mszGroups = groups;
  call.fmszReadersIsNULL = 0;
  call.cchReaders = FIELD(ListReadersMsg, cchReaders);
  EncodeTraced(a.handle, call, ScRedirQrn_DumpListReaders_Call, ListReaders_Call_Encode);
  return kStatusSuccess;
}

uint32_t BuildConnect(BuildArgs a) {
  const void* body = a.body;
  ConnectW_Call call{};
  call.szReader = WidenName(BytesAt(body, offsetof(ConnectMsg, szReader)), a.keep);
  if (!BuildContext(FIELD(ConnectMsg, hContext), Tested::kYes, call.Common.Context, a.keep))
    return kStatusNoMemory;
  call.Common.dwShareMode = FIELD(ConnectMsg, dwShareMode);
  call.Common.dwPreferredProtocols = FIELD(ConnectMsg, dwPreferredProtocols);
  EncodeTraced(a.handle, call, ScRedirQrn_DumpConnectW_Call, ConnectW_Call_Encode);
  return kStatusSuccess;
}

uint32_t BuildReconnect(BuildArgs a) {
  const void* body = a.body;
  Reconnect_Call call{};
  if (!BuildHandle(FIELD(ReconnectMsg, hContext), FIELD(ReconnectMsg, hCard), Tested::kYes,
                   call.hCard, a.keep))
    return kStatusNoMemory;
  call.dwShareMode = FIELD(ReconnectMsg, dwShareMode);
  call.dwPreferredProtocols = FIELD(ReconnectMsg, dwPreferredProtocols);
  call.dwInitialization = FIELD(ReconnectMsg, dwInitialization);
  EncodeTraced(a.handle, call, ScRedirQrn_DumpReconnect_Call, Reconnect_Call_Encode);
  return kStatusSuccess;
}

// DISCONNECT and ENDTRANSACTION carry a disposition; BEGINTRANSACTION has
// none in its record and sends 0.
uint32_t BuildDisposition(BuildArgs a, uint32_t dwDisposition) {
  const void* body = a.body;
  HCardAndDisposition_Call call{};
  if (!BuildHandle(FIELD(DispositionMsg, hContext), FIELD(DispositionMsg, hCard), Tested::kYes,
                   call.hCard, a.keep))
    return kStatusNoMemory;
  call.dwDisposition = dwDisposition;
  EncodeTraced(a.handle, call, ScRedirQrn_DumpHCardAndDisposition_Call,
               HCardAndDisposition_Call_Encode);
  return kStatusSuccess;
}
uint32_t BuildWithDisposition(BuildArgs a) {
  const void* body = a.body;
  return BuildDisposition(a, FIELD(DispositionMsg, dwDisposition));
}
uint32_t BuildBeginTransaction(BuildArgs a) {
  static_assert(offsetof(BeginTransactionMsg, hCard) == offsetof(DispositionMsg, hCard));
  return BuildDisposition(a, 0);
}

uint32_t BuildStatus(BuildArgs a) {
  const void* body = a.body;
  Status_Call call{};
  if (!BuildHandle(FIELD(StatusMsg, hContext), FIELD(StatusMsg, hCard), Tested::kYes, call.hCard,
                   a.keep))
    return kStatusNoMemory;
  call.fmszReaderNamesIsNULL = 0;
  call.cchReaderLen = FIELD(StatusMsg, cchReaderLen);
  call.cbAtrLen = FIELD(StatusMsg, cbAtrLen);
  EncodeTraced(a.handle, call, ScRedirQrn_DumpStatus_Call, Status_Call_Encode);
  return kStatusSuccess;
}

// The first `length` data bytes after the fixed part; the length was held
// against the bytes received before we got here. Null for 0.
uint8_t* DataBytes(const void* body, uint32_t recordBytes, uint32_t fixed, uint32_t length) {
  base::ByteReader reader(body, recordBytes);
  if (length == 0 || !reader.Skip(fixed)) return nullptr;
  auto data = reader.ReadSpan(length);
  // The codec only reads a call's buffers while encoding.
  return data ? const_cast<uint8_t*>(data->data()) : nullptr;
}

uint32_t BuildTransmit(BuildArgs a) {
  const void* body = a.body;
  Transmit_Call call{};
  BuildHandle(FIELD(TransmitMsg, hContext), FIELD(TransmitMsg, hCard), Tested::kNo, call.hCard,
              a.keep);
  call.ioSendPci = SCardIO_Request{FIELD(TransmitMsg, ioSendPciProtocol), 0, nullptr};
  call.cbSendLength = FIELD(TransmitMsg, cbSendLength);
  call.pbSendBuffer = DataBytes(body, sizeof(TransmitMsg), kTransmitFixedBytes, call.cbSendLength);
  call.pioRecvPci = nullptr;
  call.fpbRecvBufferIsNULL = 0;
  call.cbRecvLength = FIELD(TransmitMsg, cbRecvLength);
  EncodeTraced(a.handle, call, ScRedirQrn_DumpTransmit_Call, Transmit_Call_Encode);
  return kStatusSuccess;
}

uint32_t BuildControl(BuildArgs a) {
  const void* body = a.body;
  Control_Call call{};
  if (!BuildHandle(FIELD(ControlMsg, hContext), FIELD(ControlMsg, hCard), Tested::kYes, call.hCard,
                   a.keep))
    return kStatusNoMemory;
  call.dwControlCode = FIELD(ControlMsg, dwControlCode);
  call.cbInBufferSize = FIELD(ControlMsg, cbSendLength);
  call.pvInBuffer = DataBytes(body, sizeof(ControlMsg), kControlFixedBytes, call.cbInBufferSize);
  call.fpvOutBufferIsNULL = 0;
  call.cbOutBufferSize = FIELD(ControlMsg, cbRecvLength);
  EncodeTraced(a.handle, call, ScRedirQrn_DumpControl_Call, Control_Call_Encode);
  return kStatusSuccess;
}

uint32_t BuildGetAttrib(BuildArgs a) {
  const void* body = a.body;
  GetAttrib_Call call{};
  if (!BuildHandle(FIELD(AttribMsg, hContext), FIELD(AttribMsg, hCard), Tested::kYes, call.hCard,
                   a.keep))
    return kStatusNoMemory;
  call.dwAttrId = FIELD(AttribMsg, dwAttrId);
  call.fpbAttrIsNULL = 0;
  call.cbAttrLen = FIELD(AttribMsg, cbAttrLen);
  EncodeTraced(a.handle, call, ScRedirQrn_DumpGetAttrib_Call, GetAttrib_Call_Encode);
  return kStatusSuccess;
}

uint32_t BuildSetAttrib(BuildArgs a) {
  const void* body = a.body;
  SetAttrib_Call call{};
  if (!BuildHandle(FIELD(AttribMsg, hContext), FIELD(AttribMsg, hCard), Tested::kYes, call.hCard,
                   a.keep))
    return kStatusNoMemory;
  call.dwAttrId = FIELD(AttribMsg, dwAttrId);
  call.cbAttrLen = FIELD(AttribMsg, cbAttrLen);  // at most kPcscdAttrBytes, checked
  // A value of length 0 yields no block, and a SetAttrib without a value
  // cannot be sent.
  call.pbAttr = a.keep.Keep(g_malloc0(call.cbAttrLen));
  if (!call.pbAttr) {
    ScRedirQrn_Log(kQrnLogError, kStatusNoMemory, "Not enough memory");
    return kStatusNoMemory;
  }
  std::memcpy(call.pbAttr, BytesAt(body, offsetof(AttribMsg, pbAttr)), call.cbAttrLen);
  EncodeTraced(a.handle, call, ScRedirQrn_DumpSetAttrib_Call, SetAttrib_Call_Encode);
  return kStatusSuccess;
}

uint32_t BuildGetStatusChange(BuildArgs a) {
  const void* body = a.body;
  GetStatusChangeW_Call call{};
  if (!BuildContext(FIELD(GetStatusChangeMsg, hContext), Tested::kYes, call.Context, a.keep))
    return kStatusNoMemory;
  call.dwTimeOut = FIELD(GetStatusChangeMsg, dwTimeOut);
  call.cReaders = FIELD(GetStatusChangeMsg, cReaders);  // at most 64, checked
  if (call.cReaders != 0) {
    auto* states = static_cast<ReaderStateW*>(g_malloc0_n(call.cReaders, sizeof(ReaderStateW)));
    a.keep.Keep(states);
    for (uint32_t i = 0; i < call.cReaders; ++i) {
      size_t slot = SlotOffset(i);
      ReaderState_Common_Call& common = states[i].Common;
      states[i].szReader = WidenName(BytesAt(body, slot), a.keep);
      common.dwCurrentState = LoadU32(body, slot + offsetof(PcscdReaderState, dwCurrentState));
      common.dwEventState = LoadU32(body, slot + offsetof(PcscdReaderState, dwEventState));
      common.cbAtr = LoadU32(body, slot + offsetof(PcscdReaderState, cbAtr));  // <= 36, checked
      std::memcpy(common.rgbAtr, BytesAt(body, slot + offsetof(PcscdReaderState, rgbAtr)),
                  common.cbAtr);
    }
    call.rgReaderStates = states;
  }
  EncodeTraced(a.handle, call, ScRedirQrn_DumpGetStatusChangeW_Call, GetStatusChangeW_Call_Encode);
  return kStatusSuccess;
}

struct Builder {
  uint32_t ioControlCode;
  const char* callName;
  uint32_t (*build)(BuildArgs);
};

constexpr Builder kBuilders[] = {
    {SCARD_IOCTL_ESTABLISHCONTEXT, "EstablishContext_Call", BuildEstablishContext},
    {SCARD_IOCTL_RELEASECONTEXT, "Context_Call", BuildContextCall},
    {SCARD_IOCTL_CANCEL, "Context_Call", BuildContextCall},
    {SCARD_IOCTL_LISTREADERSW, "ListReaders_Call", BuildListReaders},
    {SCARD_IOCTL_CONNECTW, "ConnectW_Call", BuildConnect},
    {SCARD_IOCTL_RECONNECT, "Reconnect_Call", BuildReconnect},
    {SCARD_IOCTL_DISCONNECT, "HCardAndDisposition_Call", BuildWithDisposition},
    {SCARD_IOCTL_BEGINTRANSACTION, "HCardAndDisposition_Call", BuildBeginTransaction},
    {SCARD_IOCTL_ENDTRANSACTION, "HCardAndDisposition_Call", BuildWithDisposition},
    {SCARD_IOCTL_STATUSW, "Status_Call", BuildStatus},
    {SCARD_IOCTL_TRANSMIT, "Transmit_Call", BuildTransmit},
    {SCARD_IOCTL_CONTROL, "Control_Call", BuildControl},
    {SCARD_IOCTL_GETATTRIB, "GetAttrib_Call", BuildGetAttrib},
    {SCARD_IOCTL_SETATTRIB, "SetAttrib_Call", BuildSetAttrib},
    {SCARD_IOCTL_GETSTATUSCHANGEW, "GetStatusChangeW_Call", BuildGetStatusChange},
};

const Builder* FindBuilder(uint32_t ioControlCode) {
  for (const Builder& b : kBuilders)
    if (b.ioControlCode == ioControlCode) return &b;
  return nullptr;
}

// The handle entry goes as soon as the Disconnect is on its way: the daemon
// never uses a handle again after disconnecting it.
void DropDisconnectedHandle(const void* body) {
  uint32_t hCard = FIELD(DisconnectMsg, hCard);
  if (!ScRedirQrn_DeleteHandle(hCard)) {
    ScRedirQrn_Logf(kQrnLogError, 0, "Failed to delete handle %d from hash map",
                    static_cast<int>(hCard));
  } else if (ScRedirQrn_DebugOn()) {
    ScRedirQrn_Logf(kQrnLogDebug, 0, "Delete handle %d from hash map", static_cast<int>(hCard));
  }
}

// Encodes the call for `builder` and hands the bytes to `request`.
uint32_t EncodeInto(const Builder& builder, const void* body, ScRedirIoRequest* request) {
  uint8_t* encoded = nullptr;
  uint32_t encodedLength = 0;
  ScRedirRpc_Handle* handle = nullptr;
  // Room for the device-control header in front: the block becomes the packet.
  if (ScRedirRpc_EncodeHandleCreateWithHeadroom(&encoded, &encodedLength, kIoRequestFixedBytes,
                                                &handle) != 0 ||
      !handle) {
    if (handle) MesHandleFree(handle);
    return kStatusUnsuccessful;
  }
  uint32_t status;
  {
    CallBuffers keep;
    status = builder.build(BuildArgs{body, handle, keep});
  }
  if (status == kStatusSuccess && ScRedirRpc_ErrorCode() != RPC_S_OK) {
    ScRedirQrn_Logf(kQrnLogError, 0, "Could not encode buffer from %s: %s", builder.callName,
                    ScRedirRpc_StatusName(ScRedirRpc_ErrorCode()));
    status = kStatusUnsuccessful;
  }
  MesHandleFree(handle);
  GBlock codecBytes(encoded);
  if (status != kStatusSuccess) return status;
  if (request->ioControlCode == SCARD_IOCTL_DISCONNECT) DropDisconnectedHandle(body);
  if (encoded == nullptr || ScRedir_AllocFails(ScRedirAllocSite::kEncodedCall)) {
    ScRedirQrn_Log(kQrnLogError, kStatusNoMemory, "Not enough memory");
    return kStatusNoMemory;
  }
  request->input = codecBytes.release() + kIoRequestFixedBytes;
  request->inputLength = encodedLength;
  return kStatusSuccess;
}

// The table row of the command an IOCTL belongs to.
const PcscdCommand* RowForIoctl(uint32_t ioControlCode) {
  return ScRedirQrn_FindCommandByIoctl(ioControlCode);
}

// Shared body of the entry points.
void RedirectCommand(uint32_t command, const char* failure, const PcscdMessageHeader* header,
                     const void* body, uint32_t bodyLength) {
  const PcscdCommand* row = ScRedirQrn_FindCommand(command);
  if (!row || !header || !body) return;
  if (!ScRedirQrn_CheckPcscdRecord(command, body, bodyLength)) {
    ScRedirQrn_AnswerDaemon(header, body, kScardEInvalidParameter);
    return;
  }
  // `body` spans the whole record (zeros past what was received), so it is
  // kept as it is.
  uint32_t status =
      ScRedirQrn_RedirectScRequest(row->ioControlCode, header, body, row->recordBytes);
  if (status != kStatusSuccess) ScRedirQrn_Log(kQrnLogError, status, failure);
}

}  // namespace

bool ScRedirQrn_CheckPcscdRecord(uint32_t command, const void* body, uint32_t bodyLength) {
  const PcscdCommand* row = ScRedirQrn_FindCommand(command);
  if (!row || !body) return false;
  uint32_t fixed = FixedPart(command);
  if (bodyLength > row->recordBytes) {
    Refuse(*row, "size %u is above the full record size %u", bodyLength, row->recordBytes);
    return false;
  }
  if (fixed != 0 && bodyLength < fixed) {
    Refuse(*row, "size %u is below the %u-byte fixed part", bodyLength, fixed);
    return false;
  }
  if (fixed == 0 && bodyLength != row->recordBytes) {
    Refuse(*row, "record of %u bytes is not the %u-byte record", bodyLength, row->recordBytes);
    return false;
  }
  return CheckFields(*row, body, bodyLength);
}

uint32_t ScRedirQrn_GetIORequest(uint32_t ioControlCode, uint32_t id, const void* body,
                                 ScRedirIoRequest** out) {
  *out = nullptr;
  const Builder* builder = FindBuilder(ioControlCode);
  const PcscdCommand* row = RowForIoctl(ioControlCode);
  if (!builder || !row || !body) return kStatusInvalidParameter;
  // Whole records only here; the field limits still hold.
  if (!CheckFields(*row, body, row->recordBytes)) return kStatusInvalidParameter;

  auto* request = static_cast<ScRedirIoRequest*>(
      ScRedir_TryMalloc0(ScRedirAllocSite::kIoRequest, sizeof(ScRedirIoRequest)));
  if (!request) {
    ScRedirQrn_Log(kQrnLogError, kStatusNoMemory, "Not enough memory");
    return kStatusNoMemory;
  }
  *out = request;
  request->completionId = id;
  request->ioControlCode = ioControlCode;
  request->outputLength = kIoRequestOutputLength;
  if (ScRedirQrn_DebugOn())
    ScRedirQrn_Logf(kQrnLogDebug, 0, "Build IO request for %s command, completionId=%08x",
                    ScRedirQrn_IoctlName(ioControlCode), id);
  return EncodeInto(*builder, body, request);
}

void ScRedirQrn_FreeIORequest(ScRedirIoRequest* request) {
  if (!request) return;
  if (request->input) g_free(request->input - kIoRequestFixedBytes);
  g_free(request);
}

#define SCREDIR_ENTRY_POINT(Function, command, failure)                                    \
  void Function(const PcscdMessageHeader* header, const void* body, uint32_t bodyLength) { \
    RedirectCommand(command, failure, header, body, bodyLength);                           \
  }

SCREDIR_ENTRY_POINT(ScRedirQrn_EstablishContext, PCSCD_ESTABLISH_CONTEXT,
                    "Failed to redirect SCARD_IOCTL_ESTABLISHCONTEXT")
SCREDIR_ENTRY_POINT(ScRedirQrn_ReleaseContext, PCSCD_RELEASE_CONTEXT,
                    "Failed to redirect SCARD_IOCTL_RELEASECONTEXT")
SCREDIR_ENTRY_POINT(ScRedirQrn_ListReaders, PCSCD_LIST_READERS,
                    "Failed to redirect SCARD_IOCTL_LISTREADERSW")
SCREDIR_ENTRY_POINT(ScRedirQrn_Connect, PCSCD_CONNECT, "Failed to redirect SCARD_IOCTL_CONNECTW")
SCREDIR_ENTRY_POINT(ScRedirQrn_Reconnect, PCSCD_RECONNECT,
                    "Failed to redirect SCARD_IOCTL_RECONNECT")
SCREDIR_ENTRY_POINT(ScRedirQrn_Disconnect, PCSCD_DISCONNECT,
                    "Failed to redirect SCARD_IOCTL_DISCONNECT")
SCREDIR_ENTRY_POINT(ScRedirQrn_BeginTransaction, PCSCD_BEGIN_TRANSACTION,
                    "Failed to redirect SCARD_IOCTL_BEGINTRANSACTION")
SCREDIR_ENTRY_POINT(ScRedirQrn_EndTransaction, PCSCD_END_TRANSACTION,
                    "Failed to redirect SCARD_IOCTL_ENDTRANSACTION")
SCREDIR_ENTRY_POINT(ScRedirQrn_Transmit, PCSCD_TRANSMIT, "Failed to redirect SCARD_IOCTL_TRANSMIT")
SCREDIR_ENTRY_POINT(ScRedirQrn_Control, PCSCD_CONTROL, "Failed to redirect SCARD_IOCTL_CONTROL")
// Named after the ANSI IOCTL although the wide one is sent.
SCREDIR_ENTRY_POINT(ScRedirQrn_Status, PCSCD_STATUS, "Failed to redirect SCARD_IOCTL_STATUS")
SCREDIR_ENTRY_POINT(ScRedirQrn_Cancel, PCSCD_CANCEL, "Failed to redirect SCARD_IOCTL_CANCEL")
SCREDIR_ENTRY_POINT(ScRedirQrn_GetAttrib, PCSCD_GET_ATTRIB,
                    "Failed to redirect SCARD_IOCTL_GETATTRIB")
SCREDIR_ENTRY_POINT(ScRedirQrn_SetAttrib, PCSCD_SET_ATTRIB,
                    "Failed to redirect SCARD_IOCTL_SETATTRIB")
SCREDIR_ENTRY_POINT(ScRedirQrn_GetStatusChange, PCSCD_GET_STATUS_CHANGE,
                    "Failed to redirect SCARD_IOCTL_GETSTATUSCHANGEW")
