// scredir-pcscd's server in this process, serving this process's
// libpcsclite: the daemon and soak tests run their applications as threads
// against it. libpcsclite reads PCSCLITE_CSOCK_NAME once per process, so
// the paths are the same for every daemon of the process; the first use
// sets the environment. GLib's slice allocator hands memory between threads
// behind ThreadSanitizer's back; plain malloc lets it see who owns what.
//
// Threads: one caller; the server runs its loop on a thread of its own.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "daemon/server.h"

namespace scredir::chain {

class InProcessDaemon {
 public:
  // The process's directory; false when the environment could not be set.
  static const std::string& Dir() {
    static const std::string dir = [] {
      std::string d = "/tmp/scredir-pcscd-" + std::to_string(getpid());
      std::filesystem::create_directories(d);
      setenv("PCSCLITE_CSOCK_NAME", (d + "/pcscd.comm").c_str(), 1);
      setenv("G_SLICE", "always-malloc", 1);
      return d;
    }();
    return dir;
  }
  static std::string DaemonSocket() { return Dir() + "/qrn.socket"; }

  explicit InProcessDaemon(std::chrono::milliseconds callTimeout) : callTimeout_(callTimeout) {}
  ~InProcessDaemon() {
    Stop();
    std::filesystem::remove_all(Dir());
  }

  // Listens (the remote values are pcsc-lite's, as the emulated card's are)
  // and runs the loop; false with the reason when it cannot listen.
  bool Start(std::string* why) {
    pcscd::ServerOptions options;
    options.clientSocket = Dir() + "/pcscd.comm";
    options.daemonSocket = DaemonSocket();
    options.flavour = pcscd::RemoteFlavour::kPcscLite;
    options.callTimeout = callTimeout_;
    options.pollInterval = std::chrono::milliseconds(200);
    std::filesystem::create_directories(Dir());
    server_ = std::make_unique<pcscd::Server>(options);
    if (!server_->Listen(why)) return false;
    loop_ = std::thread([this] { server_->Run(); });
    return true;
  }
  void Stop() {
    if (server_) server_->Stop();
    if (loop_.joinable()) loop_.join();
    server_.reset();
  }
  pcscd::ServerStats stats() const { return server_->stats(); }

 private:
  std::chrono::milliseconds callTimeout_;
  std::unique_ptr<pcscd::Server> server_;
  std::thread loop_;
};

}  // namespace scredir::chain
