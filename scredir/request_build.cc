// Building the encoded smart-card call for one daemon message, and the one
// dispatch of a received record (see request_build.h for the contract).
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
#include <initializer_list>
#include <vector>

#include "lib/base/byte_reader.h"
#include "scredir/alloc_seam.h"
#include "scredir/answers.h"
#include "scredir/dump.h"
#include "scredir/engine.h"
#include "scredir/maps.h"
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
#define IN_FIELD(Record, field) LoadU32(in.body, offsetof(Record, field))

size_t SlotOffset(uint32_t i) {
  return offsetof(GetStatusChangeMsg, rgReaderStates) + size_t{i} * sizeof(PcscdReaderState);
}

// ---- Size limits ---------------------------------------------------------

bool HasNul(const uint8_t* name, size_t capacity) {
  return std::memchr(name, 0, capacity) != nullptr;
}

void Refuse(const PcscdCommand& row, const char* format, uint32_t a = 0, uint32_t b = 0) {
  ScRedirQrn_LogRefusal(kStatusInvalidParameter, row.name, "", format, a, b);
}

// TRANSMIT and CONTROL: the send length must lie inside both the bytes the
// daemon sent and the buffer field.
bool CheckSendLength(const PcscdCommand& row, uint32_t cbSendLength, uint32_t received) {
  uint32_t present = received - row.fixedBytes;
  if (cbSendLength <= present) return true;
  Refuse(row, "cbSendLength %u is beyond the %u data bytes received", cbSendLength, present);
  return false;
}

// ---- Buffers made for one call record ------------------------------------

// Owns every block made for one call record until the record is encoded.
class CallBuffers {
 public:
  uint8_t* Keep(void* block) {
    blocks_.emplace_back(static_cast<uint8_t*>(block));
    return blocks_.back().get();
  }

 private:
  std::vector<ScRedirGBlock> blocks_;
};

}  // namespace

// What a builder reads from and writes into: the daemon record (at its full
// size), the encoding handle, and the blocks made for the call record.
struct ScRedirCallBuild {
  const void* body;
  ScRedirRpc_Handle* handle;
  CallBuffers& keep;
};

