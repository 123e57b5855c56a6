#include "tests/integration/road.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "tools/harness/sandbox.h"

namespace scredir::tools {
namespace {

constexpr auto kBound = std::chrono::seconds(60);  // a safety net only

// SCREDIR_KEEP_ROAD keeps the plug-in's log for a look.
const Sandbox* ProcessSandbox(std::string* error) {
  static const std::unique_ptr<Sandbox> box = Sandbox::Create(
      {.socketPath = "", .debug = true, .keepLog = std::getenv("SCREDIR_KEEP_ROAD") != nullptr},
      error);
  return box.get();
}

std::string PluginPath() {
  const char* path = std::getenv("SCREDIR_PLUGIN_PATH");
  return path && *path ? path : SCREDIR_PLUGIN_PATH;
}

}  // namespace

PcscdRecord& Apply(PcscdRecord& record, const Puts& puts) {
  for (const Put& p : puts) {
    if (const auto* v = std::get_if<uint32_t>(&p.value)) record.Put32(p.at, *v);
    if (const auto* b = std::get_if<Bytes>(&p.value)) record.PutBytes(p.at, *b);
  }
  return record;
}

PcscdRecord Record(uint32_t command, const Puts& puts) {
  PcscdRecord record(command);
  return Apply(record, puts);
}

Bytes Name(const std::string& text) {
  Bytes out(text.begin(), text.end());
  out.push_back(0);
  return out;
}

Puts GetChallenge(uint32_t context, uint32_t card, uint8_t length) {
  using namespace off;
  return {{kTxContext, context},
          {kTxCard, card},
          {kTxSend, 5},
          {kTxRecv, 258},
          {kTxSendProto, kScardProtocolT1},
          {kTxSendPciLen, 8},
          {kTxRecvProto, kJunk},
          {kTxRecvPciLen, kJunk},
          {kTxRv, kJunk},
          {kTxBuffer, Bytes{0x00, 0x84, 0x00, 0x00, length}}};
}

Bytes Frame(uint32_t id, uint32_t command, uint32_t size, const Bytes& record) {
  // Sized once up front: gcc's array-bounds check misreads a grow-by-insert here.
  const uint32_t header[3] = {id, command, size};
  Bytes out(sizeof(header) + record.size());
  std::memcpy(out.data(), header, sizeof(header));
  if (!record.empty()) std::memcpy(out.data() + sizeof(header), record.data(), record.size());
  return out;
}

Road::Road(Options options) {
  model.AddReader(kReader0, true);
  model.AddReader(kReader1, false);
  if (const Sandbox* box = ProcessSandbox(&error_))
    rig.BringUp(PluginPath(), options.daemonFirst ? box->socketPath() : "", kBound, &error_);
}

void Road::StartDaemon() {
  rig.ListenOn(ProcessSandbox(&error_)->socketPath(), &error_);
}

uint32_t Road::Send(uint32_t command, const Bytes& record, std::optional<uint32_t> size) {
  uint32_t id = nextId_++;
  daemon().Send(id, command, record, size);
  return id;
}

std::optional<Bytes> Road::Call(uint32_t command, const Bytes& record) {
  return daemon().AwaitReply(Send(command, record));
}

uint32_t Road::OpenContext() {
  auto reply = Call(kPcscdEstablishContext, PcscdRecord(kPcscdEstablishContext).bytes());
  if (!reply || Get32(*reply, 12 + off::kEstRv) != 0) return 0;
  return Get32(*reply, 12 + off::kEstContext);
}

uint32_t Road::OpenCard(uint32_t context) {
  auto reply = Call(kPcscdConnect, Record(kPcscdConnect, {{off::kConContext, context},
                                                          {off::kConReader, Name(kReader0)},
                                                          {off::kConShare, 2},
                                                          {off::kConPreferred, 3}})
                                       .bytes());
  if (!reply || Get32(*reply, 12 + off::kConRv) != 0) return 0;
  return Get32(*reply, 12 + off::kConCard);
}

uint32_t Road::BeginTransaction(uint32_t context, uint32_t card) {
  auto reply = Call(
      kPcscdBeginTransaction,
      Record(kPcscdBeginTransaction, {{off::kBegContext, context}, {off::kBegCard, card}}).bytes());
  return reply ? Get32(*reply, 12 + off::kBegRv) : kScardFInternalError;
}

bool Road::AwaitLog(const std::string& text) const {
  std::string ignored;
  const Sandbox* box = ProcessSandbox(&ignored);
  return box && box->AwaitLog(text);
}

}  // namespace scredir::tools
