// The plug-in's connection to the daemon socket: daemon records out, their
// replies in.
//
// Each request is a PcscdMessage (12-byte header {id, command, size} and the
// command's record, scredir/pcscd_msg.h) under an id of its own; the reply
// carries the same header and the command's whole record, so its length
// follows from the command alone. Replies come in any order. The plug-in
// never answers a message it could not redirect, so every request has a
// deadline; a request past it is reported as timed out but stays known, so
// a late reply is still handed to its owner (who may have to undo what it
// did, e.g. disconnect a card nobody waits for any more) instead of being
// mistaken for another.
//
// Single-threaded: the daemon's loop calls everything. Callbacks may send
// further requests; they must not destroy the link.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace scredir::pcscd {

using Clock = std::chrono::steady_clock;

// The whole record size of a daemon command (scredir/pcscd_msg.h), or
// nothing for a code the plug-in does not handle.
std::optional<size_t> PcscdRecordBytes(uint32_t command);

class PluginLink {
 public:
  enum class Outcome {
    kAnswered,    // the reply's record is given
    kTimedOut,    // no reply before the deadline
    kLateAnswer,  // the reply came after kTimedOut was reported
    kLinkLost,    // the link went before a reply
  };
  using Callback = std::function<void(Outcome, std::span<const uint8_t> record)>;

  // Takes the connected, non-blocking socket.
  explicit PluginLink(int fd);
  ~PluginLink();
  PluginLink(const PluginLink&) = delete;
  PluginLink& operator=(const PluginLink&) = delete;

  int fd() const { return fd_; }
  bool wantsWrite() const { return !out_.empty(); }
  size_t outstanding() const { return pending_.size(); }

  // Queues one request; `record` is what follows the header (its length is
  // the header's size). The callback runs once with kAnswered, kTimedOut or
  // kLinkLost, and after kTimedOut possibly once more with kLateAnswer.
  void Send(uint32_t command, std::vector<uint8_t> record, Clock::time_point deadline,
            Callback callback);

  // Socket readiness. False when the link is broken (end of stream, error,
  // a reply that cannot be framed); the owner then calls FailAll.
  bool OnReadable();
  bool OnWritable();
  // Reports requests past their deadline. False when so many requests went
  // unanswered that the plug-in is taken to be stuck.
  bool Expire(Clock::time_point now);
  std::optional<Clock::time_point> NextDeadline() const;
  // Every request still outstanding ends with kLinkLost; later Sends fail
  // the same way at once.
  void FailAll();
  // Writes what is queued, waiting at most until `until` (shutdown only).
  void Drain(Clock::time_point until);

 private:
  struct Pending {
    uint32_t command = 0;
    Clock::time_point deadline;
    bool expired = false;
    Callback callback;
  };
  uint32_t NextId();
  bool Deliver();

  int fd_;
  bool failed_ = false;
  uint32_t lastId_ = 0;
  std::map<uint32_t, Pending> pending_;
  size_t expiredCount_ = 0;
  std::deque<std::vector<uint8_t>> out_;
  size_t outOffset_ = 0;
  std::vector<uint8_t> in_;
  size_t inHave_ = 0;
};

}  // namespace scredir::pcscd