namespace {

// Whether a context or handle buffer that yields nothing (its current
// length is 0) fails the request.
enum class Tested { kNo, kYes };

// Keeps the client's bytes for a fake id; false when they were needed and
// could not be had. `what` names the map in the lookup failure.
bool KeepMapBytes(ScRedirMapBytes bytes, Tested tested, const char* what, uint32_t id,
                  CallBuffers& keep) {
  keep.Keep(bytes.bytes);
  if (!bytes.bytes && tested == Tested::kYes) {
    ScRedirQrn_Log(kQrnLogError, kStatusNoMemory, "Not enough memory");
    return false;
  }
  if (!bytes.found) ScRedirQrn_Logf(kQrnLogError, 0, "Failed to lookup %s %x", what, id);
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

// What the codec offers for each call record.
template <typename Call>
struct CallCodec;
#define SCREDIR_CALL_CODEC(Call)                         \
  template <>                                            \
  struct CallCodec<Call> {                               \
    static constexpr auto kDump = ScRedirQrn_Dump##Call; \
    static constexpr auto kEncode = Call##_Encode;       \
  }
SCREDIR_CALL_CODEC(EstablishContext_Call);
SCREDIR_CALL_CODEC(Context_Call);
SCREDIR_CALL_CODEC(ListReaders_Call);
SCREDIR_CALL_CODEC(ConnectW_Call);
SCREDIR_CALL_CODEC(Reconnect_Call);
SCREDIR_CALL_CODEC(HCardAndDisposition_Call);
SCREDIR_CALL_CODEC(Status_Call);
SCREDIR_CALL_CODEC(Transmit_Call);
SCREDIR_CALL_CODEC(Control_Call);
SCREDIR_CALL_CODEC(GetAttrib_Call);
SCREDIR_CALL_CODEC(SetAttrib_Call);
SCREDIR_CALL_CODEC(GetStatusChangeW_Call);

// One 32-bit "in" field: the call record's member takes the daemon record's
// field at `from`.
template <typename Call>
struct InField {
  uint32_t Call::*to;
  size_t from;
};
#define COPY(Call, Record, field) (InField<Call>{&Call::field, offsetof(Record, field)})

// The first `length` data bytes after the fixed part; the length was held
// against the bytes received before we got here. Null for 0.
uint8_t* DataBytes(const void* body, uint32_t recordBytes, uint32_t fixed, uint32_t length) {
  base::ByteReader reader(body, recordBytes);
  if (length == 0 || !reader.Skip(fixed)) return nullptr;
  auto data = reader.ReadSpan(length);
  // The codec only reads a call's buffers while encoding.
  return data ? const_cast<uint8_t*>(data->data()) : nullptr;
}

// Every record starts with hContext.
bool BuildContext(const ScRedirCallBuild& in, Tested tested, REDIR_SCARDCONTEXT& out) {
  const uint32_t hContext = IN_FIELD(ContextMsg, hContext);
  ScRedirMapBytes bytes = ScRedirQrn_CopyContextBytes(hContext);
  out = REDIR_SCARDCONTEXT{bytes.length, bytes.bytes};
  return KeepMapBytes(bytes, tested, "context", hContext, in.keep);
}

// Every record that names a card has hCard right after hContext.
bool BuildHandle(const ScRedirCallBuild& in, Tested tested, REDIR_SCARDHANDLE& out) {
  static_assert(offsetof(DispositionMsg, hCard) == 4 && offsetof(TransmitMsg, hCard) == 4 &&
                offsetof(StatusMsg, hCard) == 4 && offsetof(AttribMsg, hCard) == 4);
  if (!BuildContext(in, tested, out.Context)) return false;
  const uint32_t hCard = IN_FIELD(DispositionMsg, hCard);
  ScRedirMapBytes bytes = ScRedirQrn_CopyHandleBytes(hCard);
  out.cbHandle = bytes.length;
  out.pbHandle = bytes.bytes;
  return KeepMapBytes(bytes, tested, "handle", hCard, in.keep);
}

// Traces the call record and encodes it through the handle; the codec
// reports its own outcome in the status word.
template <typename Call>
uint32_t Encode(const ScRedirCallBuild& in, Call& call) {
  if (ScRedirQrn_DebugOn()) CallCodec<Call>::kDump(call);
  CallCodec<Call>::kEncode(in.handle, &call);
  return kStatusSuccess;
}

// A call that names a card: the handle, then its 32-bit fields.
template <typename Call>
uint32_t CardCall(const ScRedirCallBuild& in, std::initializer_list<InField<Call>> fields) {
  Call call{};
  if (!BuildHandle(in, Tested::kYes, call.hCard)) return kStatusNoMemory;
  for (const InField<Call>& field : fields) call.*field.to = LoadU32(in.body, field.from);
  return Encode(in, call);
}

// Encodes the call of `row` and hands the bytes to `request`.
uint32_t EncodeInto(const PcscdCommand& row, const void* body, ScRedirIoRequest* request) {
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
    status = row.call.build(ScRedirCallBuild{body, handle, keep});
  }
  if (status == kStatusSuccess && ScRedirRpc_ErrorCode() != RPC_S_OK) {
    ScRedirQrn_Logf(kQrnLogError, 0, "Could not encode buffer from %s: %s", row.call.name,
                    ScRedirRpc_StatusName(ScRedirRpc_ErrorCode()));
    status = kStatusUnsuccessful;
  }
  MesHandleFree(handle);
  ScRedirGBlock codecBytes(encoded);
  if (status != kStatusSuccess) return status;
  if (row.call.encoded) row.call.encoded(body);
  if (encoded == nullptr || ScRedir_AllocFails(ScRedirAllocSite::kEncodedCall)) {
    ScRedirQrn_Log(kQrnLogError, kStatusNoMemory, "Not enough memory");
    return kStatusNoMemory;
  }
  request->input = codecBytes.release() + kIoRequestFixedBytes;
  request->inputLength = encodedLength;
  return kStatusSuccess;
}

}  // namespace

