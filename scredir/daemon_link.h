// The daemon link thread: connects to the PC/SC daemon's socket, reads one
// daemon message after another and hands each to its command's entry point,
// which redirects it over the channel.
//
// One thread serves one session (state.h). At most one link thread serves at
// a time: a thread started for a new channel first waits for the previous
// one, which the previous channel's close has already told to end. The
// thread never writes to the daemon; replies are written on the host's
// receive thread. While it waits to connect it sleeps on the session, so a
// channel close wakes it and it ends at once. The descriptor it connected is
// closed when the thread and every reply writer are done with it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct ScRedirSession;

// Where to connect and how long to wait between attempts. The defaults come
// from the configuration ("QRN.ScRedir.socketPath",
// "QRN.ScRedir.connectRetryMs"): "/var/run/qrnipc/qrn.socket" and 5000 ms.
struct ScRedirLinkOptions {
  std::string socketPath;
  uint32_t retryMs;
};
ScRedirLinkOptions ScRedirQrn_LinkOptionsFromConfig();
// Tests: fixed options instead of the configuration; null restores it.
void ScRedirQrn_SetLinkOptionsForTest(const ScRedirLinkOptions* options);

// Starts the link thread for `session` and logs the outcome.
void ScRedirQrn_StartServerThread(std::shared_ptr<ScRedirSession> session);
// Waits for the link thread (and any it was waiting for) to end. The caller
// has closed the session first. Never call it on the link thread.
void ScRedirQrn_JoinServerThread();

// Reads and dispatches one daemon message from `descriptor`: 0 to go on,
// non-zero to leave the receive loop. The entry point gets the header and a
// zero-filled block of the command's full record size holding the bytes
// read (bodyLength of them). A TRANSMIT/CONTROL `size` outside [fixed part,
// full record] is refused with one ERROR line after its bytes are read (an
// oversized body is drained in bounded chunks, never allocated).
int32_t ScRedirQrn_HandleDaemonMessage(int descriptor);
