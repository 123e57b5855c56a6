// The daemon link thread; see daemon_link.h.
#include "scredir/daemon_link.h"

#include <glib.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

#include "lib/config/config.h"
#include "scredir/answers.h"
#include "scredir/engine.h"
#include "scredir/pcscd_msg.h"
#include "scredir/qrn_log.h"
#include "scredir/request_build.h"
#include "scredir/socket_link.h"
#include "scredir/state.h"

namespace {

constexpr uint32_t kDefaultRetryMs = 5000;
constexpr uint32_t kDefaultWriteTimeoutMs = 3000;
constexpr size_t kDrainChunkBytes = 4096;

std::mutex g_optionsMutex;
bool g_optionsOverridden = false;  // guarded by g_optionsMutex
ScRedirLinkOptions g_options;      // guarded by g_optionsMutex

// The one link thread that may still be running. A library-lifetime object;
// if the host unloads us without QRN_Stop the thread is left to the process.
struct LinkThreadSlot {
  std::mutex mutex;
  std::thread thread;  // guarded by mutex
  ~LinkThreadSlot() {
    if (thread.joinable()) thread.detach();
  }
};
LinkThreadSlot g_slot;

ScRedirLinkOptions CurrentOptions() {
  {
    std::lock_guard<std::mutex> lock(g_optionsMutex);
    if (g_optionsOverridden) return g_options;
  }
  return ScRedirQrn_LinkOptionsFromConfig();
}

// Owns a descriptor until it is handed to a ScRedirDaemonConn.
struct PendingFd {
  int fd = -1;
  ~PendingFd() { Reset(); }
  void Reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  int Release() { return std::exchange(fd, -1); }
};

// Waits for a connect in progress, together with the session's close, for
// at most `timeoutMs`: 0 connected, -1 not (yet).
int AwaitConnect(ScRedirSession& session, int fd, const char* path, uint32_t timeoutMs) {
  struct pollfd p[2] = {{fd, POLLOUT, 0}, {session.closeFd(), POLLIN, 0}};
  int n = ::poll(p, session.closeFd() >= 0 ? 2 : 1, static_cast<int>(timeoutMs));
  if (n <= 0 || (p[1].revents & POLLIN) || !(p[0].revents & (POLLOUT | POLLERR | POLLHUP)))
    return -1;
  return ScRedirQrn_FinishConnect(fd, path);
}

// Connects without ever blocking in connect(), retrying every retry
// interval until the daemon is there or the channel closes. Returns the
// connected descriptor, or -1 when the thread should end.
int Connect(ScRedirSession& session, const ScRedirLinkOptions& options) {
  PendingFd pending;
  if (ScRedirQrn_CreateSocket(&pending.fd) != 0) {
    ScRedirQrn_Log(kQrnLogError, 0, "Failed to init socket.");
    return -1;
  }
  for (;;) {
    int rc = ScRedirQrn_ConnectSocket(&pending.fd, options.socketPath.c_str());
    if (rc == kConnectInProgress) {
      rc = AwaitConnect(session, pending.fd, options.socketPath.c_str(), options.retryMs);
      // A connect that did not finish cannot be tried again on its socket.
      if (rc != 0) pending.Reset();
    }
    if (rc == 0) return pending.Release();
    if (session.closed()) return -1;
    ScRedirQrn_Log(kQrnLogInfo, 0, "waiting for connection with pcscd");
    if (session.WaitForClose(std::chrono::milliseconds(options.retryMs))) return -1;
    if (pending.fd < 0 && ScRedirQrn_CreateSocket(&pending.fd) != 0) {
      ScRedirQrn_Log(kQrnLogError, 0, "Failed to init socket.");
      return -1;
    }
  }
}

void LogExit(int32_t rc) {
  ScRedirQrn_Logf(kQrnLogError, static_cast<uint32_t>(rc), "Exit receive loop for error(%d)", rc);
}

// Reads from the daemon socket, through the connection's read-ahead block
// when there is one.
class SocketSource : public ScRedirDaemonSource {
 public:
  explicit SocketSource(int fd, ScRedirReadAhead* ahead = nullptr) : fd_(fd), ahead_(ahead) {}
  int Read(void* buffer, size_t count) override {
    return ScRedirQrn_ReadExactlyAhead(buffer, count, fd_, ahead_);
  }
  int id() const override { return fd_; }

