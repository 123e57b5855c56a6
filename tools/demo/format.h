// Text forms of the values the demo transcript shows: byte strings, PC/SC
// results, reader and card states, protocols and APDU status words. Pure
// functions over their arguments; any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace scredir::demo {

// "3B 8F 80" (upper-case pairs, one blank between); "(none)" when empty.
std::string HexBytes(std::span<const uint8_t> bytes);
// "SCARD_S_SUCCESS", or the name followed by the code: "SCARD_E_TIMEOUT
// (0x8010000A)"; an unnamed code is "UNKNOWN (0x...)".
std::string ResultName(uint32_t rv);
// Reader state bits of GetStatusChange, "PRESENT|CHANGED"; the event
// counter some stacks keep in the upper 16 bits is shown as "events=N";
// 0 is "UNAWARE".
std::string ReaderStateText(uint32_t state);
// Card state bits of Status: "PRESENT|POWERED|NEGOTIABLE" (plus events=N).
std::string CardStateText(uint32_t state);
// A card state in Windows numbering (0 UNKNOWN ... 6 SPECIFIC): what a
// Windows or FreeRDP client reports in Status, a value rather than bits.
std::string WindowsCardStateText(uint32_t state);
// "T=0", "T=1", "T=0|T=1", "RAW"; 0 is "none".
std::string ProtocolText(uint32_t protocol);
// What the status word at the end of a response means: "success",
// "wrong PIN, 2 tries left", ...; empty when the response is too short.
std::string StatusWordText(std::span<const uint8_t> response);
// "0.42 ms" / "512.3 ms": round-trip times.
std::string Milliseconds(double ms);
// A quoted, comma separated list of names.
std::string QuotedList(const std::vector<std::string>& names);

}  // namespace scredir::demo
