// The host double's operations and event thread. Plug-in callbacks are
// never called with mu_ held: the plug-in calls Send and RecvComplete from
// inside them.
#include "tools/host_double.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace scredir::tools {
namespace {

// A plug-in thread left over from an earlier host may still call in.
std::atomic<HostDouble*> g_host{nullptr};

constexpr uint32_t kStatusInvalidHandle = 0xC0000008;
constexpr uint32_t kChannelId = 7;
constexpr int32_t kSessionId = 1;

}  // namespace

HostDouble::HostDouble(ClientDouble& client)
    : client_(&client),
      toClient_([&client](const Bytes& packet) { client.OnServerPacket(packet); }) {
  g_host = this;
  client_->Attach([this](const Bytes& packet) { DeliverToPlugin(packet); });
  thread_ = std::thread([this] { EventLoop(); });
}

HostDouble::HostDouble(std::function<void(const Bytes&)> toClient)
    : toClient_(std::move(toClient)) {
  g_host = this;
  thread_ = std::thread([this] { EventLoop(); });
}

HostDouble::~HostDouble() {
  if (client_) client_->Attach(nullptr);
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
    cv_.notify_all();
  }
  thread_.join();
  for (void* buffer : lent_) free(buffer);
  g_host = nullptr;
}

bool HostDouble::Load(const std::string& path, std::string* error) {
  return plugin_.Load(path, error);
}

uint32_t HostDouble::Start(uint16_t major, uint16_t minor) {
  uint32_t status = 0;
  RunOnHost([&] {
    const uint16_t version[2] = {major, minor};
    // A real host passes further arguments the plug-in ignores.
    status = plugin_.start(version, &HostDouble::GetIntf, nullptr, nullptr);
  });
  return status;
}

uint32_t HostDouble::Stop() {
  uint32_t status = 0;
  RunOnHost([&] { status = plugin_.stop(); });
  Flush();  // the listener's onClose
  return status;
}

bool HostDouble::OpenChannel(const std::string& name, uint32_t openStatus) {
  bool accepted = false;
  RunOnHost([&] {
    if (!listenerEvents_.onPeerOpen) return;
    {
      std::lock_guard lock(mu_);
      acceptedLast_ = false;
    }
    listenerEvents_.onPeerOpen(name.c_str(), &listenerToken_, &peerToken_, 0, kSessionId, nullptr,
                               0, listenerClientData_);
    Channel* channel = nullptr;
    {
      std::lock_guard lock(mu_);
      if (!acceptedLast_ || channels_.empty()) return;
      channel = channels_.back().get();
      channel->open = openStatus == 0;
      if (channel->open) current_ = channel;
    }
    accepted = true;
    if (channel->events.onOpen) channel->events.onOpen(channel, openStatus, channel->clientData);
  });
  return accepted;
}

void HostDouble::CloseChannel(int32_t reason) {
  RunOnHost([&] {
    Channel* channel;
    {
      std::lock_guard lock(mu_);
      channel = current_;
      if (!channel) return;
      channel->open = false;
      current_ = nullptr;
    }
    if (channel->events.onClose) channel->events.onClose(channel, reason, channel->clientData);
  });
}

void HostDouble::Flush() {
  RunOnHost([] {});
}

void HostDouble::DeliverToPlugin(const Bytes& packet) {
  Post([this, packet] {
    Channel* channel;
    void* buffer;
    {
      std::lock_guard lock(mu_);
      channel = current_;
      if (!channel || !channel->events.onRecv) return;
      // A buffer of exactly the packet's size: reading past it is caught.
      buffer = malloc(packet.empty() ? 1 : packet.size());
      if (!packet.empty()) std::memcpy(buffer, packet.data(), packet.size());
      lent_.insert(buffer);
    }
    channel->events.onRecv(channel, 0, buffer, packet.size(), channel->clientData);
  });
}

void HostDouble::Post(std::function<void()> event) {
  std::lock_guard lock(mu_);
  events_.push_back(std::move(event));
  cv_.notify_all();
}

void HostDouble::RunOnHost(const std::function<void()>& event) {
  if (std::this_thread::get_id() == thread_.get_id()) {
    event();
    return;
  }
  std::mutex doneMu;
  std::condition_variable doneCv;
  bool done = false;
  Post([&] {
    event();
    std::lock_guard lock(doneMu);
    done = true;
    doneCv.notify_all();
  });
  std::unique_lock lock(doneMu);
  doneCv.wait(lock, [&] { return done; });
}

void HostDouble::EventLoop() {
  for (;;) {
    std::function<void()> event;
    {
      std::unique_lock lock(mu_);
      cv_.wait(lock, [&] { return stopping_ || !events_.empty(); });
      if (events_.empty()) return;
      event = std::move(events_.front());
      events_.pop_front();
    }
    event();
  }
}

void HostDouble::CompleteOldestSend() {
  PendingSend send;
  {
    std::lock_guard lock(mu_);
    if (pending_.empty()) return;
    send = std::move(pending_.front());
    pending_.pop_front();
    // Once the channel is closed the plug-in may free what it sent; a host
    // cancels those sends without touching the buffers.
    if (!send.channel->open) return;
    if (std::memcmp(send.buffer, send.copy.data(), send.copy.size()) != 0) ++bufferFaults_;
  }
  Channel* channel = send.channel;
  if (channel->events.onSendComplete) {
    channel->events.onSendComplete(channel, send.buffer, 0, channel->clientData);
  }
}

