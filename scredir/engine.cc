// The request engine; see engine.h.
#include "scredir/engine.h"

#include <glib.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#include "scredir/alloc_seam.h"
#include "scredir/answers.h"
#include "scredir/channel.h"
#include "scredir/completion_parse.h"
#include "scredir/names.h"
#include "scredir/pcscd_msg.h"
#include "scredir/qrn_log.h"
#include "scredir/rdpdr.h"
#include "scredir/request_build.h"
#include "scredir/socket_link.h"
#include "scredir/state.h"

namespace {

// The status a failed request step leaves, as the PC/SC error the daemon
// is answered with.
uint32_t AnswerFor(uint32_t status) {
  return status == kStatusNoMemory ? kScardENoMemory : kScardEInvalidParameter;
}

// Frames the encoded call of `request`. 0 with the packet, or 0xC0000001
// (no encoded call) / 0xC0000017 (no memory), logged here. The call was
// encoded behind room for the header, so its block becomes the packet: the
// header is written in place and the request gives the block up.
uint32_t ScRedirQrn_BuildIOPacket(ScRedirIoRequest& request, uint8_t** packet,
                                  size_t* packetLength) {
  uint32_t status = kStatusSuccess;
  if (request.input == nullptr) {
    status = kStatusUnsuccessful;
  } else {
    *packet = nullptr;
    if (!ScRedir_AllocFails(ScRedirAllocSite::kPacket)) {
      *packet = request.input - kIoRequestFixedBytes;
      request.input = nullptr;
      ScRedirQrn_WriteIoRequestHeader(*packet, request.completionId, request.outputLength,
                                      request.ioControlCode, request.inputLength);
      *packetLength = kIoRequestFixedBytes + request.inputLength;
    }
    if (*packet == nullptr) {
      ScRedirQrn_Log(kQrnLogError, kStatusNoMemory, "Not enough memory");
      status = kStatusNoMemory;
    }
  }
  if (status != kStatusSuccess) {
    ScRedirQrn_Logf(kQrnLogError, status, "Failed to get smartcard IO packet: %08x",
                    request.ioControlCode);
  }
  return status;
}

// The daemon message as kept until its completion: 20-byte head, then the
// record bytes the message carried (ScRedirQrn_KeptBytes), not the whole
// record; `body` spans bodyLength bytes. Null (logged) when it cannot be made.
PcscdMsgEntry* ScRedirQrn_SavePcscdMsg(uint32_t ioControlCode, const PcscdMessageHeader& header,
                                       const void* body, uint32_t bodyLength) {
  const PcscdCommand* row = ScRedirQrn_FindCommandByIoctl(ioControlCode);
  const uint32_t kept = row ? ScRedirQrn_KeptBytes(*row, header) : bodyLength;
  auto* entry = static_cast<PcscdMsgEntry*>(
      ScRedir_Malloc(ScRedirAllocSite::kKeptMessage, sizeof(PcscdMsgEntry) + kept));
  if (entry == nullptr) {
    ScRedirQrn_Log(kQrnLogError, kStatusNoMemory, "Not enough memory");
    return nullptr;
  }
  entry->ioControlCode = ioControlCode;
  entry->flags = 0;
  entry->header = header;
  const uint32_t copied = bodyLength < kept ? bodyLength : kept;
  if (copied) std::memcpy(PcscdMsgEntry_Body(entry), body, copied);
  if (kept > copied) std::memset(PcscdMsgEntry_Body(entry) + copied, 0, kept - copied);
  return entry;
}

// Frames `request`, keeps the packet with the session until the host has
// sent it, puts `entry` on the connection's list and sends. On any failure
// the entry is answered with the rv of the cause and freed; the entry is
// the list's (and the answer the completion's) only after a good Send.
void SendKept(ScRedirSession& session, const ScRedirConnRef& conn, ScRedirIoRequest& request,
              PcscdMsgEntry* entry) {
  uint8_t* packet = nullptr;
  size_t packetLength = 0;
  uint32_t status = ScRedirQrn_BuildIOPacket(request, &packet, &packetLength);
  if (status != kStatusSuccess) {
    ScRedirQrn_AnswerKept(conn.get(), entry, AnswerFor(status));
    return;
  }
  // The name is looked up only for the debug lines.
  const bool debug = ScRedirQrn_DebugOn();
  const char* name = debug ? ScRedirQrn_IoctlName(request.ioControlCode) : nullptr;
  if (debug) {
    ScRedirQrn_Logf(kQrnLogDebug, 0,
                    "Save cmd(%s) qrn request(completionId=%08x) to qrn req list(len=%d)", name,
                    request.completionId, static_cast<int>(session.SentCount()));
  }
  // A buffer the host may still be reading must be kept, or nothing could
  // ever release it safely; one that cannot be kept is not sent.
  if (!session.KeepSent(packet)) {
    ScRedirQrn_Log(kQrnLogError, kStatusNoMemory, "Not enough memory");
    g_free(packet);
    ScRedirQrn_AnswerKept(conn.get(), entry, kScardENoMemory);
    return;
  }
  KeyedList* messages = conn ? conn->messages() : nullptr;
  if (debug) {
    const PcscdCommand* row = ScRedirQrn_FindCommandByIoctl(request.ioControlCode);
    ScRedirQrn_Logf(kQrnLogDebug, 0, "Save cmd(%s) pcscd msg(%d bytes) to pcscd msg list(len=%d)",
                    name, row ? static_cast<int>(row->recordBytes) : 0, KeyedList_Count(messages));
  }
  // On the list before the packet leaves, so a completion can never
  // overtake it.
  if (KeyedList_AppendWithKey(messages, entry->header.id, entry) != 0) {
    session.ReleaseSent(packet);
    // No connection: the link ended under us. A connection without a list:
    // memory ran out when it was made.
    ScRedirQrn_AnswerKept(conn.get(), entry, conn ? kScardENoMemory : kScardENoService);
    return;
  }
  status = ScRedirVChan_Send(session, packet, packetLength);
  if (status == kStatusSuccess) return;
  // The host did not take the packet, so no completion will come: the
  // message is answered here, unless a completion somehow took it first.
  session.ReleaseSent(packet);
  if (KeyedList_TakeData(messages, entry)) {
    ScRedirQrn_AnswerKept(conn.get(), entry,
                          session.closed() ? kScardENoService : kScardFCommError);
  }
}

// STATUS_BUFFER_TOO_SMALL: the same call again, once, with room for the
// largest return the record's fields can hold.
void Resend(ScRedirSession& session, const ScRedirConnRef& conn, PcscdMsgEntry* entry) {
  const PcscdCommand* row = ScRedirQrn_FindCommandByIoctl(entry->ioControlCode);
  entry->flags |= kPcscdMsgResent;
  // The request is built from the whole record; a message that kept only
  // part of it (TRANSMIT/CONTROL) is laid out in full again for this rare
  // second request.
  const uint32_t kept = row ? ScRedirQrn_KeptBytes(*row, entry->header) : 0;
  std::unique_ptr<uint8_t, void (*)(void*)> whole(nullptr, g_free);
  const void* record = PcscdMsgEntry_Body(entry);
  if (row && kept < row->recordBytes) {
    whole.reset(static_cast<uint8_t*>(
        ScRedir_TryMalloc0(ScRedirAllocSite::kKeptMessage, row->recordBytes)));
    if (!whole) {
      ScRedirQrn_Log(kQrnLogError, kStatusNoMemory, "Not enough memory");
      ScRedirQrn_AnswerKept(conn.get(), entry, kScardENoMemory);
      return;
    }
    std::memcpy(whole.get(), record, kept);
    record = whole.get();
  }
  ScRedirIoRequest* request = nullptr;
  uint32_t status =
      ScRedirQrn_GetIORequest(entry->ioControlCode, entry->header.id, record, &request);
  if (status != kStatusSuccess) {
    ScRedirQrn_Logf(kQrnLogError, status, "Failed to get smartcard IO request: %08x",
                    entry->ioControlCode);
    ScRedirQrn_FreeIORequest(request);
    ScRedirQrn_AnswerKept(conn.get(), entry, AnswerFor(status));
    return;
  }
  request->outputLength = row->resendOutputLength;
  ScRedirQrn_Logf(kQrnLogInfo, 0, "Resend %s request(completionId=%08x) with output length %u",
                  ScRedirQrn_IoctlName(entry->ioControlCode), entry->header.id,
                  request->outputLength);
  SendKept(session, conn, *request, entry);
  ScRedirQrn_FreeIORequest(request);
}

void ScRedirQrn_RedirectScResponse(const uint8_t* packet, uint32_t length,
                                   ScRedirSession& session) {
  uint32_t status = kStatusInvalidParameter;
  uint8_t* reply = nullptr;
  uint32_t replyLength = 0;
  uint32_t zeroTail = 0;  // zero bytes that end the reply after `reply`
  ScRedirCompletionFailure failure;
  ScRedirConnRef conn = session.Conn();
  ScRedirDaemonConn::Busy busy(conn.get());
  auto completion = ScRedirQrn_ReadIoCompletion(std::span<const uint8_t>(packet, length));
  if (!completion) {
    ScRedirQrn_Log(kQrnLogError, 0, "Invalid completion packet or size");
  } else if (session.TakeRetired(completion->completionId)) {
    // Its daemon connection ended: the id may already name a newer message.
    ScRedirQrn_Logf(kQrnLogInfo, 0, "Dropped completion %08x: its pcscd connection has ended",
                    completion->completionId);
    return;
  } else {
    status = ScRedirQrn_ParseIOCompletionEx(packet, completion->length, &reply, &replyLength,
                                            &zeroTail, conn ? conn->messages() : nullptr, &failure);
  }
  if (failure.entry && failure.resend) {
    Resend(session, conn, failure.entry);
    return;
  }
  if (status != kStatusSuccess) {
    ScRedirQrn_Log(kQrnLogError, status, "Failed to parse IO completion message");
    g_free(reply);
    ScRedirQrn_Log(kQrnLogError, status, "Failed to redirect SC IO completion packet");
    if (failure.entry) ScRedirQrn_AnswerKept(conn.get(), failure.entry, failure.rv);
    return;
  }
  if (ScRedirQrn_DebugOn()) {
    uint32_t first = 0;
    if (reply && replyLength >= sizeof(first)) std::memcpy(&first, reply, sizeof(first));
    ScRedirQrn_Logf(kQrnLogDebug, 0, "Send result to pcscd, first byte is %08X(len=%d)", first,
                    static_cast<int>(replyLength + zeroTail));
  }
  // A failed write drops the connection (the link reconnects); the daemon
  // that went with it has nobody left waiting for this reply.
  if (conn && reply)
    (void)conn->Write({std::span<const uint8_t>(reply, replyLength),
                       std::span<const uint8_t>(ScRedirQrn_Zeros(), zeroTail)});
  g_free(reply);
}

}  // namespace

