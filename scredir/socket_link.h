// The daemon socket: create, connect, and read or write an exact number of
// bytes on a non-blocking Unix-domain stream socket.
//
// Every operation returns 0 on success and a negative value on failure and
// logs its own failures. Reads happen only on the daemon link thread and
// writes (replies) only on the host's receive thread, so the two never
// share a buffer; the descriptor's lifetime is the caller's (the session in
// state.h keeps it open while either side may use it). Waits use poll(), so
// descriptors above FD_SETSIZE work too. Writes never raise SIGPIPE: a
// daemon that went away is a failed write, not a dead host process.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>

inline constexpr char kScRedirDefaultSocketPath[] = "/var/run/qrnipc/qrn.socket";

// socket(AF_UNIX, SOCK_STREAM); logs "Error: create PCSCD client socket: %s".
int ScRedirQrn_CreateSocket(int* descriptor);
// Checks that `path` exists, switches to non-blocking mode and connects,
// so a daemon whose backlog is full never blocks the caller. A failed stat
// or connect leaves the descriptor open for a retry; when the switch to
// non-blocking mode fails the descriptor is closed and *descriptor becomes
// -1, so the caller knows to create a new one. Returns 0 when connected,
// kConnectInProgress when the connection completes later (wait for
// writability, then ScRedirQrn_FinishConnect), -1 otherwise.
inline constexpr int kConnectInProgress = 1;
int ScRedirQrn_ConnectSocket(int* descriptor, const char* path);
// After a pending connect became writable: 0 connected, -1 failed (logged).
int ScRedirQrn_FinishConnect(int descriptor, const char* path);
// 0 once all `count` bytes are read; -1 on end of stream or a hard error.
int ScRedirQrn_ReadExactly(void* buffer, size_t count, int descriptor);
// 0 once all bytes are written; -1 on a hard error; -2 when the wait for
// writability ends with nothing ready.
int ScRedirQrn_WriteExactly(const void* buffer, size_t count, int descriptor);
// The same, but -2 once `timeoutMs` has passed in all without the daemon
// taking every byte.
int ScRedirQrn_WriteExactlyFor(const void* buffer, size_t count, int descriptor, int timeoutMs);
// Logs that the daemon did not take a reply in time and the connection goes.
void ScRedirQrn_LogDaemonWriteTimeout(int descriptor);

// The system calls the transfers use; tests replace them (null restores
// the real ones) to inject EINTR, short transfers and failures.
struct ScRedirSocketCalls {
  ssize_t (*read)(int fd, void* buffer, size_t count);
  ssize_t (*send)(int fd, const void* buffer, size_t count, int flags);
  int (*poll)(struct pollfd* fds, nfds_t count, int timeoutMs);
};
void ScRedirQrn_SetSocketCallsForTest(const ScRedirSocketCalls* calls);
