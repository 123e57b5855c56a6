// Feeds outside bytes to the daemon link's record reader the way the link
// thread does, without a socket per input: the input is the daemon's byte
// stream, read through the same ScRedirQrn_ReadDaemonMessage the link runs
// over its socket, message after message until the bytes run out. Every
// accepted record goes on through the request builder, the engine and a
// host Send; every refused one is answered on a daemon connection whose far
// end (a socket pair kept for the whole run) a thread reads and throws
// away. Between inputs the kept messages, the sent buffers and the maps are
// cleared, so every input starts from the same state.
// Built with libFuzzer by the fuzz build, and with replay_main.cc as the
// corpus replay test of the ordinary test run.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

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
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) abort();
    conn = std::make_shared<ScRedirDaemonConn>(fds[0], 1000);
    if (!session->AttachConn(conn)) abort();
    std::thread([fd = fds[1]] {
      static uint8_t sink[1 << 16];
      while (read(fd, sink, sizeof sink) > 0) {
      }
    }).detach();
    ScRedir_BindSessionToThread(session.get());
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Rig* rig = new Rig();
  ScRedirQrn_MapsDestroy();
  ScRedirQrn_MapsCreate();
  MemorySource source(data, size);
  int messages = 0;
  while (ScRedirQrn_ReadDaemonMessage(source) == 0) ++messages;
  // A record is never read past the stream: at most one message per header.
  if (static_cast<size_t>(messages) > size / 12) abort();
  while (void* entry = KeyedList_TakeFirst(rig->conn->messages())) std::free(entry);
  rig->session->DropSent();
  return 0;
}
