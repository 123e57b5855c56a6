// The server's half of the rdpdr core handshake and the packet routing
// between the client and the plug-in; see rdpdr_server.h.
#include "tools/rdp_bridge/rdpdr_server.h"

#include <cstdio>

#include "lib/base/byte_reader.h"
#include "lib/base/byte_writer.h"
#include "scredir/rdpdr.h"

namespace scredir::bridge {
namespace {

constexpr uint16_t kVersionMajor = 1;
constexpr uint16_t kVersionMinor = 0x000C;
constexpr uint16_t kCapSmartCard = 5;
constexpr uint32_t kSmartCardCapVersion1 = 1;
constexpr uint16_t kCapHeaderBytes = 8;
// Every I/O request code a client may be asked for.
constexpr uint32_t kIoCode1All = 0x0000FFFF;
// Device remove and client display name; no user-logged-on packet is ever
// sent, so that one is not offered.
constexpr uint32_t kExtendedPdus = 0x1 | 0x2;
// DeviceType, DeviceId, PreferredDosName[8], DeviceDataLength.
constexpr size_t kDeviceAnnounceFixedBytes = 20;
constexpr size_t kDeviceIdOffset = 4;

void WriteHeader(base::ByteWriter& w, uint16_t packetId) {
  w.WriteU16Le(kRdpdrCtypCore);
  w.WriteU16Le(packetId);
}

// A device name or computer name as printable ASCII, for notes.
std::string Printable(std::span<const uint8_t> bytes, bool wide) {
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += wide ? 2 : 1) {
    uint8_t c = bytes[i];
    if (c == 0 && (!wide || i + 1 >= bytes.size() || bytes[i + 1] == 0)) break;
    bool ascii = !wide || (i + 1 < bytes.size() && bytes[i + 1] == 0);
    out += ascii && c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  }
  return out;
}

std::string Hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

std::string PacketName(uint16_t component, uint16_t packetId) {
  char text[48];
  std::snprintf(text, sizeof text, "component 0x%04X packet 0x%04X", component, packetId);
  return text;
}

// A copy of `packet` with the 32-bit device id field replaced.
Bytes WithDeviceId(std::span<const uint8_t> packet, uint32_t deviceId) {
  Bytes copy(packet.begin(), packet.end());
  for (size_t i = 0; i < 4; ++i)
    copy[kDeviceIdOffset + i] = static_cast<uint8_t>(deviceId >> (8 * i));
  return copy;
}

}  // namespace

Bytes ServerCapabilityRequest() {
  // The plug-in's own announce (one general set, version 2, every field 0)
  // up to the fields a client needs before it announces devices; then the
  // smart card set.
  Bytes announce(kAgentAnnounceBytes);
  ScRedirQrn_FillAgentAnnounce(std::span<uint8_t, kAgentAnnounceBytes>(announce));
  announce[4] = 2;  // numCapabilities
  base::ByteWriter w(kAgentAnnounceBytes + kCapHeaderBytes);
  w.WriteBytes(std::span<const uint8_t>(announce).first(24));  // through osVersion
  w.WriteU16Le(kVersionMajor);
  w.WriteU16Le(kVersionMinor);
  w.WriteU32Le(kIoCode1All);
  w.WriteU32Le(0);  // ioCode2
  w.WriteU32Le(kExtendedPdus);
  w.WriteZeros(12);  // extraFlags1, extraFlags2, SpecialTypeDeviceCap
  w.WriteU16Le(kCapSmartCard);
  w.WriteU16Le(kCapHeaderBytes);
  w.WriteU32Le(kSmartCardCapVersion1);
  return w.bytes();
}

Bytes ClientIdConfirm(uint16_t versionMinor, uint32_t clientId) {
  base::ByteWriter w(12);
  WriteHeader(w, kPakidCoreClientidConfirm);
  w.WriteU16Le(kVersionMajor);
  w.WriteU16Le(versionMinor);
  w.WriteU32Le(clientId);
  return w.bytes();
}

Bytes DeviceAnnounceResponse(uint32_t deviceId, uint32_t resultCode) {
  base::ByteWriter w(12);
  WriteHeader(w, kPakidCoreDeviceReply);
  w.WriteU32Le(deviceId);
  w.WriteU32Le(resultCode);
  return w.bytes();
}

Bytes RdpdrServer::ServerAnnounce() const {
  base::ByteWriter w(12);
  WriteHeader(w, kPakidCoreServerAnnounce);
  w.WriteU16Le(kVersionMajor);
  w.WriteU16Le(kVersionMinor);
  w.WriteU32Le(clientId_);
  return w.bytes();
}