void ScRedirQrn_AnswerKept(ScRedirDaemonConn* conn, PcscdMsgEntry* entry, uint32_t rv) {
  if (entry == nullptr) return;
  // The IOCTL we sent names the record kept, as on the reply side.
  const PcscdCommand* row = ScRedirQrn_FindCommandByIoctl(entry->ioControlCode);
  ScRedirQrn_Logf(kQrnLogError, rv, "Answer pcscd message %08x without the client's result",
                  entry->header.id);
  if (row && conn) {
    uint8_t* body = PcscdMsgEntry_Body(entry);
    std::memcpy(body + row->rvOffset, &rv, sizeof rv);
    // header..kept bytes is the start of the reply, contiguous in the entry;
    // the rest of the record was zero and was not kept.
    const uint32_t kept = ScRedirQrn_KeptBytes(*row, entry->header);
    (void)conn->Write({std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(&entry->header),
                                                sizeof(PcscdMessageHeader) + kept),
                       std::span<const uint8_t>(ScRedirQrn_Zeros(), row->recordBytes - kept)});
  }
  std::free(entry);
}

void ScRedirQrn_AnswerDaemon(ScRedirSession& session, const PcscdMessageHeader* header,
                             const void* body, uint32_t rv) {
  const PcscdCommand* row = header ? ScRedirQrn_FindCommand(header->command) : nullptr;
  if (!row || !body) return;
  ScRedirQrn_Logf(kQrnLogError, rv, "Answer pcscd message %08x without the client's result",
                  header->id);
  ScRedirConnRef conn = session.Conn();
  if (!conn) return;
  // No copy (memory may be what ran out): the record around its rv.
  const auto* record = static_cast<const uint8_t*>(body);
  (void)conn->Write(
      {std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(header), sizeof *header),
       std::span<const uint8_t>(record, row->rvOffset),
       std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(&rv), sizeof rv),
       std::span<const uint8_t>(record + row->rvOffset + sizeof rv,
                                row->recordBytes - row->rvOffset - sizeof rv)});
}

