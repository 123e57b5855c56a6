// The daemon's loop, its application connections and its reader watch; see
// server.h.
#include "daemon/server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <type_traits>
#include <unordered_map>

#include "daemon/log.h"
#include "daemon/plugin_link.h"
#include "daemon/readers.h"
#include "daemon/wire.h"
#include "lib/base/byte_reader.h"
#include "scredir/pcscd_msg.h"

namespace scredir::pcscd {
namespace {

using namespace std::chrono_literals;
using Outcome = PluginLink::Outcome;
using Bytes = std::vector<uint8_t>;
namespace off = wire::off;

constexpr size_t kMaxContextsPerClient = 16;
constexpr size_t kMaxCardsPerClient = 200;  // pcscd's default per client
// An application that leaves this much of our answers unread is dropped.
constexpr size_t kMaxQueuedOutput = size_t{1} << 20;
constexpr char kPnpReader[] = "\\\\?PnP?\\Notification";
// Room we ask the remote to fill with reader names (UTF-16 characters on a
// Windows client; the plug-in turns them into at most 8192 UTF-8 bytes).
constexpr uint32_t kListRoom = 4096;
constexpr auto kShutdownDrain = 500ms;

template <typename T>
Bytes RecordBytes(const T& record, size_t size = sizeof(T)) {
  static_assert(std::is_trivially_copyable_v<T>);
  const auto* p = reinterpret_cast<const uint8_t*>(&record);
  return Bytes(p, p + std::min(size, sizeof(T)));
}

// A reply record from the plug-in, copied through the bounds-checked reader;
// nothing when its length is not the record's.
template <typename T>
std::unique_ptr<T> ParseRecord(std::span<const uint8_t> bytes) {
  static_assert(std::is_trivially_copyable_v<T>);
  if (bytes.size() != sizeof(T)) return nullptr;
  auto record = std::make_unique<T>();
  base::ByteReader reader(bytes);
  if (!reader.ReadBytes(record.get(), sizeof(T))) return nullptr;
  return record;
}

void CopyName(char* field, size_t capacity, const std::string& name) {
  const size_t n = std::min(name.size(), capacity - 1);
  std::memcpy(field, name.data(), n);
  field[n] = '\0';
}

// A multi-string of at most `length` bytes, split at its NULs; an empty name
// ends it.
std::vector<std::string> SplitNames(const char* data, size_t length) {
  std::vector<std::string> names;
  base::ByteReader reader(data, length);
  while (!reader.empty()) {
    std::string_view name = reader.ReadUntil(0);
    if (name.empty()) break;
    names.emplace_back(name);
  }
  return names;
}

Bytes WaitRecord(uint32_t rv) {
  Bytes record(off::kWaitSize, 0);
  wire::Put32(record, off::kWaitRv, rv);
  return record;
}

bool Answered(Outcome o) {
  return o == Outcome::kAnswered || o == Outcome::kLateAnswer;
}

// What an application hears when the remote did not answer.
uint32_t FailureRv(Outcome o) {
  return o == Outcome::kTimedOut ? lite::kFCommError : lite::kEReaderUnavailable;
}

bool MakeParents(const std::string& path, std::string* error) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    std::string dir = path.substr(0, slash);
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
      *error = "cannot create " + dir + ": " + strerror(errno);
      return false;
    }
  }
  return true;
}

// A listening socket at `path`; its inode goes to *inode so that only our
// own file is removed at the end.
int MakeListener(const std::string& path, ino_t* inode, std::string* error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(address.sun_path)) {
    *error = "socket path \"" + path + "\" is empty or too long for a Unix socket";
    return -1;
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  if (!MakeParents(path, error)) return -1;

  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      *error = path + " exists and is not a socket; it is left alone";
      return -1;
    }
    int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool live =
        probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (probe >= 0) ::close(probe);
    if (live) {
      *error = path + " is in use by another daemon";
      return -1;
    }
    ::unlink(path.c_str());
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + strerror(errno);
    return -1;
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 64) != 0) {
    *error = "cannot listen on " + path + ": " + strerror(errno);
    ::close(fd);
    return -1;
  }
  // Who may talk to us is decided per connection from its credentials.
  ::chmod(path.c_str(), 0666);
  if (::lstat(path.c_str(), &st) == 0) *inode = st.st_ino;
  return fd;
}

void RemoveOwnSocket(const std::string& path, ino_t inode) {
  struct stat st {};
  if (inode && ::lstat(path.c_str(), &st) == 0 && st.st_ino == inode) ::unlink(path.c_str());
}

}  // namespace

class Server::Impl {
 public:
  explicit Impl(ServerOptions options) : opt_(std::move(options)), random_(std::random_device{}()) {
    published_ = readers_.Publish();
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  }
  ~Impl() {
    for (int fd : {clientListen_, daemonListen_, wakeFd_})
      if (fd >= 0) ::close(fd);
    RemoveOwnSocket(opt_.clientSocket, clientInode_);
    RemoveOwnSocket(opt_.daemonSocket, daemonInode_);
  }

  bool Listen(std::string* error) {
    if (wakeFd_ < 0) {
      *error = std::string("eventfd: ") + strerror(errno);
      return false;
    }
    clientListen_ = MakeListener(opt_.clientSocket, &clientInode_, error);
    if (clientListen_ < 0) return false;
    daemonListen_ = MakeListener(opt_.daemonSocket, &daemonInode_, error);
    if (daemonListen_ < 0) return false;
    Log(LogLevel::kInfo, "applications connect to %s, the plug-in to %s (remote values: %s)",
        opt_.clientSocket.c_str(), opt_.daemonSocket.c_str(), FlavourName(opt_.flavour));
    return true;
  }

  void Stop() {
    stopping_.store(true);
    uint64_t one = 1;
    ssize_t ignored = ::write(wakeFd_, &one, sizeof one);
    (void)ignored;
  }

  ServerStats stats() const {
    std::lock_guard<std::mutex> lock(statsMutex_);
    return stats_;
  }

  void Run();

 private:
  struct Conn {
    uint64_t serial = 0;
    int fd = -1;
    uid_t uid = 0;
    pid_t pid = 0;
    wire::FrameReader in;
    Bytes out;
    size_t outOffset = 0;
    bool busy = false;     // a call waits for the remote; no more input is read
    bool waiting = false;  // registered for reader-state changes
    bool dead = false;
    std::set<uint32_t> contexts;
    std::set<uint32_t> cards;
  };
  struct Context {
    uint64_t conn = 0;
    uint32_t scope = 0;
    uint32_t remote = 0;  // the plug-in's id, valid on link generation `gen`
    uint64_t gen = 0;
  };
  struct Card {
    uint32_t id = 0;
    uint64_t conn = 0;
    uint32_t context = 0;
    std::string reader;
    uint32_t remoteContext = 0;
    uint32_t remoteCard = 0;
    uint64_t gen = 0;
  };
  enum class WatchStep { kNone, kEstablish, kList };
  struct Watch {
    uint64_t gen = 0;
    uint32_t context = 0;
    bool pnp = true;  // the remote understands the reader-list pseudo reader
    WatchStep next = WatchStep::kNone;
    std::optional<Clock::time_point> at;
  };
  // A Connect held back while another application's transaction runs on
  // its reader.
  struct DeferredConnect {
    uint64_t conn = 0;
    Bytes request;
  };
  using Then = std::function<void(Conn* conn, Outcome outcome, std::span<const uint8_t> record)>;

