// The request engine; see engine.h.
#include "scredir/engine.h"

#include <glib.h>

#include <cstdlib>
#include <cstring>
#include <span>

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

// Frames the encoded call of `request`. 0 with the packet, or 0xC0000001
// (no encoded call) / 0xC0000017 (no memory), logged here.
uint32_t ScRedirQrn_BuildIOPacket(const ScRedirIoRequest& request, uint8_t** packet,
                                  size_t* packetLength) {
  uint32_t status = kStatusSuccess;
  if (request.input == nullptr) {
    status = kStatusUnsuccessful;
  } else {
    *packet = ScRedirQrn_FrameIoRequest(
        request.completionId, request.outputLength, request.ioControlCode,
        std::span<const uint8_t>(request.input, request.inputLength), packetLength);
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

// Keeps the daemon message until its completion: 16-byte head, then
// bodyLength bytes of the record. A message that cannot be kept is logged
// and the request goes out regardless; its completion will find nothing.
void ScRedirQrn_SavePcscdMsg(KeyedList* list, uint32_t ioControlCode,
                             const PcscdMessageHeader& header, const void* body,
                             uint32_t bodyLength) {
  auto* entry = static_cast<PcscdMsgEntry*>(std::malloc(sizeof(PcscdMsgEntry) + bodyLength));
  if (entry == nullptr) {
    ScRedirQrn_Log(kQrnLogError, kStatusNoMemory, "Not enough memory");
    return;
  }
  entry->ioControlCode = ioControlCode;
  entry->header = header;
  if (bodyLength) std::memcpy(PcscdMsgEntry_Body(entry), body, bodyLength);
  if (KeyedList_AppendWithKey(list, header.id, entry) != 0) std::free(entry);
}

void ScRedirQrn_RedirectScResponse(const uint8_t* packet, uint32_t length,
                                   ScRedirSession& session) {
  uint32_t status = kStatusInvalidParameter;
  uint8_t* reply = nullptr;
  uint32_t replyLength = 0;
  auto completion = ScRedirQrn_ReadIoCompletion(std::span<const uint8_t>(packet, length));
  if (!completion) {
    ScRedirQrn_Log(kQrnLogError, 0, "Invalid completion packet or size");
  } else {
    ScRedirListRef messages = session.DaemonMsgList();
    status = ScRedirQrn_ParseIOCompletion(packet, completion->length, &reply, &replyLength,
                                          messages.get());
  }
  if (status != kStatusSuccess) {
    ScRedirQrn_Log(kQrnLogError, status, "Failed to parse IO completion message");
    g_free(reply);
    ScRedirQrn_Log(kQrnLogError, status, "Failed to redirect SC IO completion packet");
    return;
  }
  if (ScRedirQrn_DebugOn()) {
    uint32_t first = 0;
    if (reply && replyLength >= sizeof(first)) std::memcpy(&first, reply, sizeof(first));
    ScRedirQrn_Logf(kQrnLogDebug, 0, "Send result to pcscd, first byte is %08X(len=%d)", first,
                    static_cast<int>(replyLength));
  }
  // A failed write is not retried: the daemon's caller is left waiting, as
  // for any message we cannot answer. No socket (never connected, or the
  // channel or link already ended): there is nobody to answer.
  if (ScRedirSocketRef socket = session.Socket(); socket && reply) {
    (void)ScRedirQrn_WriteExactly(reply, replyLength, socket->fd());
  }
  g_free(reply);
}

}  // namespace

uint32_t ScRedirQrn_RedirectScRequest(uint32_t ioControlCode, const PcscdMessageHeader* header,
                                      const void* body, uint32_t bodyLength) {
  ScRedirSessionRef session = ScRedir_SessionForThisThread();
  if (!session || header == nullptr) return kStatusUnsuccessful;

  ScRedirIoRequest* request = nullptr;
  uint32_t status = ScRedirQrn_GetIORequest(ioControlCode, header->id, body, &request);
  if (status != kStatusSuccess) {
    ScRedirQrn_Logf(kQrnLogError, status, "Failed to get smartcard IO request: %08x",
                    ioControlCode);
    ScRedirQrn_FreeIORequest(request);
    return status;
  }
  uint8_t* packet = nullptr;
  size_t packetLength = 0;
  status = ScRedirQrn_BuildIOPacket(*request, &packet, &packetLength);
  const uint32_t completionId = request->completionId;
  ScRedirQrn_FreeIORequest(request);
  if (status != kStatusSuccess) return status;

  const char* name = ScRedirQrn_IoctlName(ioControlCode);
  ScRedirListRef sent = session->ChannelRequestList();
  if (ScRedirQrn_DebugOn()) {
    ScRedirQrn_Logf(kQrnLogDebug, 0,
                    "Save cmd(%s) qrn request(completionId=%08x) to qrn req list(len=%d)", name,
                    completionId, KeyedList_Count(sent.get()));
  }
  // A buffer the host may still be reading must be on the list, or nothing
  // could ever release it safely; one that cannot be listed is not sent.
  if (KeyedList_Append(sent.get(), packet) != 0) {
    g_free(packet);
    return kStatusNoMemory;
  }
  ScRedirListRef messages = session->DaemonMsgList();
  if (ScRedirQrn_DebugOn()) {
    ScRedirQrn_Logf(kQrnLogDebug, 0, "Save cmd(%s) pcscd msg(%d bytes) to pcscd msg list(len=%d)",
                    name, static_cast<int>(bodyLength), KeyedList_Count(messages.get()));
  }
  ScRedirQrn_SavePcscdMsg(messages.get(), ioControlCode, *header, body, bodyLength);
  ScRedirVChan_Send(*session, packet, packetLength);
  return kStatusSuccess;
}

void ScRedirQrn_HandleRequests(const void* packet, uint32_t length, ScRedirSession& session) {
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

void ScRedirQrn_ReleaseOldestSent(ScRedirSession& session) {
  ScRedirListRef sent = session.ChannelRequestList();
  void* buffer = KeyedList_TakeFirst(sent.get());
  if (buffer == nullptr) {
    ScRedirQrn_Log(kQrnLogError, kStatusUnsuccessful,
                   "Failed to get the first item of qrn request list");
    return;
  }
  g_free(buffer);
}

void ScRedirQrn_SendAgentAnnounce(ScRedirSession& session) {
  ScRedirQrn_Log(kQrnLogInfo, 0, "Send Server capability to the Client");
  auto* buffer = static_cast<uint8_t*>(g_try_malloc0(kAgentAnnounceBytes));
  if (buffer == nullptr) {
    ScRedirQrn_Log(kQrnLogError, kStatusNoMemory, "Not enough memory");
    return;
  }
  ScRedirQrn_FillAgentAnnounce(
      std::span<uint8_t, kAgentAnnounceBytes>(buffer, kAgentAnnounceBytes));
  ScRedirListRef sent = session.ChannelRequestList();
  if (KeyedList_Append(sent.get(), buffer) != 0) {
    g_free(buffer);
    return;
  }
  ScRedirVChan_Send(session, buffer, kAgentAnnounceBytes);
}
