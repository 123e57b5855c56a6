// RDPDR framing: the packets that cross the smart-card channel.
//
// The plug-in plays a reduced server side: it sends one server core
// capability request (the agent announce) when the channel opens and then
// only device-control I/O requests, all to DeviceId 0 / FileId 0; it reads
// the client's capability response and device I/O completions. All integers
// on the channel are little-endian. Producers return zero-filled GLib blocks
// the caller releases with g_free; readers take the received bytes and their
// length and never look beyond that length. Callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

inline constexpr uint16_t kRdpdrCtypCore = 0x4472;
inline constexpr uint16_t kRdpdrCtypPrn = 0x5052;

inline constexpr uint16_t kPakidCoreServerAnnounce = 0x496E;
inline constexpr uint16_t kPakidCoreClientidConfirm = 0x4343;
inline constexpr uint16_t kPakidCoreClientName = 0x434E;
inline constexpr uint16_t kPakidCoreDevicelistAnnounce = 0x4441;
inline constexpr uint16_t kPakidCoreDeviceReply = 0x6472;
inline constexpr uint16_t kPakidCoreDeviceIoRequest = 0x4952;
inline constexpr uint16_t kPakidCoreDeviceIoCompletion = 0x4943;
inline constexpr uint16_t kPakidCoreServerCapability = 0x5350;
inline constexpr uint16_t kPakidCoreClientCapability = 0x4350;
inline constexpr uint16_t kPakidCoreDevicelistRemove = 0x444D;
inline constexpr uint16_t kPakidPrnCacheData = 0x5043;
inline constexpr uint16_t kPakidCoreUserLoggedon = 0x554C;
inline constexpr uint16_t kPakidPrnUsingXps = 0x5543;

inline constexpr uint32_t kIrpMjDeviceControl = 14;

inline constexpr uint32_t kRdpdrHeaderBytes = 4;
inline constexpr uint32_t kIoRequestFixedBytes = 56;       // header .. padding
inline constexpr uint32_t kIoCompletionFixedBytes = 20;    // header .. OutputBufferLength
inline constexpr uint32_t kIoCompletionFailureBytes = 16;  // header .. IoStatus
inline constexpr uint32_t kAgentAnnounceBytes = 52;

// Names printed by the packet dump; "UNKNOWN" for other values.
const char* ScRedirQrn_ComponentName(uint16_t component);
const char* ScRedirQrn_PacketIdName(uint16_t packetId);

// The 52-byte server core capability request: one general capability set,
// version 2, every capability field 0.
void ScRedirQrn_FillAgentAnnounce(std::span<uint8_t, kAgentAnnounceBytes> out);

// A device-control I/O request carrying `input` (the encoded call): a
// zero-filled g_try_malloc0 block of 56 + input.size() bytes, or null when
// memory runs out (nothing logged here). *packetLength gets the size.
uint8_t* ScRedirQrn_FrameIoRequest(uint32_t completionId, uint32_t outputLength,
                                   uint32_t ioControlCode, std::span<const uint8_t> input,
                                   size_t* packetLength);
// Writes the 56 bytes in front of an input of `inputLength` bytes that is
// already in place after them (an encoding made with that much headroom).
void ScRedirQrn_WriteIoRequestHeader(uint8_t* packet, uint32_t completionId, uint32_t outputLength,
                                     uint32_t ioControlCode, uint32_t inputLength);

struct RdpdrHeader {
  uint16_t component;
  uint16_t packetId;
};
// Null when fewer than 4 bytes were received.
std::optional<RdpdrHeader> ScRedirQrn_ReadRdpdrHeader(std::span<const uint8_t> packet);

struct RdpdrIoCompletion {
  uint32_t completionId;
  uint32_t ioStatus;
  uint32_t outputLength;  // 0 for a failure
  uint32_t length;        // the bytes the completion's parser may read
};
// The completion's fixed part. A failure (IoStatus not 0) needs only its
// first 16 bytes (some clients leave OutputBufferLength out) and spans
// those; a success needs 20 + OutputBufferLength bytes. Null otherwise.
std::optional<RdpdrIoCompletion> ScRedirQrn_ReadIoCompletion(std::span<const uint8_t> packet);

// Logs "Client osType is %08x and osVersion is %08x" for every general
// capability set of a client core capability response; stops at a set that
// overruns the received bytes or is shorter than its own 8-byte header.
void ScRedirQrn_ParseClientCap(const void* packet, uint32_t length);

// Debug dump of a packet's RDPDR header (and of the I/O request fields for
// a core device I/O request), only while debugging; fields past `length`
// are not dumped.
void ScRedirQrn_DumpMsg(const void* packet, uint32_t length);
