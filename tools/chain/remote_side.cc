// See remote_side.h.
#include "tools/chain/remote_side.h"

#include <fstream>
#include <map>
#include <mutex>

namespace scredir::chain {

using tools::Bytes;
using tools::CardRef;

class ChannelScopedBackend final : public tools::CardBackend {
 public:
  explicit ChannelScopedBackend(tools::CardBackend& inner) : inner_(inner) {}

  void ReleaseAll() {
    std::map<Bytes, CardRef> cards;
    std::map<Bytes, bool> contexts;
    {
      std::lock_guard<std::mutex> lock(mu_);
      cards.swap(cards_);
      contexts.swap(contexts_);
    }
    for (const auto& [handle, card] : cards) inner_.Disconnect(card, 0);
    for (const auto& [context, unused] : contexts) inner_.ReleaseContext(context);
  }

  uint32_t EstablishContext(uint32_t scope, Bytes* context) override {
    uint32_t rv = inner_.EstablishContext(scope, context);
    if (rv == 0) Remember(contexts_, *context, true);
    return rv;
  }
  uint32_t ReleaseContext(const Bytes& context) override {
    Forget(contexts_, context);
    return inner_.ReleaseContext(context);
  }
  uint32_t ListReaders(const Bytes& context, const std::vector<std::string>& groups,
                       std::vector<std::string>* readers) override {
    return inner_.ListReaders(context, groups, readers);
  }
  uint32_t GetStatusChange(const Bytes& context, uint32_t timeoutMs,
                           std::vector<tools::ReaderState>* states) override {
    return inner_.GetStatusChange(context, timeoutMs, states);
  }
  uint32_t Connect(const Bytes& context, const std::string& reader, uint32_t shareMode,
                   uint32_t preferredProtocols, Bytes* handle, uint32_t* activeProtocol) override {
    uint32_t rv =
        inner_.Connect(context, reader, shareMode, preferredProtocols, handle, activeProtocol);
    if (rv == 0) Remember(cards_, *handle, CardRef{context, *handle});
    return rv;
  }
  uint32_t Reconnect(const CardRef& card, uint32_t shareMode, uint32_t preferredProtocols,
                     uint32_t initialization, uint32_t* activeProtocol) override {
    return inner_.Reconnect(card, shareMode, preferredProtocols, initialization, activeProtocol);
  }
  uint32_t Disconnect(const CardRef& card, uint32_t disposition) override {
    Forget(cards_, card.handle);
    return inner_.Disconnect(card, disposition);
  }
  uint32_t BeginTransaction(const CardRef& card) override { return inner_.BeginTransaction(card); }
  uint32_t EndTransaction(const CardRef& card, uint32_t disposition) override {
    return inner_.EndTransaction(card, disposition);
  }
  uint32_t Transmit(const CardRef& card, uint32_t sendProtocol, const Bytes& command,
                    uint32_t recvLength, Bytes* response,
                    std::optional<uint32_t>* recvProtocol) override {
    return inner_.Transmit(card, sendProtocol, command, recvLength, response, recvProtocol);
  }
  uint32_t Control(const CardRef& card, uint32_t controlCode, const Bytes& input,
                   uint32_t outputSize, Bytes* output) override {
    return inner_.Control(card, controlCode, input, outputSize, output);
  }
  uint32_t Status(const CardRef& card, std::vector<std::string>* readerNames, uint32_t* state,
                  uint32_t* protocol, Bytes* atr) override {
    return inner_.Status(card, readerNames, state, protocol, atr);
  }
  uint32_t Cancel(const Bytes& context) override { return inner_.Cancel(context); }
  uint32_t GetAttrib(const CardRef& card, uint32_t attrId, uint32_t bufferLength,
                     Bytes* value) override {
    return inner_.GetAttrib(card, attrId, bufferLength, value);
  }
  uint32_t SetAttrib(const CardRef& card, uint32_t attrId, const Bytes& value) override {
    return inner_.SetAttrib(card, attrId, value);
  }

 private:
  template <typename Map, typename Value>
  void Remember(Map& map, const Bytes& key, Value value) {
    std::lock_guard<std::mutex> lock(mu_);
    map[key] = std::move(value);
  }
  template <typename Map>
  void Forget(Map& map, const Bytes& key) {
    std::lock_guard<std::mutex> lock(mu_);
    map.erase(key);
  }

  tools::CardBackend& inner_;
  std::mutex mu_;
  std::map<Bytes, CardRef> cards_;
  std::map<Bytes, bool> contexts_;
};

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
  side->scoped_ = std::make_unique<ChannelScopedBackend>(*backend);
  side->rig_ = std::make_unique<tools::Rig>(*side->scoped_, std::move(endWaits));
  if (!side->rig_->BringUp(options.plugin, "", std::chrono::seconds(10), error)) return nullptr;
  return side;
}

RemoteSide::~RemoteSide() {
  rig_.reset();
  scoped_.reset();
  sandbox_.reset();
}

bool RemoteSide::OpenChannel(std::string* error) {
  if (!rig_->OpenChannel(error)) return false;
  if (rig_->client().AwaitAnnounce()) return true;
  *error = "the plug-in sent no announce after the channel opened";
  return false;
}

tools::ClientDouble& RemoteSide::client() {
  return rig_->client();
}

void RemoteSide::CloseChannel() {
  rig_->host().CloseChannel();
  rig_->host().Flush();
  scoped_->ReleaseAll();
}

}  // namespace scredir::chain
