// The whole road in one object: daemon double -> the built plug-in (loaded
// by the host double) -> client double -> emulated card, and back.
//
// The plug-in has its own configuration store inside the library, so the
// road configures it through files: the first Road of a process makes a
// private directory, points HOME and TMPDIR at it and writes the user
// configuration with the daemon socket path and the log file. CTest runs
// every test in its own process, so every test gets a fresh plug-in.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "tools/card_model.h"
#include "tools/client_double.h"
#include "tools/daemon_double.h"
#include "tools/host_double.h"

namespace scredir::tools {

inline const std::string kReader0 = "Emulated Reader 0";  // card present
inline const std::string kReader1 = "Emulated Reader 1";  // empty

// Record field offsets of the daemon messages used by the tests.
namespace off {
inline constexpr size_t kEstScope = 0, kEstContext = 4, kEstRv = 8;
inline constexpr size_t kCtxContext = 0, kCtxRv = 4;
inline constexpr size_t kLrContext = 0, kLrGroups = 4, kLrGroupPtr = 8, kLrCch = 16, kLrMsz = 20,
                        kLrRv = 8212;
inline constexpr size_t kConContext = 0, kConReader = 4, kConShare = 132, kConPreferred = 136,
                        kConCard = 140, kConActive = 144, kConRv = 148;
inline constexpr size_t kRecContext = 0, kRecCard = 4, kRecShare = 8, kRecPreferred = 12,
                        kRecInit = 16, kRecActive = 20, kRecRv = 24;
inline constexpr size_t kDisContext = 0, kDisCard = 4, kDisDisposition = 8, kDisRv = 12;
inline constexpr size_t kBegContext = 0, kBegCard = 4, kBegRv = 8;
inline constexpr size_t kTxContext = 0, kTxCard = 4, kTxSend = 8, kTxRecv = 12, kTxSendProto = 16,
                        kTxSendPciLen = 20, kTxRecvProto = 24, kTxRecvPciLen = 28, kTxRv = 32,
                        kTxBuffer = 36;
inline constexpr size_t kCtlContext = 0, kCtlCard = 4, kCtlCode = 8, kCtlSend = 12, kCtlRecv = 16,
                        kCtlReturned = 20, kCtlRv = 24, kCtlBuffer = 28;
inline constexpr size_t kStContext = 0, kStCard = 4, kStName = 8, kStCch = 136, kStState = 140,
                        kStProtocol = 144, kStAtr = 148, kStAtrLen = 184, kStRv = 188;
inline constexpr size_t kAtContext = 0, kAtCard = 4, kAtId = 8, kAtValue = 12, kAtLen = 276,
                        kAtRv = 280;
inline constexpr size_t kGscContext = 0, kGscTimeout = 4, kGscCount = 8, kGscStates = 12,
                        kGscRv = 11276;
inline constexpr size_t kSlotSize = 176, kSlotCurrent = 128, kSlotEvent = 132, kSlotAtrLen = 136,
                        kSlotAtr = 140;
}  // namespace off

class Road {
 public:
  struct Options {
    bool daemonFirst = true;  // false: the socket appears only when the test says
  };
  Road() : Road(Options{}) {}
  explicit Road(Options options);
  ~Road();

  // Empty when the road came up; otherwise what failed.
  const std::string& error() const { return error_; }

  // Creates the daemon double (for roads built without one).
  void StartDaemon();

  // A fresh id, a frame, and the reply (whole bytes) or nothing.
  uint32_t Send(uint32_t command, const Bytes& record, std::optional<uint32_t> size = {});
  std::optional<Bytes> Call(uint32_t command, const Bytes& record,
                            std::optional<uint32_t> size = {});
  // Shortcuts that go the whole road; 0 when they did not succeed.
  uint32_t OpenContext();
  uint32_t OpenCard(uint32_t context, const std::string& reader = kReader0);
  uint32_t BeginTransaction(uint32_t context, uint32_t card);

  // The plug-in's log file as it stands.
  std::string LogText() const;
  // Waits until the log holds `text` (the plug-in writes it on its threads).
  bool AwaitLog(const std::string& text) const;

  CardModel model;
  ClientDouble client{model};
  HostDouble host{client};
  std::unique_ptr<DaemonDouble> daemon;

 private:
  std::string error_;
  uint32_t nextId_ = 0x100;
};

// A header {id, command, size} followed by `record`: what a reply must be.
Bytes Frame(uint32_t id, uint32_t command, uint32_t size, const Bytes& record);

}  // namespace scredir::tools
