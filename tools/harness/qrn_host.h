// What every in-process host of the plug-in shares (the host double and the
// load tool's host): the loaded library with its two entry points, and the
// host interface table that a host's static calls fill.
#pragma once

#include <dlfcn.h>

#include <cstdint>
#include <string>

#include "scredir/qrn_intf.h"

namespace scredir::tools {

// The plug-in, never unloaded (RTLD_NODELETE): its daemon link thread may
// still run when a test or a run ends.
struct PluginLibrary {
  bool Load(const std::string& path, std::string* error) {
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle) {
      if (error) *error = dlerror();
      return false;
    }
    start = reinterpret_cast<decltype(start)>(dlsym(handle, "QRN_Start"));
    stop = reinterpret_cast<decltype(stop)>(dlsym(handle, "QRN_Stop"));
    if (start && stop) return true;
    if (error) *error = path + " does not export QRN_Start and QRN_Stop";
    return false;
  }

  void* handle = nullptr;
  uint32_t (*start)(const uint16_t*, QrnGetIntfFn, ...) = nullptr;
  uint32_t (*stop)() = nullptr;
};

// Fills the plug-in's table with a host's static calls (version 1.2); -1 for
// a table of another size.
template <typename Host>
struct QrnHostTable {
  static int Fill(QrnIntf* table) {
    if (!table || table->size != sizeof(QrnIntf)) return -1;
    table->versionMajor = 1;
    table->versionMinor = 2;
    table->CreateListener = &Host::CreateListener;
    table->ActivateListener = &Host::ActivateListener;
    table->CloseListener = &Host::CloseListener;
    table->AcceptChannel = &Host::AcceptChannel;
    table->RejectChannel = &Host::RejectChannel;
    table->Send = &Host::Send;
    table->RecvComplete = &Host::RecvComplete;
    return 0;
  }
};

}  // namespace scredir::tools

// Declares a host's static calls in its class body; `Host` is the class.
#define SCREDIR_QRN_HOST_CALLS(Host)                                                               \
  friend struct ::scredir::tools::QrnHostTable<Host>;                                              \
  static uint32_t CreateListener(int32_t sessionId, const char* channelName,                       \
                                 const QrnListenerEvents* events, void* clientData,                \
                                 void** listener);                                                 \
  static uint32_t ActivateListener(void* listener);                                                \
  static uint32_t CloseListener(void* listener);                                                   \
  static uint32_t AcceptChannel(void* peerChannel, uint32_t flags, const QrnChannelEvents* events, \
                                const void* initialData, uint32_t initialDataLength,               \
                                void* clientData, uint32_t* channelId);                            \
  static uint32_t RejectChannel(void* peerChannel, uint32_t flags, const void* data,               \
                                uint32_t length);                                                  \
  static uint32_t Send(void* channel, uint32_t flags, uint32_t priority, const void* buffer,       \
                       size_t length, void* sendContext, uint32_t timeoutMs);                      \
  static uint32_t RecvComplete(void* channel, void* buffer)
