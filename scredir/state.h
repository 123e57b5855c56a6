// Plug-in-wide state, the per-channel session and the daemon connection.
//
// ScRedirPluginState is the one static block whose address the host gets as
// client data for the listener and the channel. It keeps only what outlives
// a channel: the listener handle and the last channel id. The host's
// interface table is published once per distinct table as an immutable copy
// (ScRedir_HostTable), so a callback that reads it while QRN_Start runs again
// never sees a half-written table.
//
// Everything that belongs to one open channel lives in a ScRedirSession: the
// channel handle, the buffers the host is still sending, the send gate and
// the daemon connection. Sessions are reference counted and kept in a
// registry by channel handle: every host callback is routed by the handle it
// names, so an event of an old channel never reaches a newer one. A closed
// session stays registered while the host still holds buffers of it.
//
// A ScRedirDaemonConn is one connected daemon socket with its own daemon
// message list (the messages read from it that wait for the client) and its
// write token: replies are written by one thread at a time, each write
// bounded in time, and a connection whose daemon stops reading is dropped.
//
// Locks: each object has one mutex, held only to copy or swap what it
// guards, never across Send, an encoding, a socket transfer or a log write.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "scredir/keyed_list.h"
#include "scredir/qrn_intf.h"

inline constexpr uint32_t kNoChannelId = 0xFFFFFFFF;

struct ScRedirPluginState {
  void* listener = nullptr;  // written by QRN_Start only
  std::atomic<uint32_t> channelId{kNoChannelId};
};

extern ScRedirPluginState scRedirPluginState;

// The host's operation table: an all-null table until one is published.
// Publishing interns the table: an equal table published again (QRN_Start
// after QRN_Stop) reuses its copy, so nothing grows and nothing a late
// callback may read is ever freed or rewritten.
const QrnIntf& ScRedir_HostTable();
void ScRedir_PublishHostTable(const QrnIntf& table);

using ScRedirListRef = std::shared_ptr<KeyedList>;
ScRedirListRef ScRedir_MakeMessageList();

// One connected daemon socket; the descriptor is closed when the last user
// lets go.
class ScRedirDaemonConn {
 public:
  ScRedirDaemonConn(int fd, uint32_t writeTimeoutMs);
  ~ScRedirDaemonConn();
  ScRedirDaemonConn(const ScRedirDaemonConn&) = delete;
  ScRedirDaemonConn& operator=(const ScRedirDaemonConn&) = delete;

  int fd() const { return fd_; }
  // The messages read from this connection that wait for the client.
  KeyedList* messages() const { return messages_.get(); }
  const ScRedirListRef& messageList() const { return messages_; }

  // Writes the pieces as one reply. Waits at most the write time-out for
  // the write token and for the daemon to take the bytes; when it does not,
  // or the write fails, the connection is dropped (the link thread's read
  // then ends and it connects again). 0, or negative when nothing more can
  // be written here.
  int Write(std::initializer_list<std::span<const uint8_t>> pieces);
  // Shuts the socket down in both directions (or only for reading, which
  // ends the link thread's read while replies can still be written).
  void Shutdown(bool readOnly = false);
  bool dropped();

  // A completion being turned into a reply holds the connection busy from
  // before it takes its message until its reply is written, so the link
  // thread can wait for it before shutting the connection at a close.
  class Busy {
   public:
    explicit Busy(ScRedirDaemonConn* conn);
    ~Busy();
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

   private:
    ScRedirDaemonConn* conn_;
  };
  void WaitUntilIdle();

 private:
  const int fd_;
  const uint32_t writeTimeoutMs_;
  ScRedirListRef messages_;
  std::mutex mutex_;
  std::condition_variable tokenFree_;
  bool writing_ = false;  // the write token; guarded by mutex_
  bool dropped_ = false;  // guarded by mutex_
  int busy_ = 0;          // guarded by mutex_
  // The largest reply, all zeros between writes; used only by the holder of
  // the write token, made at the first write of several pieces.
  uint8_t* replyBlock_ = nullptr;
};

using ScRedirConnRef = std::shared_ptr<ScRedirDaemonConn>;