RdpdrActions RdpdrServer::OnClientPacket(std::span<const uint8_t> packet) {
  RdpdrActions out;
  const std::optional<RdpdrHeader> header = ScRedirQrn_ReadRdpdrHeader(packet);
  if (!header) {
    out.notes.push_back("client packet of " + std::to_string(packet.size()) +
                        " bytes has no header; dropped");
    return out;
  }
  const auto [component, packetId] = *header;
  std::span<const uint8_t> body = packet.subspan(4);
  if (component != kRdpdrCtypCore) {
    out.notes.push_back("client sent " + PacketName(component, packetId) + "; ignored");
    return out;
  }
  switch (packetId) {
    case kPakidCoreClientidConfirm:  // the client announce reply uses this id
      OnAnnounceReply(body, &out);
      break;
    case kPakidCoreClientName:
      OnClientName(body, &out);
      break;
    case kPakidCoreClientCapability:
      OnCapabilities(packet, &out);
      break;
    case kPakidCoreDevicelistAnnounce:
      OnDeviceList(body, &out);
      break;
    case kPakidCoreDevicelistRemove:
      OnDeviceRemove(body, &out);
      break;
    case kPakidCoreDeviceIoCompletion:
      OnCompletion(packet, &out);
      break;
    default:
      out.notes.push_back("client sent " + PacketName(component, packetId) + "; ignored");
  }
  return out;
}

void RdpdrServer::OnAnnounceReply(std::span<const uint8_t> body, RdpdrActions* out) {
  base::ByteReader r(body);
  uint16_t major = 0, minor = 0;
  uint32_t clientId = 0;
  if (!r.ReadU16Le(major) || !r.ReadU16Le(minor) || !r.ReadU32Le(clientId)) {
    out->notes.push_back("client announce reply too short; dropped");
    return;
  }
  clientMinor_ = minor;
  clientId_ = clientId;  // the client's word is the one the confirm repeats
  announceReplied_ = true;
  out->notes.push_back("client announce reply: version " + std::to_string(major) + "." +
                       std::to_string(minor) + ", client id " + std::to_string(clientId));
  MaybeSendCapabilities(out);
}

void RdpdrServer::OnClientName(std::span<const uint8_t> body, RdpdrActions* out) {
  base::ByteReader r(body);
  uint32_t unicode = 0, codePage = 0, length = 0;
  if (!r.ReadU32Le(unicode) || !r.ReadU32Le(codePage) || !r.ReadU32Le(length)) {
    out->notes.push_back("client name request too short; dropped");
    return;
  }
  auto name = r.ReadSpan(length);
  if (!name) {
    out->notes.push_back("client name request claims " + std::to_string(length) +
                         " bytes of name, has " + std::to_string(r.remaining()) + "; dropped");
    return;
  }
  named_ = true;
  out->notes.push_back("client name \"" + Printable(*name, unicode != 0) + "\"");
  MaybeSendCapabilities(out);
}

void RdpdrServer::MaybeSendCapabilities(RdpdrActions* out) {
  if (capabilitiesSent_ || !announceReplied_ || !named_) return;
  capabilitiesSent_ = true;
  out->toClient.push_back(ServerCapabilityRequest());
  out->notes.push_back("sent the core capability request (general, smart card)");
}

void RdpdrServer::OnCapabilities(std::span<const uint8_t> packet, RdpdrActions* out) {
  // Only its shape is checked here: the plug-in reads the sets itself when
  // it gets this response as the answer to its own request.
  base::ByteReader r(packet);
  uint16_t count = 0;
  if (!r.Skip(kRdpdrHeaderBytes) || !r.ReadU16Le(count) || !r.Skip(2)) {
    out->notes.push_back("client capability response too short; dropped");
    return;
  }
  for (uint16_t i = 0; i < count; ++i) {
    uint16_t type = 0, length = 0;
    base::ByteReader peek(r.rest());
    if (!peek.ReadU16Le(type) || !peek.ReadU16Le(length) || length < kCapHeaderBytes ||
        !r.Skip(length)) {
      out->notes.push_back("client capability set " + std::to_string(i) +
                           " overruns the packet; dropped");
      return;
    }
  }
  clientCapabilities_.assign(packet.begin(), packet.end());
  out->notes.push_back("client capability response: " + std::to_string(count) + " sets");
  if (!confirmed_) {
    confirmed_ = true;
    out->toClient.push_back(
        ClientIdConfirm(clientMinor_ ? clientMinor_ : kVersionMinor, clientId_));
    out->notes.push_back("sent the client id confirm");
  }
}

