// PcscStack: a private PC/SC stack (pcscd, virtual reader, virtual card) for one run.
//
// It starts, in a directory of its own (/tmp/scredir-realstack-<pid>, the
// same for every stack of one process):
//   - pcscd in the foreground, handed a listening Unix socket in that
//     directory the way a service manager hands it one (LISTEN_FDS), so it
//     never touches the system's /run/pcscd/pcscd.comm and can run beside a
//     system pcscd; its reader configuration is a private copy that loads
//     only the virtual reader driver (vpcd, "Virtual PCD 00 00"). pcscd
//     still writes the system-wide /run/pcscd/pcscd.pid; a pid file that was
//     there before is put back when the stack goes;
//   - once the driver listens on its TCP port (35963; the driver binds every
//     interface, nothing but loopback ever connects), the virtual ISO 7816
//     card (vicc), connected to 127.0.0.1.
// Start() points PCSCLITE_CSOCK_NAME at SocketPath() so this process's
// libpcsclite calls reach the private pcscd (the library reads it once per
// process, hence the fixed directory).
//
// Every process is stopped by its process id when the stack is destroyed
// (SIGTERM, then SIGKILL if it lingers) and the directory is removed.
// Start() says why when the stack cannot run here, so tests can skip.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace scredir::tools {

// A child process that is stopped, by its id, when the holder goes away.
class ChildProcess {
 public:
  ChildProcess() = default;
  explicit ChildProcess(pid_t pid) : pid_(pid) {}
  ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ~ChildProcess() { Stop(); }

  pid_t pid() const { return pid_; }
  // True while the process has not exited (reaps it when it has).
  bool Running();
  // SIGTERM, a bounded wait, then SIGKILL; always reaps.
  void Stop();

 private:
  pid_t pid_ = -1;
};

// Starts `argv` with exactly `env` as its environment and its output in
// `logPath`. When `listenFd` is not negative it becomes descriptor 3 of the
// child with LISTEN_FDS=1 and LISTEN_PID set to the child's own id.
ChildProcess Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const std::string& logPath, int listenFd = -1);

// Polls `ready` until it holds, `child` (when given) has exited or `limit`
// has passed; then what `ready` says.
bool WaitWhileRunning(const std::function<bool()>& ready, ChildProcess* child,
                      std::chrono::milliseconds limit);

// The last `lines` lines of a file, indented, for messages.
std::string FileTail(const std::string& path, size_t lines);

// True when something listens on TCP `port` (any local address), read from
// /proc/net/tcp{,6} so that no connection is made to the listener.
bool TcpPortListening(unsigned port);

class PcscStack {
 public:
  static constexpr unsigned kVpcdPort = 35963;
  static constexpr const char* kReaderName = "Virtual PCD 00 00";
  // The virtual ISO 7816 card's ATR, as opensc-tool prints it.
  static constexpr const char* kCardAtr = "3b:95:13:81:01:80:73:ff:01:00:0b";

  // Null with *whyNot filled when the stack cannot run on this machine.
  static std::unique_ptr<PcscStack> Start(std::string* whyNot);
  ~PcscStack();

  // Stops the virtual card and waits until pcscd sees the reader empty.
  bool RemoveCard();

  const std::string& SocketPath() const { return socketPath_; }
  const std::string& Directory() const { return dir_; }
  // The last lines of the daemon's and the card's output, for messages.
  std::string LogTail() const;

 private:
  PcscStack() = default;
  bool StartDaemon(std::string* whyNot);
  bool StartCard(std::string* whyNot);
  // Polls pcscd until the reader's card is (or is not) present; gives up
  // early if `card` is given and exits.
  bool WaitForCard(bool present, ChildProcess* card);

  struct PidFileKeeper;

  std::string dir_;
  std::string socketPath_;
  ChildProcess pcscd_;
  ChildProcess vicc_;
  std::unique_ptr<PidFileKeeper> pidFile_;
};

}  // namespace scredir::tools