  // ---- loop ----
  void Accept(int listenFd, bool plugin);
  bool PeerAllowed(int fd, ucred* peer);
  void ReadConn(Conn& c);
  void FlushConn(Conn& c);
  void SendToConn(Conn& c, std::span<const uint8_t> bytes);
  void Finish(Conn& c, const Bytes& reply, std::span<const uint8_t> tail = {});
  void Kill(Conn& c, const char* why);
  Conn* FindConn(uint64_t serial);
  void Reap();
  int PollTimeoutMs() const;
  void RunTimers();
  void UpdateStats();
  void Shutdown();

  // ---- plug-in link ----
  bool Linked() const { return link_ && !linkFailing_; }
  void AdoptLink(int fd);
  void DropLink(const char* why);
  void Remote(uint32_t command, Bytes record, std::chrono::milliseconds timeout,
              PluginLink::Callback callback);
  void Forget(uint32_t command, Bytes record);
  void ForgetRelease(uint32_t remoteContext);
  void ForgetDisconnect(uint32_t remoteContext, uint32_t remoteCard);
  void AppRemote(Conn& c, uint32_t command, Bytes record, Then then);
  uint32_t Result(uint32_t rv) const { return ResultToLite(opt_.flavour, rv); }
  bool LiveContext(const Context& ctx) const {
    return Linked() && ctx.remote != 0 && ctx.gen == linkGen_;
  }
  bool LiveCard(const Card& card) const { return Linked() && card.gen == linkGen_; }

  // ---- application commands ----
  void Dispatch(Conn& c);
  void OnEstablish(Conn& c, Bytes reply);
  void OnRelease(Conn& c, Bytes reply);
  void OnCancel(Conn& c, Bytes reply);
  void OnConnect(Conn& c, Bytes reply);
  bool LockedForOthers(const std::string& reader, uint64_t conn) const;
  void ResumeConnects();
  void WithRemoteContext(Conn& c, uint32_t contextId, std::function<void(Conn*, uint32_t)> next);
  void ConnectRemote(Conn& c, uint32_t contextId, Bytes reply);
  void OnCardCommand(Conn& c, uint32_t command, Bytes reply, std::span<const uint8_t> extra);
  template <typename T, typename OnAnswer>
  void CardCall(Conn& c, const Card& card, uint32_t command, const T& record, size_t sendBytes,
                Bytes reply, size_t rvOffset, OnAnswer onAnswer);
  uint32_t NewId(const std::function<bool(uint32_t)>& taken);
  void DropCard(uint32_t id, bool releaseRemote);
  void DropContext(uint32_t id);

  // ---- reader watch ----
  void WatchStart();
  void WatchLater(WatchStep step, std::chrono::milliseconds delay);
  bool WatchCurrent(uint64_t gen) const { return Linked() && gen == linkGen_; }
  std::chrono::milliseconds WatchPause() const { return std::min(opt_.pollInterval, 500ms); }
  void WatchEstablish();
  void WatchList();
  void WatchWait();
  bool Republish();

  ServerOptions opt_;
  std::mt19937 random_;
  std::atomic<bool> stopping_{false};
  int wakeFd_ = -1;
  int clientListen_ = -1;
  int daemonListen_ = -1;
  ino_t clientInode_ = 0;
  ino_t daemonInode_ = 0;

  uint64_t nextSerial_ = 1;
  std::map<uint64_t, std::unique_ptr<Conn>> conns_;
  std::unordered_map<uint32_t, Context> contexts_;
  std::unordered_map<uint32_t, Card> cards_;
  std::map<std::string, uint32_t> locks_;  // reader -> card holding a transaction
  std::vector<DeferredConnect> deferred_;

  std::unique_ptr<PluginLink> link_;
  bool linkFailing_ = false;
  uint64_t linkGen_ = 0;
  Watch watch_;
  ReaderTable readers_;
  Bytes published_;
  uint64_t publications_ = 0;

  mutable std::mutex statsMutex_;
  ServerStats stats_;
};

// ============================================================ the loop

void Server::Impl::Run() {
  enum Kind { kWake, kClientListen, kDaemonListen, kLink, kConn };
  struct Tag {
    Kind kind;
    uint64_t serial;
  };
  std::vector<pollfd> fds;
  std::vector<Tag> tags;
  while (!stopping_.load()) {
    fds.clear();
    tags.clear();
    fds.push_back({wakeFd_, POLLIN, 0});
    tags.push_back({kWake, 0});
    fds.push_back({clientListen_, POLLIN, 0});
    tags.push_back({kClientListen, 0});
    fds.push_back({daemonListen_, POLLIN, 0});
    tags.push_back({kDaemonListen, 0});
    if (link_) {
      fds.push_back(
          {link_->fd(), static_cast<short>(POLLIN | (link_->wantsWrite() ? POLLOUT : 0)), 0});
      tags.push_back({kLink, 0});
    }
    for (auto& [serial, c] : conns_) {
      short events = POLLRDHUP;
      if (!c->busy) events |= POLLIN;
      if (c->outOffset < c->out.size()) events |= POLLOUT;
      fds.push_back({c->fd, events, 0});
      tags.push_back({kConn, serial});
    }

    int ready = ::poll(fds.data(), fds.size(), PollTimeoutMs());
    if (ready < 0 && errno != EINTR) {
      Log(LogLevel::kError, "poll: %s", strerror(errno));
      break;
    }
    for (size_t i = 0; ready > 0 && i < fds.size(); ++i) {
      const short revents = fds[i].revents;
      if (!revents) continue;
      switch (tags[i].kind) {
        case kWake: {
          uint64_t count;
          ssize_t ignored = ::read(wakeFd_, &count, sizeof count);
          (void)ignored;
          break;
        }
        case kClientListen:
          Accept(clientListen_, false);
          break;
        case kDaemonListen:
          Accept(daemonListen_, true);
          break;
        case kLink:
          if (!link_ || link_->fd() != fds[i].fd) break;  // replaced meanwhile
          if ((revents & POLLOUT) && !link_->OnWritable()) {
            DropLink("the daemon socket broke");
            break;
          }
          if ((revents & (POLLIN | POLLHUP | POLLERR)) && !link_->OnReadable())
            DropLink("the plug-in went away");
          break;
        case kConn: {
          Conn* c = FindConn(tags[i].serial);
          if (!c) break;
          if (revents & POLLOUT) FlushConn(*c);
          if (c->dead) break;
          if ((revents & POLLIN) && !c->busy)
            ReadConn(*c);
          else if (revents & (POLLRDHUP | POLLHUP | POLLERR))
            Kill(*c, "the application closed its connection");
          break;
        }
      }
    }
    RunTimers();
    ResumeConnects();
    Reap();
    UpdateStats();
  }
  Shutdown();
  UpdateStats();
}

