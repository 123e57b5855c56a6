// Plug-in-wide state and the per-channel session.
//
// ScRedirQrnState is the one static block whose address the host gets as
// client data for the listener and the channel. It keeps only what outlives
// a channel: the listener handle and the last channel id. The host's
// interface table is kept beside it; QRN_Start writes both before the
// listener exists, and afterwards they are only read.
//
// Everything that belongs to one open channel lives in a ScRedirSession:
// the channel handle, the daemon message list, the channel request list and
// the connected daemon socket. Sessions are reference counted. The current
// one is published under one small mutex; every callback and the daemon
// link thread take their own reference, so a list or descriptor is never
// released while someone still uses it, and a callback of an old channel can
// never reach the lists of a newer one. Inside a session one mutex guards the
// list and socket references and the closed flag; it is held only to copy
// or swap them, never across Send, an encoding or a socket transfer.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "scredir/keyed_list.h"
#include "scredir/qrn_intf.h"

inline constexpr uint32_t kNoChannelId = 0xFFFFFFFF;

struct ScRedirQrnState {
  void* listener = nullptr;  // written by QRN_Start only
  std::atomic<uint32_t> channelId{kNoChannelId};
};

extern ScRedirQrnState scRedirQrnState;
extern QrnIntf scRedirQrnIntf;

// A connected daemon descriptor; closed when the last user lets go.
class ScRedirDaemonSocket {
 public:
  explicit ScRedirDaemonSocket(int fd) : fd_(fd) {}
  ~ScRedirDaemonSocket();
  ScRedirDaemonSocket(const ScRedirDaemonSocket&) = delete;
  ScRedirDaemonSocket& operator=(const ScRedirDaemonSocket&) = delete;
  int fd() const { return fd_; }

 private:
  const int fd_;
};

using ScRedirListRef = std::shared_ptr<KeyedList>;
using ScRedirSocketRef = std::shared_ptr<ScRedirDaemonSocket>;

struct ScRedirSession : std::enable_shared_from_this<ScRedirSession> {
 public:
  // Creates the daemon message list, then the channel request list; a list
  // that cannot be created stays absent (the list operations then fail).
  explicit ScRedirSession(void* channel);
  ScRedirSession(const ScRedirSession&) = delete;
  ScRedirSession& operator=(const ScRedirSession&) = delete;

  void* channel() const { return channel_; }
  ScRedirListRef DaemonMsgList();
  ScRedirListRef ChannelRequestList();
  // The connected daemon socket, null before the link connects and after the
  // channel closed or the link ended.
  ScRedirSocketRef Socket();

  // The link thread publishes its connected socket; false (and nothing
  // published) when the channel closed meanwhile.
  bool AttachSocket(ScRedirSocketRef socket);
  // The link thread ended: the daemon message list (with every message still
  // waiting for a completion) and the socket go. The channel request list
  // stays until the session itself ends, because the host may still be
  // sending buffers on it.
  void EndDaemonLink();
  // The channel closed: shuts the daemon socket down in both directions (so
  // a pending read ends) and wakes a link thread waiting to reconnect.
  void Close();
  bool closed();
  // Waits up to `timeout` for Close; true when the session is closed.
  bool WaitForClose(std::chrono::milliseconds timeout);

 private:
  void* const channel_;
  std::mutex mutex_;
  std::condition_variable closedCv_;
  bool closed_ = false;                // guarded by mutex_
  ScRedirListRef daemonMsgList_;       // guarded by mutex_
  ScRedirListRef channelRequestList_;  // guarded by mutex_
  ScRedirSocketRef socket_;            // guarded by mutex_
};

using ScRedirSessionRef = std::shared_ptr<ScRedirSession>;

// The session of the open channel, null when none is open.
ScRedirSessionRef ScRedir_CurrentSession();
// Publishes `next` (may be null) and returns the session it replaced.
ScRedirSessionRef ScRedir_ExchangeCurrentSession(ScRedirSessionRef next);

// The session a daemon link thread serves is bound to that thread, so its
// requests go to its own channel even after a newer one opened. Other
// threads get the current session.
void ScRedir_BindSessionToThread(ScRedirSession* session);
ScRedirSessionRef ScRedir_SessionForThisThread();
