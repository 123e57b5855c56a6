// Plug-in-wide state, sessions and daemon connections; see state.h.
#include "scredir/state.h"

#include <glib.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <list>
#include <thread>
#include <utility>

#include "scredir/pcscd_msg.h"
#include "scredir/socket_link.h"

ScRedirPluginState scRedirPluginState;

namespace {

// ---- The host table ------------------------------------------------------

const QrnIntf kNoTable{};
std::atomic<const QrnIntf*> g_table{&kNoTable};
std::mutex g_tablesMutex;
// Every distinct table ever published; never freed, never rewritten.
std::list<QrnIntf> g_tables;  // guarded by g_tablesMutex

// ---- The session registry --------------------------------------------------

std::mutex g_registryMutex;
ScRedirSessionRef g_current;                // guarded by g_registryMutex
std::vector<ScRedirSessionRef> g_sessions;  // guarded by g_registryMutex; open and closed

// How deep this thread is inside a host Send: a host that closes the
// channel from inside Send must not wait for itself.
thread_local int t_sendDepth = 0;

void FreeMalloc(void* data) {
  std::free(data);
}

// Drops `session` from the registry once it is closed and keeps nothing
// the host may still be reading. Caller holds g_registryMutex.
void ForgetIfDone(const ScRedirSessionRef& session) {
  if (!session->closed() || session->SentCount() != 0) return;
  std::erase(g_sessions, session);
}

}  // namespace

const QrnIntf& ScRedir_HostTable() {
  return *g_table.load(std::memory_order_acquire);
}

void ScRedir_PublishHostTable(const QrnIntf& table) {
  std::lock_guard<std::mutex> lock(g_tablesMutex);
  for (const QrnIntf& known : g_tables) {
    if (std::memcmp(&known, &table, sizeof table) == 0) {
      g_table.store(&known, std::memory_order_release);
      return;
    }
  }
  g_tables.push_back(table);
  g_table.store(&g_tables.back(), std::memory_order_release);
}

ScRedirListRef ScRedir_MakeMessageList() {
  KeyedList* list = KeyedList_Create();
  if (list == nullptr) return nullptr;
  return ScRedirListRef(list, [](KeyedList* l) { KeyedList_Destroy(&l, FreeMalloc); });
}

// ---- ScRedirDaemonConn -------------------------------------------------------

namespace {

// A piece that is (part of) the zero run, which the reply block holds
// already.
bool FromZeros(std::span<const uint8_t> piece) {
  const auto at = reinterpret_cast<uintptr_t>(piece.data());
  const auto zeros = reinterpret_cast<uintptr_t>(ScRedirQrn_Zeros());
  return at >= zeros && at < zeros + kPcscdZerosBytes;
}

// Replies that carry more than this go out piece by piece instead.
constexpr size_t kCoalesceCopyBytes = 4096;

}  // namespace

ScRedirDaemonConn::ScRedirDaemonConn(int fd, uint32_t writeTimeoutMs)
    : fd_(fd), writeTimeoutMs_(writeTimeoutMs), messages_(ScRedir_MakeMessageList()) {}

ScRedirDaemonConn::~ScRedirDaemonConn() {
  if (fd_ >= 0) ::close(fd_);
  g_free(replyBlock_);
}