int Server::Impl::PollTimeoutMs() const {
  auto now = Clock::now();
  auto next = now + 1000ms;
  if (link_) {
    if (auto deadline = link_->NextDeadline()) next = std::min(next, *deadline);
  }
  if (watch_.at) next = std::min(next, *watch_.at);
  auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
  return static_cast<int>(std::clamp<int64_t>(wait + 1, 0, 1000));
}

void Server::Impl::RunTimers() {
  const auto now = Clock::now();
  if (link_ && !link_->Expire(now)) DropLink("the plug-in leaves too many requests unanswered");
  if (watch_.at && now >= *watch_.at) {
    WatchStep step = watch_.next;
    watch_.at.reset();
    watch_.next = WatchStep::kNone;
    if (!WatchCurrent(watch_.gen)) return;
    if (step == WatchStep::kEstablish) WatchEstablish();
    if (step == WatchStep::kList) WatchList();
  }
}

bool Server::Impl::PeerAllowed(int fd, ucred* peer) {
  socklen_t length = sizeof *peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, peer, &length) != 0) return false;
  if (opt_.allowAnyUser || peer->uid == 0 || peer->uid == ::geteuid()) return true;
  return std::find(opt_.allowedUids.begin(), opt_.allowedUids.end(), peer->uid) !=
         opt_.allowedUids.end();
}

void Server::Impl::Accept(int listenFd, bool plugin) {
  for (;;) {
    int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK)
        Log(LogLevel::kError, "accept: %s", strerror(errno));
      return;
    }
    ucred peer{};
    if (!PeerAllowed(fd, &peer)) {
      Log(LogLevel::kError, "refused a %s of user %u (pid %d): not an allowed user",
          plugin ? "plug-in" : "client", static_cast<unsigned>(peer.uid), peer.pid);
      ::close(fd);
      continue;
    }
    if (plugin) {
      Log(LogLevel::kInfo, "the plug-in connected (pid %d)", peer.pid);
      AdoptLink(fd);
      continue;
    }
    if (conns_.size() >= opt_.maxClients) {
      Log(LogLevel::kError, "refused a client of pid %d: %zu clients already", peer.pid,
          conns_.size());
      ::close(fd);
      continue;
    }
    auto c = std::make_unique<Conn>();
    c->serial = nextSerial_++;
    c->fd = fd;
    c->uid = peer.uid;
    c->pid = peer.pid;
    Log(LogLevel::kDebug, "client %llu connected (pid %d)",
        static_cast<unsigned long long>(c->serial), peer.pid);
    conns_[c->serial] = std::move(c);
  }
}

void Server::Impl::ReadConn(Conn& c) {
  // One message at a time: after a message that waits for the remote, the
  // rest stays in the socket until the answer went out.
  while (!c.dead && !c.busy) {
    std::span<uint8_t> space = c.in.Space();
    ssize_t n = ::recv(c.fd, space.data(), space.size(), MSG_DONTWAIT);
    if (n == 0) return Kill(c, "the application closed its connection");
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) Kill(c, "reading failed");
      return;
    }
    switch (c.in.Received(static_cast<size_t>(n))) {
      case wire::FrameReader::Status::kNeedMore:
        break;
      case wire::FrameReader::Status::kBad:
        Log(LogLevel::kError, "client %llu (pid %d) sent a bad message: %s",
            static_cast<unsigned long long>(c.serial), c.pid, c.in.error().c_str());
        return Kill(c, "bad message");
      case wire::FrameReader::Status::kFrame:
        Dispatch(c);
        c.in.Reset();
        break;
    }
  }
}

void Server::Impl::FlushConn(Conn& c) {
  while (!c.dead && c.outOffset < c.out.size()) {
    ssize_t n = ::send(c.fd, c.out.data() + c.outOffset, c.out.size() - c.outOffset,
                       MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) Kill(c, "writing failed");
      return;
    }
    c.outOffset += static_cast<size_t>(n);
  }
  c.out.clear();
  c.outOffset = 0;
  if (c.out.capacity() > 65536) c.out.shrink_to_fit();
}

void Server::Impl::SendToConn(Conn& c, std::span<const uint8_t> bytes) {
  if (c.dead) return;
  c.out.insert(c.out.end(), bytes.begin(), bytes.end());
  if (c.out.size() - c.outOffset > kMaxQueuedOutput) return Kill(c, "it does not read its answers");
  FlushConn(c);
}

void Server::Impl::Finish(Conn& c, const Bytes& reply, std::span<const uint8_t> tail) {
  c.busy = false;
  SendToConn(c, reply);
  if (!tail.empty()) SendToConn(c, tail);
}

Server::Impl::Conn* Server::Impl::FindConn(uint64_t serial) {
  auto it = conns_.find(serial);
  return it == conns_.end() || it->second->dead ? nullptr : it->second.get();
}

void Server::Impl::Kill(Conn& c, const char* why) {
  if (c.dead) return;
  c.dead = true;
  c.waiting = false;
  Log(LogLevel::kDebug, "client %llu (pid %d) ends: %s", static_cast<unsigned long long>(c.serial),
      c.pid, why);
  // What the application held goes on the remote side too. A call still on
  // its way finds the connection gone and undoes its own result.
  for (uint32_t id : std::vector<uint32_t>(c.cards.begin(), c.cards.end())) DropCard(id, true);
  for (uint32_t id : std::vector<uint32_t>(c.contexts.begin(), c.contexts.end())) DropContext(id);
}

void Server::Impl::Reap() {
  for (auto it = conns_.begin(); it != conns_.end();) {
    if (it->second->dead) {
      ::close(it->second->fd);
      it = conns_.erase(it);
    } else {
      ++it;
    }
  }
}

void Server::Impl::UpdateStats() {
  ServerStats s;
  s.clients = conns_.size();
  s.readers = readers_.PublishedCount();
  s.linked = Linked();
  s.links = linkGen_;
  s.remoteRequests = link_ ? link_->outstanding() : 0;
  s.contexts = contexts_.size();
  s.cards = cards_.size();
  for (const auto& [id, ctx] : contexts_) s.remoteContexts += LiveContext(ctx) ? 1 : 0;
  if (WatchCurrent(watch_.gen) && watch_.context) ++s.remoteContexts;
  for (const auto& [id, card] : cards_) s.remoteCards += LiveCard(card) ? 1 : 0;
  s.publications = publications_;
  std::lock_guard<std::mutex> lock(statsMutex_);
  stats_ = s;
}