 private:
  int fd_;
  ScRedirReadAhead* ahead_;
};

// Reads and throws away `count` bytes in bounded chunks, so an oversized
// body never sizes an allocation and the stream stays in step.
int Drain(uint64_t count, ScRedirDaemonSource& source) {
  uint8_t chunk[kDrainChunkBytes];
  while (count > 0) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(count, sizeof(chunk)));
    if (int rc = source.Read(chunk, n); rc != 0) return rc;
    count -= n;
  }
  return 0;
}

// The receive block of the calling thread: the largest record, zero except
// while a message is in it. Made once per thread and reused, so a message
// costs what it carries rather than a zero-filled block of the whole record.
struct ReceiveBlock {
  uint8_t* bytes = nullptr;
  ~ReceiveBlock() { g_free(bytes); }
};
thread_local ReceiveBlock t_receive;

uint8_t* ReceiveBlockBytes() {
  if (t_receive.bytes == nullptr)
    t_receive.bytes = static_cast<uint8_t*>(g_try_malloc0(sizeof(TransmitMsg)));
  return t_receive.bytes;
}

// Puts the block back to all zeros once the message in it was handled.
struct ClearOnExit {
  uint8_t* bytes;
  uint32_t count;
  ~ClearOnExit() {
    if (bytes && count) std::memset(bytes, 0, count);
  }
};

// Serves one daemon connection after another while the channel is open:
// when the daemon hangs up, the link waits one retry interval and connects
// again, with a fresh message list. Messages of the ended connection that
// still wait for the client are kept aside only so that their late
// completions are dropped; when the channel closes, every waiting message
// is answered with SCARD_E_NO_SERVICE before the connection goes.
void ScRedirQrn_ServerLoop(ScRedirSession& session) {
  const ScRedirLinkOptions options = CurrentOptions();
  for (bool first = true;; first = false) {
    if (!first && session.WaitForClose(std::chrono::milliseconds(options.retryMs))) return;
    int fd = Connect(session, options);
    if (fd < 0) return;
    auto conn = std::make_shared<ScRedirDaemonConn>(fd, options.writeTimeoutMs);
    // The channel may have closed while we connected: then nobody would
    // shut this descriptor down, so do not serve it.
    if (!session.AttachConn(conn)) return;
    ScRedirReadAhead ahead;
    while (!session.closed()) {
      int32_t rc = ScRedirQrn_HandleDaemonMessage(session, conn->fd(), &ahead);
      if (rc != 0) {
        LogExit(rc);
        break;
      }
    }
    if (session.closed()) {
      // Completions already under way finish first (their replies must
      // still get out); whatever they left, or put back, is answered.
      ScRedirQrn_AnswerAllPending(*conn, kScardENoService);
      conn->WaitUntilIdle();
      ScRedirQrn_AnswerAllPending(*conn, kScardENoService);
    }
    session.RetireConn(conn);
    conn->Shutdown();
    if (session.closed()) return;
  }
}

void ScRedirQrn_ServerThreadMain(const std::shared_ptr<ScRedirSession>& session) {
  ScRedirQrn_Log(kQrnLogInfo, 0, "Smartcard server thread start.");
  ScRedirQrn_ServerLoop(*session);
  ScRedirQrn_Log(kQrnLogInfo, 0, "qrn plugin thread exits");
}

}  // namespace

ScRedirLinkOptions ScRedirQrn_LinkOptionsFromConfig() {
  ScRedirLinkOptions options{kScRedirDefaultSocketPath, kDefaultRetryMs, kDefaultWriteTimeoutMs};
  if (char* path = ConfigGetString(nullptr, "QRN.ScRedir.socketPath")) {
    if (*path) options.socketPath = path;
    g_free(path);
  }
  int32_t retryMs =
      ConfigGetInt(static_cast<int32_t>(kDefaultRetryMs), "QRN.ScRedir.connectRetryMs");
  if (retryMs > 0) options.retryMs = static_cast<uint32_t>(retryMs);
  int32_t writeMs = ConfigGetInt(static_cast<int32_t>(kDefaultWriteTimeoutMs),
                                 "QRN.ScRedir.daemonWriteTimeoutMs");
  if (writeMs > 0) options.writeTimeoutMs = static_cast<uint32_t>(writeMs);
  return options;
}

