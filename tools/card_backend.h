// CardBackend: what the client double asks when a smart-card call reaches it.
//
// The client double decodes each device-control request into one of the
// calls below and encodes the answer back into the matching return record.
// A backend knows nothing of RDPDR or NDR: it sees plain C++ values and
// answers with a PC/SC result code (0 is success, SCARD_* codes otherwise),
// which the client double forwards unchanged as the record's ReturnCode.
//
// Contexts and card handles are opaque byte strings chosen by the backend
// (the client's pbContext / pbHandle). The plug-in hands them back byte for
// byte in later calls, so a backend may put whatever it needs in them.
//
// Threads: the client double may call a backend from several threads at once
// (a blocking GetStatusChange runs on its own thread while other calls carry
// on), so every implementation must be safe for concurrent use.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace scredir::tools {

using Bytes = std::vector<uint8_t>;

// PC/SC result codes the doubles use by name.
inline constexpr uint32_t kScardSuccess = 0x00000000;
inline constexpr uint32_t kScardFInternalError = 0x80100001;
inline constexpr uint32_t kScardECancelled = 0x80100002;
inline constexpr uint32_t kScardEInvalidHandle = 0x80100003;
inline constexpr uint32_t kScardEInvalidParameter = 0x80100004;
inline constexpr uint32_t kScardEInsufficientBuffer = 0x80100008;
inline constexpr uint32_t kScardEUnknownReader = 0x80100009;
inline constexpr uint32_t kScardETimeout = 0x8010000A;
inline constexpr uint32_t kScardESharingViolation = 0x8010000B;
inline constexpr uint32_t kScardENoSmartcard = 0x8010000C;
inline constexpr uint32_t kScardEProtoMismatch = 0x8010000F;
inline constexpr uint32_t kScardENotTransacted = 0x80100016;
inline constexpr uint32_t kScardEReaderUnavailable = 0x80100017;
inline constexpr uint32_t kScardEInvalidValue = 0x80100011;
inline constexpr uint32_t kScardENoService = 0x8010001D;
inline constexpr uint32_t kScardEUnsupportedFeature = 0x80100022;
inline constexpr uint32_t kScardENoReadersAvailable = 0x8010002E;
inline constexpr uint32_t kScardWRemovedCard = 0x80100069;

// Reader state bits (dwCurrentState / dwEventState).
inline constexpr uint32_t kScardStateUnaware = 0x0000;
inline constexpr uint32_t kScardStateIgnore = 0x0001;
inline constexpr uint32_t kScardStateChanged = 0x0002;
inline constexpr uint32_t kScardStateUnknown = 0x0004;
inline constexpr uint32_t kScardStateEmpty = 0x0010;
inline constexpr uint32_t kScardStatePresent = 0x0020;
inline constexpr uint32_t kScardStateInUse = 0x0100;

// Card state bits as Status reports them (the bit layout of the PC/SC
// stack on the plug-in's side, which passes the value through).
inline constexpr uint32_t kScardAbsent = 0x0002;
inline constexpr uint32_t kScardPresent = 0x0004;
inline constexpr uint32_t kScardPowered = 0x0010;
inline constexpr uint32_t kScardNegotiable = 0x0020;
inline constexpr uint32_t kScardSpecific = 0x0040;

// Protocols.
inline constexpr uint32_t kScardProtocolT0 = 0x0001;
inline constexpr uint32_t kScardProtocolT1 = 0x0002;

// A timeout that never ends.
inline constexpr uint32_t kInfinite = 0xFFFFFFFF;

// One reader-state slot of GetStatusChange: the name and what the caller
// believes; on return currentState/eventState/atr hold the reader's answer.
struct ReaderState {
  std::string reader;
  uint32_t currentState = 0;
  uint32_t eventState = 0;
  Bytes atr;  // at most 36 bytes
};

// A card handle as the plug-in sends it: the context it was opened in and
// the handle bytes themselves.
struct CardRef {
  Bytes context;
  Bytes handle;
};

class CardBackend {
 public:
  virtual ~CardBackend() = default;

