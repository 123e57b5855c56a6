// Daemon socket operations; see socket_link.h.
#include "scredir/socket_link.h"

#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "scredir/qrn_log.h"

namespace {

// Waits without a time-out until `events` (or a hang-up or error, which the
// following transfer then reports) is signalled. Returns poll's result.
int WaitFor(int descriptor, short events, short* revents) {
  struct pollfd p {};
  p.fd = descriptor;
  p.events = events;
  int n = ::poll(&p, 1, -1);
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
  // The family, the path and its terminating NUL.
  auto addrLength = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + pathLength + 1);
  if (::connect(*descriptor, reinterpret_cast<const struct sockaddr*>(&addr), addrLength) != 0) {
    ScRedirQrn_Logf(kQrnLogError, 0, "Failed to connect to client socket %s: %s", path,
                    strerror(errno));
    return -1;
  }
  ScRedirQrn_Log(kQrnLogInfo, 0, "Connect server okay.");
  int on = 1;
  if (::ioctl(*descriptor, FIONBIO, &on) != 0) {
    ScRedirQrn_Logf(kQrnLogError, 0, "Failed to set socket %s nonblocking: %s", path,
                    strerror(errno));
    ::close(*descriptor);
    *descriptor = -1;
    return -1;
  }
  return 0;
}

int ScRedirQrn_ReadExactly(void* buffer, size_t count, int descriptor) {
  auto* at = static_cast<uint8_t*>(buffer);
  while (count > 0) {
    short revents = 0;
    if (WaitFor(descriptor, POLLIN, &revents) < 1) {
      int err = errno;
      ScRedirQrn_Log(kQrnLogError, 0, "socket unreadable.");
      if (err == EINTR) continue;
      return -1;
    }
    if (!Ready(revents, POLLIN)) return -1;
    ssize_t n = ::read(descriptor, at, count);
    if (n == 0) return -1;  // the daemon closed its end
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return -1;
    }
    at += n;
    count -= static_cast<size_t>(n);
  }
  return 0;
}

int ScRedirQrn_WriteExactly(const void* buffer, size_t count, int descriptor) {
  const auto* at = static_cast<const uint8_t*>(buffer);
  while (count > 0) {
    short revents = 0;
    int ready = WaitFor(descriptor, POLLOUT, &revents);
    if (ready == 0) return -2;
    if (ready < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (!Ready(revents, POLLOUT)) return -1;
    ssize_t n = ::send(descriptor, at, count, MSG_NOSIGNAL);
    if (n == 0) return -1;
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return -1;
    }
    at += n;
    count -= static_cast<size_t>(n);
  }
  return 0;
}