void Server::Impl::Shutdown() {
  Log(LogLevel::kInfo, "stopping");
  for (auto& [serial, c] : conns_) Kill(*c, "the daemon stops");
  if (WatchCurrent(watch_.gen) && watch_.context) ForgetRelease(watch_.context);
  if (link_) link_->Drain(Clock::now() + kShutdownDrain);
  DropLink("the daemon stops");
  Reap();
}

// ============================================================ the plug-in link

void Server::Impl::AdoptLink(int fd) {
  if (link_) DropLink("another plug-in connection replaces it");
  link_ = std::make_unique<PluginLink>(fd);
  ++linkGen_;
  WatchStart();
}

void Server::Impl::DropLink(const char* why) {
  if (!link_) return;
  Log(LogLevel::kInfo, "the plug-in link ends: %s; its readers are gone", why);
  linkFailing_ = true;
  link_->FailAll();
  link_.reset();
  linkFailing_ = false;
  watch_ = Watch{};
  locks_.clear();
  readers_.Clear();
  Republish();
}

void Server::Impl::Remote(uint32_t command, Bytes record, std::chrono::milliseconds timeout,
                          PluginLink::Callback callback) {
  if (!Linked()) {
    callback(Outcome::kLinkLost, {});
    return;
  }
  link_->Send(command, std::move(record), Clock::now() + timeout, std::move(callback));
}

void Server::Impl::Forget(uint32_t command, Bytes record) {
  if (Linked())
    Remote(command, std::move(record), opt_.callTimeout, [](Outcome, std::span<const uint8_t>) {});
}

void Server::Impl::ForgetRelease(uint32_t remoteContext) {
  ReleaseContextMsg record{};
  record.hContext = remoteContext;
  Forget(PCSCD_RELEASE_CONTEXT, RecordBytes(record));
}

void Server::Impl::ForgetDisconnect(uint32_t remoteContext, uint32_t remoteCard) {
  DisconnectMsg record{};
  record.hContext = remoteContext;
  record.hCard = remoteCard;
  record.dwDisposition = 0;  // SCARD_LEAVE_CARD
  Forget(PCSCD_DISCONNECT, RecordBytes(record));
}

void Server::Impl::AppRemote(Conn& c, uint32_t command, Bytes record, Then then) {
  c.busy = true;
  const uint64_t serial = c.serial;
  Remote(command, std::move(record), opt_.callTimeout,
         [this, serial, then = std::move(then)](Outcome o, std::span<const uint8_t> r) {
           // A late answer belongs to a call the application already got
           // an error for: only its effects are undone.
           then(o == Outcome::kLateAnswer ? nullptr : FindConn(serial), o, r);
         });
}

// ============================================================ applications

void Server::Impl::Dispatch(Conn& c) {
  const uint32_t command = c.in.command();
  Bytes reply(c.in.body().begin(), c.in.body().end());
  Log(LogLevel::kDebug, "client %llu: %s", static_cast<unsigned long long>(c.serial),
      wire::CommandName(command));
  switch (command) {
    case wire::kVersion: {
      const auto major = static_cast<int32_t>(wire::Get32(reply, off::kVerMajor));
      const auto minor = static_cast<int32_t>(wire::Get32(reply, off::kVerMinor));
      uint32_t rv = lite::kSuccess;
      if (major != wire::kProtocolMajor || minor != wire::kProtocolMinor) {
        Log(LogLevel::kError, "client %llu speaks protocol %d:%d, we speak %d:%d",
            static_cast<unsigned long long>(c.serial), major, minor, wire::kProtocolMajor,
            wire::kProtocolMinor);
        rv = lite::kEServiceStopped;
      }
      wire::Put32(reply, off::kVerMajor, wire::kProtocolMajor);
      wire::Put32(reply, off::kVerMinor, wire::kProtocolMinor);
      wire::Put32(reply, off::kVerRv, rv);
      return SendToConn(c, reply);
    }
    case wire::kGetReadersState:
      return SendToConn(c, published_);
    case wire::kWaitReaderStateChange:
      c.waiting = true;
      return SendToConn(c, published_);
    case wire::kStopWaitingReaderStateChange:
      // Exactly one record ends a wait: a signal already sent took its place.
      if (!c.waiting) return;
      c.waiting = false;
      return SendToConn(c, WaitRecord(lite::kSuccess));
    case wire::kEstablishContext:
      return OnEstablish(c, std::move(reply));
    case wire::kReleaseContext:
      return OnRelease(c, std::move(reply));
    case wire::kCancel:
      return OnCancel(c, std::move(reply));
    case wire::kConnect:
      return OnConnect(c, std::move(reply));
    default:
      return OnCardCommand(c, command, std::move(reply), c.in.extra());
  }
}

uint32_t Server::Impl::NewId(const std::function<bool(uint32_t)>& taken) {
  // Numbers are drawn at random, as pcscd does, so that one application
  // cannot guess another's.
  std::uniform_int_distribution<uint32_t> draw(1, 0x7FFFFFFF);
  uint32_t id;
  do {
    id = draw(random_);
  } while (taken(id));
  return id;
}

void Server::Impl::OnEstablish(Conn& c, Bytes reply) {
  const uint32_t scope = wire::Get32(reply, off::kEstScope);
  uint32_t rv = lite::kSuccess;
  if (scope > lite::kScopeGlobal) {
    rv = lite::kEInvalidValue;
  } else if (c.contexts.size() >= kMaxContextsPerClient) {
    rv = lite::kENoMemory;
  } else {
    // The remote context is made when the application first connects to a
    // card; listing and waiting are answered from the published states.
    const uint32_t id = NewId([this](uint32_t v) { return contexts_.count(v) > 0; });
    contexts_[id] = Context{c.serial, scope, 0, 0};
    c.contexts.insert(id);
    wire::Put32(reply, off::kEstContext, id);
  }
  wire::Put32(reply, off::kEstRv, rv);
  SendToConn(c, reply);
}

void Server::Impl::OnRelease(Conn& c, Bytes reply) {
  const uint32_t id = wire::Get32(reply, off::kCtxContext);
  uint32_t rv = lite::kSuccess;
  if (c.contexts.count(id))
    DropContext(id);
  else
    rv = lite::kEInvalidHandle;
  wire::Put32(reply, off::kCtxRv, rv);
  SendToConn(c, reply);
}

