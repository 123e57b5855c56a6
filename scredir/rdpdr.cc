// RDPDR framing; see rdpdr.h.
#include "scredir/rdpdr.h"

#include <glib.h>

#include <algorithm>
#include <cstring>

#include "lib/base/byte_reader.h"
#include "lib/base/byte_writer.h"
#include "scredir/dump.h"
#include "scredir/names.h"
#include "scredir/qrn_log.h"

namespace {

struct PacketIdName {
  uint16_t value;
  const char* name;
};

constexpr PacketIdName kPacketIdNames[] = {
    {kPakidCoreServerAnnounce, "PAKID_CORE_SERVER_ANNOUNCE"},
    {kPakidCoreClientidConfirm, "PAKID_CORE_CLIENTID_CONFIRM"},
    {kPakidCoreClientName, "PAKID_CORE_CLIENT_NAME"},
    {kPakidCoreDevicelistAnnounce, "PAKID_CORE_DEVICELIST_ANNOUNCE"},
    {kPakidCoreDeviceReply, "PAKID_CORE_DEVICE_REPLY"},
    {kPakidCoreDeviceIoRequest, "PAKID_CORE_DEVICE_IOREQUEST"},
    {kPakidCoreDeviceIoCompletion, "PAKID_CORE_DEVICE_IOCOMPLETION"},
    {kPakidCoreServerCapability, "PAKID_CORE_SERVER_CAPABILITY"},
    {kPakidCoreClientCapability, "PAKID_CORE_CLIENT_CAPABILITY"},
    {kPakidCoreDevicelistRemove, "PAKID_CORE_DEVICELIST_REMOVE"},
    {kPakidPrnCacheData, "PAKID_PRN_CACHE_DATA"},
    {kPakidCoreUserLoggedon, "PAKID_CORE_USER_LOGGEDON"},
    {kPakidPrnUsingXps, "PAKID_PRN_USING_XPS"},
};

constexpr uint16_t kCapGeneral = 1;
constexpr uint32_t kCapHeaderBytes = 8;
constexpr uint32_t kGeneralCapVersion2 = 2;
constexpr uint32_t kGeneralCapBytes = 44;
constexpr uint32_t kIoRequestPaddingBytes = 20;

// The fields of a device I/O request after its RDPDR header; each is
// dumped only when the packet holds it.
void DumpIoRequest(base::ByteReader& r) {
  uint32_t deviceId, fileId, completionId, major, minor;
  if (!r.ReadU32Le(deviceId)) return;
  ScRedirQrn_DumpField("DeviceId", deviceId);
  if (!r.ReadU32Le(fileId)) return;
  ScRedirQrn_DumpField("FileId", fileId);
  if (!r.ReadU32Le(completionId)) return;
  ScRedirQrn_DumpField("CompletionId", completionId);
  if (!r.ReadU32Le(major)) return;
  ScRedirQrn_DumpNamedField("MajorFunction", major,
                            major == kIrpMjDeviceControl ? "IRP_MJ_DEVICE_CONTROL" : "UNKNOWN");
  if (!r.ReadU32Le(minor)) return;
  ScRedirQrn_DumpField("MinorFunction", minor);
  if (major != kIrpMjDeviceControl) return;
  uint32_t outputLength, inputLength, ioctl;
  if (!r.ReadU32Le(outputLength)) return;
  ScRedirQrn_DumpField("OutputBufferLength", outputLength);
  if (!r.ReadU32Le(inputLength)) return;
  ScRedirQrn_DumpField("InputBufferLength", inputLength);
  if (!r.ReadU32Le(ioctl)) return;
  ScRedirQrn_DumpNamedField("IoControlCode", ioctl, ScRedirQrn_IoctlName(ioctl));
  auto padding = r.ReadSpan(kIoRequestPaddingBytes);
  if (padding) ScRedirQrn_DumpBuffer("Padding", padding->data(), kIoRequestPaddingBytes);
}

}  // namespace

const char* ScRedirQrn_ComponentName(uint16_t component) {
  switch (component) {
    case kRdpdrCtypCore:
      return "RDPDR_CTYP_CORE";
    case kRdpdrCtypPrn:
      return "RDPDR_CTYP_PRN";
    default:
      return "UNKNOWN";
  }
}

const char* ScRedirQrn_PacketIdName(uint16_t packetId) {
  for (const auto& entry : kPacketIdNames) {
    if (entry.value == packetId) return entry.name;
  }
  return "UNKNOWN";
}

void ScRedirQrn_FillAgentAnnounce(std::span<uint8_t, kAgentAnnounceBytes> out) {
  base::ByteWriter w(kAgentAnnounceBytes);
  w.WriteU16Le(kRdpdrCtypCore);
  w.WriteU16Le(kPakidCoreServerCapability);
  w.WriteU16Le(1);  // numCapabilities
  w.WriteU16Le(0);  // padding
  w.WriteU16Le(kCapGeneral);
  w.WriteU16Le(kGeneralCapBytes);
  w.WriteU32Le(kGeneralCapVersion2);
  w.WriteZeros(kAgentAnnounceBytes - w.size());  // every general capability field 0
  std::memcpy(out.data(), w.bytes().data(), kAgentAnnounceBytes);
}

