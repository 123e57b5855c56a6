// libpcsclite behind the CardBackend interface; see pcsc_backend.h.
#include "tools/pcsc_backend.h"

#include <reader.h>
#include <winscard.h>

#include <algorithm>
#include <cstring>

#include "lib/base/byte_reader.h"
#include "lib/base/byte_writer.h"

namespace scredir::tools {
namespace {

// Room for the reader list of ListReaders and Status. pcsc-lite allows 16
// readers of at most 128 bytes each; this leaves space to spare.
constexpr DWORD kReaderListRoom = 4096;
// The largest response or control output pcsc-lite hands back in one call.
constexpr DWORD kMaxResponse = MAX_BUFFER_SIZE_EXTENDED;

uint32_t Result(LONG rv) {
  return static_cast<uint32_t>(rv);
}

// The library's value for a context or handle byte string, or nullopt.
std::optional<SCARDCONTEXT> ContextOf(const Bytes& bytes) {
  auto value = DecodePcscHandle(bytes);
  if (!value) return std::nullopt;
  return static_cast<SCARDCONTEXT>(*value);
}
std::optional<SCARDHANDLE> HandleOf(const CardRef& card) {
  auto value = DecodePcscHandle(card.handle);
  if (!value) return std::nullopt;
  return static_cast<SCARDHANDLE>(*value);
}

}  // namespace

std::vector<std::string> SplitMultiString(const char* data, size_t length) {
  std::vector<std::string> names;
  size_t pos = 0;
  while (pos < length && data[pos] != '\0') {
    const void* end = std::memchr(data + pos, '\0', length - pos);
    size_t len = end ? static_cast<const char*>(end) - (data + pos) : length - pos;
    names.emplace_back(data + pos, len);
    pos += len + 1;
  }
  return names;
}

Bytes EncodePcscHandle(uint64_t value) {
  base::ByteWriter writer;
  writer.WriteU64Le(value);
  return writer.Take();
}

std::optional<uint64_t> DecodePcscHandle(const Bytes& bytes) {
  base::ByteReader reader(bytes);
  uint64_t value = 0;
  if (bytes.size() != sizeof(uint64_t) || !reader.ReadU64Le(value)) return std::nullopt;
  return value;
}

uint32_t PcscBackend::EstablishContext(uint32_t scope, Bytes* context) {
  SCARDCONTEXT value = 0;
  LONG rv = SCardEstablishContext(scope, nullptr, nullptr, &value);
  context->clear();
  if (rv == SCARD_S_SUCCESS) {
    *context = EncodePcscHandle(static_cast<uint64_t>(value));
    std::lock_guard lock(mu_);
    contexts_.insert(static_cast<uint64_t>(value));
  }
  return Result(rv);
}

uint32_t PcscBackend::ReleaseContext(const Bytes& context) {
  auto value = ContextOf(context);
  if (!value) return kScardEInvalidHandle;
  LONG rv = SCardReleaseContext(*value);
  if (rv == SCARD_S_SUCCESS) {
    std::lock_guard lock(mu_);
    contexts_.erase(static_cast<uint64_t>(*value));
  }
  return Result(rv);
}

void PcscBackend::Shutdown() {
  std::set<uint64_t> contexts;
  {
    std::lock_guard lock(mu_);
    contexts = contexts_;
  }
  for (uint64_t context : contexts) SCardCancel(static_cast<SCARDCONTEXT>(context));
}

uint32_t PcscBackend::ListReaders(const Bytes& context, const std::vector<std::string>& /*groups*/,
                                  std::vector<std::string>* readers) {
  // pcsc-lite ignores reader groups, so the caller's list is not passed on.
  auto value = ContextOf(context);
  if (!value) return kScardEInvalidHandle;
  std::vector<char> buffer(kReaderListRoom);
  DWORD length = kReaderListRoom;
  LONG rv = SCardListReaders(*value, nullptr, buffer.data(), &length);
  readers->clear();
  if (rv == SCARD_S_SUCCESS)
    *readers = SplitMultiString(buffer.data(), std::min<DWORD>(length, kReaderListRoom));
  return Result(rv);
}

uint32_t PcscBackend::GetStatusChange(const Bytes& context, uint32_t timeoutMs,
                                      std::vector<ReaderState>* states) {
  auto value = ContextOf(context);
  if (!value) return kScardEInvalidHandle;
  std::vector<SCARD_READERSTATE> slots(states->size());
  for (size_t i = 0; i < slots.size(); ++i) {
    const ReaderState& in = (*states)[i];
    SCARD_READERSTATE& slot = slots[i];
    std::memset(&slot, 0, sizeof slot);
    slot.szReader = in.reader.c_str();
    slot.dwCurrentState = in.currentState;
    slot.cbAtr = std::min<size_t>(in.atr.size(), sizeof slot.rgbAtr);
    std::copy_n(in.atr.begin(), slot.cbAtr, slot.rgbAtr);
  }
  LONG rv = SCardGetStatusChange(*value, timeoutMs, slots.data(), slots.size());
  for (size_t i = 0; i < slots.size(); ++i) {
    ReaderState& out = (*states)[i];
    const SCARD_READERSTATE& slot = slots[i];
    out.eventState = static_cast<uint32_t>(slot.dwEventState);
    DWORD atrLength = std::min<DWORD>(slot.cbAtr, sizeof slot.rgbAtr);
    out.atr.assign(slot.rgbAtr, slot.rgbAtr + atrLength);
  }
  return Result(rv);
}

uint32_t PcscBackend::Connect(const Bytes& context, const std::string& reader, uint32_t shareMode,
                              uint32_t preferredProtocols, Bytes* handle,
                              uint32_t* activeProtocol) {
  auto value = ContextOf(context);
  if (!value) return kScardEInvalidHandle;
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  LONG rv = SCardConnect(*value, reader.c_str(), shareMode, preferredProtocols, &card, &protocol);
  handle->clear();
  if (rv == SCARD_S_SUCCESS) {
    *handle = EncodePcscHandle(static_cast<uint64_t>(card));
    *activeProtocol = static_cast<uint32_t>(protocol);
  }
  return Result(rv);
}

uint32_t PcscBackend::Reconnect(const CardRef& card, uint32_t shareMode,
                                uint32_t preferredProtocols, uint32_t initialization,
                                uint32_t* activeProtocol) {
  auto handle = HandleOf(card);
  if (!handle) return kScardEInvalidHandle;
  DWORD protocol = 0;
  LONG rv = SCardReconnect(*handle, shareMode, preferredProtocols, initialization, &protocol);
  *activeProtocol = static_cast<uint32_t>(protocol);
  return Result(rv);
}

uint32_t PcscBackend::Disconnect(const CardRef& card, uint32_t disposition) {
  auto handle = HandleOf(card);
  if (!handle) return kScardEInvalidHandle;
  return Result(SCardDisconnect(*handle, disposition));
}

uint32_t PcscBackend::BeginTransaction(const CardRef& card) {
  auto handle = HandleOf(card);
  if (!handle) return kScardEInvalidHandle;
  return Result(SCardBeginTransaction(*handle));
}

uint32_t PcscBackend::EndTransaction(const CardRef& card, uint32_t disposition) {
  auto handle = HandleOf(card);
  if (!handle) return kScardEInvalidHandle;
  return Result(SCardEndTransaction(*handle, disposition));
}

uint32_t PcscBackend::Transmit(const CardRef& card, uint32_t sendProtocol, const Bytes& command,
                               uint32_t recvLength, Bytes* response,
                               std::optional<uint32_t>* recvProtocol) {
  auto handle = HandleOf(card);
  if (!handle) return kScardEInvalidHandle;
  SCARD_IO_REQUEST sendPci{sendProtocol, sizeof(SCARD_IO_REQUEST)};
  SCARD_IO_REQUEST recvPci{0, sizeof(SCARD_IO_REQUEST)};
  std::vector<BYTE> buffer(std::min<DWORD>(recvLength, kMaxResponse));
  DWORD length = buffer.size();
  LONG rv = SCardTransmit(*handle, &sendPci, command.data(), command.size(), &recvPci,
                          buffer.data(), &length);
  response->clear();
  recvProtocol->reset();
  if (rv == SCARD_S_SUCCESS) {
    response->assign(buffer.begin(), buffer.begin() + std::min<DWORD>(length, buffer.size()));
    *recvProtocol = static_cast<uint32_t>(recvPci.dwProtocol);
  }
  return Result(rv);
}

uint32_t PcscBackend::Control(const CardRef& card, uint32_t controlCode, const Bytes& input,
                              uint32_t outputSize, Bytes* output) {
  auto handle = HandleOf(card);
  if (!handle) return kScardEInvalidHandle;
  std::vector<BYTE> buffer(std::min<DWORD>(outputSize, kMaxResponse));
  DWORD returned = 0;
  LONG rv = SCardControl(*handle, controlCode, input.data(), input.size(), buffer.data(),
                         buffer.size(), &returned);
  output->clear();
  if (rv == SCARD_S_SUCCESS)
    output->assign(buffer.begin(), buffer.begin() + std::min<DWORD>(returned, buffer.size()));
  return Result(rv);
}

uint32_t PcscBackend::Status(const CardRef& card, std::vector<std::string>* readerNames,
                             uint32_t* state, uint32_t* protocol, Bytes* atr) {
  auto handle = HandleOf(card);
  if (!handle) return kScardEInvalidHandle;
  std::vector<char> names(kReaderListRoom);
  DWORD namesLength = kReaderListRoom;
  DWORD cardState = 0, cardProtocol = 0;
  BYTE atrBytes[MAX_ATR_SIZE] = {};
  DWORD atrLength = sizeof atrBytes;
  LONG rv = SCardStatus(*handle, names.data(), &namesLength, &cardState, &cardProtocol, atrBytes,
                        &atrLength);
  readerNames->clear();
  atr->clear();
  *state = static_cast<uint32_t>(cardState);
  *protocol = static_cast<uint32_t>(cardProtocol);
  if (rv == SCARD_S_SUCCESS) {
    *readerNames = SplitMultiString(names.data(), std::min<DWORD>(namesLength, kReaderListRoom));
    atr->assign(atrBytes, atrBytes + std::min<DWORD>(atrLength, sizeof atrBytes));
  }
  return Result(rv);
}

uint32_t PcscBackend::Cancel(const Bytes& context) {
  auto value = ContextOf(context);
  if (!value) return kScardEInvalidHandle;
  return Result(SCardCancel(*value));
}

uint32_t PcscBackend::GetAttrib(const CardRef& card, uint32_t attrId, uint32_t bufferLength,
                                Bytes* value) {
  auto handle = HandleOf(card);
  if (!handle) return kScardEInvalidHandle;
  value->clear();
  // Fetch the whole value into room for the largest attribute pcsc-lite
  // carries, whatever room the caller has (a length-only query is not
  // answered for every attribute). Like the emulated card, the value stays
  // filled in when it is too large, so the caller can report the length.
  std::vector<BYTE> buffer(MAX_BUFFER_SIZE);
  DWORD length = buffer.size();
  LONG rv = SCardGetAttrib(*handle, attrId, buffer.data(), &length);
  if (rv != SCARD_S_SUCCESS) return Result(rv);
  value->assign(buffer.begin(), buffer.begin() + std::min<size_t>(length, buffer.size()));
  if (bufferLength != 0 && value->size() > bufferLength) return kScardEInsufficientBuffer;
  return kScardSuccess;
}

uint32_t PcscBackend::SetAttrib(const CardRef& card, uint32_t attrId, const Bytes& value) {
  auto handle = HandleOf(card);
  if (!handle) return kScardEInvalidHandle;
  return Result(SCardSetAttrib(*handle, attrId, value.data(), value.size()));
}

}  // namespace scredir::tools
