// The chain's application side: scredir-pcscd as a process of its own, and
// unmodified pcsc-lite applications (opensc-tool, pcsc_scan, the probe),
// each a process of its own whose libpcsclite talks to it.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "tools/pcsc_stack.h"

namespace scredir::chain {

class AppSide {
 public:
  // Runs `daemon` (scredir-pcscd and its options but --client-socket) for
  // applications on dir/apps.comm, its output in dir/scredir-pcscd.log, and
  // bounds every application to `limit`. False, with the log, when the
  // socket never appears.
  bool Start(std::vector<std::string> daemon, const std::string& dir, std::chrono::seconds limit,
             std::string* why);
  void Stop() { daemon_.Stop(); }

  // This process's environment with libpcsclite pointed at scredir-pcscd.
  std::vector<std::string> Environment() const;
  // A shell line that runs `command` as such an application, bounded.
  std::string Command(const std::string& command) const;
  // Runs an application to its end; its output, and its status if asked.
  std::string Run(const std::string& command, int* status = nullptr) const;
  // Waits until opensc-tool lists `reader` to the applications.
  bool AwaitReader(const char* reader, std::chrono::seconds limit) const;
  // opensc-tool's reader list, the card's ATR and a SELECT, each printed to
  // standard output: empty when each exits 0 and says what it should, else
  // the commands that did not with their output.
  std::string OpenscToolReachesTheCard() const;
  // The daemon's output so far.
  std::string Log() const;

 private:
  std::string socket_, log_;
  long limitSeconds_ = 60;
  tools::ChildProcess daemon_;
};

}  // namespace scredir::chain
