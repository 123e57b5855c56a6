// Parsing the client's device I/O completions into daemon replies (see
// completion_parse.h for the contract).
//
// The completion is read through a ByteReader bounded by the length the
// caller vouches for; the codec reads the output buffer in place.
// Results are written into the kept record inside the PcscdMsgEntry, whose
// record is always the command's full size (a malloc block, so aligned for
// the record structures). Every count that decides how many bytes land in a
// daemon field is held against that field first.
#include "scredir/completion_parse.h"

#include <glib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#include "lib/base/byte_reader.h"
#include "scredir/alloc_seam.h"
#include "scredir/answers.h"
#include "scredir/dump.h"
#include "scredir/keyed_list.h"
#include "scredir/maps.h"
#include "scredir/names.h"
#include "scredir/qrn_log.h"
#include "scredir/request_build.h"
#include "scredir/rpc/ndr.h"
#include "scredir/rpc/records.h"

namespace {

constexpr uint16_t kComponentCore = 0x4472;       // RDPDR_CTYP_CORE
constexpr uint16_t kPacketIoCompletion = 0x4943;  // PAKID_CORE_DEVICE_IOCOMPLETION
// The longest context or card handle MS-RDPESC allows; a longer one would
// make every later request carry that many bytes.
constexpr uint32_t kMaxContextBytes = 16;
// What the reply says when the client returns no receive PCI.
constexpr uint32_t kDefaultRecvPciProtocol = 3;
constexpr uint32_t kDefaultRecvPciLength = 8;

struct GFreeDeleter {
  void operator()(void* p) const { g_free(p); }
};
using GBlock = std::unique_ptr<uint8_t, GFreeDeleter>;

struct FreeDeleter {
  void operator()(PcscdMsgEntry* p) const { std::free(p); }
};
using EntryHolder = std::unique_ptr<PcscdMsgEntry, FreeDeleter>;

struct HandleDeleter {
  void operator()(ScRedirRpc_Handle* h) const { MesHandleFree(h); }
};
using HandleHolder = std::unique_ptr<ScRedirRpc_Handle, HandleDeleter>;

// The PC/SC error the daemon is answered with when the completion that
// matched its message cannot become a normal reply; the failing step sets
// it (its status, and so its log lines, stay what they were).
thread_local uint32_t t_answerRv = 0;

uint32_t FailWith(uint32_t rv, uint32_t status) {
  t_answerRv = rv;
  return status;
}

// Logs a return that does not fit the daemon field meant to receive it.
uint32_t RefuseReturn(uint32_t ioControlCode, const char* format, uint32_t value, uint32_t limit) {
  t_answerRv = kScardEInsufficientBuffer;
  gchar* what = g_strdup_printf(format, value, limit);
  ScRedirQrn_Logf(kQrnLogError, kStatusUnsuccessful, "Refused %s return: %s",
                  ScRedirQrn_IoctlName(ioControlCode), what);
  g_free(what);
  return kStatusUnsuccessful;
}

// Converts returned UTF-16 names into `field`; `*count` receives the bytes
// written. Refuses names that do not fit.
uint32_t PutReaderNames(uint32_t ioControlCode, const uint8_t* msz, uint32_t cBytes, char* field,
                        uint32_t capacity, uint32_t* count) {
  uint32_t length = 0;
  // Decoded blocks come from the GLib allocator, so they are aligned for
  // 16-bit units; an odd last byte is dropped.
  GBlock names(ScRedirQrn_MultiStringWToA(reinterpret_cast<const uint16_t*>(msz),
                                          msz ? cBytes / 2 : 0, &length));
  if (!names) return FailWith(kScardFUnknownError, kStatusUnsuccessful);
  if (length > capacity)
    return RefuseReturn(ioControlCode, "reader names of %u bytes are above %u", length, capacity);
  std::memcpy(field, names.get(), length);
  *count = length;
  return kStatusSuccess;
}

// ---- Per-IOCTL results -----------------------------------------------------
//
// Each Apply writes one decoded return into the kept record and returns 0 or
// the status that stops the reply.

uint32_t Apply(uint32_t, Long_Return& ret, uint8_t* body, uint32_t recordBytes) {
  // Every Long_Return record keeps rv as its last field.
  std::memcpy(body + recordBytes - sizeof(uint32_t), &ret.ReturnCode, sizeof(uint32_t));
  return kStatusSuccess;
}

uint32_t Apply(uint32_t ioctl, EstablishContext_Return& ret, uint8_t* body, uint32_t) {
  auto* msg = reinterpret_cast<EstablishContextMsg*>(body);
  if (ret.Context.cbContext > kMaxContextBytes)
    return RefuseReturn(ioctl, "cbContext %u is above %u", ret.Context.cbContext, kMaxContextBytes);
  msg->rv = static_cast<uint32_t>(ret.ReturnCode);
  uint32_t status = ScRedirQrn_RegisterContext(ret.ReturnCode, ret.Context.cbContext,
                                               ret.Context.pbContext, &msg->hContext);
  return status == kStatusSuccess ? status : FailWith(kScardENoMemory, status);
}

uint32_t Apply(uint32_t, Connect_Return& ret, uint8_t* body, uint32_t) {
  auto* msg = reinterpret_cast<ConnectMsg*>(body);
  msg->rv = static_cast<uint32_t>(ret.ReturnCode);
  uint32_t status =
      ScRedirQrn_RegisterHandle(ret.ReturnCode, ret.hCard.cbHandle, ret.hCard.pbHandle,
                                ret.dwActiveProtocol, &msg->hCard, &msg->dwActiveProtocol);
  return status == kStatusSuccess ? status : FailWith(kScardENoMemory, status);
}

uint32_t Apply(uint32_t, Reconnect_Return& ret, uint8_t* body, uint32_t) {
  auto* msg = reinterpret_cast<ReconnectMsg*>(body);
  msg->dwActiveProtocol = ret.dwActiveProtocol;
  msg->rv = static_cast<uint32_t>(ret.ReturnCode);
  return kStatusSuccess;
}

uint32_t Apply(uint32_t ioctl, ListReaders_Return& ret, uint8_t* body, uint32_t) {
  auto* msg = reinterpret_cast<ListReadersMsg*>(body);
  msg->rv = static_cast<uint32_t>(ret.ReturnCode);
  if (ret.ReturnCode != 0) return kStatusSuccess;
  return PutReaderNames(ioctl, ret.msz, ret.cBytes, msg->mszReaders, kPcscdReadersBytes,
                        &msg->cchReaders);
}

uint32_t Apply(uint32_t ioctl, Status_Return& ret, uint8_t* body, uint32_t) {
  auto* msg = reinterpret_cast<StatusMsg*>(body);
  if (ret.cbAtrLen > kPcscdAtrBytes || ret.cbAtrLen > sizeof ret.pbAtr)
    return RefuseReturn(ioctl, "cbAtrLen %u is above %u", ret.cbAtrLen, kStatusAtrSize);
  msg->rv = static_cast<uint32_t>(ret.ReturnCode);
  if (ret.ReturnCode != 0) {
    ScRedirQrn_Log(kQrnLogError, static_cast<uint32_t>(ret.ReturnCode),
                   "Error return code for SCARD_IOCTL_STATUSW cmd");
  } else {
    uint32_t status = PutReaderNames(ioctl, ret.mszReaderNames, ret.cBytes, msg->mszReaderName,
                                     kPcscdStatusNameBytes, &msg->cchReaderLen);
    if (status != kStatusSuccess) return status;
  }
  msg->dwState = ret.dwState;
  msg->dwProtocol = ret.dwProtocol;
  msg->cbAtrLen = ret.cbAtrLen;
  std::memcpy(msg->pbAtr, ret.pbAtr, ret.cbAtrLen);
  return kStatusSuccess;
}

uint32_t Apply(uint32_t ioctl, GetStatusChange_Return& ret, uint8_t* body, uint32_t) {
  auto* msg = reinterpret_cast<GetStatusChangeMsg*>(body);
  if (ret.cReaders > kPcscdMaxReaderStates)
    return RefuseReturn(ioctl, "cReaders %u is above %u", ret.cReaders, kPcscdMaxReaderStates);
  for (uint32_t i = 0; ret.rgReaderStates && i < ret.cReaders; ++i) {
    if (ret.rgReaderStates[i].cbAtr > kPcscdAtrBytes)
      return RefuseReturn(ioctl, "cbAtr %u is above %u", ret.rgReaderStates[i].cbAtr,
                          kPcscdAtrBytes);
  }
  msg->cReaders = ret.cReaders;
  msg->rv = static_cast<uint32_t>(ret.ReturnCode);
  for (uint32_t i = 0; ret.rgReaderStates && i < ret.cReaders; ++i) {
    const ReaderState_Return& from = ret.rgReaderStates[i];
    PcscdReaderState& slot = msg->rgReaderStates[i];
    slot.dwCurrentState = from.dwCurrentState;
    slot.dwEventState = from.dwEventState;
    slot.cbAtr = from.cbAtr;
    std::memcpy(slot.rgbAtr, from.rgbAtr, from.cbAtr);
  }
  return kStatusSuccess;
}

uint32_t Apply(uint32_t ioctl, Transmit_Return& ret, uint8_t* body, uint32_t held) {
  auto* msg = reinterpret_cast<TransmitMsg*>(body);
  if (ret.cbRecvLength > kPcscdBufferBytes)
    return RefuseReturn(ioctl, "cbRecvLength %u is above %u", ret.cbRecvLength, kPcscdBufferBytes);
  // The decoded bytes came out of the output, which the kept record was
  // grown to hold; this only guards that promise.
  if (ret.pbRecvBuffer && ret.cbRecvLength > held - kTransmitFixedBytes)
    return FailWith(kScardFUnknownError, kStatusUnsuccessful);
  msg->rv = ret.ReturnCode;
  msg->cbRecvLength = ret.cbRecvLength;
  if (ret.pbRecvBuffer && ret.cbRecvLength)
    std::memcpy(msg->pbBuffer, ret.pbRecvBuffer, ret.cbRecvLength);
  msg->ioRecvPciProtocol = ret.pioRecvPci ? ret.pioRecvPci->dwProtocol : kDefaultRecvPciProtocol;
  msg->ioRecvPciLength = ret.pioRecvPci ? ret.pioRecvPci->cbExtraBytes : kDefaultRecvPciLength;
  return kStatusSuccess;
}

uint32_t Apply(uint32_t ioctl, Control_Return& ret, uint8_t* body, uint32_t held) {
  auto* msg = reinterpret_cast<ControlMsg*>(body);
  if (ret.cbOutBufferSize > kPcscdBufferBytes)
    return RefuseReturn(ioctl, "cbOutBufferSize %u is above %u", ret.cbOutBufferSize,
                        kPcscdBufferBytes);
  // As for Transmit: the grown record holds every byte the output carried.
  if (ret.pvOutBuffer && ret.cbOutBufferSize > held - kControlFixedBytes)
    return FailWith(kScardFUnknownError, kStatusUnsuccessful);
  msg->dwBytesReturned = ret.cbOutBufferSize;
  msg->rv = static_cast<uint32_t>(ret.ReturnCode);
  if (ret.pvOutBuffer && ret.cbOutBufferSize)
    std::memcpy(msg->pbBuffer, ret.pvOutBuffer, ret.cbOutBufferSize);
  return kStatusSuccess;
}

uint32_t Apply(uint32_t ioctl, GetAttrib_Return& ret, uint8_t* body, uint32_t) {
  auto* msg = reinterpret_cast<GetAttribMsg*>(body);
  if (ret.cbAttrLen > kPcscdAttrBytes)
    return RefuseReturn(ioctl, "cbAttrLen %u is above %u", ret.cbAttrLen, kPcscdAttrBytes);
  msg->cbAttrLen = ret.cbAttrLen;
  msg->rv = static_cast<uint32_t>(ret.ReturnCode);
  if (ret.pbAttr && ret.cbAttrLen) std::memcpy(msg->pbAttr, ret.pbAttr, ret.cbAttrLen);
  return kStatusSuccess;
}

// Decodes the return record `Ret`, writes it into the kept record and
// releases what decoding allocated.
template <typename Ret>
uint32_t DecodeAndApply(ScRedirRpc_Handle* handle, uint32_t ioctl, const char* name,
                        void (*decode)(ScRedirRpc_Handle*, Ret*),
                        void (*release)(ScRedirRpc_Handle*, Ret*), void (*dump)(const Ret&),
                        uint8_t* body, uint32_t recordBytes) {
  Ret ret{};
  decode(handle, &ret);
  uint32_t codec = ScRedirRpc_ErrorCode();
  if (codec != RPC_S_OK) {
    ScRedirQrn_Logf(kQrnLogError, 0, "Could not decode buffer into %s: %s", name,
                    ScRedirRpc_StatusName(codec));
    return FailWith(kScardFUnknownError, kStatusUnsuccessful);
  }
  if (ScRedirQrn_DebugOn()) dump(ret);
  uint32_t status = Apply(ioctl, ret, body, recordBytes);
  release(handle, &ret);
  return status;
}

uint32_t DecodeReturn(ScRedirRpc_Handle* h, uint32_t ioctl, uint8_t* body, uint32_t bytes) {
  switch (ioctl) {
    case SCARD_IOCTL_ESTABLISHCONTEXT:
      return DecodeAndApply(h, ioctl, "EstablishContext_Return", EstablishContext_Return_Decode,
                            EstablishContext_Return_Free, ScRedirQrn_DumpEstablishContext_Return,
                            body, bytes);
    case SCARD_IOCTL_RELEASECONTEXT:
    case SCARD_IOCTL_CANCEL:
    case SCARD_IOCTL_DISCONNECT:
    case SCARD_IOCTL_BEGINTRANSACTION:
    case SCARD_IOCTL_ENDTRANSACTION:
    case SCARD_IOCTL_SETATTRIB:
      return DecodeAndApply(h, ioctl, "Long_Return", Long_Return_Decode, Long_Return_Free,
                            ScRedirQrn_DumpLong_Return, body, bytes);
    case SCARD_IOCTL_LISTREADERSW:
      return DecodeAndApply(h, ioctl, "ListReaders_Return", ListReaders_Return_Decode,
                            ListReaders_Return_Free, ScRedirQrn_DumpLongAndMultiString_Return, body,
                            bytes);
    case SCARD_IOCTL_CONNECTW:
      return DecodeAndApply(h, ioctl, "Connect_Return", Connect_Return_Decode, Connect_Return_Free,
                            ScRedirQrn_DumpConnect_Return, body, bytes);
    case SCARD_IOCTL_RECONNECT:
      return DecodeAndApply(h, ioctl, "Reconnect_Return", Reconnect_Return_Decode,
                            Reconnect_Return_Free, ScRedirQrn_DumpReconnect_Return, body, bytes);
    case SCARD_IOCTL_STATUSW:
      return DecodeAndApply(h, ioctl, "Status_Return", Status_Return_Decode, Status_Return_Free,
                            ScRedirQrn_DumpStatus_Return, body, bytes);
    case SCARD_IOCTL_TRANSMIT:
      return DecodeAndApply(h, ioctl, "Transmit_Return", Transmit_Return_Decode,
                            Transmit_Return_Free, ScRedirQrn_DumpTransmit_Return, body, bytes);
    case SCARD_IOCTL_CONTROL:
      return DecodeAndApply(h, ioctl, "Control_Return", Control_Return_Decode, Control_Return_Free,
                            ScRedirQrn_DumpControl_Return, body, bytes);
    case SCARD_IOCTL_GETATTRIB:
      return DecodeAndApply(h, ioctl, "GetAttrib_Return", GetAttrib_Return_Decode,
                            GetAttrib_Return_Free, ScRedirQrn_DumpGetAttrib_Return, body, bytes);
    case SCARD_IOCTL_GETSTATUSCHANGEW:
      return DecodeAndApply(h, ioctl, "GetStatusChange_Return", GetStatusChange_Return_Decode,
                            GetStatusChange_Return_Free, ScRedirQrn_DumpGetStatusChange_Return,
                            body, bytes);
    default:
      return kStatusUnsuccessful;
  }
}

struct Completion {
  uint32_t completionId = 0;
  uint32_t ioStatus = 0;
  std::span<const uint8_t> output;
};

// Step 1: the checks that leave the kept message on its list.
uint32_t ReadCompletion(const uint8_t* packet, uint32_t length, Completion& out) {
  base::ByteReader reader(packet, packet ? length : 0);
  uint16_t component = 0, packetId = 0;
  uint32_t deviceId = 0, outputLength = 0;
  const uint32_t& ioStatus = out.ioStatus;
  if (reader.empty() || !reader.ReadU16Le(component) || !reader.ReadU16Le(packetId)) {
    ScRedirQrn_Log(kQrnLogError, 0, "Invalid completion packet or size");
    return kStatusInvalidParameter;
  }
  if (component != kComponentCore) {
    ScRedirQrn_Log(kQrnLogError, component, "Invalid header component");
    return kStatusInvalidParameter;
  }
  if (packetId != kPacketIoCompletion) {
    ScRedirQrn_Log(kQrnLogError, packetId, "Invalid completion packet ID");
    return kStatusInvalidParameter;
  }
  if (!reader.ReadU32Le(deviceId) || !reader.ReadU32Le(out.completionId) ||
      !reader.ReadU32Le(out.ioStatus)) {
    ScRedirQrn_Log(kQrnLogError, 0, "Invalid completion packet or size");
    return kStatusInvalidParameter;
  }
  // A failed request may come back without OutputBufferLength (16 bytes):
  // it is still the answer to that request, not a malformed packet.
  if (ioStatus != 0) {
    ScRedirQrn_Log(kQrnLogError, ioStatus, "Incorrect IO completion status");
    ScRedirQrn_Logf(kQrnLogError, ioStatus, "Failed IO completion for ID(%08x)", out.completionId);
    return kStatusUnsuccessful;
  }
  if (!reader.ReadU32Le(outputLength)) {
    ScRedirQrn_Log(kQrnLogError, 0, "Invalid completion packet or size");
    return kStatusInvalidParameter;
  }
  auto output = reader.ReadSpan(outputLength);
  if (!output) {
    ScRedirQrn_Log(kQrnLogError, 0, "Invalid completion packet or size");
    return kStatusInvalidParameter;
  }
  out.output = *output;
  return kStatusSuccess;
}

// Steps 4 to 6: decode the output into the kept record.
uint32_t DecodeInto(PcscdMsgEntry* entry, const PcscdCommand&, std::span<const uint8_t> out,
                    uint32_t held) {
  // The codec reads the received output in place: it stays valid until the
  // parse is over, and the handle goes before it.
  if (ScRedir_AllocFails(ScRedirAllocSite::kOutputCopy)) {
    ScRedirQrn_Log(kQrnLogError, kStatusNoMemory, "Not enough memory");
    return FailWith(kScardENoMemory, kStatusNoMemory);
  }
  ScRedirRpc_Handle* raw = nullptr;
  if (MesDecodeBufferHandleCreate(out.data(), static_cast<uint32_t>(out.size()), &raw) != 0 ||
      !raw) {
    ScRedirQrn_Logf(kQrnLogError, 0, "Failed to create decode buffer handle for: %s",
                    ScRedirQrn_IoctlName(entry->ioControlCode));
    return FailWith(kScardFUnknownError, kStatusUnsuccessful);
  }
  HandleHolder handle(raw);
  return DecodeReturn(handle.get(), entry->ioControlCode, PcscdMsgEntry_Body(entry), held);
}

}  // namespace

