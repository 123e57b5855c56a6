// See readers.h.
#include "daemon/readers.h"

#include <algorithm>

#include "daemon/convert.h"
#include "lib/base/byte_writer.h"

namespace scredir::pcscd {
namespace {

// pcsc-lite's sharing values: -1 exclusive, 0 unused, >= 1 in use.
constexpr int32_t kSharingExclusive = -1;

// What pcscd would publish for a reader in this event state; a powered card
// stays NEGOTIABLE as with pcscd, a Status answer may refine it.
uint32_t CardStateOf(uint32_t eventState) {
  if (eventState & (state::kUnknown | state::kUnavailable)) return lite::kUnknown;
  if (eventState & state::kEmpty) return lite::kAbsent;
  if (!(eventState & state::kPresent)) return lite::kUnknown;
  if (eventState & state::kMute) return lite::kPresent | lite::kSwallowed;
  if (eventState & state::kUnpowered) return lite::kPresent;
  return lite::kPresent | lite::kPowered | lite::kNegotiable;
}

}  // namespace

ReaderTable::Slot* ReaderTable::Find(const std::string& name) {
  for (Slot& slot : slots_)
    if (!slot.name.empty() && slot.name == name) return &slot;
  return nullptr;
}

const ReaderTable::Slot* ReaderTable::Find(const std::string& name) const {
  return const_cast<ReaderTable*>(this)->Find(name);
}

bool ReaderTable::SetReaders(const std::vector<std::string>& names) {
  bool changed = false;
  for (Slot& slot : slots_) {
    if (slot.name.empty() || std::find(names.begin(), names.end(), slot.name) != names.end())
      continue;
    slot = Slot{};
    changed = true;
  }
  for (const std::string& name : names) {
    if (name.empty() || name.size() >= wire::kMaxReaderName || Find(name)) continue;
    auto free =
        std::find_if(slots_.begin(), slots_.end(), [](const Slot& s) { return s.name.empty(); });
    if (free == slots_.end()) break;
    free->name = name;
    changed = true;
  }
  return changed;
}

void ReaderTable::ApplyEvent(const std::string& name, uint32_t eventState,
                             std::span<const uint8_t> atr) {
  Slot* slot = Find(name);
  if (!slot) return;
  const bool present = CardStateOf(eventState) & lite::kPresent;
  std::vector<uint8_t> newAtr;
  if (present) newAtr.assign(atr.begin(), atr.begin() + std::min(atr.size(), wire::kMaxAtr));
  if (slot->known) {
    // Insertion, removal, another card, or events the remote counted
    // between two of our waits: applications must see the counter move.
    const bool presence = present != ((slot->cardState & lite::kPresent) != 0);
    const bool remoteCounter = (eventState >> 16) != (slot->remoteEvent >> 16);
    if (presence || newAtr != slot->atr || remoteCounter) {
      slot->counter = (slot->counter + 1) & 0xFFFF;
      slot->protocol = 0;
    }
  }
  if (!present) slot->protocol = 0;
  slot->known = true;
  slot->remoteEvent = eventState & ~state::kChanged;
  slot->cardState = CardStateOf(eventState);
  slot->atr = std::move(newAtr);
  if (eventState & state::kExclusive)
    slot->sharing = kSharingExclusive;
  else
    slot->sharing = (eventState & state::kInUse) ? 1 : 0;
}

void ReaderTable::SetProtocol(const std::string& name, uint32_t protocol) {
  Slot* slot = Find(name);
  if (slot && (slot->cardState & lite::kPresent)) slot->protocol = protocol;
}

void ReaderTable::ApplyStatus(const std::string& name, uint32_t cardState, uint32_t protocol,
                              std::span<const uint8_t> atr) {
  Slot* slot = Find(name);
  if (!slot || !(slot->cardState & lite::kPresent) || !(cardState & lite::kPresent)) return;
  slot->cardState = cardState & 0xFFFF;
  slot->protocol = protocol;
  if (!atr.empty() && atr.size() <= wire::kMaxAtr) slot->atr.assign(atr.begin(), atr.end());
}

void ReaderTable::Clear() {
  slots_ = {};
}

bool ReaderTable::Has(const std::string& name) const {
  const Slot* slot = Find(name);
  return slot && slot->known;
}

size_t ReaderTable::PublishedCount() const {
  return static_cast<size_t>(
      std::count_if(slots_.begin(), slots_.end(), [](const Slot& s) { return s.known; }));
}

std::vector<std::string> ReaderTable::Names() const {
  std::vector<std::string> names;
  for (const Slot& slot : slots_)
    if (!slot.name.empty()) names.push_back(slot.name);
  return names;
}

uint32_t ReaderTable::KnownEventState(const std::string& name) const {
  const Slot* slot = Find(name);
  return slot && slot->known ? slot->remoteEvent : 0;
}

std::vector<uint8_t> ReaderTable::Publish() const {
  base::ByteWriter out(wire::kReaderStatesBytes);
  for (const Slot& slot : slots_) {
    const size_t start = out.size();
    if (!slot.name.empty() && slot.known) {
      out.WriteString(slot.name);
      out.WriteZeros(wire::off::kRsCounter - slot.name.size());
      out.WriteU32Le(slot.counter);
      out.WriteU32Le(slot.cardState);
      out.WriteU32Le(static_cast<uint32_t>(slot.sharing));
      out.WriteBytes(slot.atr.data(), slot.atr.size());
      out.WriteZeros(wire::off::kRsAtrLen - wire::off::kRsAtr - slot.atr.size());
      out.WriteU32Le(static_cast<uint32_t>(slot.atr.size()));
      out.WriteU32Le(slot.protocol);
    }
    out.WriteZeros(wire::off::kRsSize - (out.size() - start));
  }
  return out.Take();
}

}  // namespace scredir::pcscd
