// Sandbox: the plug-in's surroundings for one process: a work directory of
// its own, the plug-in's configuration written where the plug-in's store
// looks for it, the daemon socket path checked before anything listens on
// it, and the plug-in's log file found and read.
//
// The plug-in carries its own configuration store, so nobody can hand it
// values directly: the sandbox points HOME at a directory holding
// .nimbrel/config and TMPDIR at the directory the log file should go to.
// Both variables are changed for the whole process, before the plug-in is
// loaded. The work directory is removed at the end (the log too unless it
// is to be kept).
//
// The plug-in reads its configuration once per process and is never
// unloaded, so a second sandbox in the same process only takes effect if it
// names the same socket path as the first.
#pragma once

#include <unistd.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace scredir::tools {

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
// The message for a state that stops a run (empty for kFree / kStale).
std::string SocketPathProblem(const std::string& path, SocketPathState state);

class Sandbox {
 public:
  struct Options {
    std::string socketPath;  // empty: one inside the work directory
    bool debug = false;      // the plug-in logs at debug level
    bool keepLog = true;     // the log and its directory outlive the sandbox
    // Further configuration keys and their values, written as they are.
    std::vector<std::pair<std::string, std::string>> keys = {};
  };
  static std::unique_ptr<Sandbox> Create(const Options& options, std::string* error);
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const std::string& workDir() const { return workDir_; }
  const std::string& socketPath() const { return socketPath_; }
  // The plug-in's log file, once it exists (empty before). The file is
  // named after the process hosting the plug-in: this one, unless a host
  // in another process was named here.
  std::string FindLogFile() const;
  void SetHostProcess(pid_t pid) { hostPid_ = pid; }
  // The log as it stands, and a wait until it holds `text` (the plug-in
  // writes it on its own threads; the bound is only a safety net).
  std::string LogText() const;
  bool AwaitLog(const std::string& text) const;

 private:
  Sandbox() = default;

  std::string workDir_;
  std::string socketPath_;
  bool keepLog_ = true;
  pid_t hostPid_ = getpid();
};

}  // namespace scredir::tools
