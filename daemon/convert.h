// Values that cross from the remote client's PC/SC into pcsc-lite's.
//
// The remote client answers in the Windows smart-card API's numbering: a
// card state in Status is one number (SCARD_ABSENT 1 ... SCARD_SPECIFIC 6)
// where pcsc-lite reports a bit mask, the raw protocol is 0x10000 where
// pcsc-lite says 4, reader control codes are built with the Windows device
// type, a few result codes differ and some are plain Win32 errors. Reader
// event states (SCARD_STATE_*), share modes and dispositions are the same
// in both worlds and pass unchanged.
//
// A remote side that already speaks pcsc-lite's values (our test doubles
// answer straight from libpcsclite) is served with RemoteFlavour::kPcscLite:
// then every value passes unchanged.
//
// Pure functions of constant tables; thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace scredir::pcscd {

enum class RemoteFlavour { kWindows, kPcscLite };

std::optional<RemoteFlavour> ParseFlavour(std::string_view text);
const char* FlavourName(RemoteFlavour flavour);

// pcsc-lite values used by the daemon itself.
namespace lite {
inline constexpr uint32_t kSuccess = 0x00000000;
inline constexpr uint32_t kFInternalError = 0x80100001;
inline constexpr uint32_t kECancelled = 0x80100002;
inline constexpr uint32_t kEInvalidHandle = 0x80100003;
inline constexpr uint32_t kEInvalidParameter = 0x80100004;
inline constexpr uint32_t kENoMemory = 0x80100006;
inline constexpr uint32_t kEInsufficientBuffer = 0x80100008;
inline constexpr uint32_t kEUnknownReader = 0x80100009;
inline constexpr uint32_t kETimeout = 0x8010000A;
inline constexpr uint32_t kESharingViolation = 0x8010000B;
inline constexpr uint32_t kEInvalidValue = 0x80100011;
inline constexpr uint32_t kFCommError = 0x80100013;
inline constexpr uint32_t kFUnknownError = 0x80100014;
inline constexpr uint32_t kENotTransacted = 0x80100016;
inline constexpr uint32_t kEReaderUnavailable = 0x80100017;
inline constexpr uint32_t kENoService = 0x8010001D;
inline constexpr uint32_t kEServiceStopped = 0x8010001E;
inline constexpr uint32_t kEUnsupportedFeature = 0x8010001F;
inline constexpr uint32_t kENoAccess = 0x80100027;
inline constexpr uint32_t kENoReadersAvailable = 0x8010002E;

// Card state bits (Status, and the published reader state).
inline constexpr uint32_t kUnknown = 0x0001;
inline constexpr uint32_t kAbsent = 0x0002;
inline constexpr uint32_t kPresent = 0x0004;
inline constexpr uint32_t kSwallowed = 0x0008;
inline constexpr uint32_t kPowered = 0x0010;
inline constexpr uint32_t kNegotiable = 0x0020;
inline constexpr uint32_t kSpecific = 0x0040;

inline constexpr uint32_t kProtocolT0 = 0x0001;
inline constexpr uint32_t kProtocolT1 = 0x0002;
inline constexpr uint32_t kProtocolRaw = 0x0004;
inline constexpr uint32_t kProtocolT15 = 0x0008;
inline constexpr uint32_t kProtocolAnyOld = 0x1000;  // older clients' "any"

inline constexpr uint32_t kScopeSystem = 2;
inline constexpr uint32_t kScopeGlobal = 3;
}  // namespace lite

// Reader event state bits: one numbering in both worlds.
namespace state {
inline constexpr uint32_t kChanged = 0x0002;
inline constexpr uint32_t kUnknown = 0x0004;
inline constexpr uint32_t kUnavailable = 0x0008;
inline constexpr uint32_t kEmpty = 0x0010;
inline constexpr uint32_t kPresent = 0x0020;
inline constexpr uint32_t kExclusive = 0x0080;
inline constexpr uint32_t kInUse = 0x0100;
inline constexpr uint32_t kMute = 0x0200;
inline constexpr uint32_t kUnpowered = 0x0400;
}  // namespace state

// The Windows raw protocol bit.
inline constexpr uint32_t kWinProtocolRaw = 0x00010000;

// A remote result code as pcsc-lite spells it.
uint32_t ResultToLite(RemoteFlavour flavour, uint32_t rv);
// The card state of a remote Status as pcsc-lite's bit mask.
uint32_t CardStateToLite(RemoteFlavour flavour, uint32_t state);
// A remote protocol (active protocol, receive PCI) as pcsc-lite's bits.
uint32_t ProtocolToLite(RemoteFlavour flavour, uint32_t protocol);
// An application's protocol bits (preferred protocols, send PCI) for the remote.
uint32_t ProtocolToRemote(RemoteFlavour flavour, uint32_t protocol);
// An application's reader control code for the remote.
uint32_t ControlCodeToRemote(RemoteFlavour flavour, uint32_t code);
// An application's context scope for the remote.
uint32_t ScopeToRemote(RemoteFlavour flavour, uint32_t scope);

}  // namespace scredir::pcscd