uint8_t* ScRedirQrn_FrameIoRequest(uint32_t completionId, uint32_t outputLength,
                                   uint32_t ioControlCode, std::span<const uint8_t> input,
                                   size_t* packetLength) {
  const size_t total = kIoRequestFixedBytes + input.size();
  auto* packet = static_cast<uint8_t*>(g_try_malloc0(total));
  if (packet == nullptr) return nullptr;
  ScRedirQrn_WriteIoRequestHeader(packet, completionId, outputLength, ioControlCode,
                                  static_cast<uint32_t>(input.size()));
  if (!input.empty()) std::memcpy(packet + kIoRequestFixedBytes, input.data(), input.size());
  *packetLength = total;
  return packet;
}

void ScRedirQrn_WriteIoRequestHeader(uint8_t* packet, uint32_t completionId, uint32_t outputLength,
                                     uint32_t ioControlCode, uint32_t inputLength) {
  // Written straight into the packet: this runs once per call, and the
  // header is fixed in size, so it needs no growable buffer of its own.
  uint8_t* at = packet;
  const auto put = [&at](uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) *at++ = static_cast<uint8_t>(value >> (8 * i));
  };
  put(kRdpdrCtypCore, 2);
  put(kPakidCoreDeviceIoRequest, 2);
  put(0, 4);  // DeviceId
  put(0, 4);  // FileId
  put(completionId, 4);
  put(kIrpMjDeviceControl, 4);
  put(0, 4);  // MinorFunction
  put(outputLength, 4);
  put(inputLength, 4);
  put(ioControlCode, 4);
  std::memset(at, 0, kIoRequestPaddingBytes);
  static_assert(2 + 2 + 8 * 4 + kIoRequestPaddingBytes == kIoRequestFixedBytes);
}

std::optional<RdpdrHeader> ScRedirQrn_ReadRdpdrHeader(std::span<const uint8_t> packet) {
  base::ByteReader r(packet);
  RdpdrHeader h;
  if (!r.ReadU16Le(h.component) || !r.ReadU16Le(h.packetId)) return std::nullopt;
  return h;
}

std::optional<RdpdrIoCompletion> ScRedirQrn_ReadIoCompletion(std::span<const uint8_t> packet) {
  base::ByteReader r(packet);
  RdpdrIoCompletion c{};
  if (!r.Skip(8) || !r.ReadU32Le(c.completionId) || !r.ReadU32Le(c.ioStatus)) return std::nullopt;
  if (c.ioStatus != 0) {
    // A failure carries no usable output, with or without its length field.
    c.length = kIoCompletionFailureBytes;
    return c;
  }
  if (!r.ReadU32Le(c.outputLength) || !r.Has(c.outputLength)) return std::nullopt;
  c.length = kIoCompletionFixedBytes + c.outputLength;
  return c;
}

void ScRedirQrn_ParseClientCap(const void* packet, uint32_t length) {
  base::ByteReader r(packet, length);
  uint16_t numCapabilities;
  if (!r.Skip(kRdpdrHeaderBytes) || !r.ReadU16Le(numCapabilities) || !r.Skip(2)) return;
  for (uint16_t i = 0; i < numCapabilities; ++i) {
    base::ByteReader peek(r.rest());
    uint16_t type, capLength;
    if (!peek.ReadU16Le(type) || !peek.ReadU16Le(capLength) || capLength < kCapHeaderBytes) return;
    auto set = r.ReadSubReader(capLength);
    if (!set) return;  // the set claims more than was received
    uint32_t osType, osVersion;
    if (type == kCapGeneral && set->Skip(kCapHeaderBytes) && set->ReadU32Le(osType) &&
        set->ReadU32Le(osVersion)) {
      ScRedirQrn_Logf(kQrnLogInfo, 0, "Client osType is %08x and osVersion is %08x", osType,
                      osVersion);
    }
  }
}

void ScRedirQrn_DumpMsg(const void* packet, uint32_t length) {
  if (!ScRedirQrn_DebugOn()) return;
  base::ByteReader r(packet, length);
  uint16_t component, packetId;
  if (!r.ReadU16Le(component)) return;
  ScRedirQrn_DumpHeaderField(component, ScRedirQrn_ComponentName(component));
  if (!r.ReadU16Le(packetId)) return;
  ScRedirQrn_DumpHeaderField(packetId, ScRedirQrn_PacketIdName(packetId));
  if (component == kRdpdrCtypCore && packetId == kPakidCoreDeviceIoRequest) DumpIoRequest(r);
}
