// The demo's surroundings: a work directory of its own, the plug-in's
// configuration written where the plug-in's store looks for it, the daemon
// socket path checked before anything listens on it, and the plug-in's log
// file found and followed.
//
// The plug-in carries its own configuration store, so the demo cannot hand
// it values directly: it points HOME at a directory holding
// .nimbrel/config and TMPDIR at the directory the log file should go to.
// Both variables are changed for the whole process, before the plug-in is
// loaded. The work directory is removed at the end except for the log.
//
// The plug-in reads its configuration once per process and is never
// unloaded, so a second environment in the same process only takes effect
// if it names the same socket path as the first.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

namespace scredir::demo {

// A configuration value written as a quoted value of the store's file
// format: control bytes (but tab), the double quote, "|" and DEL as "|XX".
std::string QuoteConfigValue(const std::string& value);

enum class SocketPathState {
  kFree,       // nothing there
  kStale,      // a socket file nobody listens on: safe to replace
  kInUse,      // something accepts connections there
  kNotSocket,  // a file of another kind: never replaced
  kTooLong,    // longer than a Unix socket address holds
};
SocketPathState ProbeSocketPath(const std::string& path);
// The message for a state that stops the demo (empty for kFree / kStale).
std::string SocketPathProblem(const std::string& path, SocketPathState state);

class DemoEnvironment {
 public:
  // Creates the work directory and the configuration; socketPath empty
  // means one inside the work directory. With keepLog false the plug-in's
  // log goes with the rest (tests leave nothing behind).
  static std::unique_ptr<DemoEnvironment> Create(const std::string& socketPath, bool debug,
                                                 std::string* error, bool keepLog = true);
  ~DemoEnvironment();

  const std::string& workDir() const { return workDir_; }
  const std::string& socketPath() const { return socketPath_; }
  // The plug-in's log file, once it exists (empty before).
  std::string FindLogFile() const;

 private:
  DemoEnvironment() = default;

  std::string workDir_;
  std::string socketPath_;
  bool keepLog_ = true;
};

// A log line without the facility's time stamp, level and thread name
// (the transcript has its own order); other lines come back unchanged.
std::string WithoutLinePrefix(const std::string& line);

// Prints the lines a log file gained since the last call, indented. Only
// whole lines are printed; a partial last line waits for the next call.
class LogFollower {
 public:
  explicit LogFollower(const DemoEnvironment& env) : env_(env) {}
  void Drain(std::ostream& out);

 private:
  const DemoEnvironment& env_;
  std::string path_;
  uint64_t offset_ = 0;
};

}  // namespace scredir::demo
