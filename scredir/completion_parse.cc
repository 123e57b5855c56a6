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
#include "scredir/rdpdr.h"
#include "scredir/request_build.h"
#include "scredir/rpc/ndr.h"
#include "scredir/rpc/records.h"

namespace {

// The longest context or card handle MS-RDPESC allows; a longer one would
// make every later request carry that many bytes.
constexpr uint32_t kMaxContextBytes = 16;
// What the reply says when the client returns no receive PCI.
constexpr uint32_t kDefaultRecvPciProtocol = 3;
constexpr uint32_t kDefaultRecvPciLength = 8;

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
uint32_t RefuseReturn(const PcscdCommand& row, const char* format, uint32_t value, uint32_t limit) {
  t_answerRv = kScardEInsufficientBuffer;
  ScRedirQrn_LogRefusal(kStatusUnsuccessful, row.ioctlName(), " return", format, value, limit);
  return kStatusUnsuccessful;
}
// The same for a count above what its field holds: "<count> n is above m".
uint32_t RefuseAbove(const PcscdCommand& row, const char* count, uint32_t value, uint32_t limit) {
  gchar* format = g_strdup_printf("%s %%u is above %%u", count);
  uint32_t status = RefuseReturn(row, format, value, limit);
  g_free(format);
  return status;
}

// Converts returned UTF-16 names into `field`; `*count` receives the bytes
// written. Refuses names that do not fit.
uint32_t PutReaderNames(const PcscdCommand& row, const uint8_t* msz, uint32_t cBytes, char* field,
                        uint32_t capacity, uint32_t* count) {
  uint32_t length = 0;
  // Decoded blocks come from the GLib allocator, so they are aligned for
  // 16-bit units; an odd last byte is dropped.
  ScRedirGBlock names(ScRedirQrn_MultiStringWToA(reinterpret_cast<const uint16_t*>(msz),
                                                 msz ? cBytes / 2 : 0, &length));
  if (!names) return FailWith(kScardFUnknownError, kStatusUnsuccessful);
  if (length > capacity)
    return RefuseReturn(row, "reader names of %u bytes are above %u", length, capacity);
  std::memcpy(field, names.get(), length);
  *count = length;
  return kStatusSuccess;
}

// A returned count and the bytes it counts, into the record's count and
// data fields. A count above the field's `capacity` is refused; `room`
// only guards the promise that the kept record was grown to hold every
// byte the output carried.
uint32_t PutCounted(const PcscdCommand& row, const char* name, uint32_t count, const uint8_t* bytes,
                    uint32_t capacity, uint32_t room, uint32_t& countField, uint8_t* field) {
  if (count > capacity) return RefuseAbove(row, name, count, capacity);
  if (bytes && count > room) return FailWith(kScardFUnknownError, kStatusUnsuccessful);
  countField = count;
  if (bytes && count) std::memcpy(field, bytes, count);
  return kStatusSuccess;
}

// ---- Per-return results ---------------------------------------------------
//
// Each Write puts one decoded return into the kept record (rv is already
// in) and returns 0 or the status that stops the reply. A refused return
// writes nothing: the kept record is answered as it is, with the failure's
// rv.

uint32_t Write(const PcscdCommand&, Long_Return&, uint8_t&, uint32_t) {
  return kStatusSuccess;  // rv only
}

uint32_t Write(const PcscdCommand& row, EstablishContext_Return& ret, EstablishContextMsg& msg,
               uint32_t) {
  if (ret.Context.cbContext > kMaxContextBytes)
    return RefuseAbove(row, "cbContext", ret.Context.cbContext, kMaxContextBytes);
  uint32_t status = ScRedirQrn_RegisterContext(ret.ReturnCode, ret.Context.cbContext,
                                               ret.Context.pbContext, &msg.hContext);
  return status == kStatusSuccess ? status : FailWith(kScardENoMemory, status);
}

uint32_t Write(const PcscdCommand&, Connect_Return& ret, ConnectMsg& msg, uint32_t) {
  uint32_t status =
      ScRedirQrn_RegisterHandle(ret.ReturnCode, ret.hCard.cbHandle, ret.hCard.pbHandle,
                                ret.dwActiveProtocol, &msg.hCard, &msg.dwActiveProtocol);
  return status == kStatusSuccess ? status : FailWith(kScardENoMemory, status);
}

uint32_t Write(const PcscdCommand&, Reconnect_Return& ret, ReconnectMsg& msg, uint32_t) {
  msg.dwActiveProtocol = ret.dwActiveProtocol;
  return kStatusSuccess;
}

uint32_t Write(const PcscdCommand& row, ListReaders_Return& ret, ListReadersMsg& msg, uint32_t) {
  if (ret.ReturnCode != 0) return kStatusSuccess;
  return PutReaderNames(row, ret.msz, ret.cBytes, msg.mszReaders, kPcscdReadersBytes,
                        &msg.cchReaders);
}

uint32_t Write(const PcscdCommand& row, Status_Return& ret, StatusMsg& msg, uint32_t) {
  if (ret.cbAtrLen > kPcscdAtrBytes || ret.cbAtrLen > sizeof ret.pbAtr)
    return RefuseAbove(row, "cbAtrLen", ret.cbAtrLen, kStatusAtrSize);
  if (ret.ReturnCode != 0) {
    ScRedirQrn_Log(kQrnLogError, static_cast<uint32_t>(ret.ReturnCode),
                   "Error return code for SCARD_IOCTL_STATUSW cmd");
  } else {
    uint32_t status = PutReaderNames(row, ret.mszReaderNames, ret.cBytes, msg.mszReaderName,
                                     kPcscdStatusNameBytes, &msg.cchReaderLen);
    if (status != kStatusSuccess) return status;
  }
  msg.dwState = ret.dwState;
  msg.dwProtocol = ret.dwProtocol;
  msg.cbAtrLen = ret.cbAtrLen;
  std::memcpy(msg.pbAtr, ret.pbAtr, ret.cbAtrLen);
  return kStatusSuccess;
}

uint32_t Write(const PcscdCommand& row, GetStatusChange_Return& ret, GetStatusChangeMsg& msg,
               uint32_t) {
  if (ret.cReaders > kPcscdMaxReaderStates)
    return RefuseAbove(row, "cReaders", ret.cReaders, kPcscdMaxReaderStates);
  const uint32_t count = ret.rgReaderStates ? ret.cReaders : 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (ret.rgReaderStates[i].cbAtr > kPcscdAtrBytes)
      return RefuseAbove(row, "cbAtr", ret.rgReaderStates[i].cbAtr, kPcscdAtrBytes);
  }
  msg.cReaders = ret.cReaders;
  for (uint32_t i = 0; i < count; ++i) {
    const ReaderState_Return& from = ret.rgReaderStates[i];
    PcscdReaderState& slot = msg.rgReaderStates[i];
    slot.dwCurrentState = from.dwCurrentState;
    slot.dwEventState = from.dwEventState;
    slot.cbAtr = from.cbAtr;
    std::memcpy(slot.rgbAtr, from.rgbAtr, from.cbAtr);
  }
  return kStatusSuccess;
}

