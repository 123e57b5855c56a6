// DemoRig: every party around the plug-in, brought up and taken down in
// the right order.
//
// The rig owns the client double (answering from the backend it is given),
// the host double (which loads the plug-in) and the daemon double (the
// plug-in's local socket). Bring-up is split into steps so the caller can
// report each failure in its own words; the destructor undoes whatever was
// done: it closes the channel (the plug-in's daemon link thread ends), stops
// the plug-in, ends the backend's waits through the given hook, stops the
// client and removes the daemon socket.
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

namespace scredir::demo {

class DemoRig {
 public:
  // `endWaits` must make every blocked backend call return (CardModel::
  // Shutdown, PcscBackend::Shutdown); the backend must outlive the rig.
  DemoRig(tools::CardBackend& backend, std::function<void()> endWaits);
  ~DemoRig();
  DemoRig(const DemoRig&) = delete;
  DemoRig& operator=(const DemoRig&) = delete;

  bool LoadPlugin(const std::string& path, std::string* error);
  bool ListenOn(const std::string& socketPath, std::string* error);
  // QRN_Start on the host's thread; false with the status in `error`.
  bool StartPlugin(std::string* error);
  // Offers the smart-card channel and waits until the plug-in has connected
  // to the daemon socket.
  bool OpenChannel(std::chrono::milliseconds timeout, const std::atomic<bool>* interrupted,
                   std::string* error);

  tools::DaemonDouble& daemon() { return *daemon_; }
  tools::ClientDouble& client() { return *client_; }

 private:
  std::function<void()> endWaits_;
  std::unique_ptr<tools::ClientDouble> client_;
  std::unique_ptr<tools::HostDouble> host_;
  std::unique_ptr<tools::DaemonDouble> daemon_;
  bool started_ = false;
  bool channelOpen_ = false;
};

}  // namespace scredir::demo
