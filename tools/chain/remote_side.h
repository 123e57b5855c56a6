// RemoteSide: everything beyond the daemon socket, in this process: the
// built plug-in loaded into the host double, the client double, and the card
// behind it (an emulated reader, or this process's libpcsclite, which a
// private PcscStack points at a pcscd with a virtual card).
//
// The plug-in gets a sandbox whose configuration names the daemon socket
// and a short reconnect delay, so it finds a daemon that starts after it.
// The channel can be closed and opened again to play a client that drops
// and comes back. As a real client does when its channel closes, the card
// side then lets go of every context and card handle the plug-in made.
//
// Threads: one caller; the doubles run threads of their own.
#pragma once

#include <memory>
#include <string>

#include "tools/card_model.h"
#include "tools/harness/rig.h"
#include "tools/harness/sandbox.h"
#include "tools/pcsc_backend.h"

namespace scredir::chain {

inline constexpr const char* kEmulatedReader = "Emulated Reader 00 00";

// Forwards every call to the card behind it and remembers the contexts and
// card handles it handed out, so they can all be given back at once.
class ChannelScopedBackend;

class RemoteSide {
 public:
  struct Options {
    std::string plugin;      // the built libscrediragent.so
    std::string socketPath;  // the daemon socket the plug-in connects to
    bool pcsc = false;       // libpcsclite instead of the emulated card
    bool debugLog = false;   // the plug-in logs at debug level
  };
  static std::unique_ptr<RemoteSide> Start(const Options& options, std::string* error);
  ~RemoteSide();

  bool OpenChannel(std::string* error);
  void CloseChannel();

  // The emulated card farm (null with the pcsc backend).
  tools::CardModel* model() { return model_.get(); }
  tools::ClientDouble& client();
  tools::Sandbox& sandbox() { return *sandbox_; }

 private:
  RemoteSide() = default;

  std::unique_ptr<tools::Sandbox> sandbox_;
  std::unique_ptr<tools::CardModel> model_;
  std::unique_ptr<tools::PcscBackend> pcsc_;
  std::unique_ptr<ChannelScopedBackend> scoped_;
  std::unique_ptr<tools::Rig> rig_;
};

}  // namespace scredir::chain
