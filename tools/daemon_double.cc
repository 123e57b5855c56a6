// The daemon double's socket work. The background thread owns accepting and
// reading; the test thread writes. A descriptor is closed only by the
// background thread and only under writeMu_, so a test write never lands on
// a descriptor number that has been reused.
#include "tools/daemon_double.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace scredir::tools {
namespace {

// Safety net for every wait: far beyond what any healthy run needs.
constexpr auto kWaitBound = std::chrono::seconds(60);

// Reads exactly n bytes, giving up on end of stream, an error or a wake-up.
bool ReadExact(int fd, int wakeFd, uint8_t* out, size_t n) {
  while (n > 0) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (fds[1].revents) return false;
    ssize_t got = read(fd, out, n);
    if (got == 0) return false;
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    out += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

bool WriteExact(int fd, const uint8_t* data, size_t n) {
  while (n > 0) {
    ssize_t put = send(fd, data, n, MSG_NOSIGNAL);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += put;
    n -= static_cast<size_t>(put);
  }
  return true;
}

}  // namespace

uint32_t PcscdRecordSize(uint32_t command) {
  switch (command) {
    case kPcscdEstablishContext:
      return 12;
    case kPcscdReleaseContext:
      return 8;
    case kPcscdListReaders:
      return 8216;
    case kPcscdConnect:
      return 152;
    case kPcscdReconnect:
      return 28;
    case kPcscdDisconnect:
      return 16;
    case kPcscdBeginTransaction:
      return 12;
    case kPcscdEndTransaction:
      return 16;
    case kPcscdTransmit:
      return 65584;
    case kPcscdControl:
      return 65576;
    case kPcscdStatus:
      return 192;
    case kPcscdCancel:
      return 8;
    case kPcscdGetAttrib:
      return 284;
    case kPcscdSetAttrib:
      return 284;
    case kPcscdGetStatusChange:
      return 11280;
    default:
      return 0;
  }
}

PcscdRecord& PcscdRecord::Put32(size_t offset, uint32_t value) {
  std::memcpy(bytes_.data() + offset, &value, 4);  // host order, like the daemon
  return *this;
}

PcscdRecord& PcscdRecord::PutBytes(size_t offset, const Bytes& value) {
  std::copy(value.begin(), value.end(), bytes_.begin() + static_cast<ptrdiff_t>(offset));
  return *this;
}

PcscdRecord& PcscdRecord::PutString(size_t offset, const std::string& text) {
  std::copy(text.begin(), text.end(), bytes_.begin() + static_cast<ptrdiff_t>(offset));
  bytes_[offset + text.size()] = 0;
  return *this;
}

uint32_t Get32(const Bytes& bytes, size_t offset) {
  uint32_t value = 0;
  if (offset + 4 <= bytes.size()) std::memcpy(&value, bytes.data() + offset, 4);
  return value;
}

DaemonDouble::DaemonDouble(std::string socketPath) : path_(std::move(socketPath)) {
  unlink(path_.c_str());
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path_.size() >= sizeof(addr.sun_path)) return;
  std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 4) != 0 ||
      pipe2(wakeFds_, O_CLOEXEC) != 0) {
    close(fd);
    return;
  }
  listenFd_ = fd;
  thread_ = std::thread([this] { Run(); });
}

DaemonDouble::~DaemonDouble() {
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
  }
  if (wakeFds_[1] >= 0) {
    uint8_t one = 1;
    [[maybe_unused]] ssize_t ignored = write(wakeFds_[1], &one, 1);
  }
  if (thread_.joinable()) thread_.join();
  if (listenFd_ >= 0) close(listenFd_);
  for (int fd : wakeFds_) {
    if (fd >= 0) close(fd);
  }
  unlink(path_.c_str());
}

void DaemonDouble::Run() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    {
      std::lock_guard lock(mu_);
      connFd_ = fd;
      ++connections_;
      peerClosed_ = false;
    }
    cv_.notify_all();
    bool woken = !ReadConnection(fd);
    {
      std::lock_guard writeLock(writeMu_);
      std::lock_guard lock(mu_);
      peerClosed_ = true;
      connFd_ = -1;
      close(fd);
    }
    cv_.notify_all();
    if (woken) return;
  }
}

