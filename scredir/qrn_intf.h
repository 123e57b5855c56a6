// The virtual-channel host's interface as the plug-in sees it.
//
// The host fills a QrnIntf table of operation pointers when the plug-in asks
// (GetIntf) and calls the plug-in back through the two event records the
// plug-in registers. Handles (listener, peer channel, channel) are opaque to
// the plug-in: it stores them and passes them back unchanged. Every
// operation returns a 32-bit status, 0 meaning success. The event records
// are the caller's locals: the host copies them during CreateListener /
// AcceptChannel and must not refer to them afterwards.
//
// This header is shared with the host double in tools/, so everything in it
// is plain C layout.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

// Listener events, four pointer words in this order.
using QrnOnListenerConnectFn = void (*)(void* listener, int32_t sessionId, void* clientData);
using QrnOnPeerOpenFn = void (*)(const char* name, void* listener, void* peerChannel,
                                 uint32_t flags, int32_t sessionId, const void* initialData,
                                 uint32_t initialDataLength, void* clientData);
using QrnOnListenerCloseFn = void (*)(void* listener, void* clientData);

struct QrnListenerEvents {
  QrnOnListenerConnectFn onConnect;
  QrnOnPeerOpenFn onPeerOpen;
  QrnOnListenerCloseFn onClose;
  void* spare;
};

// Channel events, seven pointer words in this order.
using QrnOnOpenFn = void (*)(void* channel, uint32_t status, void* clientData);
using QrnOnCloseFn = void (*)(void* channel, int32_t reason, void* clientData);
using QrnOnSendCompleteFn = void (*)(void* channel, const void* buffer, uint32_t status,
                                     void* clientData);
using QrnOnDeliveredFn = void (*)(void* channel, const void* buffer, uint32_t status, int32_t msgId,
                                  void* clientData);
using QrnOnRecvFn = uint32_t (*)(void* channel, uint32_t flags, void* buffer, size_t length,
                                 void* clientData);

struct QrnChannelEvents {
  QrnOnOpenFn onOpen;
  QrnOnCloseFn onClose;
  QrnOnSendCompleteFn onSendComplete;
  QrnOnDeliveredFn onDelivered;
  QrnOnRecvFn onRecv;
  void* spare1;
  void* spare2;
};

// Host operations the plug-in calls.
using QrnCreateListenerFn = uint32_t (*)(int32_t sessionId, const char* channelName,
                                         const QrnListenerEvents* events, void* clientData,
                                         void** listener);
using QrnActivateListenerFn = uint32_t (*)(void* listener);
using QrnCloseListenerFn = uint32_t (*)(void* listener);
using QrnAcceptChannelFn = uint32_t (*)(void* peerChannel, uint32_t flags,
                                        const QrnChannelEvents* events, const void* initialData,
                                        uint32_t initialDataLength, void* clientData,
                                        uint32_t* channelId);
using QrnRejectChannelFn = uint32_t (*)(void* peerChannel, uint32_t flags, const void* data,
                                        uint32_t length);
// The host does not copy `buffer`: it stays in use until onSendComplete
// reports it, and completions come in the order of the sends.
using QrnSendFn = uint32_t (*)(void* channel, uint32_t flags, uint32_t priority, const void* buffer,
                               size_t length, void* sendContext, uint32_t timeoutMs);
// Hands a buffer delivered to onRecv back to the host.
using QrnRecvCompleteFn = uint32_t (*)(void* channel, void* buffer);

// 24 eight-byte words. Word 0: the table's size in bytes (the caller stores
// 192 before GetIntf); word 1: the version the host filled in; words 2..23:
// operations, seven of which the plug-in uses.
struct QrnIntf {
  uint64_t size;
  uint16_t versionMajor;
  uint16_t versionMinor;
  uint32_t versionPad;
  QrnCreateListenerFn CreateListener;      // word 2
  QrnActivateListenerFn ActivateListener;  // word 3
  QrnCloseListenerFn CloseListener;        // word 4
  void* unused5[4];                        // words 5..8
  QrnAcceptChannelFn AcceptChannel;        // word 9
  QrnRejectChannelFn RejectChannel;        // word 10
  void* unused11[7];                       // words 11..17
  QrnSendFn Send;                          // word 18
  QrnRecvCompleteFn RecvComplete;          // word 19
  void* unused20[4];                       // words 20..23
};

static_assert(sizeof(QrnListenerEvents) == 4 * sizeof(void*));
static_assert(sizeof(QrnChannelEvents) == 7 * sizeof(void*));
static_assert(sizeof(QrnIntf) == 192);
static_assert(offsetof(QrnIntf, CreateListener) == 2 * 8);
static_assert(offsetof(QrnIntf, CloseListener) == 4 * 8);
static_assert(offsetof(QrnIntf, AcceptChannel) == 9 * 8);
static_assert(offsetof(QrnIntf, RejectChannel) == 10 * 8);
static_assert(offsetof(QrnIntf, Send) == 18 * 8);
static_assert(offsetof(QrnIntf, RecvComplete) == 19 * 8);

// The host function that fills a table of the requested version {major,
// minor}; 0 on success.
using QrnGetIntfFn = int (*)(const uint16_t* requestedVersion, QrnIntf* table);

// The plug-in's two exported entry points. The host passes further
// arguments to QRN_Start, which the plug-in ignores.
uint32_t QRN_Start(const uint16_t* hostVersion, QrnGetIntfFn getIntf, ...);
uint32_t QRN_Stop(void);

}  // extern "C"

// The name the listener is registered under and the only channel accepted.
inline constexpr char kScRedirChannelName[] = "Smart Card Virtual Channel";