uint32_t ScRedirQrn_GetPcscdMsg(KeyedList* daemonMsgList, uint32_t id, PcscdMsgEntry** entry) {
  *entry = static_cast<PcscdMsgEntry*>(KeyedList_TakeByKey(daemonMsgList, id));
  if (*entry) return kStatusSuccess;
  ScRedirQrn_Logf(kQrnLogError, kStatusUnsuccessful, "No matched pcscd message for ID(%08x)", id);
  return kStatusUnsuccessful;
}

uint32_t ScRedirQrn_ParseIOCompletionEx(const uint8_t* packet, uint32_t length, uint8_t** reply,
                                        uint32_t* replyLength, uint32_t* zeroTail,
                                        KeyedList* daemonMsgList,
                                        ScRedirCompletionFailure* failure) {
  *failure = ScRedirCompletionFailure{};
  Completion completion;
  uint32_t status = ReadCompletion(packet, length, completion);
  // A malformed packet names no request for sure; a failed one does.
  if (status != kStatusSuccess && completion.ioStatus == 0) return status;

  PcscdMsgEntry* taken = nullptr;
  if (ScRedirQrn_GetPcscdMsg(daemonMsgList, completion.completionId, &taken) != kStatusSuccess) {
    ScRedirQrn_Logf(kQrnLogError, 0, "No matched completionId: %08x, exit!",
                    completion.completionId);
    return kStatusUnsuccessful;
  }
  EntryHolder entry(taken);
  if (ScRedirQrn_DebugOn())
    ScRedirQrn_Logf(
        kQrnLogDebug, 0, "Parse IO completion for command %s, completionID=%08x, ioStatus=%08x",
        ScRedirQrn_IoctlName(entry->ioControlCode), entry->header.id, completion.ioStatus);
  const PcscdCommand* row = ScRedirQrn_FindCommandByIoctl(entry->ioControlCode);
  if (!row) return kStatusUnsuccessful;

  if (completion.ioStatus != 0) {
    // More room helps only once, and only where the record's fields can
    // take more than the first request allowed for.
    const bool tooSmall = completion.ioStatus == kStatusBufferTooSmall;
    failure->resend =
        tooSmall && row->resendOutputLength != 0 && (entry->flags & kPcscdMsgResent) == 0;
    failure->rv = tooSmall ? kScardEInsufficientBuffer : kScardFCommError;
    failure->entry = entry.release();
    return kStatusUnsuccessful;
  }

  // A TRANSMIT/CONTROL message kept only the bytes it carried; the return
  // lands in the same buffer and is no longer than the output it came in,
  // so the kept record grows to hold that much (zeros, as in the record)
  // and no further. Past it the reply is zeros, written from the zero run.
  const uint32_t kept = ScRedirQrn_KeptBytes(*row, entry->header);
  uint32_t held = kept;
  if (row->bodyBytes == 0) {
    const uint64_t reach =
        static_cast<uint64_t>(row->recordBytes - kPcscdBufferBytes) + completion.output.size();
    held = static_cast<uint32_t>(
        std::min<uint64_t>(row->recordBytes, std::max<uint64_t>(kept, reach)));
  }
  if (held > kept) {
    void* grown = ScRedir_AllocFails(ScRedirAllocSite::kReply)
                      ? nullptr
                      : std::realloc(entry.get(), sizeof(PcscdMsgEntry) + held);
    if (!grown) {
      ScRedirQrn_Log(kQrnLogError, kStatusNoMemory, "Not enough memory");
      failure->rv = kScardENoMemory;
      failure->entry = entry.release();
      return kStatusNoMemory;
    }
    (void)entry.release();
    entry.reset(static_cast<PcscdMsgEntry*>(grown));
    std::memset(PcscdMsgEntry_Body(entry.get()) + kept, 0, held - kept);
  }

  t_answerRv = kScardFUnknownError;
  status = DecodeInto(entry.get(), *row, completion.output, held);
  if (status != kStatusSuccess) {
    failure->rv = t_answerRv;
    failure->entry = entry.release();
    return status;
  }

  const uint32_t head = sizeof(PcscdMessageHeader);
  auto* out = static_cast<uint8_t*>(ScRedir_TryMalloc(ScRedirAllocSite::kReply, head + held));
  if (!out) {
    ScRedirQrn_Log(kQrnLogError, kStatusNoMemory, "Not enough memory");
    failure->rv = kScardENoMemory;
    failure->entry = entry.release();
    return kStatusNoMemory;
  }
  std::memcpy(out, &entry->header, head);
  std::memcpy(out + head, PcscdMsgEntry_Body(entry.get()), held);
  *reply = out;
  *replyLength = head + held;
  *zeroTail = row->replyLength - (head + held);
  return kStatusSuccess;
}

