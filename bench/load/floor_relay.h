// FloorRelay: the least work the plug-in's trip can cost.
//
// It makes the same trip as the plug-in: a thread reads each daemon message
// from a Unix stream socket, hands it to the host's Send as a device-control
// request, and the reply of the daemon's full reply length is written back
// to the same socket from the host thread that delivers the completion. What
// it leaves out is everything a real agent adds on top: no encoding (the
// daemon record travels as it came, behind a pre-filled request header), no
// allocation (messages are read straight into a ring of send buffers made
// once, the reply is built in one buffer of the host thread), and no lookup
// (the reply header comes from the CompletionId; the request's `size` is the
// round's, set by the driver). The socket is blocking, so no poll either.
//
// The ring has more slots than requests can be in flight; a slot is reused
// only after its send complete came back.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "bench/load/load_host.h"

namespace scredir::load {

class FloorRelay {
 public:
  explicit FloorRelay(LoadHost& host);
  ~FloorRelay();
  FloorRelay(const FloorRelay&) = delete;
  FloorRelay& operator=(const FloorRelay&) = delete;

  // Connects to the daemon socket and starts the reading thread.
  bool Connect(const std::string& socketPath, std::string* error);
  // The Transmit size of the coming round: the reply header's `size` and
  // cbRecvLength. Only while idle.
  void SetRound(uint32_t apduBytes);
  void Stop();

 private:
  static void OnSendComplete(void* channel, const void* buffer, uint32_t status, void* clientData);
  static uint32_t OnRecv(void* channel, uint32_t flags, void* buffer, size_t length,
                         void* clientData);
  void ReadLoop();
  void Reply(const uint8_t* packet, size_t length);

  QrnIntf intf_{};
  LoadHost::Channel* channel_ = nullptr;
  int fd_ = -1;
  std::vector<uint8_t> ring_;
  std::vector<uint8_t> reply_;
  uint32_t requestSize_ = 0;
  uint32_t apduBytes_ = 0;
  std::atomic<uint64_t> sent_{0};
  std::atomic<uint64_t> completed_{0};
  std::thread thread_;
};

}  // namespace scredir::load
