// The daemon socket: create, connect, and read or write an exact number of
// bytes on a non-blocking Unix-domain stream socket.
//
// Every operation returns 0 on success and a negative value on failure and
// logs its own failures. Reads happen only on the daemon link thread and
// writes (replies) only on the host's receive thread, so the two never
// share a buffer; the descriptor's lifetime is the caller's (the session in
// state.h keeps it open while either side may use it). Transfers are tried
// first (MSG_DONTWAIT) and wait with poll() only when the socket is empty or
// full, so descriptors above FD_SETSIZE work too. Writes never raise SIGPIPE: a
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
// Each read is tried first and waited for (poll, no time-out) only when
// nothing is there; nothing past `count` is read.
int ScRedirQrn_ReadExactly(void* buffer, size_t count, int descriptor);

// Bytes read ahead of what was asked for, kept for the next read of the
// same descriptor: a short read asks the socket for a whole block, so a
// message whose header and record are both there costs one read, and a
// daemon with several messages queued is read in one go. Reads at least as
// large as the block go straight into the caller's buffer. A read that
// left the socket empty (it got fewer bytes than it asked for, or none)
// makes the next one wait before its try: a daemon that waits for each
// reply before its next message would otherwise cost an empty try per
// message, while one that keeps the socket full is read without waits.
struct ScRedirReadAhead {
  static constexpr size_t kBytes = 4096;
  size_t begin = 0;
  size_t end = 0;
  bool waitFirst = false;
  unsigned char bytes[kBytes];
};
// ScRedirQrn_ReadExactly through `ahead` (null: no read-ahead).
int ScRedirQrn_ReadExactlyAhead(void* buffer, size_t count, int descriptor,
                                ScRedirReadAhead* ahead);
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
  ssize_t (*recv)(int fd, void* buffer, size_t count, int flags);
  ssize_t (*send)(int fd, const void* buffer, size_t count, int flags);
  int (*poll)(struct pollfd* fds, nfds_t count, int timeoutMs);
};
void ScRedirQrn_SetSocketCallsForTest(const ScRedirSocketCalls* calls);
