// pcsc-lite's client/daemon message protocol as libpcsclite 1.9.9 speaks it
// (message protocol 4.4), seen from the daemon's side.
//
// Every libpcsclite context has a Unix stream connection of its own. The
// client writes an 8-byte header {size, command} followed by `size` bytes
// of the command's structure; the daemon answers with the same structure,
// its result fields filled in, and no header. SCARD_TRANSMIT and
// SCARD_CONTROL carry their send bytes after the structure (outside
// `size`) and get their received bytes after the answer when it succeeded.
// Integers are host order. SCardListReaders, SCardGetStatusChange and most
// of SCardStatus run inside the client library on the reader states the
// daemon publishes (kReaderStateBytes per reader, kMaxReaders of them):
// CMD_GET_READERS_STATE answers with the whole array; CMD_WAIT_READER_STATE_
// CHANGE answers with the array and registers the connection, which later
// gets one 8-byte {timeOut, rv} record: when the states change, when
// SCardCancel ends the wait, or as the answer to
// CMD_STOP_WAITING_READER_STATE_CHANGE if neither came first.
//
// The offsets below are the fields of the client library's structures; the
// tests compare the limits with the installed pcsclite.h.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace scredir::pcscd::wire {

static_assert(std::endian::native == std::endian::little, "host order is read as little-endian");

inline constexpr int32_t kProtocolMajor = 4;
inline constexpr int32_t kProtocolMinor = 4;

inline constexpr size_t kHeaderBytes = 8;
inline constexpr size_t kMaxReaderName = 128;  // MAX_READERNAME, NUL included
inline constexpr size_t kMaxAtr = 33;          // MAX_ATR_SIZE
inline constexpr size_t kMaxReaders = 16;      // PCSCLITE_MAX_READERS_CONTEXTS
inline constexpr size_t kMaxAttr = 264;        // MAX_BUFFER_SIZE
inline constexpr size_t kMaxExtended = 65548;  // MAX_BUFFER_SIZE_EXTENDED

enum Command : uint32_t {
  kEstablishContext = 0x01,
  kReleaseContext = 0x02,
  kListReaders = 0x03,  // answered by the client library itself
  kConnect = 0x04,
  kReconnect = 0x05,
  kDisconnect = 0x06,
  kBeginTransaction = 0x07,
  kEndTransaction = 0x08,
  kTransmit = 0x09,
  kControl = 0x0A,
  kStatus = 0x0B,
  kGetStatusChange = 0x0C,  // answered by the client library itself
  kCancel = 0x0D,
  kCancelTransaction = 0x0E,  // never sent
  kGetAttrib = 0x0F,
  kSetAttrib = 0x10,
  kVersion = 0x11,
  kGetReadersState = 0x12,
  kWaitReaderStateChange = 0x13,
  kStopWaitingReaderStateChange = 0x14,
};

// Field offsets of the structures, and their sizes.
namespace off {
// version_struct
inline constexpr size_t kVerMajor = 0, kVerMinor = 4, kVerRv = 8, kVerSize = 12;
// establish_struct
inline constexpr size_t kEstScope = 0, kEstContext = 4, kEstRv = 8, kEstSize = 12;
// release_struct, cancel_struct
inline constexpr size_t kCtxContext = 0, kCtxRv = 4, kCtxSize = 8;
// connect_struct
inline constexpr size_t kConContext = 0, kConReader = 4, kConShare = 132, kConPreferred = 136,
                        kConCard = 140, kConActive = 144, kConRv = 148, kConSize = 152;
// reconnect_struct
inline constexpr size_t kRecCard = 0, kRecShare = 4, kRecPreferred = 8, kRecInit = 12,
                        kRecActive = 16, kRecRv = 20, kRecSize = 24;
// disconnect_struct, end_struct
inline constexpr size_t kDisCard = 0, kDisDisposition = 4, kDisRv = 8, kDisSize = 12;
// begin_struct, status_struct
inline constexpr size_t kCardCard = 0, kCardRv = 4, kCardSize = 8;
// transmit_struct
inline constexpr size_t kTxCard = 0, kTxSendProto = 4, kTxSendPciLen = 8, kTxSend = 12,
                        kTxRecvProto = 16, kTxRecvPciLen = 20, kTxRecv = 24, kTxRv = 28,
                        kTxSize = 32;
// control_struct
inline constexpr size_t kCtlCard = 0, kCtlCode = 4, kCtlSend = 8, kCtlRecv = 12, kCtlReturned = 16,
                        kCtlRv = 20, kCtlSize = 24;
// getset_struct
inline constexpr size_t kAtCard = 0, kAtId = 4, kAtValue = 8, kAtLen = 272, kAtRv = 276,
                        kAtSize = 280;
// wait_reader_state_change
inline constexpr size_t kWaitTimeout = 0, kWaitRv = 4, kWaitSize = 8;
// READER_STATE (eventhandler.h): 3 padding bytes after the ATR.
inline constexpr size_t kRsName = 0, kRsCounter = 128, kRsState = 132, kRsSharing = 136,
                        kRsAtr = 140, kRsAtrLen = 176, kRsProtocol = 180, kRsSize = 184;
}  // namespace off

inline constexpr size_t kReaderStatesBytes = off::kRsSize * kMaxReaders;

// The structure size that must follow the header of `command`; nothing for
// a command the daemon does not serve (the connection is then closed, as
// pcscd does).
std::optional<size_t> BodyBytes(uint32_t command);
const char* CommandName(uint32_t command);

// Field access on a structure whose size was checked. Reads go through the
// bounds-checked reader; a field outside the bytes reads as 0.
uint32_t Get32(std::span<const uint8_t> bytes, size_t offset);
void Put32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value);
// The NUL-terminated text of a fixed field (all of it when no NUL).
std::string GetText(std::span<const uint8_t> bytes, size_t offset, size_t capacity);

// Collects one client message from a non-blocking socket: the header, the
// structure, then the send bytes of TRANSMIT and CONTROL. It asks for exactly
// the bytes of the current part, so nothing after the message is read before
// the message is answered, and the buffer never exceeds one message.
class FrameReader {
 public:
  enum class Status { kNeedMore, kFrame, kBad };

  // Where the next bytes go and how many are wanted at most.
  std::span<uint8_t> Space();
  // `n` bytes were stored at Space(). kBad sets error().
  Status Received(size_t n);
  // After kFrame: the message.
  uint32_t command() const { return command_; }
  std::span<const uint8_t> body() const;
  std::span<const uint8_t> extra() const;
  const std::string& error() const { return error_; }
  // Drops the message just handled; a large buffer is given back.
  void Reset();

 private:
  enum class Part { kHeader, kBody, kExtra, kDone };
  Status Begin(Part part, size_t bytes);

  std::vector<uint8_t> buf_ = std::vector<uint8_t>(kHeaderBytes);
  size_t have_ = 0;
  size_t bodyBytes_ = 0;
  Part part_ = Part::kHeader;
  uint32_t command_ = 0;
  std::string error_;
};

}  // namespace scredir::pcscd::wire