// ---- The "in" halves of the command entries ----------------------------------

bool pcscd_in::CheckConnect(const PcscdCommand& row, const void* body, uint32_t) {
  if (HasNul(BytesAt(body, offsetof(ConnectMsg, szReader)), kPcscdReaderNameBytes)) return true;
  Refuse(row, "szReader has no NUL within its %u bytes", kPcscdReaderNameBytes);
  return false;
}

bool pcscd_in::CheckReaderStates(const PcscdCommand& row, const void* body, uint32_t) {
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
    if (LoadU32(body, slot + offsetof(PcscdReaderState, cbAtr)) > kPcscdAtrBytes) {
      Refuse(row, "rgReaderStates[%u].cbAtr is above %u", i, kPcscdAtrBytes);
      return false;
    }
  }
  return true;
}

bool pcscd_in::CheckTransmit(const PcscdCommand& row, const void* body, uint32_t received) {
  return CheckSendLength(row, FIELD(TransmitMsg, cbSendLength), received);
}

bool pcscd_in::CheckControl(const PcscdCommand& row, const void* body, uint32_t received) {
  return CheckSendLength(row, FIELD(ControlMsg, cbSendLength), received);
}

bool pcscd_in::CheckSetAttrib(const PcscdCommand& row, const void* body, uint32_t) {
  if (FIELD(SetAttribMsg, cbAttrLen) <= kPcscdAttrBytes) return true;
  Refuse(row, "cbAttrLen %u is above %u", FIELD(SetAttribMsg, cbAttrLen), kPcscdAttrBytes);
  return false;
}

uint32_t pcscd_in::EstablishContext(const ScRedirCallBuild& in) {
  EstablishContext_Call call{IN_FIELD(EstablishContextMsg, dwScope)};
  return Encode(in, call);
}

// Both go out even with an empty context.
uint32_t pcscd_in::Context(const ScRedirCallBuild& in) {
  Context_Call call{};
  BuildContext(in, Tested::kNo, call.Context);
  return Encode(in, call);
}

uint32_t pcscd_in::ListReaders(const ScRedirCallBuild& in) {
  ListReaders_Call call{};
  if (!BuildContext(in, Tested::kYes, call.Context)) return kStatusNoMemory;
  // The daemon's group list is a pointer into its client's memory, never
  // the text itself, so every listing asks for all readers.
  uint8_t* groups = in.keep.Keep(g_malloc0(kAllReadersBytes));
  for (size_t i = 0; i + 1 < sizeof(kAllReaders); ++i) groups[2 * i] = kAllReaders[i];
  call.cBytes = kAllReadersBytes;
  call.mszGroups = groups;
  call.cchReaders = IN_FIELD(ListReadersMsg, cchReaders);
  return Encode(in, call);
}

uint32_t pcscd_in::Connect(const ScRedirCallBuild& in) {
  ConnectW_Call call{};
  call.szReader = WidenName(BytesAt(in.body, offsetof(ConnectMsg, szReader)), in.keep);
  if (!BuildContext(in, Tested::kYes, call.Common.Context)) return kStatusNoMemory;
  call.Common.dwShareMode = IN_FIELD(ConnectMsg, dwShareMode);
  call.Common.dwPreferredProtocols = IN_FIELD(ConnectMsg, dwPreferredProtocols);
  return Encode(in, call);
}

uint32_t pcscd_in::Reconnect(const ScRedirCallBuild& in) {
  return CardCall<Reconnect_Call>(in, {COPY(Reconnect_Call, ReconnectMsg, dwShareMode),
                                       COPY(Reconnect_Call, ReconnectMsg, dwPreferredProtocols),
                                       COPY(Reconnect_Call, ReconnectMsg, dwInitialization)});
}

