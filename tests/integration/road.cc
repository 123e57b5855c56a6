#include "tests/integration/road.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace scredir::tools {
namespace {

struct Sandbox {
  std::string dir;
  std::string socketPath;
  std::string logPath;
};

// One private directory per process; the plug-in's configuration store is
// built once per process from it.
const Sandbox& ProcessSandbox() {
  static const Sandbox box = [] {
    Sandbox b;
    char pattern[] = "/tmp/scredir-road-XXXXXX";
    const char* made = mkdtemp(pattern);
    b.dir = made ? made : "/tmp";
    b.socketPath = b.dir + "/pcscd.sock";
    b.logPath = b.dir + "/plugin.log";
    setenv("HOME", b.dir.c_str(), 1);
    setenv("TMPDIR", b.dir.c_str(), 1);
    std::string configDir = b.dir + "/.nimbrel";
    mkdir(configDir.c_str(), 0700);
    std::ofstream config(configDir + "/config");
    config << "QRN.ScRedir.socketPath = \"" << b.socketPath << "\"\n"
           << "QRN.ScRedir.logLevel = \"debug\"\n"
           << "QRNScRedir.log.fileName = \"" << b.logPath << "\"\n";
    // SCREDIR_KEEP_ROAD keeps the directory (and the plug-in's log) for a look.
    if (made && !std::getenv("SCREDIR_KEEP_ROAD")) {
      // A copy of its own: the handler runs after `box` is destroyed.
      static const std::string* doomed = new std::string(b.dir);
      std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(*doomed, ignored);
      });
    }
    return b;
  }();
  return box;
}

std::string PluginPath() {
  const char* path = std::getenv("SCREDIR_PLUGIN_PATH");
  return path && *path ? path : SCREDIR_PLUGIN_PATH;
}

}  // namespace

Bytes Frame(uint32_t id, uint32_t command, uint32_t size, const Bytes& record) {
  // Sized once up front: gcc's array-bounds check misreads a grow-by-insert here.
  const uint32_t header[3] = {id, command, size};
  Bytes out(sizeof(header) + record.size());
  std::memcpy(out.data(), header, sizeof(header));
  if (!record.empty()) std::memcpy(out.data() + sizeof(header), record.data(), record.size());
  return out;
}

Road::Road(Options options) {
  const Sandbox& box = ProcessSandbox();
  model.AddReader(kReader0, true);
  model.AddReader(kReader1, false);
  if (options.daemonFirst) StartDaemon();
  std::string why;
  if (!host.Load(PluginPath(), &why)) {
    error_ = "cannot load the plug-in: " + why;
    return;
  }
  if (uint32_t status = host.Start(); status != 0) {
    error_ = "QRN_Start returned " + std::to_string(status);
    return;
  }
  if (!host.OpenChannel()) {
    error_ = "the plug-in did not accept the channel";
    return;
  }
  if (!client.AwaitAnnounce()) error_ = "no agent announce";
  if (options.daemonFirst && !daemon->AwaitConnections(1)) {
    error_ = "the plug-in never connected to " + box.socketPath;
  }
}

Road::~Road() {
  // Channel first: the plug-in shuts the daemon socket down and its daemon
  // link thread ends; then the client's waits, then the plug-in itself.
  host.CloseChannel();
  if (daemon && daemon->connections() > 0) daemon->AwaitPeerClosed();
  model.Shutdown();
  client.Stop();
  host.Flush();
  if (error_.empty() || host.listenerActive()) host.Stop();
}

void Road::StartDaemon() {
  daemon = std::make_unique<DaemonDouble>(ProcessSandbox().socketPath);
}

uint32_t Road::Send(uint32_t command, const Bytes& record, std::optional<uint32_t> size) {
  uint32_t id = nextId_++;
  daemon->Send(id, command, record, size);
  return id;
}

std::optional<Bytes> Road::Call(uint32_t command, const Bytes& record,
                                std::optional<uint32_t> size) {
  return daemon->AwaitReply(Send(command, record, size));
}

uint32_t Road::OpenContext() {
  PcscdRecord rec(kPcscdEstablishContext);
  rec.Put32(off::kEstScope, 0);
  auto reply = Call(kPcscdEstablishContext, rec.bytes());
  if (!reply || Get32(*reply, 12 + off::kEstRv) != 0) return 0;
  return Get32(*reply, 12 + off::kEstContext);
}

uint32_t Road::OpenCard(uint32_t context, const std::string& reader) {
  PcscdRecord rec(kPcscdConnect);
  rec.Put32(off::kConContext, context)
      .PutString(off::kConReader, reader)
      .Put32(off::kConShare, 2)
      .Put32(off::kConPreferred, kScardProtocolT0 | kScardProtocolT1);
  auto reply = Call(kPcscdConnect, rec.bytes());
  if (!reply || Get32(*reply, 12 + off::kConRv) != 0) return 0;
  return Get32(*reply, 12 + off::kConCard);
}

uint32_t Road::BeginTransaction(uint32_t context, uint32_t card) {
  PcscdRecord rec(kPcscdBeginTransaction);
  rec.Put32(off::kBegContext, context).Put32(off::kBegCard, card);
  auto reply = Call(kPcscdBeginTransaction, rec.bytes());
  return reply ? Get32(*reply, 12 + off::kBegRv) : kScardFInternalError;
}

std::string Road::LogText() const {
  std::ifstream in(ProcessSandbox().logPath);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool Road::AwaitLog(const std::string& text) const {
  // Polls the file: the plug-in offers no other signal. The bound is only a
  // safety net; the assertion is about the text.
  for (int i = 0; i < 6000; ++i) {
    if (LogText().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace scredir::tools
