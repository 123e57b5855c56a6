// Plug-in-wide state and sessions; see state.h.
#include "scredir/state.h"

#include <glib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>

ScRedirQrnState scRedirQrnState;
QrnIntf scRedirQrnIntf;

namespace {

std::mutex g_currentMutex;
ScRedirSessionRef g_current;  // guarded by g_currentMutex

thread_local ScRedirSession* t_boundSession = nullptr;

// Packets are GLib blocks, saved daemon messages malloc blocks.
void FreeGlib(void* data) {
  g_free(data);
}
void FreeMalloc(void* data) {
  std::free(data);
}

ScRedirListRef MakeList(void (*freeData)(void*)) {
  KeyedList* list = KeyedList_Create();
  if (list == nullptr) return nullptr;
  return ScRedirListRef(list, [freeData](KeyedList* l) { KeyedList_Destroy(&l, freeData); });
}

}  // namespace

ScRedirDaemonSocket::~ScRedirDaemonSocket() {
  if (fd_ >= 0) ::close(fd_);
}

ScRedirSession::ScRedirSession(void* channel) : channel_(channel) {
  daemonMsgList_ = MakeList(FreeMalloc);
  channelRequestList_ = MakeList(FreeGlib);
}

ScRedirListRef ScRedirSession::DaemonMsgList() {
  std::lock_guard<std::mutex> lock(mutex_);
  return daemonMsgList_;
}

ScRedirListRef ScRedirSession::ChannelRequestList() {
  std::lock_guard<std::mutex> lock(mutex_);
  return channelRequestList_;
}

ScRedirSocketRef ScRedirSession::Socket() {
  std::lock_guard<std::mutex> lock(mutex_);
  return socket_;
}

bool ScRedirSession::AttachSocket(ScRedirSocketRef socket) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return false;
  socket_ = std::move(socket);
  return true;
}

void ScRedirSession::EndDaemonLink() {
  ScRedirListRef messages;
  ScRedirSocketRef socket;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    messages = std::move(daemonMsgList_);
    socket = std::move(socket_);
  }
  // Released here, outside the lock, unless a completion still holds them.
}

void ScRedirSession::Close() {
  ScRedirSocketRef socket;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    socket = std::move(socket_);
  }
  closedCv_.notify_all();
  // The link thread holds its own reference, so the descriptor is still
  // open here and cannot have been reused.
  if (socket) ::shutdown(socket->fd(), SHUT_RDWR);
}

bool ScRedirSession::closed() {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

bool ScRedirSession::WaitForClose(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return closedCv_.wait_for(lock, timeout, [this] { return closed_; });
}

ScRedirSessionRef ScRedir_CurrentSession() {
  std::lock_guard<std::mutex> lock(g_currentMutex);
  return g_current;
}

ScRedirSessionRef ScRedir_ExchangeCurrentSession(ScRedirSessionRef next) {
  std::lock_guard<std::mutex> lock(g_currentMutex);
  std::swap(g_current, next);
  return next;
}

void ScRedir_BindSessionToThread(ScRedirSession* session) {
  t_boundSession = session;
}

ScRedirSessionRef ScRedir_SessionForThisThread() {
  if (t_boundSession != nullptr) return t_boundSession->shared_from_this();
  return ScRedir_CurrentSession();
}