// Reads replies until the connection ends. Returns false when woken to stop.
bool DaemonDouble::ReadConnection(int fd) {
  for (;;) {
    Bytes reply(12);
    if (!ReadExact(fd, wakeFds_[0], reply.data(), reply.size())) break;
    uint32_t length = PcscdReplyLength(Get32(reply, 4));
    if (length == 0) {
      std::lock_guard lock(mu_);
      outOfStep_ = true;
      break;
    }
    reply.resize(length);
    if (!ReadExact(fd, wakeFds_[0], reply.data() + 12, length - 12)) break;
    {
      std::lock_guard lock(mu_);
      order_.push_back(Get32(reply, 0));
      replies_.push_back(std::move(reply));
    }
    cv_.notify_all();
  }
  std::lock_guard lock(mu_);
  return !stopping_;
}

bool DaemonDouble::WaitFor(std::unique_lock<std::mutex>& lock, const std::function<bool()>& done) {
  return cv_.wait_for(lock, kWaitBound, done);
}

bool DaemonDouble::AwaitConnections(size_t count) {
  std::unique_lock lock(mu_);
  return WaitFor(lock, [&] { return connections_ >= count; });
}

size_t DaemonDouble::connections() const {
  std::lock_guard lock(mu_);
  return connections_;
}

bool DaemonDouble::Send(uint32_t id, uint32_t command, const Bytes& record,
                        std::optional<uint32_t> size) {
  Bytes frame(12);
  uint32_t header[3] = {id, command, size.value_or(static_cast<uint32_t>(record.size()))};
  std::memcpy(frame.data(), header, sizeof(header));
  frame.insert(frame.end(), record.begin(), record.end());
  return SendRaw(frame);
}

bool DaemonDouble::SendRaw(const Bytes& bytes) {
  std::lock_guard writeLock(writeMu_);
  int fd;
  {
    std::lock_guard lock(mu_);
    fd = connFd_;
  }
  return fd >= 0 && WriteExact(fd, bytes.data(), bytes.size());
}

std::optional<Bytes> DaemonDouble::AwaitReply(uint32_t id) {
  return AwaitReply(id, kWaitBound);
}

std::optional<Bytes> DaemonDouble::AwaitReply(uint32_t id, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mu_);
  auto find = [&] {
    return std::find_if(replies_.begin(), replies_.end(),
                        [&](const Bytes& r) { return Get32(r, 0) == id; });
  };
  cv_.wait_for(lock, timeout, [&] { return find() != replies_.end() || peerClosed_; });
  auto it = find();
  if (it == replies_.end()) return std::nullopt;
  Bytes reply = std::move(*it);
  replies_.erase(it);
  return reply;
}

bool DaemonDouble::AwaitReplyCount(size_t count) {
  std::unique_lock lock(mu_);
  return WaitFor(lock, [&] { return order_.size() >= count; });
}

std::vector<uint32_t> DaemonDouble::ReplyOrder() const {
  std::lock_guard lock(mu_);
  return order_;
}

bool DaemonDouble::HasReply(uint32_t id) const {
  std::lock_guard lock(mu_);
  return std::any_of(replies_.begin(), replies_.end(),
                     [&](const Bytes& r) { return Get32(r, 0) == id; });
}

size_t DaemonDouble::replyCount() const {
  std::lock_guard lock(mu_);
  return order_.size();
}

bool DaemonDouble::AwaitPeerClosed() {
  std::unique_lock lock(mu_);
  return WaitFor(lock, [&] { return peerClosed_ && connections_ > 0; });
}

bool DaemonDouble::peerClosed() const {
  std::lock_guard lock(mu_);
  return peerClosed_;
}

void DaemonDouble::CloseConnection() {
  std::lock_guard lock(mu_);
  if (connFd_ >= 0) shutdown(connFd_, SHUT_RDWR);
}

bool DaemonDouble::outOfStep() const {
  std::lock_guard lock(mu_);
  return outOfStep_;
}

}  // namespace scredir::tools
