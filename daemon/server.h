// scredir-pcscd: a PC/SC daemon for unmodified pcsc-lite applications whose
// readers are the remote client's, reached through the redirection plug-in.
//
// It listens on two Unix sockets. Applications' libpcsclite connects to the
// client socket and speaks pcsc-lite's own protocol (daemon/wire.h); the
// plug-in connects to the daemon socket and gets one PcscdMessage per
// remote call (daemon/plugin_link.h). The daemon keeps a remote context of
// its own to list the remote readers and wait on them, and publishes what
// it learns as pcsc-lite's reader states, waking applications that wait.
// Contexts and card handles belong to the application connection that made
// them (the daemon hands out its own numbers); when a connection ends, what
// it held is released on the remote side.
//
// Threads: Run() is one poll loop that owns every socket and all state.
// Calls to the remote never block it: each is a request with a callback and
// a deadline, and an application waits only for its own call. Stop() and
// stats() may be called from any thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "daemon/convert.h"

namespace scredir::pcscd {

struct ServerOptions {
  // Where libpcsclite 1.9.9 looks unless PCSCLITE_CSOCK_NAME says otherwise.
  std::string clientSocket = "/run/pcscd/pcscd.comm";
  // Where the plug-in connects unless its configuration says otherwise.
  std::string daemonSocket = "/var/run/qrnipc/qrn.socket";
  RemoteFlavour flavour = RemoteFlavour::kWindows;
  // How long an application's call may wait for the remote's answer.
  std::chrono::milliseconds callTimeout{30000};
  // The reader watch waits this long per round, then lists the readers again.
  std::chrono::milliseconds pollInterval{1000};
  // Peers (applications and the plug-in) whose user id may connect besides
  // the daemon's own user and root; allowAnyUser lifts the check.
  std::vector<uid_t> allowedUids;
  bool allowAnyUser = false;
  size_t maxClients = 200;  // pcscd's default number of client threads
};

struct ServerStats {
  size_t clients = 0;         // application connections
  size_t readers = 0;         // readers published to applications
  bool linked = false;        // a plug-in is connected
  uint64_t links = 0;         // plug-in connections so far
  size_t remoteRequests = 0;  // requests the plug-in has not answered
  size_t contexts = 0;        // application contexts
  size_t cards = 0;           // application card handles
  size_t remoteContexts = 0;  // contexts held on the remote side, the watch's included
  size_t remoteCards = 0;     // card handles held on the remote side
  uint64_t publications = 0;  // reader-state changes published
};

class Server {
 public:
  explicit Server(ServerOptions options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Creates both listening sockets (parent folders too). A stale socket
  // file is replaced; a live one or a file of another kind is an error.
  bool Listen(std::string* error);
  // Serves until Stop(); then releases what it holds on the remote side
  // and closes everything.
  void Run();
  // Async-signal-safe.
  void Stop();
  ServerStats stats() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace scredir::pcscd