void Server::Impl::OnCancel(Conn& c, Bytes reply) {
  // SCardCancel arrives on a connection of its own and ends the wait of the
  // connection that holds the context. Waits run here, not on the remote.
  auto it = contexts_.find(wire::Get32(reply, off::kCtxContext));
  uint32_t rv = lite::kEInvalidHandle;
  if (it != contexts_.end()) {
    rv = lite::kSuccess;
    Conn* target = FindConn(it->second.conn);
    if (target && target->waiting) {
      target->waiting = false;
      SendToConn(*target, WaitRecord(lite::kECancelled));
    }
  }
  wire::Put32(reply, off::kCtxRv, rv);
  SendToConn(c, reply);
}

void Server::Impl::OnConnect(Conn& c, Bytes reply) {
  const uint32_t contextId = wire::Get32(reply, off::kConContext);
  const std::string reader = wire::GetText(reply, off::kConReader, wire::kMaxReaderName);
  uint32_t rv = lite::kSuccess;
  if (!c.contexts.count(contextId))
    rv = lite::kEInvalidHandle;
  else if (!Linked() || !readers_.Has(reader))
    rv = lite::kEUnknownReader;
  else if (c.cards.size() >= kMaxCardsPerClient)
    rv = lite::kENoMemory;
  if (rv != lite::kSuccess) {
    wire::Put32(reply, off::kConCard, 0);
    wire::Put32(reply, off::kConRv, rv);
    return SendToConn(c, reply);
  }
  if (LockedForOthers(reader, c.serial)) {
    // pcscd lets a connect wait for a running transaction; the remote is
    // never asked to wait, so one blocked call cannot hold back the
    // transaction's own calls on a client that serves calls in turn.
    c.busy = true;
    deferred_.push_back({c.serial, std::move(reply)});
    return;
  }
  WithRemoteContext(c, contextId, [this, contextId, reply](Conn* conn, uint32_t rv) mutable {
    if (!conn) return;
    if (rv != lite::kSuccess) {
      wire::Put32(reply, off::kConCard, 0);
      wire::Put32(reply, off::kConRv, rv);
      return Finish(*conn, reply);
    }
    ConnectRemote(*conn, contextId, std::move(reply));
  });
}

bool Server::Impl::LockedForOthers(const std::string& reader, uint64_t conn) const {
  auto lock = locks_.find(reader);
  if (lock == locks_.end()) return false;
  auto card = cards_.find(lock->second);
  return card != cards_.end() && card->second.conn != conn;
}

void Server::Impl::ResumeConnects() {
  if (deferred_.empty()) return;
  std::vector<DeferredConnect> waiting;
  waiting.swap(deferred_);
  for (DeferredConnect& d : waiting) {
    Conn* c = FindConn(d.conn);
    if (!c) continue;
    const std::string reader = wire::GetText(d.request, off::kConReader, wire::kMaxReaderName);
    if (Linked() && LockedForOthers(reader, d.conn)) {
      deferred_.push_back(std::move(d));
      continue;
    }
    // Checked again from the start: the reader or the link may have gone.
    c->busy = false;
    OnConnect(*c, std::move(d.request));
  }
}

void Server::Impl::WithRemoteContext(Conn& c, uint32_t contextId,
                                     std::function<void(Conn*, uint32_t)> next) {
  const Context& ctx = contexts_.at(contextId);
  if (LiveContext(ctx)) return next(&c, lite::kSuccess);
  EstablishContextMsg record{};
  record.dwScope = ScopeToRemote(opt_.flavour, ctx.scope);
  AppRemote(
      c, PCSCD_ESTABLISH_CONTEXT, RecordBytes(record),
      [this, contextId, next = std::move(next)](Conn* conn, Outcome o, std::span<const uint8_t> r) {
        auto m = Answered(o) ? ParseRecord<EstablishContextMsg>(r) : nullptr;
        const bool made = m && m->rv == 0 && m->hContext != 0;
        auto ctx = contexts_.find(contextId);
        if (!conn || ctx == contexts_.end()) {
          if (made) ForgetRelease(m->hContext);
          return;
        }
        if (!made) {
          uint32_t rv = m ? Result(m->rv) : (Answered(o) ? lite::kFCommError : FailureRv(o));
          return next(conn, rv == lite::kSuccess ? lite::kFCommError : rv);
        }
        ctx->second.remote = m->hContext;
        ctx->second.gen = linkGen_;
        next(conn, lite::kSuccess);
      });
}

void Server::Impl::ConnectRemote(Conn& c, uint32_t contextId, Bytes reply) {
  const Context& ctx = contexts_.at(contextId);
  const std::string reader = wire::GetText(reply, off::kConReader, wire::kMaxReaderName);
  ConnectMsg record{};
  record.hContext = ctx.remote;
  CopyName(record.szReader, sizeof record.szReader, reader);
  record.dwShareMode = wire::Get32(reply, off::kConShare);
  record.dwPreferredProtocols =
      ProtocolToRemote(opt_.flavour, wire::Get32(reply, off::kConPreferred));
  const uint32_t remoteContext = ctx.remote;
  AppRemote(c, PCSCD_CONNECT, RecordBytes(record),
            [this, contextId, remoteContext, reader, reply](Conn* conn, Outcome o,
                                                            std::span<const uint8_t> r) mutable {
              auto m = Answered(o) ? ParseRecord<ConnectMsg>(r) : nullptr;
              const bool made = m && m->rv == 0;
              if (!conn || !contexts_.count(contextId)) {
                // Nobody takes this card handle: give it back.
                if (made) ForgetDisconnect(remoteContext, m->hCard);
                return;
              }
              uint32_t rv = m ? Result(m->rv) : (Answered(o) ? lite::kFCommError : FailureRv(o));
              uint32_t id = 0;
              if (made) {
                id = NewId([this](uint32_t v) { return cards_.count(v) > 0; });
                cards_[id] =
                    Card{id, conn->serial, contextId, reader, remoteContext, m->hCard, linkGen_};
                conn->cards.insert(id);
                const uint32_t active = ProtocolToLite(opt_.flavour, m->dwActiveProtocol);
                wire::Put32(reply, off::kConActive, active);
                readers_.SetProtocol(reader, active);
                Republish();
              }
              wire::Put32(reply, off::kConCard, id);
              wire::Put32(reply, off::kConRv, rv);
              Finish(*conn, reply);
            });
}

