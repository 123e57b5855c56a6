// The client double's request handling: RDPDR framing read with the shared
// bounds-checked reader, call records decoded and return records encoded
// with the codec (its "other" direction from the plug-in's point of view).
#include "tools/client_double.h"

#include <glib.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>

#include "lib/base/byte_reader.h"
#include "lib/base/byte_writer.h"
#include "scredir/rpc/encode_bytes.h"
#include "scredir/rpc/records.h"

namespace scredir::tools {
namespace {

constexpr uint16_t kCtypCore = 0x4472;
constexpr uint16_t kCtypPrn = 0x5052;
constexpr uint16_t kPakidIoRequest = 0x4952;
constexpr uint16_t kPakidIoCompletion = 0x4943;
constexpr uint16_t kPakidServerCapability = 0x5350;
constexpr uint16_t kPakidClientCapability = 0x4350;
constexpr uint32_t kIrpMjDeviceControl = 14;
constexpr uint32_t kStatusInvalidParameter = 0xC000000D;
constexpr uint32_t kStatusNotSupported = 0xC00000BB;
constexpr auto kWaitBound = std::chrono::seconds(60);

// A call record decoded from the request's input; released on scope exit
// while its handle is still open, as the codec requires.
template <typename Rec>
class Decoded {
 public:
  using Fn = void (*)(ScRedirRpc_Handle*, Rec*);
  Decoded(const Bytes& input, Fn decode, Fn release) : release_(release) {
    if (MesDecodeBufferHandleCreate(input.data(), static_cast<uint32_t>(input.size()), &handle_) !=
        0) {
      handle_ = nullptr;
      return;
    }
    decode(handle_, &rec);
    ok_ = ScRedirRpc_ErrorCode() == RPC_S_OK;
  }
  ~Decoded() {
    if (!handle_) return;
    if (ok_) release_(handle_, &rec);
    MesHandleFree(handle_);
  }
  Decoded(const Decoded&) = delete;
  Decoded& operator=(const Decoded&) = delete;
  bool ok() const { return ok_; }
  Rec rec{};