int ScRedirDaemonConn::Write(std::initializer_list<std::span<const uint8_t>> pieces) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(writeTimeoutMs_);
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!tokenFree_.wait_until(lock, deadline, [this] { return !writing_ || dropped_; })) {
      lock.unlock();
      ScRedirQrn_LogDaemonWriteTimeout(fd_);
      Shutdown();
      return -2;
    }
    if (dropped_) return -1;
    writing_ = true;
  }
  int rc = 0;
  // Several pieces that fit go out as one send from the connection's reply
  // block (the token makes it this writer's alone): zero pieces are already
  // there, the others are copied in and cleared again afterwards.
  size_t total = 0;
  size_t copied = 0;  // the bytes that are not from the zero run
  bool coalesced = false;
  for (std::span<const uint8_t> piece : pieces) {
    total += piece.size();
    if (!FromZeros(piece)) copied += piece.size();
  }
  // Only where the copy in and out is cheaper than another send.
  if (pieces.size() > 1 && total <= kPcscdZerosBytes && copied <= kCoalesceCopyBytes) {
    if (replyBlock_ == nullptr)
      replyBlock_ = static_cast<uint8_t*>(g_try_malloc0(kPcscdZerosBytes));
    if (replyBlock_ != nullptr) {
      size_t at = 0;
      for (std::span<const uint8_t> piece : pieces) {
        const bool zero = FromZeros(piece);
        if (!zero && !piece.empty()) std::memcpy(replyBlock_ + at, piece.data(), piece.size());
        at += piece.size();
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      rc = ScRedirQrn_WriteExactlyFor(replyBlock_, total, fd_,
                                      static_cast<int>(std::max<int64_t>(left.count(), 0)));
      at = 0;
      for (std::span<const uint8_t> piece : pieces) {
        const bool zero = FromZeros(piece);
        if (!zero && !piece.empty()) std::memset(replyBlock_ + at, 0, piece.size());
        at += piece.size();
      }
      coalesced = true;
    }
  }
  for (std::span<const uint8_t> piece :
       coalesced ? std::initializer_list<std::span<const uint8_t>>{} : pieces) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    rc = ScRedirQrn_WriteExactlyFor(piece.data(), piece.size(), fd_,
                                    static_cast<int>(std::max<int64_t>(left.count(), 0)));
    if (rc != 0) break;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    writing_ = false;
  }
  tokenFree_.notify_one();
  if (rc == -2) ScRedirQrn_LogDaemonWriteTimeout(fd_);
  // Part of a reply may have gone out: the stream is out of step, so the
  // connection cannot carry another reply.
  if (rc != 0) Shutdown();
  return rc;
}

void ScRedirDaemonConn::Shutdown(bool readOnly) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!readOnly) dropped_ = true;
  }
  tokenFree_.notify_all();
  ::shutdown(fd_, readOnly ? SHUT_RD : SHUT_RDWR);
}

ScRedirDaemonConn::Busy::Busy(ScRedirDaemonConn* conn) : conn_(conn) {
  if (!conn_) return;
  std::lock_guard<std::mutex> lock(conn_->mutex_);
  ++conn_->busy_;
}

ScRedirDaemonConn::Busy::~Busy() {
  if (!conn_) return;
  {
    std::lock_guard<std::mutex> lock(conn_->mutex_);
    --conn_->busy_;
  }
  conn_->tokenFree_.notify_all();
}

void ScRedirDaemonConn::WaitUntilIdle() {
  std::unique_lock<std::mutex> lock(mutex_);
  tokenFree_.wait(lock, [this] { return busy_ == 0; });
}

bool ScRedirDaemonConn::dropped() {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

// ---- ScRedirSession --------------------------------------------------------

ScRedirSession::ScRedirSession(void* channel) : channel_(channel) {
  closeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

ScRedirSession::~ScRedirSession() {
  DropSent();
  if (closeFd_ >= 0) ::close(closeFd_);
}

ScRedirConnRef ScRedirSession::Conn() {
  std::lock_guard<std::mutex> lock(mutex_);
  return conn_;
}

ScRedirListRef ScRedirSession::DaemonMsgList() {
  std::lock_guard<std::mutex> lock(mutex_);
  return conn_ ? conn_->messageList() : nullptr;
}

bool ScRedirSession::AttachConn(ScRedirConnRef conn) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return false;
  conn_ = std::move(conn);
  return true;
}

void ScRedirSession::RetireConn(const ScRedirConnRef& conn) {
  ScRedirConnRef old;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (conn_ == conn) old = std::move(conn_);
    if (conn && KeyedList_Count(conn->messages()) > 0) {
      try {
        retired_.push_back(conn->messageList());
        retiredCount_.store(retired_.size());
      } catch (...) {
        // Without the marker a late completion finds nothing or a twin;
        // either way it is logged.
      }
    }
  }
}

bool ScRedirSession::TakeRetired(uint32_t id) {
  // Nearly always nothing is retired: no lock for every completion then.
  if (retiredCount_.load() == 0) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = retired_.begin(); it != retired_.end(); ++it) {
    void* entry = KeyedList_TakeByKey(it->get(), id);
    if (entry == nullptr) continue;
    std::free(entry);
    if (KeyedList_Count(it->get()) == 0) {
      retired_.erase(it);
      retiredCount_.store(retired_.size());
    }
    return true;
  }
  return false;
}

bool ScRedirSession::KeepSent(void* buffer) {
  std::lock_guard<std::mutex> lock(mutex_);
  try {
    sent_.push_back(buffer);
  } catch (...) {
    return false;
  }
  return true;
}

