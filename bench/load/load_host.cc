// The load tool's host and instant client; see load_host.h.
#include "bench/load/load_host.h"

#include <algorithm>
#include <cstring>

#include "lib/base/byte_reader.h"
#include "lib/base/byte_writer.h"
#include "scredir/rpc/encode_bytes.h"
#include "scredir/rpc/records.h"
#include "tools/client_double.h"

namespace scredir::load {
namespace {

std::atomic<LoadHost*> g_host{nullptr};
std::atomic<bool> g_accepted{false};

constexpr uint32_t kStatusInvalidHandle = 0xC0000008;
constexpr uint16_t kCtypCore = 0x4472;
constexpr uint16_t kPakidIoRequest = 0x4952;
constexpr uint16_t kPakidIoCompletion = 0x4943;
constexpr uint16_t kPakidServerCapability = 0x5350;
constexpr uint32_t kIrpMjDeviceControl = 14;
constexpr uint32_t kIoctlEstablishContext = 0x00090014;
constexpr uint32_t kIoctlConnectW = 0x000900B0;
constexpr uint32_t kIoctlTransmit = 0x000900D0;

uint8_t kContext[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
uint8_t kHandle[8] = {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xF0, 0x01};

// A device I/O completion around `output`; the CompletionId is patched in
// at delivery.
Canned Completion(const std::vector<uint8_t>& output) {
  base::ByteWriter w(20 + output.size());
  w.WriteU16Le(kCtypCore);
  w.WriteU16Le(kPakidIoCompletion);
  w.WriteU32Le(0);  // DeviceId
  w.WriteU32Le(0);  // CompletionId
  w.WriteU32Le(0);  // IoStatus
  w.WriteU32Le(static_cast<uint32_t>(output.size()));
  w.WriteBytes(output.data(), output.size());
  return Canned{w.Take(), true};
}

template <typename Rec>
Canned Encoded(void (*encode)(ScRedirRpc_Handle*, Rec*), Rec rec) {
  return Completion(ScRedirRpc_EncodeToBytes(encode, &rec).value_or(std::vector<uint8_t>{}));
}

// The client core capability response, as the client double sends it.
Canned Capability() {
  return Canned{tools::ClientCapabilityResponse(false), false};
}

void PutLe32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

// ---- Instant client --------------------------------------------------------

InstantClient::InstantClient()
    : capability_(Capability()),
      establish_(Encoded(EstablishContext_Return_Encode,
                         EstablishContext_Return{0, {sizeof kContext, kContext}})),
      connect_(
          Encoded(Connect_Return_Encode,
                  Connect_Return{0, {{sizeof kContext, kContext}, sizeof kHandle, kHandle}, 2})) {}

void InstantClient::Prepare(uint32_t responseBytes) {
  for (const auto& [n, canned] : transmits_)
    if (n == responseBytes) return;
  std::vector<uint8_t> data(responseBytes);
  for (uint32_t i = 0; i < responseBytes; ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
  owned_.push_back(std::make_unique<Canned>(
      Encoded(Transmit_Return_Encode, Transmit_Return{0, nullptr, responseBytes, data.data()})));
  transmits_.emplace_back(responseBytes, owned_.back().get());
}

void InstantClient::SelectTransmit(uint32_t responseBytes) {
  Prepare(responseBytes);
  for (const auto& [n, canned] : transmits_)
    if (n == responseBytes) transmit_ = canned;
}

bool InstantClient::Answer(const void* packet, size_t length, Canned** answer,
                           uint32_t* completionId) {
  base::ByteReader r(packet, length);
  uint16_t component = 0, packetId = 0;
  uint32_t deviceId, fileId, id, major, minor, outputLength, inputLength, ioctl;
  bool ok = r.ReadU16Le(component) && r.ReadU16Le(packetId) && component == kCtypCore;
  if (ok && packetId == kPakidServerCapability) {
    *answer = &capability_;
    *completionId = 0;
    return true;
  }
  ok = ok && packetId == kPakidIoRequest && r.ReadU32Le(deviceId) && r.ReadU32Le(fileId) &&
       r.ReadU32Le(id) && r.ReadU32Le(major) && r.ReadU32Le(minor) && r.ReadU32Le(outputLength) &&
       r.ReadU32Le(inputLength) && r.ReadU32Le(ioctl) && major == kIrpMjDeviceControl;
  Canned* chosen = nullptr;
  if (ok) {
    switch (ioctl) {
      case kIoctlEstablishContext:
        chosen = &establish_;
        break;
      case kIoctlConnectW:
        chosen = &connect_;
        break;
      case kIoctlTransmit:
        chosen = transmit_;
        break;
      default:
        break;
    }
  }
  if (!chosen) {
    ++protocolErrors_;
    return false;
  }
  *answer = chosen;
  *completionId = id;
  return true;
}

// ---- Event queue -------------------------------------------------------------

void LoadHost::Queue::Push(const Event* events, size_t count) {
  std::unique_lock lock(mu_);
  for (size_t i = 0; i < count; ++i) {
    cv_.wait(lock, [&] { return count_ < ring_.size() || stopping_; });
    if (stopping_) return;
    ring_[(head_ + count_) % ring_.size()] = events[i];
    ++count_;
  }
  cv_.notify_all();
}

bool LoadHost::Queue::Pop(Event* out) {
  std::unique_lock lock(mu_);
  cv_.wait(lock, [&] { return count_ > 0 || stopping_; });
  if (count_ == 0) return false;
  *out = ring_[head_];
  head_ = (head_ + 1) % ring_.size();
  --count_;
  ++busy_;
  if (count_ + 1 == ring_.size()) cv_.notify_all();  // a producer may wait for room
  return true;
}

void LoadHost::Queue::MarkDone() {
  std::lock_guard lock(mu_);
  --busy_;
  if (count_ == 0 && busy_ == 0) cv_.notify_all();
}

void LoadHost::Queue::WaitIdle() {
  std::unique_lock lock(mu_);
  cv_.wait(lock, [&] { return (count_ == 0 && busy_ == 0) || stopping_; });
}

void LoadHost::Queue::Stop() {
  std::lock_guard lock(mu_);
  stopping_ = true;
  cv_.notify_all();
}

// ---- Host ----------------------------------------------------------------------

LoadHost::LoadHost(InstantClient& client) : client_(client) {
  g_host = this;
  hostThread_ = std::thread([this] { HostLoop(); });
  answerThread_ = std::thread([this] { ClientLoop(); });
}

LoadHost::~LoadHost() {
  events_.Stop();
  jobs_.Stop();
  hostThread_.join();
  answerThread_.join();
  g_host = nullptr;
}

bool LoadHost::Load(const std::string& path, std::string* error) {
  return library_.Load(path, error);
}

uint32_t LoadHost::Start() {
  const uint16_t version[2] = {1, 2};
  return library_.start(version, &LoadHost::GetIntf, nullptr, nullptr);
}

bool LoadHost::OpenPluginChannel() {
  if (!listenerEvents_.onPeerOpen) return false;
  g_accepted = false;
  listenerEvents_.onPeerOpen(kScRedirChannelName, &listenerToken_, &peerToken_, 0, 1, nullptr, 0,
                             listenerClientData_);
  if (!g_accepted) return false;
  plugin_.open = true;
  if (plugin_.events.onOpen) plugin_.events.onOpen(&plugin_, 0, plugin_.clientData);
  return true;
}

void LoadHost::ClosePluginChannel() {
  if (!plugin_.open) return;
  plugin_.open = false;
  Drain();
  if (plugin_.events.onClose) plugin_.events.onClose(&plugin_, 0, plugin_.clientData);
}

uint32_t LoadHost::Stop() {
  uint32_t status = library_.stop ? library_.stop() : 0;
  Drain();
  return status;
}

LoadHost::Channel* LoadHost::AddChannel(const QrnChannelEvents& events, void* clientData) {
  peers_.push_back(std::make_unique<Channel>());
  Channel* channel = peers_.back().get();
  channel->events = events;
  channel->clientData = clientData;
  channel->open = true;
  return channel;
}

void LoadHost::SetHold(bool on) {
  std::lock_guard lock(holdMu_);
  hold_ = on;
}

size_t LoadHost::held() const {
  std::lock_guard lock(holdMu_);
  return heldEvents_.size();
}

void LoadHost::ReleaseHeld() {
  std::vector<Event> out;
  {
    std::lock_guard lock(holdMu_);
    out.swap(heldEvents_);
    hold_ = false;
  }
  for (const Event& e : out) events_.Push(&e, 1);
}

void LoadHost::Drain() {
  jobs_.WaitIdle();
  events_.WaitIdle();
}

void LoadHost::AnswerAndPost(Channel* channel, const void* buffer, size_t length) {
  Canned* answer = nullptr;
  uint32_t id = 0;
  Event out[2];
  size_t n = 0;
  out[n++] = Event{Kind::kSendComplete, channel, buffer, length, nullptr, 0};
  if (client_.Answer(buffer, length, &answer, &id)) {
    Event recv{Kind::kRecv, channel, nullptr, 0, answer, id};
    std::unique_lock lock(holdMu_);
    if (hold_) {
      heldEvents_.push_back(recv);
    } else {
      lock.unlock();
      out[n++] = recv;
    }
  }
  events_.Push(out, n);
}

void LoadHost::HostLoop() {
  Event e;
  while (events_.Pop(&e)) {
    Channel* ch = e.channel;
    switch (e.kind) {
      case Kind::kSendComplete:
        if (ch->events.onSendComplete) ch->events.onSendComplete(ch, e.buffer, 0, ch->clientData);
        break;
      case Kind::kRecv: {
        Canned* answer = e.answer;
        if (answer->completion) PutLe32(answer->bytes.data() + 8, e.completionId);
        ++lent_;
        if (ch->events.onRecv) {
          ch->events.onRecv(ch, 0, answer->bytes.data(), answer->bytes.size(), ch->clientData);
        }
        break;
      }
      case Kind::kListenerClose:
        if (listenerEvents_.onClose) listenerEvents_.onClose(&listenerToken_, listenerClientData_);
        break;
      case Kind::kAnswer:
        break;
    }
    events_.MarkDone();
  }
}

void LoadHost::ClientLoop() {
  Event e;
  while (jobs_.Pop(&e)) {
    AnswerAndPost(e.channel, e.buffer, e.length);
    jobs_.MarkDone();
  }
}

// ---- Host operations ---------------------------------------------------------------

int LoadHost::GetIntf(const uint16_t*, QrnIntf* table) {
  return tools::QrnHostTable<LoadHost>::Fill(table);
}

uint32_t LoadHost::CreateListener(int32_t, const char* channelName, const QrnListenerEvents* events,
                                  void* clientData, void** listener) {
  LoadHost* host = g_host;
  if (!host || !events || !channelName || std::strcmp(channelName, kScRedirChannelName) != 0)
    return kStatusInvalidHandle;
  host->listenerEvents_ = *events;
  host->listenerClientData_ = clientData;
  *listener = &host->listenerToken_;
  return 0;
}

uint32_t LoadHost::ActivateListener(void* listener) {
  LoadHost* host = g_host;
  return host && listener == &host->listenerToken_ ? 0 : kStatusInvalidHandle;
}

uint32_t LoadHost::CloseListener(void* listener) {
  LoadHost* host = g_host;
  if (!host || listener != &host->listenerToken_) return kStatusInvalidHandle;
  Event e{Kind::kListenerClose, nullptr, nullptr, 0, nullptr, 0};
  host->events_.Push(&e, 1);
  return 0;
}

uint32_t LoadHost::AcceptChannel(void* peerChannel, uint32_t, const QrnChannelEvents* events,
                                 const void*, uint32_t, void* clientData, uint32_t* channelId) {
  LoadHost* host = g_host;
  if (!host || peerChannel != &host->peerToken_ || !events) return kStatusInvalidHandle;
  host->plugin_.events = *events;
  host->plugin_.clientData = clientData;
  if (channelId) *channelId = 7;
  g_accepted = true;
  return 0;
}

uint32_t LoadHost::RejectChannel(void*, uint32_t, const void*, uint32_t) {
  return 0;
}

uint32_t LoadHost::Send(void* channel, uint32_t, uint32_t, const void* buffer, size_t length, void*,
                        uint32_t) {
  LoadHost* host = g_host;
  auto* ch = static_cast<Channel*>(channel);
  if (!host) return kStatusInvalidHandle;
  if (!ch || !ch->open || !buffer) {
    ++host->badSends_;
    return kStatusInvalidHandle;
  }
  if (host->clientThread_.load(std::memory_order_relaxed)) {
    Event job{Kind::kAnswer, ch, buffer, length, nullptr, 0};
    host->jobs_.Push(&job, 1);
    return 0;
  }
  host->AnswerAndPost(ch, buffer, length);
  return 0;
}

uint32_t LoadHost::RecvComplete(void*, void*) {
  LoadHost* host = g_host;
  if (!host) return kStatusInvalidHandle;
  ++host->returned_;
  return 0;
}

}  // namespace scredir::load
