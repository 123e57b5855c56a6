// See remote_side.h.
#include "tests/chain/remote_side.h"

#include <fstream>

namespace scredir::chain {

std::unique_ptr<RemoteSide> RemoteSide::Start(const Options& options, std::string* error) {
  std::unique_ptr<RemoteSide> side(new RemoteSide());
  side->sandbox_ = tools::Sandbox::Create(
      {.socketPath = options.socketPath, .debug = options.debugLog, .keepLog = true}, error);
  if (!side->sandbox_) return nullptr;
  {
    // The plug-in retries its daemon connection this often (default 5 s).
    std::ofstream config(side->sandbox_->workDir() + "/home/.nimbrel/config", std::ios::app);
    config << "QRN.ScRedir.connectRetryMs = 100\n";
    if (!config) {
      *error = "cannot extend the plug-in's configuration";
      return nullptr;
    }
  }
  tools::CardBackend* backend;
  std::function<void()> endWaits;
  if (options.pcsc) {
    side->pcsc_ = std::make_unique<tools::PcscBackend>();
    backend = side->pcsc_.get();
    endWaits = [pcsc = side->pcsc_.get()] { pcsc->Shutdown(); };
  } else {
    side->model_ = std::make_unique<tools::CardModel>();
    side->model_->AddReader(kEmulatedReader, true);
    backend = side->model_.get();
    endWaits = [model = side->model_.get()] { model->Shutdown(); };
  }
  side->rig_ = std::make_unique<tools::Rig>(*backend, std::move(endWaits));
  if (!side->rig_->BringUp(options.plugin, "", std::chrono::seconds(10), error)) return nullptr;
  return side;
}

RemoteSide::~RemoteSide() {
  rig_.reset();
  sandbox_.reset();
}

bool RemoteSide::OpenChannel(std::string* error) {
  if (!rig_->OpenChannel(error)) return false;
  if (rig_->client().AwaitAnnounce()) return true;
  *error = "the plug-in sent no announce after the channel opened";
  return false;
}

void RemoteSide::CloseChannel() {
  rig_->host().CloseChannel();
  rig_->host().Flush();
}

}  // namespace scredir::chain