bool ScRedirSession::ReleaseSent(const void* buffer) {
  void* found = TakeSent(buffer);
  g_free(found);
  return found != nullptr;
}

void* ScRedirSession::TakeSent(const void* buffer) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find(sent_.begin(), sent_.end(), buffer);
  if (it == sent_.end()) return nullptr;
  void* found = *it;
  sent_.erase(it);
  return found;
}

size_t ScRedirSession::SentCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return sent_.size();
}

void ScRedirSession::DropSent() {
  std::vector<void*> sent;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sent.swap(sent_);
  }
  for (void* buffer : sent) g_free(buffer);
}

bool ScRedirSession::BeginSend() {
  // Counted first, then checked: a close that set closed_ before this
  // check also sees the count and waits for EndSend (both sequentially
  // consistent), so no Send starts after a close returned.
  sending_.fetch_add(1);
  ++t_sendDepth;
  if (closed_.load()) {
    EndSend();
    return false;
  }
  return true;
}

void ScRedirSession::EndSend() {
  --t_sendDepth;
  // Only the last Send of a closed session can have a close waiting; the
  // mutex orders the wake-up after the close's check of the count.
  if (sending_.fetch_sub(1) == 1 && closed_.load()) {
    std::lock_guard<std::mutex> lock(mutex_);
    changed_.notify_all();
  }
}

void ScRedirSession::Close() {
  ScRedirConnRef conn;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!closed_.load()) {
      closed_.store(true);
      changed_.notify_all();
    }
    // A Send that started before the close may still be using the channel;
    // once it returns no other can start. A close from inside Send (on
    // this thread) has nothing to wait for but itself.
    if (t_sendDepth == 0) changed_.wait(lock, [this] { return sending_.load() == 0; });
    conn = conn_;
  }
  if (closeFd_ >= 0) {
    uint64_t one = 1;
    (void)!::write(closeFd_, &one, sizeof one);
  }
  // The link thread holds its own reference, so the descriptor is still
  // open here and cannot have been reused.
  if (conn) conn->Shutdown(/*readOnly=*/true);
}

bool ScRedirSession::closed() {
  return closed_.load();
}

bool ScRedirSession::WaitForClose(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return closed_.load(); });
}

// ---- The registry ----------------------------------------------------------

ScRedirSessionRef ScRedir_CurrentSession() {
  std::lock_guard<std::mutex> lock(g_registryMutex);
  return g_current;
}

ScRedirSessionRef ScRedir_ExchangeCurrentSession(ScRedirSessionRef next) {
  std::lock_guard<std::mutex> lock(g_registryMutex);
  if (next) g_sessions.push_back(next);
  std::swap(g_current, next);
  // `next` now holds the replaced session; the caller closes it, and it
  // leaves the registry once the host has given back its buffers.
  return next;
}

void ScRedir_ForgetIfDone(const ScRedirSessionRef& session) {
  if (!session) return;
  std::lock_guard<std::mutex> lock(g_registryMutex);
  ForgetIfDone(session);
}

ScRedirSessionRef ScRedir_FindOpenSession(void* channel) {
  std::lock_guard<std::mutex> lock(g_registryMutex);
  for (auto it = g_sessions.rbegin(); it != g_sessions.rend(); ++it) {
    if ((*it)->channel() == channel && !(*it)->closed()) return *it;
  }
  return nullptr;
}

bool ScRedir_ReleaseSentBuffer(void* channel, const void* buffer) {
  void* found = nullptr;
  ScRedirSessionRef owner;  // a session forgotten here ends outside the lock
  {
    // The registry's mutex, then a session's: the order ForgetIfDone uses.
    std::lock_guard<std::mutex> lock(g_registryMutex);
    for (const ScRedirSessionRef& s : g_sessions) {
      if (s->channel() != channel || (found = s->TakeSent(buffer)) == nullptr) continue;
      owner = s;
      break;
    }
    if (owner) ForgetIfDone(owner);
  }
  g_free(found);
  return found != nullptr;
}

void ScRedir_ForgetClosedSessions() {
  std::vector<ScRedirSessionRef> closed;
  {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    for (const ScRedirSessionRef& s : g_sessions)
      if (s != g_current && s->closed()) closed.push_back(s);
    for (const ScRedirSessionRef& s : closed) std::erase(g_sessions, s);
  }
  for (const ScRedirSessionRef& s : closed) s->DropSent();
}
