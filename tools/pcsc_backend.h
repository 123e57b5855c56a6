// PcscBackend: the client double's answers come from a genuine PC/SC stack.
//
// Every call is handed to libpcsclite unchanged, so result codes, reader
// states, protocols, ATR and response bytes are whatever the local PC/SC
// daemon and its reader driver produce. Beyond the contexts it must cancel
// on Shutdown the backend keeps no state of its own: the context and card-handle byte strings it
// gives out are the library's SCARDCONTEXT / SCARDHANDLE values, eight bytes little-endian, and are
// turned back into those values on every call (a byte string of any other length is answered with
// SCARD_E_INVALID_HANDLE without reaching the library).
//
// Which daemon is reached is the library's business: it honours the
// PCSCLITE_CSOCK_NAME environment variable, read once by the first call of
// the process, so a caller that wants a private daemon sets it beforehand.
//
// Threads: libpcsclite serialises calls per context, so calls on different
// contexts run side by side; Cancel works while GetStatusChange waits on the
// same context (the library sends it over a connection of its own). Other
// calls on a context whose GetStatusChange is waiting queue behind it.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tools/card_backend.h"

namespace scredir::tools {

class PcscBackend final : public CardBackend {
 public:
  PcscBackend() = default;
  PcscBackend(const PcscBackend&) = delete;
  PcscBackend& operator=(const PcscBackend&) = delete;

  // Cancels the waits of every context still established through this
  // backend, so that a caller can join threads blocked in GetStatusChange.
  void Shutdown();

  SCREDIR_CARD_BACKEND_OVERRIDES;

 private:
  std::mutex mu_;
  std::set<uint64_t> contexts_;  // established and not yet released
};

// Helpers shared with the tests that compare the backend with direct calls.
// A multi-string ("a\0b\0\0") split into its names; a missing final NUL is
// tolerated, empty names end the list.
std::vector<std::string> SplitMultiString(const char* data, size_t length);
// The eight little-endian bytes that stand for a library handle value, and
// back (nullopt unless exactly eight bytes).
Bytes EncodePcscHandle(uint64_t value);
std::optional<uint64_t> DecodePcscHandle(const Bytes& bytes);

}  // namespace scredir::tools
