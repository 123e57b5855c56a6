// See plugin_link.h.
#include "daemon/plugin_link.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "daemon/log.h"
#include "lib/base/byte_reader.h"
#include "scredir/pcscd_msg.h"

namespace scredir::pcscd {
namespace {

constexpr size_t kHeaderBytes = sizeof(PcscdMessageHeader);
// A plug-in that leaves this many requests unanswered is not coming back.
constexpr size_t kMaxExpired = 1024;

}  // namespace

std::optional<size_t> PcscdRecordBytes(uint32_t command) {
  switch (command) {
    case PCSCD_ESTABLISH_CONTEXT:
      return sizeof(EstablishContextMsg);
    case PCSCD_RELEASE_CONTEXT:
      return sizeof(ReleaseContextMsg);
    case PCSCD_LIST_READERS:
      return sizeof(ListReadersMsg);
    case PCSCD_CONNECT:
      return sizeof(ConnectMsg);
    case PCSCD_RECONNECT:
      return sizeof(ReconnectMsg);
    case PCSCD_DISCONNECT:
      return sizeof(DisconnectMsg);
    case PCSCD_BEGIN_TRANSACTION:
      return sizeof(BeginTransactionMsg);
    case PCSCD_END_TRANSACTION:
      return sizeof(EndTransactionMsg);
    case PCSCD_TRANSMIT:
      return sizeof(TransmitMsg);
    case PCSCD_CONTROL:
      return sizeof(ControlMsg);
    case PCSCD_STATUS:
      return sizeof(StatusMsg);
    case PCSCD_CANCEL:
      return sizeof(CancelMsg);
    case PCSCD_GET_ATTRIB:
      return sizeof(GetAttribMsg);
    case PCSCD_SET_ATTRIB:
      return sizeof(SetAttribMsg);
    case PCSCD_GET_STATUS_CHANGE:
      return sizeof(GetStatusChangeMsg);
    default:
      return std::nullopt;
  }
}

PluginLink::PluginLink(int fd) : fd_(fd), in_(kHeaderBytes) {}

PluginLink::~PluginLink() {
  if (fd_ >= 0) ::close(fd_);
}

uint32_t PluginLink::NextId() {
  do {
    ++lastId_;
  } while (lastId_ == 0 || pending_.count(lastId_));
  return lastId_;
}

void PluginLink::Send(uint32_t command, std::vector<uint8_t> record, Clock::time_point deadline,
                      Callback callback) {
  if (failed_) {
    callback(Outcome::kLinkLost, {});
    return;
  }
  const uint32_t id = NextId();
  PcscdMessageHeader header{id, command, static_cast<uint32_t>(record.size())};
  std::vector<uint8_t> frame(kHeaderBytes + record.size());
  std::memcpy(frame.data(), &header, kHeaderBytes);
  if (!record.empty()) std::memcpy(frame.data() + kHeaderBytes, record.data(), record.size());
  out_.push_back(std::move(frame));
  pending_[id] = Pending{command, deadline, false, std::move(callback)};
  Log(LogLevel::kDebug, "to plug-in: id %u command %u, %zu record bytes", id, command,
      record.size());
  OnWritable();  // a failure shows up on the next read
}

bool PluginLink::OnWritable() {
  while (!out_.empty()) {
    const std::vector<uint8_t>& frame = out_.front();
    ssize_t n = ::send(fd_, frame.data() + outOffset_, frame.size() - outOffset_,
                       MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      Log(LogLevel::kError, "writing to the plug-in failed: %s", strerror(errno));
      return false;
    }
    outOffset_ += static_cast<size_t>(n);
    if (outOffset_ == frame.size()) {
      out_.pop_front();
      outOffset_ = 0;
    }
  }
  return true;
}

bool PluginLink::OnReadable() {
  for (;;) {
    ssize_t n = ::recv(fd_, in_.data() + inHave_, in_.size() - inHave_, MSG_DONTWAIT);
    if (n == 0) {
      Log(LogLevel::kInfo, "the plug-in closed the daemon socket");
      return false;
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      Log(LogLevel::kError, "reading from the plug-in failed: %s", strerror(errno));
      return false;
    }
    inHave_ += static_cast<size_t>(n);
    if (inHave_ < in_.size()) continue;
    if (in_.size() == kHeaderBytes) {
      // The header names the command, which fixes the reply's length.
      base::ByteReader header(in_.data(), kHeaderBytes);
      uint32_t id = 0, command = 0;
      if (!header.ReadU32Le(id) || !header.ReadU32Le(command)) return false;
      std::optional<size_t> record = PcscdRecordBytes(command);
      if (!record) {
        Log(LogLevel::kError,
            "a reply from the plug-in names command %u: the stream is out of step", command);
        return false;
      }
      in_.resize(kHeaderBytes + *record);
      continue;
    }
    if (!Deliver()) return false;
  }
}

bool PluginLink::Deliver() {
  base::ByteReader header(in_.data(), kHeaderBytes);
  uint32_t id = 0, command = 0;
  if (!header.ReadU32Le(id) || !header.ReadU32Le(command)) return false;
  std::vector<uint8_t> reply;
  reply.swap(in_);
  in_.assign(kHeaderBytes, 0);
  inHave_ = 0;

  auto it = pending_.find(id);
  if (it == pending_.end() || it->second.command != command) {
    Log(LogLevel::kDebug, "a reply from the plug-in for id %u command %u that nobody waits for", id,
        command);
    return true;
  }
  Pending entry = std::move(it->second);
  pending_.erase(it);
  if (entry.expired) --expiredCount_;
  Log(LogLevel::kDebug, "from plug-in: id %u command %u", id, command);
  entry.callback(entry.expired ? Outcome::kLateAnswer : Outcome::kAnswered,
                 std::span<const uint8_t>(reply).subspan(kHeaderBytes));
  return true;
}

bool PluginLink::Expire(Clock::time_point now) {
  std::vector<Callback*> due;
  for (auto& [id, entry] : pending_) {
    if (entry.expired || entry.deadline > now) continue;
    entry.expired = true;
    ++expiredCount_;
    Log(LogLevel::kError, "the plug-in did not answer request %u (command %u) in time", id,
        entry.command);
    due.push_back(&entry.callback);
  }
  // Callbacks may add requests; map nodes stay where they are, and no entry
  // is removed before the loop ends.
  for (Callback* callback : due) (*callback)(Outcome::kTimedOut, {});
  return expiredCount_ < kMaxExpired;
}

std::optional<Clock::time_point> PluginLink::NextDeadline() const {
  std::optional<Clock::time_point> next;
  for (const auto& [id, entry] : pending_)
    if (!entry.expired && (!next || entry.deadline < *next)) next = entry.deadline;
  return next;
}

void PluginLink::FailAll() {
  failed_ = true;
  std::map<uint32_t, Pending> pending;
  pending.swap(pending_);
  expiredCount_ = 0;
  for (auto& [id, entry] : pending) entry.callback(Outcome::kLinkLost, {});
}

void PluginLink::Drain(Clock::time_point until) {
  while (!out_.empty() && Clock::now() < until) {
    pollfd p{fd_, POLLOUT, 0};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (::poll(&p, 1, static_cast<int>(std::max<int64_t>(1, left.count()))) <= 0) continue;
    if (!OnWritable()) return;
  }
}

}  // namespace scredir::pcscd
