// Plug-in start and stop, and the host's listener and channel callbacks;
// see channel.h.
#include "scredir/channel.h"

#include <glib.h>
#include <sys/types.h>

#include <cstring>
#include <memory>
#include <new>

#include "lib/config/config.h"
#include "lib/log/log.h"
#include "scredir/alloc_seam.h"
#include "scredir/daemon_link.h"
#include "scredir/engine.h"
#include "scredir/maps.h"
#include "scredir/qrn_log.h"
#include "scredir/rpc/ndr.h"
#include "scredir/state.h"

namespace {

constexpr uint16_t kRequestedVersion[2] = {1, 2};
constexpr uint32_t kLogLevelInfo = 5;
constexpr uint32_t kLogLevelVerbose = 6;

// Opens our log file and sets the debug switch from QRN.ScRedir.logLevel.
void OpenLog(const ScRedirProductInfo& product) {
  const LogParams params{
      {"log.config", "QRNScRedir.log.fileName"},
      {"log.suffix", "QRNScRedir"},
      {"log.keepOld", "80"},
  };
  LogRegisterProduct(product.name, product.version, product.build, "Release");
  LogFileOutput* output = LogOpenFileOutput("QRNScRedir", params, ConfigGetAccessor(), true);
  char* level = ConfigGetString("info", "QRN.ScRedir.logLevel");
  const bool debug = level != nullptr && std::strcmp(level, "debug") == 0;
  debugEnabled.store(debug, std::memory_order_relaxed);
  if (output) LogSetFileLevel(output, debug ? kLogLevelVerbose : kLogLevelInfo);
  g_free(level);
}

// How the codec numbers referent ids, from QRN.ScRedir.ndrPointerIds.
// "sequential" (1, 2, 3) stays the default; "windows" is what clients that
// check the ids (FreeRDP among them) accept.
void ReadPointerIdStyle() {
  char* value = ConfigGetString("sequential", "QRN.ScRedir.ndrPointerIds");
  auto style = ScRedirRpc_PointerIds::kSequential;
  if (value != nullptr && std::strcmp(value, "windows") == 0) {
    style = ScRedirRpc_PointerIds::kWindows;
  } else if (value == nullptr || std::strcmp(value, "sequential") != 0) {
    ScRedirQrn_Logf(kQrnLogError, 0, "Unknown QRN.ScRedir.ndrPointerIds value '%s', keeping '%s'",
                    value ? value : "", "sequential");
  }
  ScRedirRpc_SetPointerIds(style);
  g_free(value);
}

QrnListenerEvents ListenerEvents() {
  return QrnListenerEvents{ScRedirVChan_OnListenerConnect, ScRedirVChan_OnPeerOpen,
                           ScRedirVChan_OnListenerClose, nullptr};
}

QrnChannelEvents ChannelEvents() {
  return QrnChannelEvents{ScRedirVChan_OnOpen,
                          ScRedirVChan_OnClose,
                          ScRedirVChan_OnSendComplete,
                          ScRedirVChan_OnDelivered,
                          ScRedirVChan_OnRecv,
                          nullptr,
                          nullptr};
}

}  // namespace

