// ClientDouble: the remote client's end of the smart-card channel.
//
// It receives every packet the plug-in sends (through the host double),
// answers the agent announce with a client core capability response, and
// turns each device-control request into a call on a CardBackend: it
// decodes the call record with the codec's decode direction, calls the
// backend, encodes the return record and answers with a device I/O
// completion whose CompletionId is the request's.
//
// Tests can make it misbehave on purpose: a queue of faults applies to the
// next requests (non-zero IoStatus, malformed or truncated completions,
// output that does not decode, unknown completion ids, no answer), and
// completions can be held back and released in any order.
//
// Threads: OnServerPacket may be called from any thread; it only queues.
// One worker answers requests in arrival order; a GetStatusChange runs on a
// thread of its own so a long wait never holds back later answers.
// Completions leave through the sink given to Attach, from those threads or
// from ReleaseHeld's caller. Stop() joins everything; the backend must end
// its waits first (CardModel::Shutdown).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/card_backend.h"

namespace scredir::tools {

// IOCTL codes of the smart-card calls.
enum ScardIoctl : uint32_t {
  kIoctlEstablishContext = 0x00090014,
  kIoctlReleaseContext = 0x00090018,
  kIoctlListReadersW = 0x0009002C,
  kIoctlGetStatusChangeW = 0x000900A4,
  kIoctlCancel = 0x000900A8,
  kIoctlConnectW = 0x000900B0,
  kIoctlReconnect = 0x000900B4,
  kIoctlDisconnect = 0x000900B8,
  kIoctlBeginTransaction = 0x000900BC,
  kIoctlEndTransaction = 0x000900C0,
  kIoctlStatusW = 0x000900CC,
  kIoctlTransmit = 0x000900D0,
  kIoctlControl = 0x000900D4,
  kIoctlGetAttrib = 0x000900D8,
  kIoctlSetAttrib = 0x000900DC,
};

// Ways to spoil the answer to one request.
enum class FaultKind {
  kIoStatus,         // IoStatus = value, no output
  kIoStatusShort,    // the same in 16 bytes: no OutputBufferLength field
  kUnknownId,        // CompletionId replaced by value
  kBadComponent,     // Component 0x5052
  kBadPacketId,      // PacketId 0x4952
  kShortPacket,      // only the first 12 bytes of the completion
  kOverlongLength,   // OutputBufferLength claims value more bytes than sent
  kUndecodable,      // output replaced by bytes whose headers are refused
  kTruncatedOutput,  // the encoded return cut short, headers adjusted to match
  kDrop,             // no completion at all
};

struct Fault {
  FaultKind kind;
  uint32_t value = 0;
  uint32_t onlyIoctl = 0;  // 0: the next request of any kind
};

// A request as the client saw it.
struct SeenRequest {
  uint32_t completionId = 0;
  uint32_t ioControlCode = 0;
  uint32_t outputBufferLength = 0;
  Bytes input;  // the encoded call
};

// The client core capability response the double sends: a general set that
// names the client's system (Windows 10) and the smart-card set, after a
// printer set when `printerSet`.
Bytes ClientCapabilityResponse(bool printerSet);

class ClientDouble {
 public:
  using Sink = std::function<void(const Bytes& packet)>;

  explicit ClientDouble(CardBackend& backend);
  ~ClientDouble();
  ClientDouble(const ClientDouble&) = delete;
  ClientDouble& operator=(const ClientDouble&) = delete;

  // Where completions and the capability response go (the host double).
  void Attach(Sink toServer);
  // One packet from the plug-in; copied and queued.
  void OnServerPacket(const Bytes& packet);

  void InjectFault(const Fault& fault);
  // While holding, finished completions are kept instead of sent.
  void HoldCompletions(bool hold);
  // Waits until `count` completions are held.
  bool AwaitHeld(size_t count);
  // Sends every held completion, newest first when `reverse`.
  void ReleaseHeld(bool reverse);

  // Whether the capability response lists a printer set before the general
  // set (the plug-in must skip it).
  void SetCapabilityWithPrinterSet(bool on);

  // Observations.
  bool AwaitAnnounce();
  Bytes announce() const;
  // Waits until `count` device-control requests have been seen in all.
  bool AwaitRequests(size_t count);
  std::vector<SeenRequest> requests() const;
  // Packets that were neither an announce nor a well-formed request, and
  // calls whose record did not decode: both mean the plug-in sent garbage.
  size_t protocolErrors() const;
  size_t completionsSent() const;

  void Stop();

 private:
  void Work();
  void HandleRequest(SeenRequest request);
  Bytes Dispatch(const SeenRequest& request, uint32_t* ioStatus);
  void Deliver(Bytes completion);
  bool TakeFault(uint32_t ioctl, Fault* fault);
  void SendCapability();
  void Emit(const Bytes& packet);

  CardBackend& backend_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  Sink sink_;
  std::deque<Bytes> inbox_;
  std::deque<Fault> faults_;
  std::vector<Bytes> held_;
  std::vector<SeenRequest> seen_;
  std::vector<std::thread> waiters_;
  Bytes announce_;
  bool hold_ = false;
  bool printerSet_ = true;
  bool stopping_ = false;
  size_t protocolErrors_ = 0;
  size_t completionsSent_ = 0;
  std::thread worker_;
};

}  // namespace scredir::tools