int HostDouble::GetIntf(const uint16_t* /*requestedVersion*/, QrnIntf* table) {
  HostDouble* host = g_host;
  {
    std::lock_guard lock(host->mu_);
    host->getIntfCalled_ = true;
  }
  if (host->getIntfResult_ != 0) return host->getIntfResult_;
  return QrnHostTable<HostDouble>::Fill(table);
}

uint32_t HostDouble::CreateListener(int32_t /*sessionId*/, const char* channelName,
                                    const QrnListenerEvents* events, void* clientData,
                                    void** listener) {
  HostDouble* host = g_host;
  if (host->createListenerStatus_ != 0) return host->createListenerStatus_;
  if (!channelName || std::strcmp(channelName, kScRedirChannelName) != 0 || !events) {
    return kStatusInvalidHandle;
  }
  host->listenerEvents_ = *events;  // the plug-in's record is a local
  host->listenerClientData_ = clientData;
  *listener = &host->listenerToken_;
  return 0;
}

uint32_t HostDouble::ActivateListener(void* listener) {
  HostDouble* host = g_host;
  if (listener != &host->listenerToken_) return kStatusInvalidHandle;
  std::lock_guard lock(host->mu_);
  host->listenerActive_ = true;
  return 0;
}

uint32_t HostDouble::CloseListener(void* listener) {
  HostDouble* host = g_host;
  if (listener != &host->listenerToken_) return kStatusInvalidHandle;
  {
    std::lock_guard lock(host->mu_);
    host->listenerActive_ = false;
  }
  QrnListenerEvents events = host->listenerEvents_;
  void* clientData = host->listenerClientData_;
  host->Post([events, listener, clientData] {
    if (events.onClose) events.onClose(listener, clientData);
  });
  return 0;
}

uint32_t HostDouble::AcceptChannel(void* peerChannel, uint32_t /*flags*/,
                                   const QrnChannelEvents* events, const void* /*initialData*/,
                                   uint32_t /*initialDataLength*/, void* clientData,
                                   uint32_t* channelId) {
  HostDouble* host = g_host;
  if (host->acceptStatus_ != 0) return host->acceptStatus_;
  if (peerChannel != &host->peerToken_ || !events) return kStatusInvalidHandle;
  std::lock_guard lock(host->mu_);
  host->channels_.push_back(std::make_unique<Channel>(Channel{*events, clientData, false}));
  host->acceptedLast_ = true;
  if (channelId) *channelId = kChannelId;
  return 0;
}

uint32_t HostDouble::RejectChannel(void* peerChannel, uint32_t /*flags*/, const void* /*data*/,
                                   uint32_t /*length*/) {
  return peerChannel == &g_host.load()->peerToken_ ? 0 : kStatusInvalidHandle;
}

uint32_t HostDouble::Send(void* channel, uint32_t /*flags*/, uint32_t /*priority*/,
                          const void* buffer, size_t length, void* /*sendContext*/,
                          uint32_t /*timeoutMs*/) {
  HostDouble* host = g_host;
  if (!host) return kStatusInvalidHandle;
  std::lock_guard lock(host->mu_);
  auto* target = static_cast<Channel*>(channel);
  if (!target || target != host->current_ || !target->open || !buffer) {
    ++host->badSends_;
    return kStatusInvalidHandle;
  }
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  Bytes copy(bytes, bytes + length);
  // The client sees packets in send order; completions follow that order.
  host->toClient_(copy);
  host->pending_.push_back(PendingSend{target, bytes, std::move(copy)});
  ++host->sends_;
  host->events_.push_back([host] { host->CompleteOldestSend(); });
  host->cv_.notify_all();
  return 0;
}

uint32_t HostDouble::RecvComplete(void* /*channel*/, void* buffer) {
  HostDouble* host = g_host;
  if (!host) return kStatusInvalidHandle;
  std::lock_guard lock(host->mu_);
  if (host->lent_.erase(buffer) == 0) {
    ++host->badRecvReturns_;
    return kStatusInvalidHandle;
  }
  free(buffer);
  return 0;
}

bool HostDouble::listenerActive() const {
  std::lock_guard lock(mu_);
  return listenerActive_;
}

bool HostDouble::getIntfCalled() const {
  std::lock_guard lock(mu_);
  return getIntfCalled_;
}

size_t HostDouble::sends() const {
  std::lock_guard lock(mu_);
  return sends_;
}

size_t HostDouble::sendsPending() const {
  std::lock_guard lock(mu_);
  return pending_.size();
}

size_t HostDouble::recvOutstanding() const {
  std::lock_guard lock(mu_);
  return lent_.size();
}

size_t HostDouble::bufferFaults() const {
  std::lock_guard lock(mu_);
  return bufferFaults_;
}

size_t HostDouble::badRecvReturns() const {
  std::lock_guard lock(mu_);
  return badRecvReturns_;
}

size_t HostDouble::badSends() const {
  std::lock_guard lock(mu_);
  return badSends_;
}

}  // namespace scredir::tools
