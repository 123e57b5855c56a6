// Bring-up and take-down of the parties around the plug-in; see rig.h.
#include "tools/demo/rig.h"

#include <thread>

#include "scredir/qrn_intf.h"

namespace scredir::demo {

DemoRig::DemoRig(tools::CardBackend& backend, std::function<void()> endWaits)
    : endWaits_(std::move(endWaits)),
      client_(std::make_unique<tools::ClientDouble>(backend)),
      host_(std::make_unique<tools::HostDouble>(*client_)) {}

DemoRig::~DemoRig() {
  if (channelOpen_) host_->CloseChannel();
  host_->Flush();
  if (started_) host_->Stop();
  if (endWaits_) endWaits_();
  client_->Stop();
  host_.reset();
  client_.reset();
  daemon_.reset();  // removes the socket file
}

bool DemoRig::LoadPlugin(const std::string& path, std::string* error) {
  std::string why;
  if (host_->Load(path, &why)) return true;
  *error = "cannot load the plug-in " + path + ": " + why;
  return false;
}

bool DemoRig::ListenOn(const std::string& socketPath, std::string* error) {
  daemon_ = std::make_unique<tools::DaemonDouble>(socketPath);
  if (daemon_->listening()) return true;
  *error = "cannot listen on the daemon socket " + socketPath;
  return false;
}

bool DemoRig::StartPlugin(std::string* error) {
  uint32_t status = host_->Start();
  started_ = true;
  if (status == 0) return true;
  *error = "the plug-in did not start: status " + std::to_string(status);
  return false;
}

bool DemoRig::OpenChannel(std::chrono::milliseconds timeout, const std::atomic<bool>* interrupted,
                          std::string* error) {
  channelOpen_ = host_->OpenChannel(kScRedirChannelName);
  if (!channelOpen_) {
    *error = std::string("the plug-in did not accept the \"") + kScRedirChannelName +
             "\" channel (is QRN.ScRedir.Enable off?)";
    return false;
  }
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (daemon_->connections() == 0 && std::chrono::steady_clock::now() < deadline &&
         !(interrupted && interrupted->load()))
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  if (daemon_->connections() > 0) return true;
  *error = "the plug-in did not connect to the daemon socket " + daemon_->path();
  return false;
}

}  // namespace scredir::demo