template <typename T, typename OnAnswer>
void Server::Impl::CardCall(Conn& c, const Card& card, uint32_t command, const T& record,
                            size_t sendBytes, Bytes reply, size_t rvOffset, OnAnswer onAnswer) {
  const uint32_t cardId = card.id;
  const uint32_t remoteContext = card.remoteContext, remoteCard = card.remoteCard;
  AppRemote(c, command, RecordBytes(record, sendBytes),
            [this, cardId, command, remoteContext, remoteCard, reply = std::move(reply), rvOffset,
             onAnswer](Conn* conn, Outcome o, std::span<const uint8_t> r) mutable {
              std::unique_ptr<T> m = Answered(o) ? ParseRecord<T>(r) : nullptr;
              if (!conn) {
                // A transaction begun for a call that timed out is ended.
                if (command == PCSCD_BEGIN_TRANSACTION && m && m->rv == 0 && Linked()) {
                  EndTransactionMsg end{};
                  end.hContext = remoteContext;
                  end.hCard = remoteCard;
                  Forget(PCSCD_END_TRANSACTION, RecordBytes(end));
                }
                return;
              }
              Bytes tail;
              uint32_t rv;
              auto card = cards_.find(cardId);
              if (m && card != cards_.end())
                rv = onAnswer(card->second, *m, reply, tail);
              else if (Answered(o))
                rv = lite::kFCommError;  // a reply we cannot read
              else
                rv = FailureRv(o);
              if (command == PCSCD_BEGIN_TRANSACTION && rv != lite::kSuccess) {
                // The lock taken when the call left is given back.
                auto held = std::find_if(locks_.begin(), locks_.end(),
                                         [cardId](const auto& l) { return l.second == cardId; });
                if (held != locks_.end()) locks_.erase(held);
              }
              if (command == PCSCD_DISCONNECT && o == Outcome::kLinkLost) {
                // The remote side is gone and with it the handle.
                DropCard(cardId, false);
                rv = lite::kSuccess;
              }
              wire::Put32(reply, rvOffset, rv);
              Finish(*conn, reply, tail);
            });
}

void Server::Impl::OnCardCommand(Conn& c, uint32_t command, Bytes reply,
                                 std::span<const uint8_t> extra) {
  size_t rvOffset;
  switch (command) {
    case wire::kReconnect:
      rvOffset = off::kRecRv;
      break;
    case wire::kDisconnect:
    case wire::kEndTransaction:
      rvOffset = off::kDisRv;
      break;
    case wire::kBeginTransaction:
    case wire::kStatus:
      rvOffset = off::kCardRv;
      break;
    case wire::kTransmit:
      rvOffset = off::kTxRv;
      break;
    case wire::kControl:
      rvOffset = off::kCtlRv;
      break;
    case wire::kGetAttrib:
    case wire::kSetAttrib:
      rvOffset = off::kAtRv;
      break;
    default:
      return Kill(c, "a command the daemon does not serve");
  }
  auto answer = [&](uint32_t rv) {
    wire::Put32(reply, rvOffset, rv);
    SendToConn(c, reply);
  };

  // Every card command starts with hCard; it must be one of this
  // application's own handles.
  const uint32_t id = wire::Get32(reply, 0);
  if (!c.cards.count(id)) return answer(lite::kEInvalidHandle);
  const Card& card = cards_.at(id);
  if (!LiveCard(card)) {
    // Made on a plug-in link that has gone: only letting go still works.
    if (command != wire::kDisconnect) return answer(lite::kEReaderUnavailable);
    DropCard(id, false);
    return answer(lite::kSuccess);
  }
  // Another application's transaction keeps this one waiting, as in pcscd
  // (libpcsclite retries on a sharing violation); the remote never blocks.
  auto lock = locks_.find(card.reader);
  if (command != wire::kDisconnect && lock != locks_.end() && lock->second != id)
    return answer(lite::kESharingViolation);

  const RemoteFlavour flavour = opt_.flavour;
  switch (command) {
    case wire::kReconnect: {
      ReconnectMsg record{};
      record.hContext = card.remoteContext;
      record.hCard = card.remoteCard;
      record.dwShareMode = wire::Get32(reply, off::kRecShare);
      record.dwPreferredProtocols =
          ProtocolToRemote(flavour, wire::Get32(reply, off::kRecPreferred));
      record.dwInitialization = wire::Get32(reply, off::kRecInit);
      return CardCall(c, card, PCSCD_RECONNECT, record, sizeof record, std::move(reply), rvOffset,
                      [this](Card& k, const ReconnectMsg& m, Bytes& out, Bytes&) {
                        uint32_t rv = Result(m.rv);
                        uint32_t active = ProtocolToLite(opt_.flavour, m.dwActiveProtocol);
                        wire::Put32(out, off::kRecActive, active);
                        if (rv == lite::kSuccess) {
                          readers_.SetProtocol(k.reader, active);
                          Republish();
                        }
                        return rv;
                      });
    }
    case wire::kDisconnect: {
      DisconnectMsg record{};
      record.hContext = card.remoteContext;
      record.hCard = card.remoteCard;
      record.dwDisposition = wire::Get32(reply, off::kDisDisposition);
      return CardCall(c, card, PCSCD_DISCONNECT, record, sizeof record, std::move(reply), rvOffset,
                      [this](Card& k, const DisconnectMsg& m, Bytes&, Bytes&) {
                        uint32_t rv = Result(m.rv);
                        // A handle the remote no longer knows is gone too.
                        if (rv == lite::kSuccess || rv == lite::kEInvalidHandle)
                          DropCard(k.id, false);
                        return rv;
                      });
    }
    case wire::kBeginTransaction: {
      // The reader counts as locked from now on: a connect or transmit of
      // another application must not reach the remote between its grant
      // and our hearing of it, or it would wait there for this lock ahead
      // of this transaction's own calls.
      locks_[card.reader] = id;
      BeginTransactionMsg record{};
      record.hContext = card.remoteContext;
      record.hCard = card.remoteCard;
      return CardCall(
          c, card, PCSCD_BEGIN_TRANSACTION, record, sizeof record, std::move(reply), rvOffset,
          [this](Card&, const BeginTransactionMsg& m, Bytes&, Bytes&) { return Result(m.rv); });
    }
    case wire::kEndTransaction: {
      EndTransactionMsg record{};
      record.hContext = card.remoteContext;
      record.hCard = card.remoteCard;
      record.dwDisposition = wire::Get32(reply, off::kDisDisposition);
      return CardCall(c, card, PCSCD_END_TRANSACTION, record, sizeof record, std::move(reply),
                      rvOffset, [this](Card& k, const EndTransactionMsg& m, Bytes&, Bytes&) {
                        auto held = locks_.find(k.reader);
                        if (held != locks_.end() && held->second == k.id) locks_.erase(held);
                        return Result(m.rv);
                      });
    }
    case wire::kStatus: {
      StatusMsg record{};
      record.hContext = card.remoteContext;
      record.hCard = card.remoteCard;
      record.cchReaderLen = kPcscdStatusNameBytes;
      record.cbAtrLen = kPcscdAtrBytes;
      return CardCall(c, card, PCSCD_STATUS, record, sizeof record, std::move(reply), rvOffset,
                      [this](Card& k, const StatusMsg& m, Bytes&, Bytes&) {
                        // libpcsclite reads state, protocol and ATR from the
                        // published states; the answer keeps them true.
                        uint32_t rv = Result(m.rv);
                        if (rv == lite::kSuccess) {
                          std::span<const uint8_t> atr(
                              m.pbAtr, m.cbAtrLen <= kPcscdAtrBytes ? m.cbAtrLen : 0);
                          readers_.ApplyStatus(k.reader, CardStateToLite(opt_.flavour, m.dwState),
                                               ProtocolToLite(opt_.flavour, m.dwProtocol), atr);
                          Republish();
                        }
                        return rv;
                      });
    }
    case wire::kTransmit: {
      auto record = std::make_unique<TransmitMsg>();
      record->hContext = card.remoteContext;
      record->hCard = card.remoteCard;
      record->cbSendLength = static_cast<uint32_t>(extra.size());
      const uint32_t room = wire::Get32(reply, off::kTxRecv);
      record->cbRecvLength = std::min<uint32_t>(room, kPcscdBufferBytes);
      record->ioSendPciProtocol = ProtocolToRemote(flavour, wire::Get32(reply, off::kTxSendProto));
      record->ioSendPciLength = wire::Get32(reply, off::kTxSendPciLen);
      if (!extra.empty()) std::memcpy(record->pbBuffer, extra.data(), extra.size());  // <= 65548
      return CardCall(
          c, card, PCSCD_TRANSMIT, *record, kTransmitFixedBytes + extra.size(), std::move(reply),
          rvOffset, [this, room](Card&, const TransmitMsg& m, Bytes& out, Bytes& tail) {
            uint32_t rv = Result(m.rv);
            uint32_t length = m.cbRecvLength;
            if (rv == lite::kSuccess && length > kPcscdBufferBytes) rv = lite::kFCommError;
            if (rv == lite::kSuccess && length > room) rv = lite::kEInsufficientBuffer;
            wire::Put32(out, off::kTxRecvProto, ProtocolToLite(opt_.flavour, m.ioRecvPciProtocol));
            wire::Put32(out, off::kTxRecvPciLen, m.ioRecvPciLength);
            wire::Put32(out, off::kTxRecv, length);
            if (rv == lite::kSuccess) tail.assign(m.pbBuffer, m.pbBuffer + length);
            return rv;
          });
    }
    case wire::kControl: {
      auto record = std::make_unique<ControlMsg>();
      record->hContext = card.remoteContext;
      record->hCard = card.remoteCard;
      record->dwControlCode = ControlCodeToRemote(flavour, wire::Get32(reply, off::kCtlCode));
      record->cbSendLength = static_cast<uint32_t>(extra.size());
      const uint32_t room = wire::Get32(reply, off::kCtlRecv);
      record->cbRecvLength = std::min<uint32_t>(room, kPcscdBufferBytes);
      if (!extra.empty()) std::memcpy(record->pbBuffer, extra.data(), extra.size());
      return CardCall(c, card, PCSCD_CONTROL, *record, kControlFixedBytes + extra.size(),
                      std::move(reply), rvOffset,
                      [this, room](Card&, const ControlMsg& m, Bytes& out, Bytes& tail) {
                        uint32_t rv = Result(m.rv);
                        uint32_t length = m.dwBytesReturned;
                        if (rv == lite::kSuccess && length > kPcscdBufferBytes)
                          rv = lite::kFCommError;
                        if (rv == lite::kSuccess && length > room) rv = lite::kEInsufficientBuffer;
                        wire::Put32(out, off::kCtlReturned, length);
                        if (rv == lite::kSuccess) tail.assign(m.pbBuffer, m.pbBuffer + length);
                        return rv;
                      });
    }
    case wire::kGetAttrib:
    case wire::kSetAttrib: {
      const uint32_t length = wire::Get32(reply, off::kAtLen);
      if (length > wire::kMaxAttr) return answer(lite::kEInsufficientBuffer);
      AttribMsg record{};
      record.hContext = card.remoteContext;
      record.hCard = card.remoteCard;
      record.dwAttrId = wire::Get32(reply, off::kAtId);
      record.cbAttrLen = length;
      const bool get = command == wire::kGetAttrib;
      if (!get) std::memcpy(record.pbAttr, reply.data() + off::kAtValue, length);
      return CardCall(c, card, get ? PCSCD_GET_ATTRIB : PCSCD_SET_ATTRIB, record, sizeof record,
                      std::move(reply), rvOffset,
                      [this, get](Card&, const AttribMsg& m, Bytes& out, Bytes&) {
                        uint32_t rv = Result(m.rv);
                        if (!get || rv != lite::kSuccess) return rv;
                        uint32_t returned = m.cbAttrLen;
                        if (returned > wire::kMaxAttr) {
                          rv = lite::kEInsufficientBuffer;
                          returned = wire::kMaxAttr;
                        }
                        std::memcpy(out.data() + off::kAtValue, m.pbAttr, returned);
                        wire::Put32(out, off::kAtLen, returned);
                        return rv;
                      });
    }
  }
}

