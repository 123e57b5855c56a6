// Feeds outside bytes to the daemon link's record reader the way the link
// thread does, without a socket per input: the input is the daemon's byte
// stream, read through the same ScRedirQrn_ReadDaemonMessage the link runs
// over its socket, message after message until the bytes run out. Every
// accepted record goes on through the request builder, the engine and a
// host Send; every refused one is answered (on a connection that takes no
// bytes). Between inputs the kept messages and the sent buffers are
// cleared; the maps hold one context and one card throughout, so every
// input starts from the same state.
// Built with libFuzzer by the fuzz build, and with replay_main.cc as the
// corpus replay test of the ordinary test run.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "lib/log/log.h"
#include "scredir/daemon_link.h"
#include "scredir/keyed_list.h"
#include "scredir/maps.h"
#include "scredir/qrn_log.h"
#include "scredir/state.h"

namespace {

// The daemon's bytes from memory; running out is the daemon closing.
class MemorySource : public ScRedirDaemonSource {
 public:
  MemorySource(const uint8_t* data, size_t size) : data_(data), left_(size) {}
  int Read(void* buffer, size_t count) override {
    if (count > left_) {
      left_ = 0;
      return -1;
    }
    if (count) std::memcpy(buffer, data_, count);
    data_ += count;
    left_ -= count;
    return 0;
  }
  int id() const override { return -1; }

 private:
  const uint8_t* data_;
  size_t left_;
};

uint32_t AcceptSend(void*, uint32_t, uint32_t, const void*, size_t, void*, uint32_t) {
  return 0;
}

struct Rig {
  int channel = 0;
  std::shared_ptr<ScRedirSession> session;
  ScRedirConnRef conn;
  Rig() {
    LogSetCaptureSink([](const char*) {});  // formatted, then dropped
    QrnIntf table{};
    table.Send = AcceptSend;
    ScRedir_PublishHostTable(table);
    session = std::make_shared<ScRedirSession>(&channel);
    // Answers go to a connection that cannot take them (not a socket): the
    // first write drops it and later ones return at once, so no input
    // spends its time in the kernel.
    conn = std::make_shared<ScRedirDaemonConn>(open("/dev/null", O_WRONLY | O_CLOEXEC), 0);
    if (!session->AttachConn(conn)) abort();
    ScRedirQrn_MapsCreate();
    Register();
  }
  // One context and one card, so the current lengths are set and requests
  // are encoded in full (no completion ever registers more). A Disconnect
  // that happens to name the card removes it; it is put back.
  static void Register() {
    static const uint8_t bytes[4] = {0xC1, 0xC2, 0xC3, 0xC4};
    uint32_t id = 0, active = 0;
    if (ScRedirQrn_ContextCount() == 0) ScRedirQrn_RegisterContext(0, 4, bytes, &id);
    if (ScRedirQrn_HandleCount() == 0) ScRedirQrn_RegisterHandle(0, 4, bytes, 1, &id, &active);
  }
};

}  // namespace

// Every input allocates whole daemon records (up to 64 KiB, twice): a small
// quarantine hands freed blocks back soon instead of faulting in fresh
// pages for each input, which made the run four times slower. A block used
// after its free is still caught while it waits there.
extern "C" const char* __asan_default_options() {
  return "quarantine_size_mb=8";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Rig* rig = new Rig();
  MemorySource source(data, size);
  int messages = 0;
  while (ScRedirQrn_ReadDaemonMessage(*rig->session, source) == 0) ++messages;
  // A record is never read past the stream: at most one message per header.
  if (static_cast<size_t>(messages) > size / 12) abort();
  while (void* entry = KeyedList_TakeFirst(rig->conn->messages())) std::free(entry);
  rig->session->DropSent();
  Rig::Register();
  return 0;
}
