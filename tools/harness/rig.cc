// Bring-up and take-down of the parties around the plug-in; see rig.h.
#include "tools/harness/rig.h"

#include <thread>

#include "scredir/qrn_intf.h"

namespace scredir::tools {

Rig::Rig(CardBackend& backend, std::function<void()> endWaits)
    : endWaits_(std::move(endWaits)),
      client_(std::make_unique<ClientDouble>(backend)),
      host_(std::make_unique<HostDouble>(*client_)) {}

Rig::~Rig() {
  // Channel first: the plug-in shuts the daemon socket down and its daemon
  // link thread ends; then the client's waits, then the plug-in itself.
  host_->CloseChannel();
  if (daemon_ && daemon_->connections() > 0) daemon_->AwaitPeerClosed();
  if (endWaits_) endWaits_();
  client_->Stop();
  host_->Flush();
  if (started_ || host_->listenerActive()) host_->Stop();
  host_.reset();
  client_.reset();
  daemon_.reset();  // removes the socket file
}

bool Rig::LoadPlugin(const std::string& path, std::string* error) {
  std::string why;
  if (host_->Load(path, &why)) return true;
  *error = "cannot load the plug-in " + path + ": " + why;
  return false;
}

bool Rig::ListenOn(const std::string& socketPath, std::string* error) {
  daemon_ = std::make_unique<DaemonDouble>(socketPath);
  if (daemon_->listening()) return true;
  *error = "cannot listen on the daemon socket " + socketPath;
  return false;
}

bool Rig::StartPlugin(std::string* error) {
  uint32_t status = host_->Start();
  started_ = status == 0;
  if (started_) return true;
  *error = "the plug-in did not start: status " + std::to_string(status);
  return false;
}

bool Rig::OpenChannel(std::string* error) {
  if (host_->OpenChannel(kScRedirChannelName)) return true;
  *error = std::string("the plug-in did not accept the \"") + kScRedirChannelName +
           "\" channel (is QRN.ScRedir.Enable off?)";
  return false;
}

bool Rig::AwaitDaemon(std::chrono::milliseconds timeout, const std::atomic<bool>* interrupted,
                      std::string* error) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (daemon_->connections() == 0 && std::chrono::steady_clock::now() < deadline &&
         !(interrupted && interrupted->load()))
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  if (daemon_->connections() > 0) return true;
  *error = "the plug-in did not connect to the daemon socket " + daemon_->path();
  return false;
}

bool Rig::BringUp(const std::string& plugin, const std::string& socketPath,
                  std::chrono::milliseconds timeout, std::string* error) {
  if (!socketPath.empty() && !ListenOn(socketPath, error)) return false;
  if (!LoadPlugin(plugin, error) || !StartPlugin(error) || !OpenChannel(error)) return false;
  if (!client_->AwaitAnnounce()) {
    *error = "the plug-in sent no announce";
    return false;
  }
  return socketPath.empty() || AwaitDaemon(timeout, nullptr, error);
}

}  // namespace scredir::tools