void Server::Impl::DropCard(uint32_t id, bool releaseRemote) {
  auto it = cards_.find(id);
  if (it == cards_.end()) return;
  const Card card = it->second;
  cards_.erase(it);
  auto held = locks_.find(card.reader);
  if (held != locks_.end() && held->second == id) locks_.erase(held);
  if (auto conn = conns_.find(card.conn); conn != conns_.end()) conn->second->cards.erase(id);
  if (releaseRemote && LiveCard(card)) ForgetDisconnect(card.remoteContext, card.remoteCard);
}

void Server::Impl::DropContext(uint32_t id) {
  auto it = contexts_.find(id);
  if (it == contexts_.end()) return;
  const Context ctx = it->second;
  auto conn = conns_.find(ctx.conn);
  if (conn != conns_.end()) {
    std::vector<uint32_t> cards;
    for (uint32_t card : conn->second->cards)
      if (cards_.count(card) && cards_.at(card).context == id) cards.push_back(card);
    for (uint32_t card : cards) DropCard(card, true);
    conn->second->contexts.erase(id);
  }
  contexts_.erase(id);
  if (LiveContext(ctx)) ForgetRelease(ctx.remote);
}

// ============================================================ the reader watch
//
// A context of the daemon's own lists the remote readers and waits on them
// with GetStatusChange for at most pollInterval; after every answer it lists
// again, so readers that come and go are noticed within one round even when
// the remote does not understand the reader-list pseudo reader.

void Server::Impl::WatchStart() {
  watch_ = Watch{};
  watch_.gen = linkGen_;
  WatchEstablish();
}

void Server::Impl::WatchLater(WatchStep step, std::chrono::milliseconds delay) {
  watch_.next = step;
  watch_.at = Clock::now() + delay;
}