uint32_t ScRedirQrn_ParseIOCompletion(const uint8_t* packet, uint32_t length, uint8_t** reply,
                                      uint32_t* replyLength, KeyedList* daemonMsgList) {
  ScRedirCompletionFailure failure;
  uint32_t zeroTail = 0;
  uint32_t status = ScRedirQrn_ParseIOCompletionEx(packet, length, reply, replyLength, &zeroTail,
                                                   daemonMsgList, &failure);
  std::free(failure.entry);
  if (status != kStatusSuccess || zeroTail == 0) return status;
  // The whole reply in one block, its zero tail included.
  auto* whole = static_cast<uint8_t*>(g_try_realloc(*reply, *replyLength + zeroTail));
  if (!whole) {
    ScRedirQrn_Log(kQrnLogError, kStatusNoMemory, "Not enough memory");
    g_free(*reply);
    *reply = nullptr;
    *replyLength = 0;
    return kStatusNoMemory;
  }
  std::memset(whole + *replyLength, 0, zeroTail);
  *reply = whole;
  *replyLength += zeroTail;
  return kStatusSuccess;
}

uint8_t* ScRedirQrn_MultiStringWToA(const uint16_t* units, uint32_t count, uint32_t* length) {
  GByteArray* bytes = g_byte_array_sized_new(count);
  const uint8_t nul = 0;
  uint32_t pos = 0;
  uint32_t left = units ? count : 0;
  while (left > 0 && units[pos] != 0) {
    glong read = 0;
    glong written = 0;
    GError* error = nullptr;
    gchar* piece = g_utf16_to_utf8(reinterpret_cast<const gunichar2*>(units + pos), left, &read,
                                   &written, &error);
    if (!piece) {
      ScRedirQrn_Logf(kQrnLogError, 0, "Could not decode string: %s", error ? error->message : "");
      if (error) g_error_free(error);
      g_byte_array_free(bytes, TRUE);
      return nullptr;
    }
    g_byte_array_append(bytes, reinterpret_cast<const guint8*>(piece), static_cast<guint>(written));
    g_byte_array_append(bytes, &nul, 1);
    g_free(piece);
    // Past the string and its NUL; a string that ran to the end has none.
    uint32_t step = static_cast<uint32_t>(read) + 1;
    pos += step;
    left = step < left ? left - step : 0;
  }
  g_byte_array_append(bytes, &nul, 1);
  *length = bytes->len;
  return g_byte_array_free(bytes, FALSE);
}
