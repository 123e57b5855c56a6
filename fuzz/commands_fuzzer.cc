// Drives the two places where the plug-in meets bytes from outside:
//  - the first byte's top bit clear: a completion. The low bits pick the
//    command whose kept message waits; the rest is the output buffer (the
//    NDR return) of a well-framed completion for it, so the fuzzer spends its
//    time in decoding and in writing results into the daemon record.
//  - top bit set: a daemon record. The low bits pick the command; the rest is
//    the record as received, checked and, when accepted, encoded as a call.
// Built with libFuzzer by the fuzz build, and with replay_main.cc as the
// corpus replay test of the ordinary test run.
#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "scredir/completion_parse.h"
#include "scredir/keyed_list.h"
#include "scredir/maps.h"
#include "scredir/pcscd_msg.h"
#include "scredir/request_build.h"

namespace {

constexpr uint32_t kCommands[] = {
    PCSCD_ESTABLISH_CONTEXT, PCSCD_RELEASE_CONTEXT, PCSCD_LIST_READERS,
    PCSCD_CONNECT,           PCSCD_RECONNECT,       PCSCD_DISCONNECT,
    PCSCD_BEGIN_TRANSACTION, PCSCD_END_TRANSACTION, PCSCD_TRANSMIT,
    PCSCD_CONTROL,           PCSCD_STATUS,          PCSCD_CANCEL,
    PCSCD_GET_ATTRIB,        PCSCD_SET_ATTRIB,      PCSCD_GET_STATUS_CHANGE,
};
constexpr uint32_t kId = 7;

void Completion(const PcscdCommand& row, const uint8_t* output, uint32_t outputLength) {
  KeyedList* list = KeyedList_Create();
  auto* entry = static_cast<PcscdMsgEntry*>(calloc(1, sizeof(PcscdMsgEntry) + row.recordBytes));
  entry->ioControlCode = row.ioControlCode;
  entry->header = {kId, row.command, row.recordBytes};
  KeyedList_AppendWithKey(list, kId, entry);

  // An exact-size packet, so that any read past it is caught.
  uint32_t length = 20 + outputLength;
  auto* packet = new uint8_t[length];
  const uint8_t head[20] = {0x72,
                            0x44,
                            0x43,
                            0x49,
                            0,
                            0,
                            0,
                            0,
                            kId,
                            0,
                            0,
                            0,
                            0,
                            0,
                            0,
                            0,
                            static_cast<uint8_t>(outputLength),
                            static_cast<uint8_t>(outputLength >> 8),
                            static_cast<uint8_t>(outputLength >> 16),
                            static_cast<uint8_t>(outputLength >> 24)};
  std::memcpy(packet, head, sizeof head);
  if (outputLength) std::memcpy(packet + 20, output, outputLength);
  uint8_t* reply = nullptr;
  uint32_t replyLength = 0;
  if (ScRedirQrn_ParseIOCompletion(packet, length, &reply, &replyLength, list) == 0 &&
      replyLength != row.replyLength())
    abort();
  g_free(reply);
  delete[] packet;
  KeyedList_Destroy(&list, free);
}

void Record(const PcscdCommand& row, const uint8_t* data, uint32_t size) {
  // The daemon link thread hands over a full-size block, zeros past `size`.
  auto* body = static_cast<uint8_t*>(calloc(1, row.recordBytes));
  const uint32_t received = size < row.recordBytes ? size : row.recordBytes;
  std::memcpy(body, data, received);
  if (ScRedirQrn_CheckPcscdRecord(row, PcscdMessageHeader{kId, row.command, received}, body)) {
    ScRedirIoRequest* request = nullptr;
    ScRedirQrn_GetIORequest(row.ioControlCode, kId, body, &request);
    ScRedirQrn_FreeIORequest(request);
  }
  free(body);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size - 1 > 0x100000) return 0;
  static bool ready = [] {
    ScRedirQrn_MapsCreate();
    uint8_t bytes[4] = {1, 2, 3, 4};
    uint32_t id = 0, protocol = 0;
    ScRedirQrn_RegisterContext(0, 4, bytes, &id);
    ScRedirQrn_RegisterHandle(0, 4, bytes, 1, &id, &protocol);
    return true;
  }();
  (void)ready;
  const PcscdCommand* row = ScRedirQrn_FindCommand(kCommands[(data[0] & 0x7F) % 15]);
  auto rest = static_cast<uint32_t>(size - 1);
  if (data[0] & 0x80)
    Record(*row, data + 1, rest);
  else
    Completion(*row, data + 1, rest);
  return 0;
}
