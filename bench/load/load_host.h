// The load tool's in-process host and instant client.
//
// LoadHost plays the virtual-channel host for two channels at once: the one
// the real plug-in (dlopened, QRN_Start) accepts, and the one the floor relay
// registers. Both reach the client through the same Send operation and get
// their send completes and received packets on the same host thread, so
// whatever the host and the client cost is in both measurements and cancels
// out of the ratio.
//
// The instant client answers every device-control request from canned
// packets built once with the codec: it reads only the CompletionId and the
// IOCTL of a request. The host patches the CompletionId into the canned
// packet on its own thread just before onRecv, so an answer costs no
// allocation and no copy. By default the client answers inside Send, on the
// sender's thread; with the client thread on, Send only queues the request
// and a second host thread answers it (one more thread hop per call, as
// when the answer comes from the network). Holding keeps answers back (the
// memory-per-request figure) until ReleaseHeld.
//
// One LoadHost per process (the C operations find it through a global).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "scredir/qrn_intf.h"
#include "tools/harness/qrn_host.h"

namespace scredir::load {

// A packet the client answers with. Device I/O completions get their
// CompletionId written at offset 8 on the host thread before delivery.
struct Canned {
  std::vector<uint8_t> bytes;
  bool completion = true;
};

class InstantClient {
 public:
  InstantClient();

  // Builds (once) the Transmit answer carrying `responseBytes` bytes.
  void Prepare(uint32_t responseBytes);
  // Selects the Transmit answer of a prepared size. Only while idle.
  void SelectTransmit(uint32_t responseBytes);

  // Reads just enough of one packet from the server side to pick the canned
  // answer; false when the packet is not one we answer (counted).
  bool Answer(const void* packet, size_t length, Canned** answer, uint32_t* completionId);
  size_t protocolErrors() const { return protocolErrors_.load(); }

 private:
  Canned capability_;
  Canned establish_;
  Canned connect_;
  std::vector<std::pair<uint32_t, Canned*>> transmits_;
  std::vector<std::unique_ptr<Canned>> owned_;
  Canned* transmit_ = nullptr;
  std::atomic<size_t> protocolErrors_{0};
};

class LoadHost {
 public:
  struct Channel {
    QrnChannelEvents events{};
    void* clientData = nullptr;
    std::atomic<bool> open{false};
  };

  explicit LoadHost(InstantClient& client);
  ~LoadHost();
  LoadHost(const LoadHost&) = delete;
  LoadHost& operator=(const LoadHost&) = delete;

  // The plug-in: load, QRN_Start, offer the smart-card channel, close, stop.
  bool Load(const std::string& path, std::string* error);
  uint32_t Start();
  bool OpenPluginChannel();
  void ClosePluginChannel();
  uint32_t Stop();

  // What a plug-in gets from GetIntf; the floor relay asks for it too.
  static int GetIntf(const uint16_t* requestedVersion, QrnIntf* table);
  // A channel for an in-process peer (the floor relay), open at once.
  Channel* AddChannel(const QrnChannelEvents& events, void* clientData);

  void SetClientThread(bool on) { clientThread_ = on; }
  void SetHold(bool on);
  size_t held() const;
  void ReleaseHeld();
  // Waits until every event posted so far has been delivered.
  void Drain();

  size_t badSends() const { return badSends_.load(); }
  size_t recvOutstanding() const { return lent_.load() - returned_.load(); }

 private:
  enum class Kind : uint8_t { kSendComplete, kRecv, kAnswer, kListenerClose };
  struct Event {
    Kind kind;
    Channel* channel;
    const void* buffer;
    size_t length;
    Canned* answer;
    uint32_t completionId;
  };
  // A bounded FIFO of events with one consumer thread.
  class Queue {
   public:
    explicit Queue(size_t capacity) : ring_(capacity) {}
    void Push(const Event* events, size_t count);
    bool Pop(Event* out);  // false once stopped and empty
    void Stop();
    void WaitIdle();
    void MarkDone();

   private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Event> ring_;
    size_t head_ = 0, count_ = 0, busy_ = 0;
    bool stopping_ = false;
  };

  SCREDIR_QRN_HOST_CALLS(LoadHost);

  void AnswerAndPost(Channel* channel, const void* buffer, size_t length);
  void HostLoop();
  void ClientLoop();

  InstantClient& client_;
  tools::PluginLibrary library_;

  QrnListenerEvents listenerEvents_{};
  void* listenerClientData_ = nullptr;
  int listenerToken_ = 0;
  int peerToken_ = 0;
  Channel plugin_;
  std::vector<std::unique_ptr<Channel>> peers_;

  std::atomic<bool> clientThread_{false};
  mutable std::mutex holdMu_;
  bool hold_ = false;              // guarded by holdMu_
  std::vector<Event> heldEvents_;  // guarded by holdMu_

  std::atomic<size_t> badSends_{0};
  std::atomic<size_t> lent_{0};
  std::atomic<size_t> returned_{0};

  Queue events_{1 << 16};
  Queue jobs_{1 << 16};
  std::thread hostThread_;
  std::thread answerThread_;
};

}  // namespace scredir::load
