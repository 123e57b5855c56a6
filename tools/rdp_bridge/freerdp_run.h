// FreeRdpRun: the real-client side of a run, as separate processes: the
// bridge program hosting the plug-in, a virtual X display and a stock
// xfreerdp connected to the bridge with its smart-card redirection on.
//
// The bridge runs in a process of its own because FreeRDP's runtime library
// exports the PC/SC function names too: a process that also calls
// libpcsclite directly (the tests, the demo's private stack) would get one
// of the two by link order. The bridge inherits this process's HOME and
// TMPDIR, so the plug-in reads the configuration a Sandbox wrote and logs
// where it says; its log file carries the bridge's process id.
//
// The client's libpcsclite is pointed at a private pcscd through
// PCSCLITE_CSOCK_NAME. Its smart-card and device-redirection log categories
// are at debug level so decode errors show up in its log.
//
// Every wait is bounded; every process is stopped by its id when the run
// ends (client first, so the bridge sees the client leave and closes the
// plug-in's channel, then the bridge, then the display).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "tools/pcsc_stack.h"

namespace scredir::bridge {

// The programs a run needs that are not installed here, as one line
// (empty when all are present).
std::string MissingClientPrograms();

// Writes a self-signed certificate and its RSA key (PEM) into `dir`.
bool MakeCertificate(const std::string& dir, std::string* certificate, std::string* key,
                     std::string* error);

struct FreeRdpRunOptions {
  std::string bridgeProgram = {};      // the scredir-rdp-bridge executable
  std::string plugin = {};             // the plug-in library the bridge loads
  std::string workDir = {};            // certificate and the processes' logs go here
  std::string pcscSocket = {};         // the client's PCSCLITE_CSOCK_NAME
  std::chrono::seconds lifetime{180};  // the bridge ends by then whatever happens
};

class FreeRdpRun {
 public:
  // Null with *error set when a process could not be started.
  static std::unique_ptr<FreeRdpRun> Start(const FreeRdpRunOptions& options, std::string* error);
  ~FreeRdpRun() { Stop(); }

  // Stops the client, waits (bounded) for the bridge to end, then the display.
  void Stop();

  uint16_t port() const { return port_; }
  int display() const { return display_; }
  pid_t bridgePid() const { return bridgePid_; }
  std::string BridgeLog() const;
  std::string ClientLog() const;
  // The last lines of the bridge's and the client's logs, for messages.
  std::string Tails() const;

 private:
  FreeRdpRun() = default;
  bool StartBridge(std::string* error);
  bool StartDisplay(std::string* error);
  bool StartClient(std::string* error);

  FreeRdpRunOptions options_;
  std::string certificate_, key_;
  uint16_t port_ = 0;
  int display_ = -1;
  tools::ChildProcess bridge_;
  tools::ChildProcess xvfb_;
  tools::ChildProcess client_;
  pid_t bridgePid_ = -1;
};

}  // namespace scredir::bridge
