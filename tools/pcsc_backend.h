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

  uint32_t EstablishContext(uint32_t scope, Bytes* context) override;
  uint32_t ReleaseContext(const Bytes& context) override;
  uint32_t ListReaders(const Bytes& context, const std::vector<std::string>& groups,
                       std::vector<std::string>* readers) override;
  uint32_t GetStatusChange(const Bytes& context, uint32_t timeoutMs,
                           std::vector<ReaderState>* states) override;
  uint32_t Connect(const Bytes& context, const std::string& reader, uint32_t shareMode,
                   uint32_t preferredProtocols, Bytes* handle, uint32_t* activeProtocol) override;
  uint32_t Reconnect(const CardRef& card, uint32_t shareMode, uint32_t preferredProtocols,
                     uint32_t initialization, uint32_t* activeProtocol) override;
  uint32_t Disconnect(const CardRef& card, uint32_t disposition) override;
  uint32_t BeginTransaction(const CardRef& card) override;
  uint32_t EndTransaction(const CardRef& card, uint32_t disposition) override;
  uint32_t Transmit(const CardRef& card, uint32_t sendProtocol, const Bytes& command,
                    uint32_t recvLength, Bytes* response,
                    std::optional<uint32_t>* recvProtocol) override;
  uint32_t Control(const CardRef& card, uint32_t controlCode, const Bytes& input,
                   uint32_t outputSize, Bytes* output) override;
  uint32_t Status(const CardRef& card, std::vector<std::string>* readerNames, uint32_t* state,
                  uint32_t* protocol, Bytes* atr) override;
  uint32_t Cancel(const Bytes& context) override;
  uint32_t GetAttrib(const CardRef& card, uint32_t attrId, uint32_t bufferLength,
                     Bytes* value) override;
  uint32_t SetAttrib(const CardRef& card, uint32_t attrId, const Bytes& value) override;

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