uint32_t ScRedirQrn_Start(const uint16_t* hostVersion, QrnGetIntfFn getIntf,
                          const ScRedirProductInfo& product) {
  ConfigStoreInit();
  OpenLog(product);
  ConfigSetMessageSink(LogConfigMessage);
  ScRedirQrn_Log(kQrnLogInfo, 0, "QRN start!");
  const bool enabled = ConfigGetBool(true, "QRN.ScRedir.Enable");
  ScRedirQrn_Logf(kQrnLogInfo, 0, "QRN.ScRedir.Enable option value is %d", enabled ? 1 : 0);
  if (!enabled) return kStatusSuccess;
  ReadPointerIdStyle();

  const int major = hostVersion ? hostVersion[0] : 0;
  if (major == 0) {
    ScRedirQrn_Logf(kQrnLogInfo, 0,
                    "%s - QRN version warning. Major ver found = %d but expected at least 1",
                    "QRN_Start", major);
  }
  QrnIntf table;
  std::memset(&table, 0, sizeof(table));
  table.size = sizeof(QrnIntf);
  if (getIntf == nullptr || getIntf(kRequestedVersion, &table) != 0) return kStatusSuccess;
  ScRedir_PublishHostTable(table);

  scRedirPluginState.listener = nullptr;
  scRedirPluginState.channelId.store(0);
  ScRedirQrn_MapsCreate();

  const QrnListenerEvents events = ListenerEvents();
  uint32_t status = table.CreateListener
                        ? table.CreateListener(-1, kScRedirChannelName, &events,
                                               &scRedirPluginState, &scRedirPluginState.listener)
                        : kStatusUnsuccessful;
  if (status != 0) {
    ScRedirQrn_Logf(kQrnLogError, 0, "Failed to create QRN listener, status=0x%x", status);
    return status;
  }
  status = table.ActivateListener ? table.ActivateListener(scRedirPluginState.listener)
                                  : kStatusUnsuccessful;
  if (status != 0) {
    ScRedirQrn_Logf(kQrnLogError, 0, "Failed to activate QRN listener, status=0x%x", status);
    return status;
  }
  return kStatusSuccess;
}

uint32_t ScRedirQrn_Stop() {
  ScRedirQrn_Log(kQrnLogInfo, 0, "QRN stop");
  // The link thread reads the maps; it ends before they go. The channel
  // itself stays the host's: only its daemon link is shut.
  if (ScRedirSessionRef session = ScRedir_ExchangeCurrentSession(nullptr)) session->Close();
  ScRedirQrn_JoinServerThread();
  // The host calls nothing back for our channels after this: the buffers
  // it never reported sent are freed now.
  ScRedir_ForgetClosedSessions();
  ScRedirQrn_MapsDestroy();
  const QrnIntf& host = ScRedir_HostTable();
  if (host.CloseListener == nullptr) return kStatusSuccess;
  return host.CloseListener(scRedirPluginState.listener);
}

// Every callback is a boundary no exception may cross (a log line or a
// session that cannot be allocated throws std::bad_alloc): each catches
// everything at its edge.

void ScRedirVChan_OnListenerConnect(void*, int32_t, void*) {}

void ScRedirVChan_OnPeerOpen(const char* name, void* listener, void* peerChannel, uint32_t,
                             int32_t sessionId, const void*, uint32_t, void* clientData) try {
  if (name == nullptr) name = "";
  ScRedirQrn_Logf(kQrnLogInfo, 0, "QRN listener=%p sessid=%d gets Peer Open for '%s'", listener,
                  sessionId, name);
  const QrnIntf& host = ScRedir_HostTable();
  if (g_ascii_strcasecmp(name, kScRedirChannelName) == 0) {
    const QrnChannelEvents events = ChannelEvents();
    uint32_t channelId = kNoChannelId;
    uint32_t status = host.AcceptChannel ? host.AcceptChannel(peerChannel, 0, &events, nullptr, 0,
                                                              clientData, &channelId)
                                         : kStatusUnsuccessful;
    if (status != 0) {
      ScRedirQrn_Logf(kQrnLogError, status, "Failed to accept QRN %s channel, status=%d", name,
                      static_cast<int>(status));
      return;
    }
    scRedirPluginState.channelId.store(channelId);
    ScRedirQrn_Logf(kQrnLogInfo, 0, "accepted QRN %s channel", name);
    return;
  }
  ScRedirQrn_Logf(kQrnLogInfo, 0, "Rejecting unrecognised channel '%s'", name);
  uint32_t status =
      host.RejectChannel ? host.RejectChannel(peerChannel, 0, nullptr, 0) : kStatusUnsuccessful;
  if (status != 0) {
    ScRedirQrn_Logf(kQrnLogError, status, "Failed to reject channel '%s', status=%d", name,
                    static_cast<int>(status));
  }
} catch (...) {
}

void ScRedirVChan_OnListenerClose(void*, void*) try {
  ScRedirQrn_Log(kQrnLogInfo, 0, "QRN on listener close");
} catch (...) {
}

