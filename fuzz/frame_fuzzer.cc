// Feeds outside bytes to the frame's packet readers the way the host's
// receive thread does: the received-packet router (RDPDR header, component,
// packet id), the client capability walk, the completion reader and, for a
// completion whose id matches a kept daemon message, the reply built from
// it, all with the debug dump on. No channel is open: the session has no
// host table and its daemon connection is no socket, so nothing is sent
// and no reply is written. Two daemon messages always wait, an EstablishContext
// under id 7 and a Transmit under id 8, so matching completions go deep.
// Built with libFuzzer by the fuzz build, and with replay_main.cc as the
// corpus replay test of the ordinary test run.
#include <fcntl.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

#include "lib/log/log.h"
#include "scredir/engine.h"
#include "scredir/maps.h"
#include "scredir/pcscd_msg.h"
#include "scredir/qrn_log.h"
#include "scredir/rdpdr.h"
#include "scredir/state.h"

namespace {

// Every input meets the same two zero-filled kept messages, whatever the
// previous one took.
void Refill(KeyedList* list) {
  while (void* entry = KeyedList_TakeFirst(list)) free(entry);
  for (uint32_t command : {PCSCD_ESTABLISH_CONTEXT, PCSCD_TRANSMIT}) {
    const PcscdCommand* row = ScRedirQrn_FindCommand(command);
    const uint32_t id = command == PCSCD_TRANSMIT ? 8 : 7;
    auto* entry = static_cast<PcscdMsgEntry*>(calloc(1, sizeof(PcscdMsgEntry) + row->recordBytes));
    entry->ioControlCode = row->ioControlCode;
    entry->header = {id, command, row->recordBytes};
    if (KeyedList_AppendWithKey(list, id, entry) != 0) free(entry);
  }
}

ScRedirSession& Session() {
  static int channel;
  static ScRedirSession* session = [] {
    LogSetCaptureSink([](const char*) {});  // formatted, then dropped
    debugEnabled = true;
    auto* s = new ScRedirSession(&channel);
    // Kept messages live on a daemon connection; this one cannot take a
    // reply (not a socket), so the first write drops it and later ones
    // return at once.
    s->AttachConn(std::make_shared<ScRedirDaemonConn>(open("/dev/null", O_WRONLY | O_CLOEXEC), 0));
    return s;
  }();
  return *session;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0x100000) return 0;
  ScRedirSession& session = Session();
  ScRedirListRef messages = session.DaemonMsgList();
  Refill(messages.get());
  // Fresh fake-id maps: every input starts from the same state, and the ids
  // a successful EstablishContext registers do not pile up.
  ScRedirQrn_MapsDestroy();
  ScRedirQrn_MapsCreate();
  const auto length = static_cast<uint32_t>(size);
  ScRedirQrn_RouteChannelPacket(data, length, session);
  // Whatever the header says, the walk and the completion reader must stay
  // inside the bytes, and an accepted completion must fit in them.
  ScRedirQrn_ParseClientCap(data, length);
  if (auto completion = ScRedirQrn_ReadIoCompletion(std::span<const uint8_t>(data, size))) {
    if (completion->length > size) abort();
  }
  return 0;
}