void ScRedirQrn_SetLinkOptionsForTest(const ScRedirLinkOptions* options) {
  std::lock_guard<std::mutex> lock(g_optionsMutex);
  g_optionsOverridden = options != nullptr;
  if (options) g_options = *options;
}

void ScRedirQrn_StartServerThread(std::shared_ptr<ScRedirSession> session) {
  bool started = false;
  uint64_t id = 0;
  {
    std::lock_guard<std::mutex> lock(g_slot.mutex);
    // The previous thread (its channel already closed) is joined by the new
    // one, so this host callback never blocks on it.
    std::shared_ptr<std::thread> previous;
    try {
      previous = std::make_shared<std::thread>(std::move(g_slot.thread));
      g_slot.thread = std::thread([session, previous]() {
        try {
          if (previous->joinable()) previous->join();
          ScRedirQrn_ServerThreadMain(session);
        } catch (...) {
          // Nothing may escape a thread; an allocation failure ends it.
          if (ScRedirConnRef conn = session->Conn()) {
            session->RetireConn(conn);
            conn->Shutdown();
          }
        }
      });
      started = true;
      id = static_cast<uint64_t>(g_slot.thread.native_handle());
    } catch (const std::exception&) {
      if (previous) g_slot.thread = std::move(*previous);
    }
  }
  if (!started) {
    ScRedirQrn_Log(kQrnLogInfo, 0, "pthread_create failed");
    return;
  }
  ScRedirQrn_Logf(kQrnLogInfo, 0, "Smartcard plugin IPC server socket pthread created with ID %08x",
                  static_cast<uint32_t>(id));
}

void ScRedirQrn_JoinServerThread() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(g_slot.mutex);
    thread = std::move(g_slot.thread);
  }
  if (!thread.joinable()) return;
  // The link thread cannot wait for itself; it is let go rather than
  // destroyed joinable, which would end the whole process.
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();
  } else {
    thread.join();
  }
}

int32_t ScRedirQrn_HandleDaemonMessage(ScRedirSession& session, int descriptor,
                                       ScRedirReadAhead* ahead) {
  SocketSource source(descriptor, ahead);
  return ScRedirQrn_ReadDaemonMessage(session, source);
}

int32_t ScRedirQrn_ReadDaemonMessage(ScRedirSession& session, ScRedirDaemonSource& source) {
  PcscdMessageHeader header;
  if (source.Read(&header, sizeof(header)) != 0) {
    ScRedirQrn_Logf(kQrnLogInfo, 0, "Client %d die.", source.id());
    return -1;
  }
  if (ScRedirQrn_DebugOn()) {
    ScRedirQrn_Logf(kQrnLogDebug, 0, "Header.command is %d Entry switch.",
                    static_cast<int>(header.command));
  }
  const PcscdCommand* command = ScRedirQrn_FindCommand(header.command);
  if (command == nullptr) {
    ScRedirQrn_Logf(kQrnLogError, 0, "Invalid command: %08x", header.command);
    return 0;
  }
  const bool sized = command->body == PcscdBody::kSizedByHeader;
  // An oversized body: its first full record is kept for the answer, the
  // rest is drained.
  const uint32_t toRead =
      sized ? std::min(header.size, command->recordBytes) : command->recordBytes;
  // The block is always the full record, so the checks and the builder may
  // read every field whatever `size` said; bytes not received stay zero.
  static_assert(sizeof(TransmitMsg) >= sizeof(ControlMsg) &&
                sizeof(TransmitMsg) >= sizeof(GetStatusChangeMsg));
  uint8_t* body = ReceiveBlockBytes();
  ClearOnExit clear{body, toRead};
  int32_t rc = body ? source.Read(body, toRead) : -1;
  if (rc == 0 && sized && header.size > toRead) rc = Drain(header.size - toRead, source);
  if (rc != 0) {
    if (!sized) LogExit(rc);
    return rc;
  }
  ScRedirQrn_RedirectCommand(session, *command, header, body);
  return 0;
}