struct ScRedirSession : std::enable_shared_from_this<ScRedirSession> {
 public:
  explicit ScRedirSession(void* channel);
  ~ScRedirSession();
  ScRedirSession(const ScRedirSession&) = delete;
  ScRedirSession& operator=(const ScRedirSession&) = delete;

  void* channel() const { return channel_; }

  // The daemon connection in use, null before the link connects, between
  // connections and after the link ended.
  ScRedirConnRef Conn();
  // The messages of the connection in use (null without one).
  ScRedirListRef DaemonMsgList();
  // The link thread publishes its connected socket; false (and nothing
  // published) when the channel closed meanwhile.
  bool AttachConn(ScRedirConnRef conn);
  // The link thread is done with `conn`. Its messages still waiting for the
  // client are kept aside, only so that their late completions are dropped
  // rather than matched with a newer message that reuses the id.
  void RetireConn(const ScRedirConnRef& conn);
  // True when `id` names a message of an ended connection; that message is
  // forgotten.
  bool TakeRetired(uint32_t id);

  // Buffers handed to the host's Send, kept until the host reports each one
  // complete. KeepSent takes ownership of a g_malloc block (false, and the
  // block stays the caller's, when it cannot be listed); ReleaseSent frees
  // exactly that buffer (false when it is not ours).
  bool KeepSent(void* buffer);
  bool ReleaseSent(const void* buffer);
  // Takes exactly `buffer` off the kept ones and hands it to the caller
  // (null when it is not ours).
  void* TakeSent(const void* buffer);
  size_t SentCount();
  // Frees every buffer still kept: the host said the channel is gone.
  void DropSent();

  // The send gate: Send happens between BeginSend (false once closed) and
  // EndSend; Close waits until no Send is running.
  bool BeginSend();
  void EndSend();

  // The channel closed: no Send starts any more, the one running is waited
  // out, the daemon socket is shut for reading (so the link thread ends and
  // answers what still waits) and a link thread waiting to connect wakes.
  void Close();
  bool closed();
  // Waits up to `timeout` for Close; true when the session is closed.
  bool WaitForClose(std::chrono::milliseconds timeout);
  // A descriptor that becomes readable when the session closes, for waits
  // that poll a socket too (-1 when none could be made; then poll briefly).
  int closeFd() const { return closeFd_; }

 private:
  void* const channel_;
  int closeFd_ = -1;
  std::mutex mutex_;
  std::condition_variable changed_;
  // Written under mutex_ (so waits on changed_ see it), read without it.
  std::atomic<bool> closed_{false};
  // Sends running. Begin and end are lock-free (a Send is counted before
  // closed_ is checked, a close sets closed_ before it reads the count), so
  // only an end that may leave a close waiting takes the mutex to wake it.
  std::atomic<int> sending_{0};
  std::atomic<size_t> retiredCount_{0};  // retired_.size(), read without mutex_
  ScRedirConnRef conn_;                  // guarded by mutex_
  std::vector<ScRedirListRef> retired_;  // guarded by mutex_
  std::vector<void*> sent_;              // guarded by mutex_; g_malloc blocks
};

using ScRedirSessionRef = std::shared_ptr<ScRedirSession>;

// The session of the most recently opened channel that is still open.
ScRedirSessionRef ScRedir_CurrentSession();
// Registers `next` (may be null) as the open channel's session and returns
// the one it replaced (still registered while it holds host buffers).
ScRedirSessionRef ScRedir_ExchangeCurrentSession(ScRedirSessionRef next);
// Drops a closed session from the registry unless the host still holds
// buffers of it.
void ScRedir_ForgetIfDone(const ScRedirSessionRef& session);
// The open session of `channel`, or null.
ScRedirSessionRef ScRedir_FindOpenSession(void* channel);
// Releases `buffer` in the session of `channel` that sent it (closed ones
// included); false when no session of that channel sent it.
bool ScRedir_ReleaseSentBuffer(void* channel, const void* buffer);
// Forgets every closed session and frees the buffers they still kept: after
// QRN_Stop the host calls nothing back.
void ScRedir_ForgetClosedSessions();
