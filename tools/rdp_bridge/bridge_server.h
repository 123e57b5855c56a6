// The RDP bridge: a minimal RDP server that puts the built plug-in in front
// of a real RDP client.
//
// It listens on a loopback TCP port (TLS with the certificate and key it is
// given; standard RDP security and NLA off), accepts one client, opens the
// client's static "rdpdr" channel and plays the server side of its core
// handshake (RdpdrServer). The plug-in is loaded into a host double whose
// sends come here; once the client announced its smart-card device the
// plug-in is offered "Smart Card Virtual Channel", and from then on its
// device-control requests go to the client and the client's completions
// come back to it.
//
// Threads: RunBridge's caller runs the listener and the client's event loop
// (every FreeRDP and channel call happens there); the host double runs the
// plug-in's callbacks on its own thread; the plug-in's sends are queued and
// taken by the event loop. Every wait is bounded by the run's lifetime.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

namespace scredir::bridge {

struct BridgeOptions {
  std::string plugin;                          // the plug-in library
  uint16_t port = 0;                           // 0: a free port the kernel picks
  std::string certificate;                     // PEM certificate for TLS
  std::string privateKey;                      // its PEM RSA key
  std::chrono::milliseconds lifetime{600000};  // the whole run ends by then
  std::ostream* log = nullptr;                 // progress lines (required)
  const std::atomic<bool>* stop = nullptr;     // set to end the run early
};

// The line printed once the port listens; callers wait for it.
inline constexpr char kListeningLine[] = "listening on 127.0.0.1:";

// Exit codes of RunBridge.
inline constexpr int kBridgeClientLeft = 0;  // a client came, was served and left
inline constexpr int kBridgeFailed = 1;      // set-up failed, or nobody came in time

int RunBridge(const BridgeOptions& options);

}  // namespace scredir::bridge
