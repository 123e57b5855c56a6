// RdpdrServer: the server's half of the device-redirection channel ("rdpdr")
// between a real RDP client and the plug-in, without any transport.
//
// The plug-in only speaks device-control requests to device 0; a real
// client first wants the channel's core handshake, which this class plays:
//   server announce  ->  client announce reply + client name
//   core capability request (general + smart card)  ->  capability response
//   client id confirm  ->  device list announce
//   device announce response (success for the smart-card device, failure
//   for anything else).
// Once the client has announced a smart-card device the channel is ready:
// the bridge offers the plug-in its channel, device-control requests from
// the plug-in go to the client with that device's id, completions for that
// device come back to the plug-in with device id 0.
//
// The plug-in sends a server core capability request of its own when its
// channel opens. A client that already finished its handshake would take it
// as a new handshake and drop every request that follows, so it is answered
// here, with the capability response the client gave during the handshake.
//
// Every packet from the client is untrusted and read through the
// bounds-checked reader; a packet that does not parse is dropped with a
// note, never half applied. Not thread-safe: one caller (the bridge's peer
// loop).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace scredir::bridge {

using Bytes = std::vector<uint8_t>;

inline constexpr uint32_t kRdpdrDeviceTypeSmartCard = 0x20;
inline constexpr uint32_t kStatusSuccess = 0;
inline constexpr uint32_t kStatusUnsuccessful = 0xC0000001;

// What one packet led to.
struct RdpdrActions {
  std::vector<Bytes> toClient;
  std::vector<Bytes> toPlugin;
  bool channelReady = false;       // the smart-card device was accepted just now
  bool deviceRemoved = false;      // the client withdrew the smart-card device
  std::vector<std::string> notes;  // one line each, for the bridge's log
};

class RdpdrServer {
 public:
  explicit RdpdrServer(uint32_t clientId) : clientId_(clientId) {}

  // The first packet of the channel.
  Bytes ServerAnnounce() const;

  RdpdrActions OnClientPacket(std::span<const uint8_t> packet);
  RdpdrActions OnPluginPacket(std::span<const uint8_t> packet);

  // The accepted smart-card device, once the client announced one.
  std::optional<uint32_t> smartCardDevice() const { return device_; }
  bool ready() const { return device_.has_value(); }

 private:
  void OnAnnounceReply(std::span<const uint8_t> body, RdpdrActions* out);
  void OnClientName(std::span<const uint8_t> body, RdpdrActions* out);
  void OnCapabilities(std::span<const uint8_t> packet, RdpdrActions* out);
  void OnDeviceList(std::span<const uint8_t> body, RdpdrActions* out);
  void OnDeviceRemove(std::span<const uint8_t> body, RdpdrActions* out);
  void OnCompletion(std::span<const uint8_t> packet, RdpdrActions* out);
  void MaybeSendCapabilities(RdpdrActions* out);

  uint32_t clientId_;
  uint16_t clientMinor_ = 0;
  bool announceReplied_ = false;
  bool named_ = false;
  bool capabilitiesSent_ = false;
  bool confirmed_ = false;
  Bytes clientCapabilities_;  // the client's whole capability response
  std::optional<uint32_t> device_;
};

// Packet producers, exposed for the tests.
Bytes ServerCapabilityRequest();
Bytes ClientIdConfirm(uint16_t versionMinor, uint32_t clientId);
Bytes DeviceAnnounceResponse(uint32_t deviceId, uint32_t resultCode);

}  // namespace scredir::bridge