 private:
  Fn release_;
  ScRedirRpc_Handle* handle_ = nullptr;
  bool ok_ = false;
};

template <typename Rec>
std::optional<Bytes> Encode(void (*encode)(ScRedirRpc_Handle*, Rec*), Rec* rec) {
  return ScRedirRpc_EncodeToBytes(encode, rec);
}

uint8_t* Ptr(Bytes& b) {
  return b.empty() ? nullptr : b.data();
}

Bytes Copy(const uint8_t* p, uint32_t n) {
  return p ? Bytes(p, p + n) : Bytes{};
}

Bytes ContextOf(const REDIR_SCARDCONTEXT& c) {
  return Copy(c.pbContext, c.cbContext);
}

CardRef CardOf(const REDIR_SCARDHANDLE& h) {
  return CardRef{ContextOf(h.Context), Copy(h.pbHandle, h.cbHandle)};
}

// A decoded NDR string; the plug-in always sends the terminating unit.
std::string FromUtf16(const uint16_t* units) {
  if (!units) return {};
  glong n = 0;
  while (units[n] != 0) ++n;
  gchar* text =
      g_utf16_to_utf8(reinterpret_cast<const gunichar2*>(units), n, nullptr, nullptr, nullptr);
  std::string out = text ? text : "";
  g_free(text);
  return out;
}

// A UTF-16LE multi-string of cBytes bytes, split into names.
std::vector<std::string> SplitMulti(const uint8_t* bytes, uint32_t cBytes) {
  std::vector<std::string> names;
  std::vector<uint16_t> units;
  for (uint32_t i = 0; bytes && i + 1 < cBytes; i += 2) {
    uint16_t u = static_cast<uint16_t>(bytes[i] | (bytes[i + 1] << 8));
    if (u != 0) {
      units.push_back(u);
      continue;
    }
    if (units.empty()) break;
    units.push_back(0);
    names.push_back(FromUtf16(units.data()));
    units.clear();
  }
  return names;
}

// Names as a UTF-16LE multi-string: each name and its NUL, then one more NUL.
Bytes JoinMulti(const std::vector<std::string>& names) {
  base::ByteWriter w;
  for (const std::string& name : names) {
    glong n = 0;
    gunichar2* units = g_utf8_to_utf16(name.c_str(), -1, nullptr, &n, nullptr);
    for (glong i = 0; units && i < n; ++i) w.WriteU16Le(units[i]);
    g_free(units);
    w.WriteU16Le(0);
  }
  if (names.empty()) w.WriteU16Le(0);
  w.WriteU16Le(0);
  return w.Take();
}

std::optional<Bytes> LongReturn(uint32_t rv) {
  Long_Return ret{static_cast<int32_t>(rv)};
  return Encode(Long_Return_Encode, &ret);
}

Bytes Completion(uint32_t completionId, uint32_t ioStatus, const Bytes& output) {
  base::ByteWriter w(20 + output.size());
  w.WriteU16Le(kCtypCore);
  w.WriteU16Le(kPakidIoCompletion);
  w.WriteU32Le(0);  // DeviceId
  w.WriteU32Le(completionId);
  w.WriteU32Le(ioStatus);
  w.WriteU32Le(static_cast<uint32_t>(output.size()));
  w.WriteBytes(output);
  return w.Take();
}

void PatchU16(Bytes& b, size_t offset, uint16_t v) {
  b[offset] = static_cast<uint8_t>(v);
  b[offset + 1] = static_cast<uint8_t>(v >> 8);
}

void PatchU32(Bytes& b, size_t offset, uint32_t v) {
  for (size_t i = 0; i < 4; ++i) b[offset + i] = static_cast<uint8_t>(v >> (8 * i));
}

// Applies a fault to a finished completion; false means send nothing.
bool Spoil(const Fault& fault, uint32_t completionId, Bytes* packet) {
  Bytes output(packet->begin() + 20, packet->end());
  switch (fault.kind) {
    case FaultKind::kIoStatus:
      *packet = Completion(completionId, fault.value ? fault.value : 0xC0000001, {});
      return true;
    case FaultKind::kIoStatusShort:
      *packet = Completion(completionId, fault.value ? fault.value : 0xC0000001, {});
      packet->resize(16);
      return true;
    case FaultKind::kUnknownId:
      PatchU32(*packet, 8, fault.value);
      return true;
    case FaultKind::kBadComponent:
      PatchU16(*packet, 0, kCtypPrn);
      return true;
    case FaultKind::kBadPacketId:
      PatchU16(*packet, 2, kPakidIoRequest);
      return true;
    case FaultKind::kShortPacket:
      packet->resize(12);
      return true;
    case FaultKind::kOverlongLength:
      PatchU32(*packet, 16, static_cast<uint32_t>(output.size()) + std::max(fault.value, 1u));
      return true;
    case FaultKind::kUndecodable: {
      // Version 2 in the common header: refused before any field is read.
      Bytes bad = {0x02, 0x10, 0x08, 0x00, 0xCC, 0xCC, 0xCC, 0xCC,
                   0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
      *packet = Completion(completionId, 0, bad);
      return true;
    }
    case FaultKind::kTruncatedOutput: {
      if (output.size() < 16) return true;
      size_t body = output.size() - 16;
      size_t cut = std::min<size_t>(body, fault.value ? fault.value : 8);
      output.resize(output.size() - cut);
      PatchU32(output, 8, static_cast<uint32_t>(body - cut));
      *packet = Completion(completionId, 0, output);
      return true;
    }
    case FaultKind::kDrop:
      return false;
  }
  return true;
}

// Runs `answer` on the decoded call; nothing when the call does not decode
// or the return does not encode.
template <typename Call, typename Answer>
std::optional<Bytes> WithCall(const SeenRequest& request, void (*decode)(ScRedirRpc_Handle*, Call*),
                              void (*release)(ScRedirRpc_Handle*, Call*), Answer answer) {
  Decoded<Call> call(request.input, decode, release);
  if (!call.ok()) return std::nullopt;
  return answer(call.rec);
}

std::optional<Bytes> AnswerEstablishContext(CardBackend& backend, const SeenRequest& request) {
  return WithCall(request, EstablishContext_Call_Decode, EstablishContext_Call_Free,
                  [&](const EstablishContext_Call& call) {
                    Bytes context;
                    uint32_t rv = backend.EstablishContext(call.dwScope, &context);
                    if (rv != kScardSuccess) context.clear();
                    EstablishContext_Return ret{
                        static_cast<int32_t>(rv),
                        {static_cast<uint32_t>(context.size()), Ptr(context)}};
                    return Encode(EstablishContext_Return_Encode, &ret);
                  });
}

// ReleaseContext and Cancel: a context in, a result out.
std::optional<Bytes> AnswerContextCall(CardBackend& backend, const SeenRequest& request) {
  return WithCall(request, Context_Call_Decode, Context_Call_Free, [&](const Context_Call& call) {
    Bytes context = ContextOf(call.Context);
    return LongReturn(request.ioControlCode == kIoctlCancel ? backend.Cancel(context)
                                                            : backend.ReleaseContext(context));
  });
}

std::optional<Bytes> AnswerListReaders(CardBackend& backend, const SeenRequest& request) {
  return WithCall(request, ListReaders_Call_Decode, ListReaders_Call_Free,
                  [&](const ListReaders_Call& call) {
                    std::vector<std::string> readers;
                    uint32_t rv = backend.ListReaders(
                        ContextOf(call.Context), SplitMulti(call.mszGroups, call.cBytes), &readers);
                    Bytes msz = rv == kScardSuccess ? JoinMulti(readers) : Bytes{};
                    ListReaders_Return ret{static_cast<int32_t>(rv),
                                           static_cast<uint32_t>(msz.size()), Ptr(msz)};
                    return Encode(ListReaders_Return_Encode, &ret);
                  });
}

std::vector<ReaderState> StatesOf(const GetStatusChangeW_Call& call) {
  std::vector<ReaderState> states;
  for (uint32_t i = 0; call.rgReaderStates && i < call.cReaders; ++i) {
    const ReaderStateW& s = call.rgReaderStates[i];
    uint32_t cbAtr = std::min(s.Common.cbAtr, kReaderStateAtrSize);
    states.push_back(ReaderState{FromUtf16(s.szReader), s.Common.dwCurrentState,
                                 s.Common.dwEventState,
                                 Bytes(s.Common.rgbAtr, s.Common.rgbAtr + cbAtr)});
  }
  return states;
}

// The states travel back whatever the result: a time-out still reports them.
std::optional<Bytes> AnswerGetStatusChange(CardBackend& backend, const SeenRequest& request) {
  return WithCall(
      request, GetStatusChangeW_Call_Decode, GetStatusChangeW_Call_Free,
      [&](const GetStatusChangeW_Call& call) {
        std::vector<ReaderState> states = StatesOf(call);
        uint32_t rv = backend.GetStatusChange(ContextOf(call.Context), call.dwTimeOut, &states);
        std::vector<ReaderState_Return> slots(states.size());
        for (size_t i = 0; i < states.size(); ++i) {
          slots[i].dwCurrentState = states[i].currentState;
          slots[i].dwEventState = states[i].eventState;
          size_t n = std::min<size_t>(states[i].atr.size(), kReaderStateAtrSize);
          slots[i].cbAtr = static_cast<uint32_t>(n);
          std::copy_n(states[i].atr.begin(), n, slots[i].rgbAtr);
        }
        GetStatusChange_Return ret{static_cast<int32_t>(rv), static_cast<uint32_t>(slots.size()),
                                   slots.empty() ? nullptr : slots.data()};
        return Encode(GetStatusChange_Return_Encode, &ret);
      });
}

std::optional<Bytes> AnswerConnect(CardBackend& backend, const SeenRequest& request) {
  return WithCall(
      request, ConnectW_Call_Decode, ConnectW_Call_Free, [&](const ConnectW_Call& call) {
        Bytes context = ContextOf(call.Common.Context);
        Bytes handle;
        uint32_t protocol = 0;
        uint32_t rv = backend.Connect(context, FromUtf16(call.szReader), call.Common.dwShareMode,
                                      call.Common.dwPreferredProtocols, &handle, &protocol);
        if (rv != kScardSuccess) {
          context.clear();
          handle.clear();
          protocol = 0;
        }
        Connect_Return ret{static_cast<int32_t>(rv),
                           {{static_cast<uint32_t>(context.size()), Ptr(context)},
                            static_cast<uint32_t>(handle.size()),
                            Ptr(handle)},
                           protocol};
        return Encode(Connect_Return_Encode, &ret);
      });
}

std::optional<Bytes> AnswerReconnect(CardBackend& backend, const SeenRequest& request) {
  return WithCall(
      request, Reconnect_Call_Decode, Reconnect_Call_Free, [&](const Reconnect_Call& call) {
        uint32_t protocol = 0;
        uint32_t rv =
            backend.Reconnect(CardOf(call.hCard), call.dwShareMode, call.dwPreferredProtocols,
                              call.dwInitialization, &protocol);
        Reconnect_Return ret{static_cast<int32_t>(rv), rv == kScardSuccess ? protocol : 0};
        return Encode(Reconnect_Return_Encode, &ret);
      });
}

// Disconnect, BeginTransaction and EndTransaction: a card and a disposition.
std::optional<Bytes> AnswerCardCall(CardBackend& backend, const SeenRequest& request) {
  return WithCall(request, HCardAndDisposition_Call_Decode, HCardAndDisposition_Call_Free,
                  [&](const HCardAndDisposition_Call& call) {
                    CardRef card = CardOf(call.hCard);
                    switch (request.ioControlCode) {
                      case kIoctlDisconnect:
                        return LongReturn(backend.Disconnect(card, call.dwDisposition));
                      case kIoctlBeginTransaction:
                        return LongReturn(backend.BeginTransaction(card));
                      default:
                        return LongReturn(backend.EndTransaction(card, call.dwDisposition));
                    }
                  });
}

std::optional<Bytes> AnswerStatus(CardBackend& backend, const SeenRequest& request) {
  return WithCall(request, Status_Call_Decode, Status_Call_Free, [&](const Status_Call& call) {
    std::vector<std::string> names;
    uint32_t state = 0, protocol = 0;
    Bytes atr;
    uint32_t rv = backend.Status(CardOf(call.hCard), &names, &state, &protocol, &atr);
    // The state and ATR travel with an error too; the names only on success.
    Bytes msz = (rv == kScardSuccess && !call.fmszReaderNamesIsNULL) ? JoinMulti(names) : Bytes{};
    Status_Return ret{};
    ret.ReturnCode = static_cast<int32_t>(rv);
    ret.cBytes = static_cast<uint32_t>(msz.size());
    ret.mszReaderNames = Ptr(msz);
    ret.dwState = state;
    ret.dwProtocol = protocol;
    ret.cbAtrLen = static_cast<uint32_t>(std::min<size_t>(atr.size(), kStatusAtrSize));
    std::copy_n(atr.begin(), ret.cbAtrLen, ret.pbAtr);
    return Encode(Status_Return_Encode, &ret);
  });
}

std::optional<Bytes> AnswerTransmit(CardBackend& backend, const SeenRequest& request) {
  return WithCall(request, Transmit_Call_Decode, Transmit_Call_Free,
                  [&](const Transmit_Call& call) {
                    Bytes response;
                    std::optional<uint32_t> recvProtocol;
                    uint32_t rv = backend.Transmit(CardOf(call.hCard), call.ioSendPci.dwProtocol,
                                                   Copy(call.pbSendBuffer, call.cbSendLength),
                                                   call.cbRecvLength, &response, &recvProtocol);
                    if (rv != kScardSuccess) response.clear();
                    SCardIO_Request pci{recvProtocol.value_or(0), 0, nullptr};
                    Transmit_Return ret{rv, recvProtocol ? &pci : nullptr,
                                        static_cast<uint32_t>(response.size()), Ptr(response)};
                    return Encode(Transmit_Return_Encode, &ret);
                  });
}

std::optional<Bytes> AnswerControl(CardBackend& backend, const SeenRequest& request) {
  return WithCall(request, Control_Call_Decode, Control_Call_Free, [&](const Control_Call& call) {
    Bytes output;
    uint32_t rv =
        backend.Control(CardOf(call.hCard), call.dwControlCode,
                        Copy(call.pvInBuffer, call.cbInBufferSize), call.cbOutBufferSize, &output);
    if (rv != kScardSuccess) output.clear();
    Control_Return ret{static_cast<int32_t>(rv), static_cast<uint32_t>(output.size()), Ptr(output)};
    return Encode(Control_Return_Encode, &ret);
  });
}

// A zero buffer length (or a null buffer flag) asks for the length only; an
// insufficient buffer still reports the length needed.
std::optional<Bytes> AnswerGetAttrib(CardBackend& backend, const SeenRequest& request) {
  return WithCall(request, GetAttrib_Call_Decode, GetAttrib_Call_Free,
                  [&](const GetAttrib_Call& call) {
                    bool lengthOnly = call.fpbAttrIsNULL != 0 || call.cbAttrLen == 0;
                    Bytes value;
                    uint32_t rv = backend.GetAttrib(CardOf(call.hCard), call.dwAttrId,
                                                    lengthOnly ? 0 : call.cbAttrLen, &value);
                    uint32_t length = static_cast<uint32_t>(value.size());
                    if (rv != kScardSuccess && rv != kScardEInsufficientBuffer) length = 0;
                    if (rv != kScardSuccess || lengthOnly) value.clear();
                    GetAttrib_Return ret{static_cast<int32_t>(rv), length, Ptr(value)};
                    return Encode(GetAttrib_Return_Encode, &ret);
                  });
}

std::optional<Bytes> AnswerSetAttrib(CardBackend& backend, const SeenRequest& request) {
  return WithCall(request, SetAttrib_Call_Decode, SetAttrib_Call_Free,
                  [&](const SetAttrib_Call& call) {
                    return LongReturn(backend.SetAttrib(CardOf(call.hCard), call.dwAttrId,
                                                        Copy(call.pbAttr, call.cbAttrLen)));
                  });
}

using Handler = std::optional<Bytes> (*)(CardBackend&, const SeenRequest&);

Handler HandlerFor(uint32_t ioctl) {
  switch (ioctl) {
    case kIoctlEstablishContext:
      return AnswerEstablishContext;
    case kIoctlReleaseContext:
    case kIoctlCancel:
      return AnswerContextCall;
    case kIoctlListReadersW:
      return AnswerListReaders;
    case kIoctlGetStatusChangeW:
      return AnswerGetStatusChange;
    case kIoctlConnectW:
      return AnswerConnect;
    case kIoctlReconnect:
      return AnswerReconnect;
    case kIoctlDisconnect:
    case kIoctlBeginTransaction:
    case kIoctlEndTransaction:
      return AnswerCardCall;
    case kIoctlStatusW:
      return AnswerStatus;
    case kIoctlTransmit:
      return AnswerTransmit;
    case kIoctlControl:
      return AnswerControl;
    case kIoctlGetAttrib:
      return AnswerGetAttrib;
    case kIoctlSetAttrib:
      return AnswerSetAttrib;
    default:
      return nullptr;
  }
}

}  // namespace

ClientDouble::ClientDouble(CardBackend& backend) : backend_(backend) {
  worker_ = std::thread([this] { Work(); });
}

ClientDouble::~ClientDouble() {
  Stop();
}

void ClientDouble::Attach(Sink toServer) {
  std::lock_guard lock(mu_);
  sink_ = std::move(toServer);
}

void ClientDouble::OnServerPacket(const Bytes& packet) {
  std::lock_guard lock(mu_);
  inbox_.push_back(packet);
  cv_.notify_all();
}

void ClientDouble::InjectFault(const Fault& fault) {
  std::lock_guard lock(mu_);
  faults_.push_back(fault);
}

void ClientDouble::HoldCompletions(bool hold) {
  std::lock_guard lock(mu_);
  hold_ = hold;
}

bool ClientDouble::AwaitHeld(size_t count) {
  std::unique_lock lock(mu_);
  return cv_.wait_for(lock, kWaitBound, [&] { return held_.size() >= count; });
}

void ClientDouble::ReleaseHeld(bool reverse) {
  std::vector<Bytes> out;
  {
    std::lock_guard lock(mu_);
    out.swap(held_);
  }
  if (reverse) std::reverse(out.begin(), out.end());
  for (const Bytes& packet : out) Emit(packet);
}

void ClientDouble::SetCapabilityWithPrinterSet(bool on) {
  std::lock_guard lock(mu_);
  printerSet_ = on;
}

bool ClientDouble::AwaitAnnounce() {
  std::unique_lock lock(mu_);
  return cv_.wait_for(lock, kWaitBound, [&] { return !announce_.empty(); });
}

Bytes ClientDouble::announce() const {
  std::lock_guard lock(mu_);
  return announce_;
}

bool ClientDouble::AwaitRequests(size_t count) {
  std::unique_lock lock(mu_);
  return cv_.wait_for(lock, kWaitBound, [&] { return seen_.size() >= count; });
}

std::vector<SeenRequest> ClientDouble::requests() const {
  std::lock_guard lock(mu_);
  return seen_;
}

size_t ClientDouble::protocolErrors() const {
  std::lock_guard lock(mu_);
  return protocolErrors_;
}

size_t ClientDouble::completionsSent() const {
  std::lock_guard lock(mu_);
  return completionsSent_;
}

void ClientDouble::Stop() {
  {
    std::lock_guard lock(mu_);
    if (stopping_ && !worker_.joinable()) return;
    stopping_ = true;
    cv_.notify_all();
  }
  if (worker_.joinable()) worker_.join();
  std::vector<std::thread> waiters;
  {
    std::lock_guard lock(mu_);
    waiters.swap(waiters_);
  }
  for (std::thread& t : waiters) t.join();
}

void ClientDouble::Emit(const Bytes& packet) {
  Sink sink;
  {
    std::lock_guard lock(mu_);
    sink = sink_;
    ++completionsSent_;
  }
  if (sink) sink(packet);
}

void ClientDouble::Work() {
  for (;;) {
    Bytes packet;
    {
      std::unique_lock lock(mu_);
      cv_.wait(lock, [&] { return stopping_ || !inbox_.empty(); });
      if (inbox_.empty()) return;
      packet = std::move(inbox_.front());
      inbox_.pop_front();
    }
    base::ByteReader r(packet);
    uint16_t component = 0, packetId = 0;
    bool headerOk = r.ReadU16Le(component) && r.ReadU16Le(packetId) && component == kCtypCore;
    if (headerOk && packetId == kPakidServerCapability) {
      {
        std::lock_guard lock(mu_);
        announce_ = packet;
        cv_.notify_all();
      }
      SendCapability();
      continue;
    }
    SeenRequest request;
    uint32_t deviceId, fileId, major, minor, inputLength;
    bool requestOk = headerOk && packetId == kPakidIoRequest && r.ReadU32Le(deviceId) &&
                     r.ReadU32Le(fileId) && r.ReadU32Le(request.completionId) &&
                     r.ReadU32Le(major) && r.ReadU32Le(minor) &&
                     r.ReadU32Le(request.outputBufferLength) && r.ReadU32Le(inputLength) &&
                     r.ReadU32Le(request.ioControlCode) && r.Skip(20) &&
                     major == kIrpMjDeviceControl && inputLength == r.remaining();
    {
      std::lock_guard lock(mu_);
      if (!requestOk) {
        ++protocolErrors_;
        continue;
      }
      request.input.assign(r.rest().begin(), r.rest().end());
      seen_.push_back(request);
      cv_.notify_all();
      // Only a call that may block gets a thread of its own.
      if (request.ioControlCode == kIoctlGetStatusChangeW) {
        waiters_.emplace_back([this, request] { HandleRequest(request); });
        continue;
      }
    }
    HandleRequest(std::move(request));
  }
}

Bytes ClientCapabilityResponse(bool printerSet) {
  base::ByteWriter w;
  w.WriteU16Le(kCtypCore);
  w.WriteU16Le(kPakidClientCapability);
  w.WriteU16Le(printerSet ? 3 : 2);  // numCapabilities
  w.WriteU16Le(0);
  if (printerSet) {
    w.WriteU16Le(2);  // CAP_PRINTER_TYPE
    w.WriteU16Le(8);
    w.WriteU32Le(1);
  }
  w.WriteU16Le(1);  // CAP_GENERAL_TYPE
  w.WriteU16Le(44);
  w.WriteU32Le(2);
  w.WriteU32Le(0x00000002);  // osType
  w.WriteU32Le(0x00000A00);  // osVersion
  w.WriteU16Le(1);           // protocolMajorVersion
  w.WriteU16Le(0x000C);      // protocolMinorVersion
  w.WriteU32Le(0x0000FFFF);  // ioCode1
  w.WriteU32Le(0);           // ioCode2
  w.WriteU32Le(0x00000007);  // extendedPDU
  w.WriteU32Le(0);           // extraFlags1
  w.WriteU32Le(0);           // extraFlags2
  w.WriteU32Le(0);           // SpecialTypeDeviceCap
  w.WriteU16Le(5);           // CAP_SMARTCARD_TYPE
  w.WriteU16Le(8);
  w.WriteU32Le(1);
  return w.Take();
}

void ClientDouble::SendCapability() {
  bool printer;
  {
    std::lock_guard lock(mu_);
    printer = printerSet_;
  }
  Emit(ClientCapabilityResponse(printer));
}

bool ClientDouble::TakeFault(uint32_t ioctl, Fault* fault) {
  std::lock_guard lock(mu_);
  auto it = std::find_if(faults_.begin(), faults_.end(),
                         [&](const Fault& f) { return f.onlyIoctl == 0 || f.onlyIoctl == ioctl; });
  if (it == faults_.end()) return false;
  *fault = *it;
  faults_.erase(it);
  return true;
}

void ClientDouble::HandleRequest(SeenRequest request) {
  uint32_t ioStatus = 0;
  Bytes output = Dispatch(request, &ioStatus);
  Bytes packet = Completion(request.completionId, ioStatus, output);
  Fault fault;
  if (TakeFault(request.ioControlCode, &fault) && !Spoil(fault, request.completionId, &packet)) {
    return;
  }
  Deliver(std::move(packet));
}

void ClientDouble::Deliver(Bytes completion) {
  {
    std::lock_guard lock(mu_);
    if (hold_) {
      held_.push_back(std::move(completion));
      cv_.notify_all();
      return;
    }
  }
  Emit(completion);
}

// Decodes the call, asks the backend, encodes the return. A call that does
// not decode is answered with STATUS_INVALID_PARAMETER and counted.
Bytes ClientDouble::Dispatch(const SeenRequest& request, uint32_t* ioStatus) {
  Handler handler = HandlerFor(request.ioControlCode);
  if (!handler) {
    *ioStatus = kStatusNotSupported;
    return {};
  }
  std::optional<Bytes> out = handler(backend_, request);
  if (!out) {
    std::lock_guard lock(mu_);
    ++protocolErrors_;
    *ioStatus = kStatusInvalidParameter;
    return {};
  }
  return *out;
}

}  // namespace scredir::tools
