// The host's channel callbacks and the plug-in's own start, stop and send.
//
// The host calls every ScRedirVChan_ callback on its own threads with the
// address of scRedirPluginState as client data, and each callback acts on the
// channel (and buffer) it names, never on "the current one". Opening the
// channel creates a session (state.h), starts the daemon link thread and
// sends the agent announce; closing it closes the session's send gate and
// shuts its daemon socket so the link thread answers what waits and ends.
// Events for a channel that is not open are logged and ignored. Nothing
// here holds a lock across a host call, and no exception leaves a callback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "scredir/qrn_intf.h"

struct ScRedirSession;

// What QRN_Start registers with the log facility for the file header.
struct ScRedirProductInfo {
  const char* name;
  const char* version;
  const char* build;
};

// The work of QRN_Start and QRN_Stop; entry.cc is only their C shim.
uint32_t ScRedirQrn_Start(const uint16_t* hostVersion, QrnGetIntfFn getIntf,
                          const ScRedirProductInfo& product);
uint32_t ScRedirQrn_Stop();

// Listener events.
void ScRedirVChan_OnListenerConnect(void* listener, int32_t sessionId, void* clientData);
void ScRedirVChan_OnPeerOpen(const char* name, void* listener, void* peerChannel, uint32_t flags,
                             int32_t sessionId, const void* initialData, uint32_t initialDataLength,
                             void* clientData);
void ScRedirVChan_OnListenerClose(void* listener, void* clientData);

// Channel events.
void ScRedirVChan_OnOpen(void* channel, uint32_t status, void* clientData);
void ScRedirVChan_OnClose(void* channel, int32_t reason, void* clientData);
void ScRedirVChan_OnSendComplete(void* channel, const void* buffer, uint32_t status,
                                 void* clientData);
void ScRedirVChan_OnDelivered(void* channel, const void* buffer, uint32_t status, int32_t msgId,
                              void* clientData);
uint32_t ScRedirVChan_OnRecv(void* channel, uint32_t flags, void* buffer, size_t length,
                             void* clientData);

// Hands `buffer` to the host's Send on the session's channel, inside the
// session's send gate, and returns the host's status. The buffer stays the
// caller's (kept with the session until the host reports that buffer sent).
// A closed session sends nothing and fails.
uint32_t ScRedirVChan_Send(ScRedirSession& session, const void* buffer, size_t length);