uint32_t Write(const PcscdCommand& row, Transmit_Return& ret, TransmitMsg& msg, uint32_t held) {
  uint32_t status =
      PutCounted(row, "cbRecvLength", ret.cbRecvLength, ret.pbRecvBuffer, kPcscdBufferBytes,
                 held - row.fixedBytes, msg.cbRecvLength, msg.pbBuffer);
  if (status != kStatusSuccess) return status;
  msg.ioRecvPciProtocol = ret.pioRecvPci ? ret.pioRecvPci->dwProtocol : kDefaultRecvPciProtocol;
  msg.ioRecvPciLength = ret.pioRecvPci ? ret.pioRecvPci->cbExtraBytes : kDefaultRecvPciLength;
  return kStatusSuccess;
}

uint32_t Write(const PcscdCommand& row, Control_Return& ret, ControlMsg& msg, uint32_t held) {
  return PutCounted(row, "cbOutBufferSize", ret.cbOutBufferSize, ret.pvOutBuffer, kPcscdBufferBytes,
                    held - row.fixedBytes, msg.dwBytesReturned, msg.pbBuffer);
}

uint32_t Write(const PcscdCommand& row, GetAttrib_Return& ret, AttribMsg& msg, uint32_t) {
  return PutCounted(row, "cbAttrLen", ret.cbAttrLen, ret.pbAttr, kPcscdAttrBytes, kPcscdAttrBytes,
                    msg.cbAttrLen, msg.pbAttr);
}

// What the codec offers for each return record, and the daemon record it
// is written into.
template <typename Ret>
struct ReturnCodec;
#define SCREDIR_RETURN_CODEC(Ret, RecordType, dumpRoutine) \
  template <>                                              \
  struct ReturnCodec<Ret> {                                \
    using Record = RecordType;                             \
    static constexpr const char* kName = #Ret;             \
    static constexpr auto kDecode = Ret##_Decode;          \
    static constexpr auto kRelease = Ret##_Free;           \
    static constexpr auto kDump = dumpRoutine;             \
  }
SCREDIR_RETURN_CODEC(Long_Return, uint8_t, ScRedirQrn_DumpLong_Return);
SCREDIR_RETURN_CODEC(EstablishContext_Return, EstablishContextMsg,
                     ScRedirQrn_DumpEstablishContext_Return);