  virtual uint32_t EstablishContext(uint32_t scope, Bytes* context) = 0;
  virtual uint32_t ReleaseContext(const Bytes& context) = 0;
  // groups is the group list the caller sent (empty when none).
  virtual uint32_t ListReaders(const Bytes& context, const std::vector<std::string>& groups,
                               std::vector<std::string>* readers) = 0;
  // Blocks until one of the readers differs from its currentState or the
  // timeout (milliseconds, kInfinite for none) passes; Cancel on the same
  // context ends the wait with kScardECancelled.
  virtual uint32_t GetStatusChange(const Bytes& context, uint32_t timeoutMs,
                                   std::vector<ReaderState>* states) = 0;
  virtual uint32_t Connect(const Bytes& context, const std::string& reader, uint32_t shareMode,
                           uint32_t preferredProtocols, Bytes* handle,
                           uint32_t* activeProtocol) = 0;
  virtual uint32_t Reconnect(const CardRef& card, uint32_t shareMode, uint32_t preferredProtocols,
                             uint32_t initialization, uint32_t* activeProtocol) = 0;
  virtual uint32_t Disconnect(const CardRef& card, uint32_t disposition) = 0;
  virtual uint32_t BeginTransaction(const CardRef& card) = 0;
  virtual uint32_t EndTransaction(const CardRef& card, uint32_t disposition) = 0;
  // recvLength is the room the caller has; recvProtocol is set when the
  // backend has a receive PCI to report.
  virtual uint32_t Transmit(const CardRef& card, uint32_t sendProtocol, const Bytes& command,
                            uint32_t recvLength, Bytes* response,
                            std::optional<uint32_t>* recvProtocol) = 0;
  virtual uint32_t Control(const CardRef& card, uint32_t controlCode, const Bytes& input,
                           uint32_t outputSize, Bytes* output) = 0;
  virtual uint32_t Status(const CardRef& card, std::vector<std::string>* readerNames,
                          uint32_t* state, uint32_t* protocol, Bytes* atr) = 0;
  virtual uint32_t Cancel(const Bytes& context) = 0;
  // bufferLength is the room the caller has (0 asks only for the length).
  virtual uint32_t GetAttrib(const CardRef& card, uint32_t attrId, uint32_t bufferLength,
                             Bytes* value) = 0;
  virtual uint32_t SetAttrib(const CardRef& card, uint32_t attrId, const Bytes& value) = 0;
};

}  // namespace scredir::tools

// Declares every CardBackend call as an override, in an implementation's
// class body.
#define SCREDIR_CARD_BACKEND_OVERRIDES                                                             \
  uint32_t EstablishContext(uint32_t scope, Bytes* context) override;                              \
  uint32_t ReleaseContext(const Bytes& context) override;                                          \
  uint32_t ListReaders(const Bytes& context, const std::vector<std::string>& groups,               \
                       std::vector<std::string>* readers) override;                                \
  uint32_t GetStatusChange(const Bytes& context, uint32_t timeoutMs,                               \
                           std::vector<ReaderState>* states) override;                             \
  uint32_t Connect(const Bytes& context, const std::string& reader, uint32_t shareMode,            \
                   uint32_t preferredProtocols, Bytes* handle, uint32_t* activeProtocol) override; \
  uint32_t Reconnect(const CardRef& card, uint32_t shareMode, uint32_t preferredProtocols,         \
                     uint32_t initialization, uint32_t* activeProtocol) override;                  \
  uint32_t Disconnect(const CardRef& card, uint32_t disposition) override;                         \
  uint32_t BeginTransaction(const CardRef& card) override;                                         \
  uint32_t EndTransaction(const CardRef& card, uint32_t disposition) override;                     \
  uint32_t Transmit(const CardRef& card, uint32_t sendProtocol, const Bytes& command,              \
                    uint32_t recvLength, Bytes* response, std::optional<uint32_t>* recvProtocol)   \
      override;                                                                                    \
  uint32_t Control(const CardRef& card, uint32_t controlCode, const Bytes& input,                  \
                   uint32_t outputSize, Bytes* output) override;                                   \
  uint32_t Status(const CardRef& card, std::vector<std::string>* readerNames, uint32_t* state,     \
                  uint32_t* protocol, Bytes* atr) override;                                        \
  uint32_t Cancel(const Bytes& context) override;                                                  \
  uint32_t GetAttrib(const CardRef& card, uint32_t attrId, uint32_t bufferLength, Bytes* value)    \
      override;                                                                                    \
  uint32_t SetAttrib(const CardRef& card, uint32_t attrId, const Bytes& value) override