void ScRedirQrn_AnswerAllPending(ScRedirDaemonConn& conn, uint32_t rv) {
  while (void* entry = KeyedList_TakeFirst(conn.messages()))
    ScRedirQrn_AnswerKept(&conn, static_cast<PcscdMsgEntry*>(entry), rv);
}

uint32_t ScRedirQrn_RedirectScRequest(ScRedirSession& session, uint32_t ioControlCode,
                                      const PcscdMessageHeader* header, const void* body,
                                      uint32_t bodyLength) {
  if (header == nullptr) return kStatusUnsuccessful;
  ScRedirConnRef conn = session.Conn();

  ScRedirIoRequest* request = nullptr;
  uint32_t status = ScRedirQrn_GetIORequest(ioControlCode, header->id, body, &request);
  if (status != kStatusSuccess) {
    ScRedirQrn_Logf(kQrnLogError, status, "Failed to get smartcard IO request: %08x",
                    ioControlCode);
    ScRedirQrn_FreeIORequest(request);
    ScRedirQrn_AnswerDaemon(session, header, body, AnswerFor(status));
    return status;
  }
  PcscdMsgEntry* entry = ScRedirQrn_SavePcscdMsg(ioControlCode, *header, body, bodyLength);
  if (entry == nullptr) {
    ScRedirQrn_FreeIORequest(request);
    ScRedirQrn_AnswerDaemon(session, header, body, kScardENoMemory);
    return kStatusNoMemory;
  }
  SendKept(session, conn, *request, entry);
  ScRedirQrn_FreeIORequest(request);
  return kStatusSuccess;
}