uint32_t pcscd_in::Disposition(const ScRedirCallBuild& in) {
  return CardCall<HCardAndDisposition_Call>(
      in, {COPY(HCardAndDisposition_Call, DispositionMsg, dwDisposition)});
}

// No disposition in the record: 0 goes out.
uint32_t pcscd_in::BeginTransaction(const ScRedirCallBuild& in) {
  return CardCall<HCardAndDisposition_Call>(in, {});
}

// The handle entry goes as soon as the Disconnect is on its way: the daemon
// never uses a handle again after disconnecting it.
void pcscd_in::DropHandle(const void* body) {
  uint32_t hCard = FIELD(DisconnectMsg, hCard);
  if (!ScRedirQrn_DeleteHandle(hCard)) {
    ScRedirQrn_Logf(kQrnLogError, 0, "Failed to delete handle %d from hash map",
                    static_cast<int>(hCard));
  } else if (ScRedirQrn_DebugOn()) {
    ScRedirQrn_Logf(kQrnLogDebug, 0, "Delete handle %d from hash map", static_cast<int>(hCard));
  }
}

uint32_t pcscd_in::Status(const ScRedirCallBuild& in) {
  return CardCall<Status_Call>(
      in, {COPY(Status_Call, StatusMsg, cchReaderLen), COPY(Status_Call, StatusMsg, cbAtrLen)});
}

uint32_t pcscd_in::Transmit(const ScRedirCallBuild& in) {
  Transmit_Call call{};
  BuildHandle(in, Tested::kNo, call.hCard);
  call.ioSendPci = SCardIO_Request{IN_FIELD(TransmitMsg, ioSendPciProtocol), 0, nullptr};
  call.cbSendLength = IN_FIELD(TransmitMsg, cbSendLength);
  call.pbSendBuffer =
      DataBytes(in.body, sizeof(TransmitMsg), kTransmitFixedBytes, call.cbSendLength);
  call.cbRecvLength = IN_FIELD(TransmitMsg, cbRecvLength);
  return Encode(in, call);
}

uint32_t pcscd_in::Control(const ScRedirCallBuild& in) {
  Control_Call call{};
  if (!BuildHandle(in, Tested::kYes, call.hCard)) return kStatusNoMemory;
  call.dwControlCode = IN_FIELD(ControlMsg, dwControlCode);
  call.cbInBufferSize = IN_FIELD(ControlMsg, cbSendLength);
  call.pvInBuffer = DataBytes(in.body, sizeof(ControlMsg), kControlFixedBytes, call.cbInBufferSize);
  call.cbOutBufferSize = IN_FIELD(ControlMsg, cbRecvLength);
  return Encode(in, call);
}

uint32_t pcscd_in::GetAttrib(const ScRedirCallBuild& in) {
  return CardCall<GetAttrib_Call>(
      in, {COPY(GetAttrib_Call, AttribMsg, dwAttrId), COPY(GetAttrib_Call, AttribMsg, cbAttrLen)});
}

uint32_t pcscd_in::SetAttrib(const ScRedirCallBuild& in) {
  SetAttrib_Call call{};
  if (!BuildHandle(in, Tested::kYes, call.hCard)) return kStatusNoMemory;
  call.dwAttrId = IN_FIELD(AttribMsg, dwAttrId);
  call.cbAttrLen = IN_FIELD(AttribMsg, cbAttrLen);  // at most kPcscdAttrBytes, checked
  // A value of length 0 yields no block, and a SetAttrib without a value
  // cannot be sent.
  call.pbAttr = in.keep.Keep(g_malloc0(call.cbAttrLen));
  if (!call.pbAttr) {
    ScRedirQrn_Log(kQrnLogError, kStatusNoMemory, "Not enough memory");
    return kStatusNoMemory;
  }
  std::memcpy(call.pbAttr, BytesAt(in.body, offsetof(AttribMsg, pbAttr)), call.cbAttrLen);
  return Encode(in, call);
}

