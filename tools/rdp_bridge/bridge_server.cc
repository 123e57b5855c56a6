// The RDP bridge's listener, client loop and plug-in host; see
// bridge_server.h.
#include "tools/rdp_bridge/bridge_server.h"

#include <arpa/inet.h>
#include <freerdp/channels/channels.h>
#include <freerdp/channels/wtsvc.h>
#include <freerdp/freerdp.h>
#include <freerdp/listener.h>
#include <freerdp/peer.h>
#include <freerdp/settings.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <winpr/synch.h>
#include <winpr/wtsapi.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <random>

#include "scredir/qrn_intf.h"
#include "tools/host_double.h"
#include "tools/rdp_bridge/rdpdr_server.h"

namespace scredir::bridge {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kRdpdrChannel[] = "rdpdr";
// How long one wait of the loops may last, so the deadline and a stop
// request are seen promptly.
constexpr DWORD kPollMs = 100;

class Bridge;

// The peer context FreeRDP allocates: its own part first.
struct PeerContext {
  rdpContext base;
  HANDLE vcm;
  Bridge* bridge;
};

class Bridge {
 public:
  explicit Bridge(const BridgeOptions& options)
      : options_(options),
        deadline_(Clock::now() + options.lifetime),
        host_([this](const tools::Bytes& packet) { QueueFromPlugin(packet); }),
        rdpdr_(std::random_device{}() & 0xFFFF) {
    wake_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  ~Bridge() {
    if (wake_) CloseHandle(wake_);
  }

  int Run();

 private:
  void Log(const std::string& line) {
    *options_.log << "scredir-rdp-bridge: " << line << std::endl;
  }
  bool TimeLeft() const {
    return Clock::now() < deadline_ && !(options_.stop && options_.stop->load());
  }
  bool StartPlugin();
  int Listen(uint16_t* port);
  freerdp_peer* AwaitClient(freerdp_listener* listener);
  bool SetUpPeer(freerdp_peer* peer);
  void ServeClient(freerdp_peer* peer);
  void OpenRdpdr(freerdp_peer* peer);
  void ReadClientPackets();
  void TakePluginPackets();
  void Apply(const RdpdrActions& actions);
  void QueueFromPlugin(const tools::Bytes& packet);

  static BOOL OnAccepted(freerdp_listener* listener, freerdp_peer* peer);
  static BOOL OnContextNew(freerdp_peer* peer, rdpContext* context);
  static void OnContextFree(freerdp_peer* peer, rdpContext* context);
  static BOOL OnPostConnect(freerdp_peer* peer);
  static BOOL OnActivate(freerdp_peer* peer);

  const BridgeOptions& options_;
  Clock::time_point deadline_;
  tools::HostDouble host_;
  RdpdrServer rdpdr_;
  HANDLE wake_ = nullptr;
  freerdp_peer* accepted_ = nullptr;
  HANDLE vcm_ = nullptr;
  HANDLE channel_ = nullptr;  // the client's rdpdr channel
  HANDLE channelEvent_ = nullptr;
  bool announced_ = false;
  bool pluginChannelOpen_ = false;
  size_t requests_ = 0, completions_ = 0;

  std::mutex mu_;  // guards fromPlugin_
  std::deque<tools::Bytes> fromPlugin_;
};

void Bridge::QueueFromPlugin(const tools::Bytes& packet) {
  // Called on the plug-in's thread under the host's lock: queue only. Out
  // of memory loses the packet (the plug-in's request then times out)
  // rather than throwing into the plug-in.
  try {
    std::lock_guard lock(mu_);
    fromPlugin_.push_back(packet);
    SetEvent(wake_);
  } catch (...) {
  }
}

bool Bridge::StartPlugin() {
  std::string error;
  if (!host_.Load(options_.plugin, &error)) {
    Log("cannot load the plug-in " + options_.plugin + ": " + error);
    return false;
  }
  uint32_t status = host_.Start();
  if (status != 0 || !host_.listenerActive()) {
    Log("the plug-in did not start: status " + std::to_string(status));
    return false;
  }
  Log("plug-in " + options_.plugin + " started; it listens for \"" +
      std::string(kScRedirChannelName) + "\"");
  return true;
}

int Bridge::Listen(uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(*port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 4) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    Log("cannot listen on 127.0.0.1:" + std::to_string(*port) + ": " + std::strerror(errno));
    close(fd);
    return -1;
  }
  *port = ntohs(addr.sin_port);
  return fd;
}

BOOL Bridge::OnAccepted(freerdp_listener* listener, freerdp_peer* peer) {
  auto* self = static_cast<Bridge*>(listener->info);
  if (self->accepted_) return FALSE;  // one client per run; FreeRDP drops the rest
  self->accepted_ = peer;
  return TRUE;
}

freerdp_peer* Bridge::AwaitClient(freerdp_listener* listener) {
  while (!accepted_ && TimeLeft()) {
    HANDLE handles[32];
    DWORD count = listener->GetEventHandles(listener, handles, 32);
    if (count == 0) break;
    WaitForMultipleObjects(count, handles, FALSE, kPollMs);
    if (!listener->CheckFileDescriptor(listener)) break;
  }
  return accepted_;
}

BOOL Bridge::OnContextNew(freerdp_peer* peer, rdpContext* context) {
  auto* ctx = reinterpret_cast<PeerContext*>(context);
  ctx->vcm = WTSOpenServerA(reinterpret_cast<LPSTR>(peer->context));
  return ctx->vcm != nullptr && ctx->vcm != INVALID_HANDLE_VALUE;
}

void Bridge::OnContextFree(freerdp_peer* /*peer*/, rdpContext* context) {
  auto* ctx = reinterpret_cast<PeerContext*>(context);
  if (ctx->vcm && ctx->vcm != INVALID_HANDLE_VALUE) WTSCloseServer(ctx->vcm);
  ctx->vcm = nullptr;
}

// FreeRDP calls these from C: nothing may throw out of them.
BOOL Bridge::OnPostConnect(freerdp_peer* peer) {
  try {
    reinterpret_cast<PeerContext*>(peer->context)->bridge->OpenRdpdr(peer);
    return TRUE;
  } catch (...) {
    return FALSE;
  }
}

BOOL Bridge::OnActivate(freerdp_peer* peer) {
  Bridge* self = reinterpret_cast<PeerContext*>(peer->context)->bridge;
  // The handshake starts once, at the first activation; a reactivation
  // must not restart it under the plug-in.
  if (!self->channel_ || self->announced_) return TRUE;
  try {
    self->announced_ = true;
    self->Log("client activated; sending the device-redirection announce");
    RdpdrActions announce;
    announce.toClient.push_back(self->rdpdr_.ServerAnnounce());
    self->Apply(announce);
    return TRUE;
  } catch (...) {
    return FALSE;
  }
}

void Bridge::OpenRdpdr(freerdp_peer* peer) {
  if (!WTSVirtualChannelManagerIsChannelJoined(vcm_, kRdpdrChannel)) {
    Log("the client has no \"rdpdr\" channel (was it started with /smartcard?)");
    return;
  }
  channel_ = WTSVirtualChannelOpen(vcm_, WTS_CURRENT_SESSION, const_cast<LPSTR>(kRdpdrChannel));
  if (!channel_) {
    Log("cannot open the client's \"rdpdr\" channel");
    return;
  }
  void* buffer = nullptr;
  DWORD bytes = 0;
  if (WTSVirtualChannelQuery(channel_, WTSVirtualEventHandle, &buffer, &bytes) &&
      bytes == sizeof(HANDLE)) {
    std::memcpy(&channelEvent_, buffer, sizeof(HANDLE));
  }
  WTSFreeMemory(buffer);
  Log(std::string("client connected from ") + peer->hostname + "; \"rdpdr\" channel open");
}

bool Bridge::SetUpPeer(freerdp_peer* peer) {
  peer->ContextSize = sizeof(PeerContext);
  peer->ContextNew = &Bridge::OnContextNew;
  peer->ContextFree = &Bridge::OnContextFree;
  if (!freerdp_peer_context_new(peer)) {
    Log("cannot set up the client's context");
    return false;
  }
  auto* ctx = reinterpret_cast<PeerContext*>(peer->context);
  ctx->bridge = this;
  vcm_ = ctx->vcm;
  rdpSettings* settings = peer->settings;
  bool ok =
      freerdp_settings_set_string(settings, FreeRDP_CertificateFile,
                                  options_.certificate.c_str()) &&
      freerdp_settings_set_string(settings, FreeRDP_PrivateKeyFile, options_.privateKey.c_str()) &&
      freerdp_settings_set_bool(settings, FreeRDP_RdpSecurity, FALSE) &&
      freerdp_settings_set_bool(settings, FreeRDP_TlsSecurity, TRUE) &&
      freerdp_settings_set_bool(settings, FreeRDP_NlaSecurity, FALSE) &&
      freerdp_settings_set_uint32(settings, FreeRDP_ColorDepth, 32);
  if (!ok) {
    Log("cannot apply the server settings");
    return false;
  }
  peer->PostConnect = &Bridge::OnPostConnect;
  peer->Activate = &Bridge::OnActivate;
  if (!peer->Initialize(peer)) {
    Log("the client's connection could not be initialised");
    return false;
  }
  return true;
}

void Bridge::ReadClientPackets() {
  for (;;) {
    ULONG size = 0;
    if (!WTSVirtualChannelRead(channel_, 0, nullptr, 0, &size)) return;  // nothing queued
    tools::Bytes packet(size ? size : 1);
    ULONG read = 0;
    if (!WTSVirtualChannelRead(channel_, 0, reinterpret_cast<PCHAR>(packet.data()),
                               static_cast<ULONG>(packet.size()), &read))
      return;
    packet.resize(read);
    RdpdrActions actions = rdpdr_.OnClientPacket(packet);
    if (!actions.toPlugin.empty()) completions_ += actions.toPlugin.size();
    Apply(actions);
  }
}

void Bridge::TakePluginPackets() {
  std::deque<tools::Bytes> packets;
  {
    std::lock_guard lock(mu_);
    packets.swap(fromPlugin_);
    ResetEvent(wake_);
  }
  for (const tools::Bytes& packet : packets) {
    RdpdrActions actions = rdpdr_.OnPluginPacket(packet);
    requests_ += actions.toClient.size();
    Apply(actions);
  }
}

void Bridge::Apply(const RdpdrActions& actions) {
  for (const std::string& note : actions.notes) Log("rdpdr: " + note);
  for (const Bytes& packet : actions.toClient) {
    ULONG written = 0;
    if (!channel_ || !WTSVirtualChannelWrite(
                         channel_, reinterpret_cast<PCHAR>(const_cast<uint8_t*>(packet.data())),
                         static_cast<ULONG>(packet.size()), &written))
      Log("a packet of " + std::to_string(packet.size()) + " bytes could not be sent");
  }
  for (const Bytes& packet : actions.toPlugin) host_.DeliverToPlugin(packet);
  if (actions.channelReady && !pluginChannelOpen_) {
    pluginChannelOpen_ = host_.OpenChannel(kScRedirChannelName);
    Log(pluginChannelOpen_
            ? std::string("offered \"") + kScRedirChannelName + "\" to the plug-in; it accepted"
            : std::string("the plug-in refused \"") + kScRedirChannelName + "\"");
  }
  if (actions.deviceRemoved && pluginChannelOpen_) {
    host_.CloseChannel();
    pluginChannelOpen_ = false;
  }
}

void Bridge::ServeClient(freerdp_peer* peer) {
  while (TimeLeft()) {
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    DWORD count = peer->GetEventHandles(peer, handles, MAXIMUM_WAIT_OBJECTS - 3);
    if (count == 0) break;
    handles[count++] = WTSVirtualChannelManagerGetEventHandle(vcm_);
    handles[count++] = wake_;
    if (channelEvent_) handles[count++] = channelEvent_;
    if (WaitForMultipleObjects(count, handles, FALSE, kPollMs) == WAIT_FAILED) break;
    if (!peer->CheckFileDescriptor(peer)) {
      Log("the client left");
      return;
    }
    if (!WTSVirtualChannelManagerCheckFileDescriptor(vcm_)) {
      Log("the channel manager failed");
      return;
    }
    if (channel_) ReadClientPackets();
    TakePluginPackets();
    // Writes queued above leave with the next channel-manager turn.
    WTSVirtualChannelManagerCheckFileDescriptor(vcm_);
  }
  Log("the run's time is up");
}

int Bridge::Run() {
  if (!wake_ || !StartPlugin()) return kBridgeFailed;
  WTSRegisterWtsApiFunctionTable(FreeRDP_InitWtsApi());
  std::unique_ptr<freerdp_listener, void (*)(freerdp_listener*)> listener(freerdp_listener_new(),
                                                                          freerdp_listener_free);
  uint16_t port = options_.port;
  int fd = Listen(&port);
  if (!listener || fd < 0) return kBridgeFailed;
  listener->info = this;
  listener->PeerAccepted = &Bridge::OnAccepted;
  if (!listener->OpenFromSocket(listener.get(), fd)) {
    Log("FreeRDP did not take the listening socket");
    close(fd);
    return kBridgeFailed;
  }
  Log(kListeningLine + std::to_string(port));
  freerdp_peer* peer = AwaitClient(listener.get());
  listener->Close(listener.get());
  if (!peer) {
    Log("no client came");
    host_.Stop();
    return kBridgeFailed;
  }
  bool served = SetUpPeer(peer);
  if (served) ServeClient(peer);
  // The plug-in first: its channel closes and it shuts its daemon socket.
  if (pluginChannelOpen_) host_.CloseChannel();
  host_.Flush();
  host_.Stop();
  Log("carried " + std::to_string(requests_) + " requests and " + std::to_string(completions_) +
      " completions");
  if (channel_) WTSVirtualChannelClose(channel_);
  peer->Disconnect(peer);
  if (peer->context) freerdp_peer_context_free(peer);
  freerdp_peer_free(peer);
  return served ? kBridgeClientLeft : kBridgeFailed;
}

}  // namespace

int RunBridge(const BridgeOptions& options) {
  Bridge bridge(options);
  return bridge.Run();
}

}  // namespace scredir::bridge