void ScRedirVChan_OnOpen(void* channel, uint32_t status, void*) try {
  if (status != 0) {
    ScRedirQrn_Logf(kQrnLogError, status, "Failed to open channel, status=%d",
                    static_cast<int>(status));
    return;
  }
  ScRedirQrn_Logf(kQrnLogInfo, 0, "QRN sc channel(%p) has Opened", channel);
  ScRedirSessionRef session;
  try {
    if (ScRedir_AllocFails(ScRedirAllocSite::kSession)) throw std::bad_alloc();
    session = std::make_shared<ScRedirSession>(channel);
  } catch (const std::bad_alloc&) {
    ScRedirQrn_Log(kQrnLogError, kStatusNoMemory, "Not enough memory");
    return;
  }
  // An open without a close in between ends the older channel's link.
  if (ScRedirSessionRef previous = ScRedir_ExchangeCurrentSession(session)) {
    previous->Close();
    ScRedir_ForgetIfDone(previous);
  }
  ScRedirQrn_StartServerThread(session);
  ScRedirQrn_SendAgentAnnounce(*session);
} catch (...) {
}

void ScRedirVChan_OnClose(void* channel, int32_t reason, void*) try {
  ScRedirQrn_Logf(kQrnLogInfo, 0, "QRN smart channel=%p has Closed, reason=%d", channel, reason);
  ScRedirSessionRef session = ScRedir_FindOpenSession(channel);
  if (!session) {
    ScRedirQrn_Logf(kQrnLogInfo, 0, "QRN channel=%p is not open, close ignored", channel);
    return;
  }
  if (ScRedir_CurrentSession() == session) {
    scRedirPluginState.channelId.store(kNoChannelId);
    ScRedir_ExchangeCurrentSession(nullptr);
  }
  session->Close();
  ScRedir_ForgetIfDone(session);
} catch (...) {
}

void ScRedirVChan_OnSendComplete(void* channel, const void* buffer, uint32_t, void*) try {
  ScRedirQrn_ReleaseSent(channel, buffer);
} catch (...) {
}

void ScRedirVChan_OnDelivered(void* channel, const void*, uint32_t, int32_t msgId, void*) try {
  ScRedirQrn_Logf(kQrnLogInfo, 0, "ScRedirVChan_OnDelivered channel=%p msgid=%d)", channel, msgId);
} catch (...) {
}

uint32_t ScRedirVChan_OnRecv(void* channel, uint32_t, void* buffer, size_t length, void*) {
  try {
    if (ScRedirQrn_DebugOn()) {
      ScRedirQrn_Logf(kQrnLogDebug, 0, "QRN receive buf len %zd", static_cast<ssize_t>(length));
    }
    // Lengths beyond 32 bits are cut: the parsers then see fewer bytes than
    // were delivered, never more.
    if (ScRedirSessionRef session = ScRedir_FindOpenSession(channel)) {
      ScRedirQrn_RouteChannelPacket(buffer, static_cast<uint32_t>(length), *session);
    } else {
      ScRedirQrn_Logf(kQrnLogInfo, 0, "QRN channel=%p is not open, received packet ignored",
                      channel);
    }
  } catch (...) {
  }
  // The buffer goes back on the channel it came from, whatever happened.
  const QrnIntf& host = ScRedir_HostTable();
  if (host.RecvComplete == nullptr) return kStatusSuccess;
  return host.RecvComplete(channel, buffer);
}

uint32_t ScRedirVChan_Send(ScRedirSession& session, const void* buffer, size_t length) {
  if (ScRedirQrn_DebugOn()) {
    ScRedirQrn_Logf(kQrnLogDebug, 0, "QRN send buf len %zd", static_cast<ssize_t>(length));
  }
  uint32_t status = kStatusUnsuccessful;
  const QrnIntf& host = ScRedir_HostTable();
  // Inside the gate a close waits for us; outside it no Send may start.
  if (session.BeginSend()) {
    if (host.Send) status = host.Send(session.channel(), 0, 0, buffer, length, nullptr, 0);
    session.EndSend();
  }
  if (status != 0) {
    ScRedirQrn_Logf(kQrnLogError, status, "Failed to send smartcard flow data, status=%d",
                    static_cast<int>(status));
  }
  return status;
}