uint32_t pcscd_in::GetStatusChange(const ScRedirCallBuild& in) {
  const void* body = in.body;
  GetStatusChangeW_Call call{};
  if (!BuildContext(in, Tested::kYes, call.Context)) return kStatusNoMemory;
  call.dwTimeOut = FIELD(GetStatusChangeMsg, dwTimeOut);
  call.cReaders = FIELD(GetStatusChangeMsg, cReaders);  // at most 64, checked
  if (call.cReaders != 0) {
    auto* states = static_cast<ReaderStateW*>(g_malloc0_n(call.cReaders, sizeof(ReaderStateW)));
    in.keep.Keep(states);
    for (uint32_t i = 0; i < call.cReaders; ++i) {
      size_t slot = SlotOffset(i);
      ReaderState_Common_Call& common = states[i].Common;
      states[i].szReader = WidenName(BytesAt(body, slot), in.keep);
      common.dwCurrentState = LoadU32(body, slot + offsetof(PcscdReaderState, dwCurrentState));
      common.dwEventState = LoadU32(body, slot + offsetof(PcscdReaderState, dwEventState));
      common.cbAtr = LoadU32(body, slot + offsetof(PcscdReaderState, cbAtr));  // <= 36, checked
      std::memcpy(common.rgbAtr, BytesAt(body, slot + offsetof(PcscdReaderState, rgbAtr)),
                  common.cbAtr);
    }
    call.rgReaderStates = states;
  }
  return Encode(in, call);
}

void ScRedirQrn_LogRefusal(uint32_t code, const char* subject, const char* kind, const char* format,
                           uint32_t a, uint32_t b) {
  gchar* what = g_strdup_printf(format, a, b);
  ScRedirQrn_Logf(kQrnLogError, code, "Refused %s%s: %s", subject, kind, what);
  g_free(what);
}

// ---- Checking and redirecting a received record --------------------------------

bool ScRedirQrn_CheckPcscdRecord(const PcscdCommand& row, const PcscdMessageHeader& header,
                                 const void* body) {
  uint32_t received = row.recordBytes;
  if (row.body == PcscdBody::kSizedByHeader) {
    if (header.size > row.recordBytes) {
      Refuse(row, "size %u is above the full record of %u bytes", header.size, row.recordBytes);
      return false;
    }
    if (header.size < row.fixedBytes) {
      Refuse(row, "size %u is below its fixed part of %u bytes", header.size, row.fixedBytes);
      return false;
    }
    received = header.size;
  }
  return !row.call.check || row.call.check(row, body, received);
}

void ScRedirQrn_RedirectCommand(ScRedirSession& session, const PcscdCommand& row,
                                const PcscdMessageHeader& header, const void* body) {
  if (!ScRedirQrn_CheckPcscdRecord(row, header, body)) {
    ScRedirQrn_AnswerDaemon(session, &header, body, kScardEInvalidParameter);
    return;
  }
  // `body` spans the whole record (zeros past what was received), so it is
  // kept as it is.
  uint32_t status =
      ScRedirQrn_RedirectScRequest(session, row.ioControlCode, &header, body, row.recordBytes);
  if (status != kStatusSuccess)
    ScRedirQrn_Logf(kQrnLogError, status, "Failed to redirect %s",
                    row.failureName ? row.failureName : row.ioctlName());
}

uint32_t ScRedirQrn_GetIORequest(uint32_t ioControlCode, uint32_t id, const void* body,
                                 ScRedirIoRequest** out) {
  *out = nullptr;
  const PcscdCommand* row = ScRedirQrn_FindCommandByIoctl(ioControlCode);
  if (!row || !body) return kStatusInvalidParameter;
  // Whole records only here; the field limits still hold.
  if (row->call.check && !row->call.check(*row, body, row->recordBytes))
    return kStatusInvalidParameter;

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
                    row->ioctlName(), id);
  return EncodeInto(*row, body, request);
}

void ScRedirQrn_FreeIORequest(ScRedirIoRequest* request) {
  if (!request) return;
  if (request->input) g_free(request->input - kIoRequestFixedBytes);
  g_free(request);
}
