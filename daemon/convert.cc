// The conversion tables; see convert.h. README.md shows the same tables.
#include "daemon/convert.h"

#include <array>
#include <utility>

namespace scredir::pcscd {
namespace {

// Results the Windows API returns that pcsc-lite spells differently or does
// not have. Anything else that pcsc-lite does not know becomes
// SCARD_F_UNKNOWN_ERROR so applications always get a code they can name.
constexpr std::array<std::pair<uint32_t, uint32_t>, 20> kResults = {{
    {0x80100018, lite::kEServiceStopped},      // SCARD_P_SHUTDOWN
    {0x80100022, lite::kEUnsupportedFeature},  // SCARD_E_UNSUPPORTED_FEATURE
    {0x80100032, lite::kEUnsupportedFeature},  // SCARD_E_PIN_CACHE_EXPIRED
    {0x80100033, lite::kEUnsupportedFeature},  // SCARD_E_NO_PIN_CACHE
    {0x80100034, lite::kENoAccess},            // SCARD_E_READ_ONLY_CARD
    {0x00000001, lite::kEUnsupportedFeature},  // ERROR_INVALID_FUNCTION
    {0x00000006, lite::kEInvalidHandle},       // ERROR_INVALID_HANDLE
    {0x00000008, lite::kENoMemory},            // ERROR_NOT_ENOUGH_MEMORY
    {0x0000000E, lite::kENoMemory},            // ERROR_OUTOFMEMORY
    {0x0000001F, lite::kFUnknownError},        // ERROR_GEN_FAILURE
    {0x00000032, lite::kEUnsupportedFeature},  // ERROR_NOT_SUPPORTED
    {0x00000057, lite::kEInvalidParameter},    // ERROR_INVALID_PARAMETER
    {0x0000006D, lite::kFCommError},           // ERROR_BROKEN_PIPE
    {0x0000007A, lite::kEInsufficientBuffer},  // ERROR_INSUFFICIENT_BUFFER
    {0x000000EA, lite::kEInsufficientBuffer},  // ERROR_MORE_DATA
    {0x000003E3, lite::kECancelled},           // ERROR_OPERATION_ABORTED
    {0x0000045D, lite::kENotTransacted},       // ERROR_IO_DEVICE
    {0x000004C7, lite::kECancelled},           // ERROR_CANCELLED
    {0x000005B4, lite::kETimeout},             // ERROR_TIMEOUT
    {0x00000015, lite::kEReaderUnavailable},   // ERROR_NOT_READY
}};

// pcsc-lite's own result codes pass unchanged.
bool KnownToLite(uint32_t rv) {
  if (rv == lite::kSuccess) return true;
  if (rv >= 0x80100001 && rv <= 0x80100031) return rv != 0x80100018 && rv != 0x80100022;
  return rv >= 0x80100065 && rv <= 0x8010006F;
}

// Windows card states, SCARD_UNKNOWN (0) to SCARD_SPECIFIC (6). A state
// includes the ones before it, as pcscd reports them, so applications that
// test single bits (dwState & SCARD_PRESENT) see what they would locally.
constexpr std::array<uint32_t, 7> kCardStates = {
    lite::kUnknown,                                       // 0 SCARD_UNKNOWN
    lite::kAbsent,                                        // 1 SCARD_ABSENT
    lite::kPresent,                                       // 2 SCARD_PRESENT
    lite::kPresent | lite::kSwallowed,                    // 3 SCARD_SWALLOWED
    lite::kPresent | lite::kPowered,                      // 4 SCARD_POWERED
    lite::kPresent | lite::kPowered | lite::kNegotiable,  // 5 SCARD_NEGOTIABLE
    lite::kPresent | lite::kPowered | lite::kSpecific,    // 6 SCARD_SPECIFIC
};

constexpr uint32_t kLiteCtlBase = 0x42000000;         // pcsc-lite SCARD_CTL_CODE(0)
constexpr uint32_t kWinSmartCardDevice = 0x00310000;  // FILE_DEVICE_SMARTCARD << 16

}  // namespace

std::optional<RemoteFlavour> ParseFlavour(std::string_view text) {
  if (text == "windows") return RemoteFlavour::kWindows;
  if (text == "pcsclite") return RemoteFlavour::kPcscLite;
  return std::nullopt;
}

const char* FlavourName(RemoteFlavour flavour) {
  return flavour == RemoteFlavour::kWindows ? "windows" : "pcsclite";
}

uint32_t ResultToLite(RemoteFlavour flavour, uint32_t rv) {
  if (flavour == RemoteFlavour::kPcscLite || KnownToLite(rv)) return rv;
  for (const auto& [windows, local] : kResults)
    if (windows == rv) return local;
  return lite::kFUnknownError;
}

uint32_t CardStateToLite(RemoteFlavour flavour, uint32_t cardState) {
  if (flavour == RemoteFlavour::kPcscLite) return cardState;
  // Anything above 6 is no Windows state: it is taken to be a bit mask already.
  return cardState < kCardStates.size() ? kCardStates[cardState] : cardState;
}

uint32_t ProtocolToLite(RemoteFlavour flavour, uint32_t protocol) {
  if (flavour == RemoteFlavour::kPcscLite) return protocol;
  uint32_t out = protocol & (lite::kProtocolT0 | lite::kProtocolT1 | lite::kProtocolT15);
  if (protocol & kWinProtocolRaw) out |= lite::kProtocolRaw;
  return out;
}

uint32_t ProtocolToRemote(RemoteFlavour flavour, uint32_t protocol) {
  if (flavour == RemoteFlavour::kPcscLite) return protocol;
  uint32_t out = protocol & (lite::kProtocolT0 | lite::kProtocolT1 | lite::kProtocolT15);
  if (protocol & lite::kProtocolRaw) out |= kWinProtocolRaw;
  if (protocol & lite::kProtocolAnyOld) out |= lite::kProtocolT0 | lite::kProtocolT1;
  return out;
}

uint32_t ControlCodeToRemote(RemoteFlavour flavour, uint32_t code) {
  if (flavour == RemoteFlavour::kPcscLite) return code;
  // SCARD_CTL_CODE(n) is 0x42000000 + n here and CTL_CODE(FILE_DEVICE_SMARTCARD,
  // n, METHOD_BUFFERED, FILE_ANY_ACCESS) there; the function number has 12 bits.
  if (code >= kLiteCtlBase && code - kLiteCtlBase < 0x1000)
    return kWinSmartCardDevice | ((code - kLiteCtlBase) << 2);
  return code;
}

uint32_t ScopeToRemote(RemoteFlavour flavour, uint32_t scope) {
  if (flavour == RemoteFlavour::kWindows && scope == lite::kScopeGlobal) return lite::kScopeSystem;
  return scope;
}

}  // namespace scredir::pcscd