void ScRedirQrn_RouteChannelPacket(const void* packet, uint32_t length, ScRedirSession& session) {
  ScRedirQrn_DumpMsg(packet, length);
  const auto* bytes = static_cast<const uint8_t*>(packet);
  auto header = ScRedirQrn_ReadRdpdrHeader(std::span<const uint8_t>(bytes, bytes ? length : 0));
  if (!header) return;
  if (header->component != kRdpdrCtypCore) {
    ScRedirQrn_Logf(kQrnLogError, 0, "Incorrect component %08x", header->component);
    return;
  }
  switch (header->packetId) {
    case kPakidCoreClientCapability:
      ScRedirQrn_ParseClientCap(packet, length);
      return;
    case kPakidCoreDeviceIoCompletion:
      ScRedirQrn_RedirectScResponse(bytes, length, session);
      return;
    default:
      ScRedirQrn_Logf(kQrnLogError, kStatusInvalidParameter, "Invalid packetId: %08x",
                      header->packetId);
  }
}

void ScRedirQrn_ReleaseSent(void* channel, const void* buffer) {
  if (ScRedir_ReleaseSentBuffer(channel, buffer)) return;
  ScRedirQrn_Logf(kQrnLogError, kStatusUnsuccessful,
                  "Failed to find buffer %p of channel %p in qrn request list", buffer, channel);
}

void ScRedirQrn_SendAgentAnnounce(ScRedirSession& session) {
  ScRedirQrn_Log(kQrnLogInfo, 0, "Send Server capability to the Client");
  auto* buffer =
      static_cast<uint8_t*>(ScRedir_TryMalloc0(ScRedirAllocSite::kAnnounce, kAgentAnnounceBytes));
  if (buffer == nullptr) {
    ScRedirQrn_Log(kQrnLogError, kStatusNoMemory, "Not enough memory");
    return;
  }
  ScRedirQrn_FillAgentAnnounce(
      std::span<uint8_t, kAgentAnnounceBytes>(buffer, kAgentAnnounceBytes));
  if (!session.KeepSent(buffer)) {
    ScRedirQrn_Log(kQrnLogError, kStatusNoMemory, "Not enough memory");
    g_free(buffer);
    return;
  }
  if (ScRedirVChan_Send(session, buffer, kAgentAnnounceBytes) != kStatusSuccess)
    session.ReleaseSent(buffer);
}
