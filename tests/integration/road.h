// The whole road in one object: daemon double -> the built plug-in (loaded
// by the host double) -> client double -> emulated card, and back, standing
// on the shared harness. The plug-in reads its configuration once per
// process, so the first Road makes the process's sandbox; CTest runs every
// test in its own process, so every test gets a fresh plug-in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "tools/card_model.h"
#include "tools/harness/rig.h"

namespace scredir::tools {

inline const std::string kReader0 = "Emulated Reader 0";  // card present
inline const std::string kReader1 = "Emulated Reader 1";  // empty

// One field of a daemon record: a 32-bit value or bytes at an offset.
struct Put {
  Put(size_t offset, uint32_t v) : at(offset), value(v) {}
  Put(size_t offset, Bytes b) : at(offset), value(std::move(b)) {}
  size_t at;
  std::variant<uint32_t, Bytes> value;
};
using Puts = std::vector<Put>;
PcscdRecord& Apply(PcscdRecord& record, const Puts& puts);
PcscdRecord Record(uint32_t command, const Puts& puts);
// A name with its closing NUL.
Bytes Name(const std::string& text);

inline constexpr uint32_t kJunk = 0xA5A5A5A5;  // in "out" fields: must be overwritten
// A Transmit of GET CHALLENGE for `length` bytes over T=1, junk in the
// fields the reply fills.
Puts GetChallenge(uint32_t context, uint32_t card, uint8_t length);

class Road {
 public:
  struct Options {
    bool daemonFirst = true;  // false: the socket appears only when the test says
  };
  Road() : Road(Options{}) {}
  explicit Road(Options options);

  // Empty when the road came up; otherwise what failed.
  const std::string& error() const { return error_; }
  void StartDaemon();

  // A fresh id, a frame, and the reply (whole bytes) or nothing.
  uint32_t Send(uint32_t command, const Bytes& record, std::optional<uint32_t> size = {});
  std::optional<Bytes> Call(uint32_t command, const Bytes& record);
  // Shortcuts that go the whole road; 0 when they did not succeed.
  uint32_t OpenContext();
  uint32_t OpenCard(uint32_t context);
  uint32_t BeginTransaction(uint32_t context, uint32_t card);
  // Waits until the plug-in's log holds `text`.
  bool AwaitLog(const std::string& text) const;

  CardModel model;
  Rig rig{model, [this] { model.Shutdown(); }};
  ClientDouble& client = rig.client();
  HostDouble& host = rig.host();
  DaemonDouble& daemon() { return rig.daemon(); }

 private:
  std::string error_;
  uint32_t nextId_ = 0x100;
};

// A header {id, command, size} followed by `record`: what a reply must be.
Bytes Frame(uint32_t id, uint32_t command, uint32_t size, const Bytes& record);

}  // namespace scredir::tools
