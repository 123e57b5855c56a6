// Daemon socket operations; see socket_link.h.
#include "scredir/socket_link.h"

#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "scredir/qrn_log.h"

namespace {

const ScRedirSocketCalls kRealCalls{::recv, ::send, ::poll};
std::atomic<const ScRedirSocketCalls*> g_calls{&kRealCalls};

const ScRedirSocketCalls& Calls() {
  return *g_calls.load(std::memory_order_acquire);
}

// Waits (timeoutMs < 0: without a time-out) until `events` (or a hang-up
// or error, which the following transfer then reports) is signalled.
// Returns poll's result.
int WaitFor(int descriptor, short events, short* revents, int timeoutMs = -1) {
  struct pollfd p {};
  p.fd = descriptor;
  p.events = events;
  int n = Calls().poll(&p, 1, timeoutMs);
  *revents = p.revents;
  return n;
}

bool Ready(short revents, short wanted) {
  if (revents & POLLNVAL) return false;
  return (revents & (wanted | POLLHUP | POLLERR)) != 0;
}

}  // namespace

int ScRedirQrn_CreateSocket(int* descriptor) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    ScRedirQrn_Logf(kQrnLogError, 0, "Error: create PCSCD client socket: %s", strerror(errno));
    return -1;
  }
  *descriptor = fd;
  return 0;
}

int ScRedirQrn_ConnectSocket(int* descriptor, const char* path) {
  struct stat st;
  if (::stat(path, &st) != 0) {
    ScRedirQrn_Logf(kQrnLogError, 0, "PCSC Not Running: %s: %s", path, strerror(errno));
    return -1;
  }
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  const size_t pathLength = strlen(path);
  if (pathLength >= sizeof(addr.sun_path)) {
    ScRedirQrn_Logf(kQrnLogError, 0, "Failed to connect to client socket %s: %s", path,
                    strerror(ENAMETOOLONG));
    return -1;
  }
  std::memcpy(addr.sun_path, path, pathLength);
  // Non-blocking before the connect: a daemon that accepts nobody (its
  // backlog full) makes connect fail with EAGAIN instead of hanging the
  // link thread where no close or stop could reach it.
  int on = 1;
  if (::ioctl(*descriptor, FIONBIO, &on) != 0) {
    ScRedirQrn_Logf(kQrnLogError, 0, "Failed to set socket %s nonblocking: %s", path,
                    strerror(errno));
    ::close(*descriptor);
    *descriptor = -1;
    return -1;
  }
  // The family, the path and its terminating NUL.
  auto addrLength = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + pathLength + 1);
  if (::connect(*descriptor, reinterpret_cast<const struct sockaddr*>(&addr), addrLength) != 0) {
    if (errno == EINPROGRESS) return kConnectInProgress;
    ScRedirQrn_Logf(kQrnLogError, 0, "Failed to connect to client socket %s: %s", path,
                    strerror(errno));
    return -1;
  }
  ScRedirQrn_Log(kQrnLogInfo, 0, "Connect server okay.");
  return 0;
}

int ScRedirQrn_FinishConnect(int descriptor, const char* path) {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  if (error != 0) {
    ScRedirQrn_Logf(kQrnLogError, 0, "Failed to connect to client socket %s: %s", path,
                    strerror(error));
    return -1;
  }
  ScRedirQrn_Log(kQrnLogInfo, 0, "Connect server okay.");
  return 0;
}

int ScRedirQrn_ReadExactly(void* buffer, size_t count, int descriptor) {
  return ScRedirQrn_ReadExactlyAhead(buffer, count, descriptor, nullptr);
}

int ScRedirQrn_ReadExactlyAhead(void* buffer, size_t count, int descriptor,
                                ScRedirReadAhead* ahead) {
  auto* at = static_cast<uint8_t*>(buffer);
  if (ahead != nullptr && ahead->end > ahead->begin) {
    const size_t n = std::min(count, ahead->end - ahead->begin);
    std::memcpy(at, ahead->bytes + ahead->begin, n);
    ahead->begin += n;
    at += n;
    count -= n;
  }
  bool wait = ahead != nullptr && ahead->waitFirst && count > 0;
  while (count > 0) {
    if (wait) {
      // Nothing there yet: wait for it (or for the hang-up or error that
      // the next read then reports).
      short revents = 0;
      if (WaitFor(descriptor, POLLIN, &revents) < 1) {
        int err = errno;
        ScRedirQrn_Log(kQrnLogError, 0, "socket unreadable.");
        if (err == EINTR) continue;
        return -1;
      }
      if (!Ready(revents, POLLIN)) return -1;
    }
    // A short read fills the read-ahead block; the caller's part is copied
    // out and the rest stays for the next read.
    const bool viaBlock = ahead != nullptr && count < ScRedirReadAhead::kBytes;
    const size_t asked = viaBlock ? ScRedirReadAhead::kBytes : count;
    ssize_t n = Calls().recv(descriptor, viaBlock ? ahead->bytes : at, asked, MSG_DONTWAIT);
    if (n == 0) return -1;  // the daemon closed its end
    wait = n < 0 && errno != EINTR;
    if (wait && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    // Fewer bytes than asked for: the socket is empty now.
    if (ahead != nullptr && (n > 0 || wait))
      ahead->waitFirst = wait || static_cast<size_t>(n) < asked;
    if (n > 0) {
      size_t got = static_cast<size_t>(n);
      if (viaBlock) {
        ahead->begin = std::min(got, count);
        ahead->end = got;
        std::memcpy(at, ahead->bytes, ahead->begin);
        got = ahead->begin;
      }
      at += got;
      count -= got;
    }
  }
  return 0;
}

int ScRedirQrn_WriteExactly(const void* buffer, size_t count, int descriptor) {
  return ScRedirQrn_WriteExactlyFor(buffer, count, descriptor, -1);
}

int ScRedirQrn_WriteExactlyFor(const void* buffer, size_t count, int descriptor, int timeoutMs) {
  const auto* at = static_cast<const uint8_t*>(buffer);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (count > 0) {
    // Try first: a daemon that reads its replies nearly always has room, so
    // the wait below is only for a full socket (MSG_DONTWAIT keeps the try
    // from blocking on a descriptor in blocking mode too).
    ssize_t n = Calls().send(descriptor, at, count, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      at += n;
      count -= static_cast<size_t>(n);
      continue;
    }
    if (n == 0) return -1;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    short revents = 0;
    int wait = -1;
    if (timeoutMs >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
    int ready = WaitFor(descriptor, POLLOUT, &revents, wait);
    if (ready == 0) return -2;
    if (ready < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (!Ready(revents, POLLOUT)) return -1;
  }
  return 0;
}

void ScRedirQrn_LogDaemonWriteTimeout(int descriptor) {
  ScRedirQrn_Logf(kQrnLogError, 0,
                  "Daemon socket %d took no reply within the write time-out, reconnecting",
                  descriptor);
}

void ScRedirQrn_SetSocketCallsForTest(const ScRedirSocketCalls* calls) {
  g_calls.store(calls ? calls : &kRealCalls, std::memory_order_release);
}
