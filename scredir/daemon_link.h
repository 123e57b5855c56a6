// The daemon link thread: connects to the PC/SC daemon's socket, reads one
// daemon message after another and hands each, with its command's entry,
// to the dispatch that redirects it over the channel. When the daemon hangs up while the
// channel is open, it connects again.
//
// One thread serves one session (state.h). At most one link thread serves at
// a time: a thread started for a new channel first waits for the previous
// one, which the previous channel's close has already told to end. Replies
// are written on the host's receive thread, answers to refused messages on
// this one (each through the connection's write token). It never blocks in
// connect(): while it waits to connect it sleeps on the session, so a
// channel close or QRN_Stop wakes it and it ends at once. The descriptor it connected is
// closed when the thread and every reply writer are done with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct ScRedirSession;
struct ScRedirReadAhead;

// Where to connect and how long to wait between attempts. The defaults come
// from the configuration ("QRN.ScRedir.socketPath",
// "QRN.ScRedir.connectRetryMs"): "/var/run/qrnipc/qrn.socket" and 5000 ms.
struct ScRedirLinkOptions {
  std::string socketPath;
  uint32_t retryMs;
  // How long a reply may wait for the daemon to take it before the
  // connection is dropped and made again ("QRN.ScRedir.daemonWriteTimeoutMs",
  // 3000 ms).
  uint32_t writeTimeoutMs = 3000;
};
ScRedirLinkOptions ScRedirQrn_LinkOptionsFromConfig();
// Tests: fixed options instead of the configuration; null restores it.
void ScRedirQrn_SetLinkOptionsForTest(const ScRedirLinkOptions* options);

// Starts the link thread for `session` and logs the outcome.
void ScRedirQrn_StartServerThread(std::shared_ptr<ScRedirSession> session);
// Waits for the link thread (and any it was waiting for) to end. The caller
// has closed the session first. Never call it on the link thread.
void ScRedirQrn_JoinServerThread();

// Reads and dispatches one daemon message from `descriptor` for `session`:
// 0 to go on, non-zero to leave the receive loop. The command's entry gets
// the header and a zero-filled block of its full record size holding the
// bytes read (ScRedirQrn_RedirectCommand). A TRANSMIT/CONTROL `size` outside
// [fixed part, full record] is refused with one ERROR line after its bytes
// are read and answered with SCARD_E_INVALID_PARAMETER (an oversized body
// keeps its first full record for the answer; the rest is drained in
// bounded chunks, never allocated).
// With `ahead` (the connection's read-ahead block, socket_link.h) a message
// already there is read in one go and bytes of the next are kept in it;
// without, nothing past the message is read.
int32_t ScRedirQrn_HandleDaemonMessage(ScRedirSession& session, int descriptor,
                                       ScRedirReadAhead* ahead = nullptr);

// Where the daemon's bytes come from: the socket, or memory when fuzzing.
class ScRedirDaemonSource {
 public:
  virtual ~ScRedirDaemonSource() = default;
  // 0 once all `count` bytes are read; non-zero at the end or on a failure.
  virtual int Read(void* buffer, size_t count) = 0;
  // The number "Client %d die." names.
  virtual int id() const = 0;
};
// The same as above over any source: the one reader of daemon records.
// Refused records are answered (SCARD_E_INVALID_PARAMETER) here.
int32_t ScRedirQrn_ReadDaemonMessage(ScRedirSession& session, ScRedirDaemonSource& source);