void RdpdrServer::OnDeviceList(std::span<const uint8_t> body, RdpdrActions* out) {
  base::ByteReader r(body);
  uint32_t count = 0;
  if (!r.ReadU32Le(count) || count > r.remaining() / kDeviceAnnounceFixedBytes) {
    out->notes.push_back("device list announce does not hold its " + std::to_string(count) +
                         " devices; dropped");
    return;
  }
  // Parsed whole before anything is answered: a list that breaks half way
  // is dropped as a whole.
  struct Device {
    uint32_t type, id;
    std::string name;
  };
  std::vector<Device> devices;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t type = 0, id = 0, dataLength = 0;
    std::optional<std::span<const uint8_t>> dosName;
    if (!r.ReadU32Le(type) || !r.ReadU32Le(id) || !(dosName = r.ReadSpan(8)) ||
        !r.ReadU32Le(dataLength) || !r.Skip(dataLength)) {
      out->notes.push_back("device " + std::to_string(i) +
                           " of the device list overruns the packet; dropped");
      return;
    }
    devices.push_back({type, id, Printable(*dosName, false)});
  }
  for (const Device& d : devices) {
    bool accept = d.type == kRdpdrDeviceTypeSmartCard && !device_;
    out->toClient.push_back(
        DeviceAnnounceResponse(d.id, accept ? kStatusSuccess : kStatusUnsuccessful));
    out->notes.push_back("device " + std::to_string(d.id) + " \"" + d.name + "\" type " +
                         Hex32(d.type) + (accept ? ": smart card, accepted" : ": refused"));
    if (accept) {
      device_ = d.id;
      out->channelReady = true;
    }
  }
}

void RdpdrServer::OnDeviceRemove(std::span<const uint8_t> body, RdpdrActions* out) {
  base::ByteReader r(body);
  uint32_t count = 0;
  if (!r.ReadU32Le(count) || count > r.remaining() / 4) {
    out->notes.push_back("device list remove does not hold its ids; dropped");
    return;
  }
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t id = 0;
    if (!r.ReadU32Le(id)) return;
    if (device_ && id == *device_) {
      out->notes.push_back("the client removed the smart-card device " + std::to_string(id));
      device_.reset();
      out->deviceRemoved = true;
    }
  }
}

void RdpdrServer::OnCompletion(std::span<const uint8_t> packet, RdpdrActions* out) {
  base::ByteReader r(packet);
  uint32_t deviceId = 0;
  if (!r.Skip(kRdpdrHeaderBytes) || !r.ReadU32Le(deviceId)) {
    out->notes.push_back("completion too short for a device id; dropped");
    return;
  }
  if (!device_ || deviceId != *device_) {
    out->notes.push_back("completion for device " + std::to_string(deviceId) +
                         ", not the smart card; dropped");
    return;
  }
  // The plug-in checks the rest (its own reader is the one under test).
  out->toPlugin.push_back(WithDeviceId(packet, 0));
}

RdpdrActions RdpdrServer::OnPluginPacket(std::span<const uint8_t> packet) {
  RdpdrActions out;
  base::ByteReader r(packet);
  uint16_t component = 0, packetId = 0;
  uint32_t deviceId = 0;
  if (!r.ReadU16Le(component) || !r.ReadU16Le(packetId)) {
    out.notes.push_back("plug-in packet without a header; dropped");
    return out;
  }
  if (component == kRdpdrCtypCore && packetId == kPakidCoreServerCapability) {
    if (clientCapabilities_.empty()) {
      out.notes.push_back("plug-in capability request before the client's; dropped");
    } else {
      out.toPlugin.push_back(clientCapabilities_);
      out.notes.push_back(
          "plug-in capability request answered with the client's capability response");
    }
    return out;
  }
  if (component == kRdpdrCtypCore && packetId == kPakidCoreDeviceIoRequest &&
      r.ReadU32Le(deviceId)) {
    if (!device_) {
      out.notes.push_back("plug-in request with no smart-card device; dropped");
      return out;
    }
    out.toClient.push_back(WithDeviceId(packet, *device_));
    return out;
  }
  out.notes.push_back("plug-in sent " + PacketName(component, packetId) + "; dropped");
  return out;
}

}  // namespace scredir::bridge
