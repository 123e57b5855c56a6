// The floor relay; see floor_relay.h.
#include "bench/load/floor_relay.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "bench/load/daemon_peer.h"

namespace scredir::load {
namespace {

constexpr size_t kRequestHeader = 56;  // RDPDR device I/O request, padding included
constexpr size_t kSlotBytes = kRequestHeader + kHeaderBytes + kTransmitRecord;
constexpr size_t kSlots = 128;  // above the largest window the tool keeps outstanding
constexpr size_t kCompletionFixed = 20;

void PutLe16(uint8_t* at, uint16_t v) {
  at[0] = static_cast<uint8_t>(v);
  at[1] = static_cast<uint8_t>(v >> 8);
}
void PutLe32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t GetLe32(const uint8_t* at) {
  return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

}  // namespace

FloorRelay::FloorRelay(LoadHost& host) : ring_(kSlots * kSlotBytes, 0), reply_(kTransmitReply, 0) {
  intf_.size = sizeof(QrnIntf);
  const uint16_t version[2] = {1, 2};
  LoadHost::GetIntf(version, &intf_);
  QrnChannelEvents events{};
  events.onSendComplete = &FloorRelay::OnSendComplete;
  events.onRecv = &FloorRelay::OnRecv;
  channel_ = host.AddChannel(events, this);
  // Every slot carries the same request header; only CompletionId and
  // InputBufferLength change per message.
  for (size_t i = 0; i < kSlots; ++i) {
    uint8_t* s = &ring_[i * kSlotBytes];
    PutLe16(s, 0x4472);        // RDPDR_CTYP_CORE
    PutLe16(s + 2, 0x4952);    // PAKID_CORE_DEVICE_IOREQUEST
    PutLe32(s + 16, 14);       // IRP_MJ_DEVICE_CONTROL
    PutLe32(s + 24, 2048);     // OutputBufferLength
    PutLe32(s + 32, 0x900D0);  // SCARD_IOCTL_TRANSMIT
  }
}

FloorRelay::~FloorRelay() {
  Stop();
}

bool FloorRelay::Connect(const std::string& socketPath, std::string* error) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, socketPath.c_str(),
              std::min(socketPath.size() + 1, sizeof addr.sun_path - 1));
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    *error = "the floor relay cannot connect to " + socketPath;
    return false;
  }
  thread_ = std::thread([this] { ReadLoop(); });
  return true;
}

void FloorRelay::SetRound(uint32_t apduBytes) {
  apduBytes_ = apduBytes;
  requestSize_ = kTransmitFixed + apduBytes;
}

void FloorRelay::Stop() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
  if (thread_.joinable()) thread_.join();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void FloorRelay::ReadLoop() {
  for (;;) {
    const uint64_t seq = sent_.load(std::memory_order_relaxed);
    // A slot whose send has not completed yet is still the host's.
    while (seq - completed_.load(std::memory_order_acquire) >= kSlots) std::this_thread::yield();
    uint8_t* slot = &ring_[(seq % kSlots) * kSlotBytes];
    uint8_t* message = slot + kRequestHeader;
    if (!ReadFull(fd_, message, kHeaderBytes)) return;
    const uint32_t size = Load32(message + 8);
    if (size > kTransmitRecord || !ReadFull(fd_, message + kHeaderBytes, size)) return;
    PutLe32(slot + 12, Load32(message));  // CompletionId: the daemon's id
    PutLe32(slot + 28, kHeaderBytes + size);
    sent_.store(seq + 1, std::memory_order_relaxed);
    intf_.Send(channel_, 0, 0, slot, kRequestHeader + kHeaderBytes + size, nullptr, 0);
  }
}

void FloorRelay::OnSendComplete(void*, const void*, uint32_t, void* clientData) {
  static_cast<FloorRelay*>(clientData)->completed_.fetch_add(1, std::memory_order_release);
}

uint32_t FloorRelay::OnRecv(void* channel, uint32_t, void* buffer, size_t length,
                            void* clientData) {
  auto* self = static_cast<FloorRelay*>(clientData);
  self->Reply(static_cast<const uint8_t*>(buffer), length);
  return self->intf_.RecvComplete(channel, buffer);
}

// Host thread only: one reply buffer serves every completion.
void FloorRelay::Reply(const uint8_t* packet, size_t length) {
  if (length < kCompletionFixed) return;
  const size_t output = std::min<size_t>(length - kCompletionFixed, kTransmitBuffer);
  uint8_t* r = reply_.data();
  Store32(r, GetLe32(packet + 8));
  Store32(r + 4, kPcscdTransmit);
  Store32(r + 8, requestSize_);
  Store32(r + kHeaderBytes + kTxRecv, apduBytes_);
  std::memcpy(r + kHeaderBytes + kTransmitFixed, packet + kCompletionFixed, output);
  (void)WriteFull(fd_, r, reply_.size());
}

}  // namespace scredir::load
