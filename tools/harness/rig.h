// Rig: every party around the plug-in, brought up and taken down in the
// right order.
//
// The rig owns the client double (answering from the backend it is given),
// the host double (which loads the plug-in) and the daemon double (the
// plug-in's local socket). Bring-up is split into steps so a caller can
// report each failure in its own words (BringUp runs them all); the
// destructor undoes whatever was done: it closes the channel and waits for
// the plug-in to shut the daemon socket, ends the backend's waits through
// the given hook, stops the client, then stops the plug-in and removes the
// daemon socket.
//
// Threads: one caller. The doubles run threads of their own.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "tools/card_backend.h"
#include "tools/client_double.h"
#include "tools/daemon_double.h"
#include "tools/host_double.h"

namespace scredir::tools {

class Rig {
 public:
  // `endWaits` must make every blocked backend call return (CardModel::
  // Shutdown, PcscBackend::Shutdown); the backend must outlive the rig.
  Rig(CardBackend& backend, std::function<void()> endWaits);
  ~Rig();
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  bool LoadPlugin(const std::string& path, std::string* error);
  bool ListenOn(const std::string& socketPath, std::string* error);
  // QRN_Start on the host's thread; false with the status in `error`.
  bool StartPlugin(std::string* error);
  // Offers the smart-card channel.
  bool OpenChannel(std::string* error);
  // Waits until the plug-in has connected to the daemon socket.
  bool AwaitDaemon(std::chrono::milliseconds timeout, const std::atomic<bool>* interrupted,
                   std::string* error);
  // Every step in order, the client's announce awaited too; with an empty
  // `socketPath` no daemon listens yet (ListenOn later).
  bool BringUp(const std::string& plugin, const std::string& socketPath,
               std::chrono::milliseconds timeout, std::string* error);

  DaemonDouble& daemon() { return *daemon_; }
  ClientDouble& client() { return *client_; }
  HostDouble& host() { return *host_; }

 private:
  std::function<void()> endWaits_;
  std::unique_ptr<ClientDouble> client_;
  std::unique_ptr<HostDouble> host_;
  std::unique_ptr<DaemonDouble> daemon_;
  bool started_ = false;
};

}  // namespace scredir::tools
