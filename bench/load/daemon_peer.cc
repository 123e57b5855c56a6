// The daemon's end of the load tool's sockets; see daemon_peer.h.
#include "bench/load/daemon_peer.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace scredir::load {
namespace {

// Long enough for a loaded machine, short enough to end a stuck run.
constexpr int kTransferTimeoutSeconds = 10;
constexpr uint32_t kConnectRecord = 152;
constexpr uint32_t kEstablishRecord = 12;

}  // namespace

bool ReadFull(int fd, void* buffer, size_t n) {
  auto* at = static_cast<uint8_t*>(buffer);
  while (n > 0) {
    ssize_t got = ::read(fd, at, n);
    if (got > 0) {
      at += got;
      n -= static_cast<size_t>(got);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

bool WriteFull(int fd, const void* buffer, size_t n) {
  const auto* at = static_cast<const uint8_t*>(buffer);
  while (n > 0) {
    ssize_t put = ::send(fd, at, n, MSG_NOSIGNAL);
    if (put > 0) {
      at += put;
      n -= static_cast<size_t>(put);
    } else if (put < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

DaemonPeer::DaemonPeer(std::string path) : path_(std::move(path)) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path_.size() >= sizeof addr.sun_path) return;
  std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
  ::unlink(path_.c_str());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0) {
    ::close(fd);
    return;
  }
  listenFd_ = fd;
}

DaemonPeer::~DaemonPeer() {
  if (fd_ >= 0) ::close(fd_);
  if (listenFd_ >= 0) {
    ::close(listenFd_);
    ::unlink(path_.c_str());
  }
}

bool DaemonPeer::Accept(std::chrono::milliseconds timeout, std::string* error) {
  if (listenFd_ < 0) {
    *error = "cannot listen at " + path_;
    return false;
  }
  pollfd p{listenFd_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) {
    *error = "nobody connected to " + path_ + " in time";
    return false;
  }
  fd_ = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd_ < 0) {
    *error = "accept failed at " + path_;
    return false;
  }
  timeval tv{kTransferTimeoutSeconds, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  return true;
}

bool DaemonPeer::Exchange(uint32_t id, uint32_t command, const std::vector<uint8_t>& record,
                          std::vector<uint8_t>* reply, uint32_t replyLength) {
  std::vector<uint8_t> message(kHeaderBytes + record.size());
  Store32(message.data(), id);
  Store32(message.data() + 4, command);
  Store32(message.data() + 8, static_cast<uint32_t>(record.size()));
  std::memcpy(message.data() + kHeaderBytes, record.data(), record.size());
  reply->assign(replyLength, 0);
  return WriteFull(fd_, message.data(), message.size()) &&
         ReadFull(fd_, reply->data(), replyLength) && Load32(reply->data()) == id;
}

bool DaemonPeer::OpenCard(uint32_t* hContext, uint32_t* hCard, std::string* error) {
  std::vector<uint8_t> establish(kEstablishRecord, 0);
  Store32(establish.data(), 2);  // SCARD_SCOPE_SYSTEM
  std::vector<uint8_t> reply;
  if (!Exchange(1, kPcscdEstablishContext, establish, &reply, kHeaderBytes + kEstablishRecord) ||
      Load32(reply.data() + kHeaderBytes + 8) != 0) {
    *error = "EstablishContext through the plug-in failed";
    return false;
  }
  *hContext = Load32(reply.data() + kHeaderBytes + 4);
  std::vector<uint8_t> connect(kConnectRecord, 0);
  Store32(connect.data(), *hContext);
  const char reader[] = "Load Reader 00";
  std::memcpy(connect.data() + 4, reader, sizeof reader);
  Store32(connect.data() + 132, 2);  // SCARD_SHARE_SHARED
  Store32(connect.data() + 136, 3);  // T=0 or T=1
  if (!Exchange(2, kPcscdConnect, connect, &reply, kHeaderBytes + kConnectRecord) ||
      Load32(reply.data() + kHeaderBytes + 148) != 0) {
    *error = "Connect through the plug-in failed";
    return false;
  }
  *hCard = Load32(reply.data() + kHeaderBytes + 140);
  return true;
}

TransmitLoad::TransmitLoad(uint32_t apduBytes, uint32_t hContext, uint32_t hCard)
    : apduBytes(apduBytes),
      message(kHeaderBytes + kTransmitFixed + apduBytes, 0),
      reply(kTransmitReply, 0) {
  uint8_t* h = message.data();
  Store32(h + 4, kPcscdTransmit);
  Store32(h + 8, kTransmitFixed + apduBytes);
  uint8_t* r = h + kHeaderBytes;
  Store32(r + kTxContext, hContext);
  Store32(r + kTxCard, hCard);
  Store32(r + kTxSend, apduBytes);
  Store32(r + kTxRecv, apduBytes);
  Store32(r + kTxSendProto, 2);  // T=1
  Store32(r + kTxSendPciLen, 8);
  for (uint32_t i = 0; i < apduBytes; ++i) r[kTransmitFixed + i] = static_cast<uint8_t>(i * 3 + 5);
}

bool TransmitLoad::Check(uint32_t id) const {
  const uint8_t* r = reply.data() + kHeaderBytes;
  return Load32(reply.data()) == id && Load32(reply.data() + 4) == kPcscdTransmit &&
         Load32(r + kTxRv) == 0 && Load32(r + kTxRecv) == apduBytes;
}

}  // namespace scredir::load
