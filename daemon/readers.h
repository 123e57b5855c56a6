// The readers the daemon publishes to applications, as pcsc-lite's reader
// state array.
//
// The daemon learns the remote readers by listing them and waiting on them
// with GetStatusChange; this table turns those answers into what pcscd
// would publish: the card state bits (SCARD_ABSENT, SCARD_PRESENT|
// SCARD_POWERED|SCARD_NEGOTIABLE, ...), the ATR, the active protocol, the
// sharing count and an event counter that moves on every insertion, removal
// or card change. A reader keeps its slot while the remote lists it and is
// published once its first state is known. Names longer than pcsc-lite's
// 127 bytes and readers beyond its 16 slots are left out.
//
// Not thread-safe: the daemon's loop thread owns it.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "daemon/wire.h"

namespace scredir::pcscd {

class ReaderTable {
 public:
  // The remote's reader list; true when the set of readers changed.
  bool SetReaders(const std::vector<std::string>& names);
  // One reader's answer to GetStatusChange (SCARD_STATE_* bits, counter in
  // the upper half) with its ATR.
  void ApplyEvent(const std::string& name, uint32_t eventState, std::span<const uint8_t> atr);
  // The active protocol a Connect or Reconnect reported (pcsc-lite bits).
  void SetProtocol(const std::string& name, uint32_t protocol);
  // A Status answer already in pcsc-lite's numbering. It refines the power
  // and protocol of a present card; presence itself is the watcher's word.
  void ApplyStatus(const std::string& name, uint32_t cardState, uint32_t protocol,
                   std::span<const uint8_t> atr);
  void Clear();

  bool Has(const std::string& name) const;  // listed and published
  size_t PublishedCount() const;
  // Every listed reader, published or not, in slot order.
  std::vector<std::string> Names() const;
  // What to tell the remote this reader's state is: its last event state
  // without SCARD_STATE_CHANGED, or SCARD_STATE_UNAWARE before the first.
  uint32_t KnownEventState(const std::string& name) const;

  // The published array: wire::kReaderStatesBytes bytes.
  std::vector<uint8_t> Publish() const;

 private:
  struct Slot {
    std::string name;  // empty: free
    bool known = false;
    uint32_t remoteEvent = 0;
    uint32_t counter = 0;
    uint32_t cardState = 0;
    int32_t sharing = 0;
    std::vector<uint8_t> atr;
    uint32_t protocol = 0;
  };
  Slot* Find(const std::string& name);
  const Slot* Find(const std::string& name) const;

  std::array<Slot, wire::kMaxReaders> slots_;
};

}  // namespace scredir::pcscd
