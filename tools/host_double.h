// HostDouble: a minimal virtual-channel host that loads the built plug-in.
//
// It dlopens the shared library, calls QRN_Start with a GetIntf that fills
// the interface table with its seven operations, and plays the host's part
// of the channel: it offers the channel (peer open, open), delivers what the
// client double sends (onRecv) and reports every send complete, closes the
// channel and calls QRN_Stop. Every plug-in callback runs on the host's own
// event thread, in the order the events were posted, as a real host's
// receive thread would run them.
//
// Buffer rules it enforces: a buffer given to Send is not copied for the
// plug-in's sake; the host re-reads it when it reports the send complete,
// so a buffer released early is seen (as changed bytes, or by the address
// sanitizer). Every buffer handed to onRecv must come back through
// RecvComplete exactly once; unknown or repeated returns are counted.
//
// One HostDouble per process (the C operations find it through a global).
// The library is never unloaded: its daemon link thread may outlive the
// channel.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "scredir/qrn_intf.h"
#include "tools/card_backend.h"
#include "tools/client_double.h"
#include "tools/harness/qrn_host.h"

namespace scredir::tools {

class HostDouble {
 public:
  explicit HostDouble(ClientDouble& client);
  // A host whose sends go to `toClient` instead of a client double (a
  // bridge to a real client). It is called on the plug-in's thread with
  // the host's lock held, so it must only queue the packet.
  explicit HostDouble(std::function<void(const Bytes&)> toClient);
  ~HostDouble();
  HostDouble(const HostDouble&) = delete;
  HostDouble& operator=(const HostDouble&) = delete;

  // Loads the library and finds QRN_Start / QRN_Stop.
  bool Load(const std::string& path, std::string* error);

  // Host-side answers the next lifecycle calls give.
  void SetGetIntfResult(int result) { getIntfResult_ = result; }
  void SetCreateListenerStatus(uint32_t status) { createListenerStatus_ = status; }
  void SetAcceptStatus(uint32_t status) { acceptStatus_ = status; }

  // Run on the event thread; return the plug-in's status.
  uint32_t Start(uint16_t major = 1, uint16_t minor = 2);
  uint32_t Stop();

  // Offers a channel by name; true when the plug-in accepted it (it then
  // gets onOpen with `openStatus`).
  bool OpenChannel(const std::string& name = kScRedirChannelName, uint32_t openStatus = 0);
  void CloseChannel(int32_t reason = 0);
  // Waits until every event posted so far has been delivered.
  void Flush();

  // Observations.
  bool listenerActive() const;
  bool getIntfCalled() const;
  size_t sends() const;
  size_t sendsPending() const;
  size_t recvOutstanding() const;
  // Send buffers whose bytes changed before their send complete, RecvComplete
  // calls with a buffer the host never lent, Send on a channel that is not open.
  size_t bufferFaults() const;
  size_t badRecvReturns() const;
  size_t badSends() const;

  // The client double's way in: the packet is delivered to onRecv.
  void DeliverToPlugin(const Bytes& packet);

 private:
  struct Channel {
    QrnChannelEvents events;
    void* clientData;
    bool open;
  };
  struct PendingSend {
    Channel* channel;
    const uint8_t* buffer;
    Bytes copy;
  };

  static int GetIntf(const uint16_t* requestedVersion, QrnIntf* table);
  SCREDIR_QRN_HOST_CALLS(HostDouble);

  void Post(std::function<void()> event);
  void RunOnHost(const std::function<void()>& event);
  void EventLoop();
  void CompleteOldestSend();

  ClientDouble* client_ = nullptr;
  std::function<void(const Bytes&)> toClient_;
  PluginLibrary plugin_;

  int getIntfResult_ = 0;
  uint32_t createListenerStatus_ = 0;
  uint32_t acceptStatus_ = 0;

  // Touched only on the event thread.
  QrnListenerEvents listenerEvents_{};
  void* listenerClientData_ = nullptr;
  int listenerToken_ = 0;  // its address is the listener handle
  int peerToken_ = 0;      // its address is the peer channel handle
  bool acceptedLast_ = false;

  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> events_;
  bool stopping_ = false;
  std::list<std::unique_ptr<Channel>> channels_;  // kept for the process's life
  Channel* current_ = nullptr;
  std::deque<PendingSend> pending_;
  std::set<void*> lent_;
  bool listenerActive_ = false;
  bool getIntfCalled_ = false;
  size_t sends_ = 0;
  size_t bufferFaults_ = 0;
  size_t badRecvReturns_ = 0;
  size_t badSends_ = 0;
  std::thread thread_;
};

}  // namespace scredir::tools