SCREDIR_RETURN_CODEC(ListReaders_Return, ListReadersMsg, ScRedirQrn_DumpLongAndMultiString_Return);
SCREDIR_RETURN_CODEC(Connect_Return, ConnectMsg, ScRedirQrn_DumpConnect_Return);
SCREDIR_RETURN_CODEC(Reconnect_Return, ReconnectMsg, ScRedirQrn_DumpReconnect_Return);
SCREDIR_RETURN_CODEC(Status_Return, StatusMsg, ScRedirQrn_DumpStatus_Return);
SCREDIR_RETURN_CODEC(Transmit_Return, TransmitMsg, ScRedirQrn_DumpTransmit_Return);
SCREDIR_RETURN_CODEC(Control_Return, ControlMsg, ScRedirQrn_DumpControl_Return);
SCREDIR_RETURN_CODEC(GetAttrib_Return, AttribMsg, ScRedirQrn_DumpGetAttrib_Return);
SCREDIR_RETURN_CODEC(GetStatusChange_Return, GetStatusChangeMsg,
                     ScRedirQrn_DumpGetStatusChange_Return);

struct Completion {
  uint32_t completionId = 0;
  uint32_t ioStatus = 0;
  std::span<const uint8_t> output;
};

// Step 1: the checks that leave the kept message on its list. The header is
// read by the one RDPDR completion reader; only the log lines are ours.
uint32_t ReadCompletion(const uint8_t* packet, uint32_t length, Completion& out) {
  const std::span<const uint8_t> bytes(packet, packet ? length : 0);
  auto header = ScRedirQrn_ReadRdpdrHeader(bytes);
  if (!header) {
    ScRedirQrn_Log(kQrnLogError, 0, "Invalid completion packet or size");
    return kStatusInvalidParameter;
  }
  if (header->component != kRdpdrCtypCore) {
    ScRedirQrn_Log(kQrnLogError, header->component, "Invalid header component");
    return kStatusInvalidParameter;
  }
  if (header->packetId != kPakidCoreDeviceIoCompletion) {
    ScRedirQrn_Log(kQrnLogError, header->packetId, "Invalid completion packet ID");
    return kStatusInvalidParameter;
  }
  auto completion = ScRedirQrn_ReadIoCompletion(bytes);
  if (!completion) {
    ScRedirQrn_Log(kQrnLogError, 0, "Invalid completion packet or size");
    return kStatusInvalidParameter;
  }
  out.completionId = completion->completionId;
  out.ioStatus = completion->ioStatus;
  // A failed request may come back without OutputBufferLength (16 bytes):
  // it is still the answer to that request, not a malformed packet.
  if (out.ioStatus != 0) {
    ScRedirQrn_Log(kQrnLogError, out.ioStatus, "Incorrect IO completion status");
    ScRedirQrn_Logf(kQrnLogError, out.ioStatus, "Failed IO completion for ID(%08x)",
                    out.completionId);
    return kStatusUnsuccessful;
  }
  out.output = bytes.subspan(kIoCompletionFixedBytes, completion->outputLength);
  return kStatusSuccess;
}

// Steps 4 to 6: decode the output into the kept record.
uint32_t DecodeInto(PcscdMsgEntry* entry, const PcscdCommand& row, std::span<const uint8_t> out,
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
                    row.ioctlName());
    return FailWith(kScardFUnknownError, kStatusUnsuccessful);
  }
  HandleHolder handle(raw);
  return row.apply(handle.get(), row, PcscdMsgEntry_Body(entry), held);
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
  if (row->body == PcscdBody::kSizedByHeader) {
    const uint64_t reach = static_cast<uint64_t>(row->fixedBytes) + completion.output.size();
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
  *zeroTail = row->replyLength() - (head + held);
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

template <typename Ret>
uint32_t pcscd_out::Apply(ScRedirRpc_Handle* handle, const PcscdCommand& row, uint8_t* body,
                          uint32_t held) {
  using Codec = ReturnCodec<Ret>;
  Ret ret{};
  Codec::kDecode(handle, &ret);
  uint32_t codec = ScRedirRpc_ErrorCode();
  if (codec != RPC_S_OK) {
    ScRedirQrn_Logf(kQrnLogError, 0, "Could not decode buffer into %s: %s", Codec::kName,
                    ScRedirRpc_StatusName(codec));
    return FailWith(kScardFUnknownError, kStatusUnsuccessful);
  }
  if (ScRedirQrn_DebugOn()) Codec::kDump(ret);
  std::memcpy(body + row.rvOffset, &ret.ReturnCode, sizeof(uint32_t));
  uint32_t status = Write(row, ret, *reinterpret_cast<typename Codec::Record*>(body), held);
  Codec::kRelease(handle, &ret);
  return status;
}
#define SCREDIR_APPLY(Ret)                                                                   \
  template uint32_t pcscd_out::Apply<Ret>(ScRedirRpc_Handle*, const PcscdCommand&, uint8_t*, \
                                          uint32_t)
SCREDIR_APPLY(Long_Return);
SCREDIR_APPLY(EstablishContext_Return);
SCREDIR_APPLY(ListReaders_Return);
SCREDIR_APPLY(Connect_Return);
SCREDIR_APPLY(Reconnect_Return);
SCREDIR_APPLY(Status_Return);
SCREDIR_APPLY(Transmit_Return);
SCREDIR_APPLY(Control_Return);
SCREDIR_APPLY(GetAttrib_Return);
SCREDIR_APPLY(GetStatusChange_Return);
