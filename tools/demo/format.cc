// Transcript text forms; see format.h.
#include "tools/demo/format.h"

#include <cstdio>
#include <iterator>

#include "scredir/names.h"

namespace scredir::demo {
namespace {

struct Flag {
  uint32_t bit;
  const char* name;
};

constexpr Flag kReaderStateFlags[] = {
    {0x0001, "IGNORE"}, {0x0002, "CHANGED"}, {0x0004, "UNKNOWN"},   {0x0008, "UNAVAILABLE"},
    {0x0010, "EMPTY"},  {0x0020, "PRESENT"}, {0x0040, "ATRMATCH"},  {0x0080, "EXCLUSIVE"},
    {0x0100, "INUSE"},  {0x0200, "MUTE"},    {0x0400, "UNPOWERED"},
};

constexpr Flag kCardStateFlags[] = {
    {0x0001, "UNKNOWN"}, {0x0002, "ABSENT"},     {0x0004, "PRESENT"},  {0x0008, "SWALLOWED"},
    {0x0010, "POWERED"}, {0x0020, "NEGOTIABLE"}, {0x0040, "SPECIFIC"},
};

constexpr Flag kProtocolFlags[] = {
    {0x0001, "T=0"},
    {0x0002, "T=1"},
    {0x0004, "RAW"},
    {0x0008, "T=15"},
};

std::string Hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

// Names of the set bits of the low 16 bits; unnamed bits as hexadecimal;
// a non-zero upper half as the event counter.
template <size_t N>
std::string FlagText(uint32_t value, const Flag (&flags)[N], const char* zero) {
  std::string text;
  uint32_t low = value & 0xFFFF, rest = low;
  for (const Flag& f : flags) {
    if (!(low & f.bit)) continue;
    text += (text.empty() ? "" : "|") + std::string(f.name);
    rest &= ~f.bit;
  }
  if (rest) text += (text.empty() ? "" : "|") + Hex32(rest);
  if (text.empty()) text = zero;
  if (value >> 16) text += " events=" + std::to_string(value >> 16);
  return text;
}

}  // namespace

std::string HexBytes(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return "(none)";
  std::string text;
  char pair[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
    if (i) text += ' ';
    text += pair;
  }
  return text;
}

std::string ResultName(uint32_t rv) {
  std::string name = ScRedirQrn_ReturnCodeName(rv);
  // The plug-in's table follows Windows, which leaves 0x8010001F unnamed
  // for this purpose; pcsc-lite stacks use it for an unsupported feature.
  if (rv == 0x8010001F && name == "UNKNOWN") name = "SCARD_E_UNSUPPORTED_FEATURE";
  return rv == 0 ? name : name + " (" + Hex32(rv) + ")";
}

std::string ReaderStateText(uint32_t state) {
  return FlagText(state, kReaderStateFlags, "UNAWARE");
}

std::string CardStateText(uint32_t state) {
  return FlagText(state, kCardStateFlags, "none");
}

std::string WindowsCardStateText(uint32_t state) {
  static constexpr const char* kNames[] = {"UNKNOWN", "ABSENT",     "PRESENT", "SWALLOWED",
                                           "POWERED", "NEGOTIABLE", "SPECIFIC"};
  if (state < std::size(kNames)) return kNames[state];
  return Hex32(state);
}

std::string ProtocolText(uint32_t protocol) {
  if (protocol >> 16) return Hex32(protocol);
  return FlagText(protocol, kProtocolFlags, "none");
}

std::string StatusWordText(std::span<const uint8_t> response) {
  if (response.size() < 2) return {};
  uint8_t sw1 = response[response.size() - 2], sw2 = response[response.size() - 1];
  uint16_t sw = static_cast<uint16_t>(sw1 << 8 | sw2);
  if (sw == 0x9000) return "success";
  if (sw1 == 0x61) return std::to_string(sw2) + " more bytes available";
  if (sw1 == 0x63 && (sw2 & 0xF0) == 0xC0)
    return "wrong PIN, " + std::to_string(sw2 & 0x0F) + " tries left";
  struct Known {
    uint16_t sw;
    const char* text;
  };
  static constexpr Known kKnown[] = {
      {0x6700, "wrong length"},        {0x6982, "security status not satisfied"},
      {0x6983, "PIN blocked"},         {0x6A82, "file not found"},
      {0x6A86, "incorrect P1/P2"},     {0x6D00, "instruction not supported"},
      {0x6E00, "class not supported"},
  };
  for (const Known& k : kKnown)
    if (k.sw == sw) return k.text;
  return "status " + HexBytes(response.subspan(response.size() - 2));
}

std::string Milliseconds(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, ms < 100 ? "%.2f ms" : "%.1f ms", ms);
  return text;
}

std::string QuotedList(const std::vector<std::string>& names) {
  std::string text;
  for (const auto& n : names) text += (text.empty() ? "\"" : ", \"") + n + "\"";
  return text.empty() ? "(none)" : text;
}

}  // namespace scredir::demo