void Server::Impl::WatchEstablish() {
  EstablishContextMsg record{};
  record.dwScope = lite::kScopeSystem;
  const uint64_t gen = linkGen_;
  Remote(PCSCD_ESTABLISH_CONTEXT, RecordBytes(record), opt_.callTimeout,
         [this, gen](Outcome o, std::span<const uint8_t> r) {
           auto m = Answered(o) ? ParseRecord<EstablishContextMsg>(r) : nullptr;
           const bool made = m && m->rv == 0 && m->hContext != 0;
           if (o == Outcome::kLateAnswer || !WatchCurrent(gen)) {
             if (made && WatchCurrent(gen)) ForgetRelease(m->hContext);
             return;
           }
           if (!made) {
             Log(LogLevel::kError, "the remote refused the reader watch a context (0x%08X)",
                 m ? m->rv : 0);
             return WatchLater(WatchStep::kEstablish, WatchPause());
           }
           watch_.context = m->hContext;
           WatchList();
         });
}

void Server::Impl::WatchList() {
  auto record = std::make_unique<ListReadersMsg>();
  record->hContext = watch_.context;
  record->cbGroups = 0;
  record->cchReaders = kListRoom;
  const uint64_t gen = linkGen_;
  Remote(PCSCD_LIST_READERS, RecordBytes(*record), opt_.callTimeout,
         [this, gen](Outcome o, std::span<const uint8_t> r) {
           if (o == Outcome::kLateAnswer || o == Outcome::kLinkLost || !WatchCurrent(gen)) return;
           auto m = o == Outcome::kAnswered ? ParseRecord<ListReadersMsg>(r) : nullptr;
           if (!m) return WatchLater(WatchStep::kList, WatchPause());
           const uint32_t rv = Result(m->rv);
           std::vector<std::string> names;
           if (rv == lite::kSuccess) {
             names =
                 SplitNames(m->mszReaders, std::min<uint32_t>(m->cchReaders, kPcscdReadersBytes));
           } else if (rv == lite::kEInvalidHandle) {
             return WatchLater(WatchStep::kEstablish, WatchPause());
           } else if (rv != lite::kENoReadersAvailable) {
             Log(LogLevel::kError, "listing the remote readers failed: 0x%08X", rv);
             return WatchLater(WatchStep::kList, WatchPause());
           }
           if (readers_.SetReaders(names)) {
             Log(LogLevel::kInfo, "the remote lists %zu reader(s)", names.size());
             Republish();
           }
           WatchWait();
         });
}

void Server::Impl::WatchWait() {
  const std::vector<std::string> names = readers_.Names();
  if (names.empty() && !watch_.pnp) return WatchLater(WatchStep::kList, opt_.pollInterval);
  auto record = std::make_unique<GetStatusChangeMsg>();
  record->hContext = watch_.context;
  record->dwTimeOut = static_cast<uint32_t>(opt_.pollInterval.count());
  std::vector<uint32_t> sent;
  for (const std::string& name : names) {
    PcscdReaderState& slot = record->rgReaderStates[record->cReaders++];
    CopyName(slot.szReader, sizeof slot.szReader, name);
    slot.dwCurrentState = readers_.KnownEventState(name);
    sent.push_back(slot.dwCurrentState);
  }
  const bool pnp = watch_.pnp;
  if (pnp) {
    PcscdReaderState& slot = record->rgReaderStates[record->cReaders++];
    CopyName(slot.szReader, sizeof slot.szReader, kPnpReader);
    slot.dwCurrentState = static_cast<uint32_t>(names.size()) << 16;
  }
  const uint64_t gen = linkGen_;
  Remote(PCSCD_GET_STATUS_CHANGE, RecordBytes(*record), opt_.pollInterval + opt_.callTimeout,
         [this, gen, names, sent, pnp](Outcome o, std::span<const uint8_t> r) {
           if (o == Outcome::kLateAnswer || o == Outcome::kLinkLost || !WatchCurrent(gen)) return;
           auto m = o == Outcome::kAnswered ? ParseRecord<GetStatusChangeMsg>(r) : nullptr;
           if (!m) return WatchLater(WatchStep::kList, WatchPause());
           const uint32_t rv = Result(m->rv);
           if (rv == lite::kSuccess) {
             bool moved = false;
             const size_t count = std::min<size_t>(m->cReaders, kPcscdMaxReaderStates);
             for (size_t i = 0; i < count; ++i) {
               const PcscdReaderState& slot = m->rgReaderStates[i];
               if (i >= names.size()) {
                 // The reader-list pseudo reader: a remote that does not
                 // know it calls it unknown rather than refusing the call.
                 if (slot.dwEventState & state::kUnknown) {
                   Log(LogLevel::kInfo, "the remote does not know the reader-list pseudo reader");
                   watch_.pnp = false;
                 } else {
                   moved |= (slot.dwEventState & state::kChanged) != 0;
                 }
                 continue;
               }
               const size_t atrLength = std::min<size_t>(slot.cbAtr, kPcscdAtrBytes);
               readers_.ApplyEvent(names[i], slot.dwEventState,
                                   std::span<const uint8_t>(slot.rgbAtr, atrLength));
               moved |= (slot.dwEventState & ~state::kChanged) != sent[i];
             }
             Republish();
             // An answer that reports nothing new must not turn the watch
             // into a busy loop.
             if (!moved) return WatchLater(WatchStep::kList, std::min(opt_.pollInterval, 250ms));
             return WatchList();
           }
           if (rv == lite::kETimeout) return WatchList();
           if (rv == lite::kEUnknownReader && pnp) {
             Log(LogLevel::kInfo, "the remote does not know the reader-list pseudo reader");
             watch_.pnp = false;
             return WatchList();
           }
           if (rv == lite::kEInvalidHandle) return WatchLater(WatchStep::kEstablish, WatchPause());
           if (rv != lite::kEUnknownReader)
             Log(LogLevel::kError, "waiting on the remote readers failed: 0x%08X", rv);
           WatchLater(WatchStep::kList, WatchPause());
         });
}

bool Server::Impl::Republish() {
  Bytes bytes = readers_.Publish();
  if (bytes == published_) return false;
  published_ = std::move(bytes);
  ++publications_;
  for (auto& [serial, c] : conns_) {
    if (!c->waiting || c->dead) continue;
    c->waiting = false;
    SendToConn(*c, WaitRecord(lite::kSuccess));
  }
  return true;
}

// ============================================================ Server

Server::Server(ServerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}
Server::~Server() = default;
bool Server::Listen(std::string* error) {
  return impl_->Listen(error);
}
void Server::Run() {
  impl_->Run();
}
void Server::Stop() {
  impl_->Stop();
}
ServerStats Server::stats() const {
  return impl_->stats();
}

}  // namespace scredir::pcscd
