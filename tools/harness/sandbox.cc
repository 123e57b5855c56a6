// The plug-in's work directory, configuration, socket check and log; see
// sandbox.h.
#include "tools/harness/sandbox.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace scredir::tools {
namespace {

namespace fs = std::filesystem;

// Connects to a Unix socket path: 0 when something accepted, else errno.
int TryConnect(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  int rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 ? 0 : errno;
  close(fd);
  return rc;
}

}  // namespace

std::string QuoteConfigValue(const std::string& value) {
  std::string out = "\"";
  for (unsigned char c : value) {
    if ((c < 0x20 && c != '\t') || c == '"' || c == '|' || c == 0x7F) {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "|%02X", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

SocketPathState ProbeSocketPath(const std::string& path) {
  if (path.size() >= sizeof(sockaddr_un::sun_path)) return SocketPathState::kTooLong;
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return SocketPathState::kFree;
  if (!S_ISSOCK(st.st_mode)) return SocketPathState::kNotSocket;
  // A listener accepts (or keeps us waiting in its backlog: EAGAIN); only
  // a refusal shows that nobody is there.
  return TryConnect(path) == ECONNREFUSED ? SocketPathState::kStale : SocketPathState::kInUse;
}

std::string SocketPathProblem(const std::string& path, SocketPathState state) {
  switch (state) {
    case SocketPathState::kInUse:
      return "the daemon socket path " + path +
             " is in use by another process; stop it or choose another path with --socket";
    case SocketPathState::kNotSocket:
      return "the daemon socket path " + path +
             " exists and is not a socket; it is left alone, choose another path with --socket";
    case SocketPathState::kTooLong:
      return "the daemon socket path " + path + " is too long for a Unix socket (at most " +
             std::to_string(sizeof(sockaddr_un::sun_path) - 1) + " bytes)";
    case SocketPathState::kFree:
    case SocketPathState::kStale:
      break;
  }
  return {};
}

std::unique_ptr<Sandbox> Sandbox::Create(const Options& options, std::string* error) {
  // TMPDIR as the process found it: Create points it elsewhere.
  static const std::string base = [] {
    const char* dir = getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp");
  }();
  std::string pattern = base + "/scredir-run-XXXXXX";
  std::unique_ptr<Sandbox> box(new Sandbox());
  if (!mkdtemp(pattern.data())) {
    *error = "cannot create a work directory from " + pattern + ": " + std::strerror(errno);
    return nullptr;
  }
  box->workDir_ = pattern;
  box->keepLog_ = options.keepLog;
  box->socketPath_ = options.socketPath.empty() ? pattern + "/qrn.socket" : options.socketPath;

  std::error_code ec;
  fs::create_directories(pattern + "/home/.nimbrel", ec);
  fs::create_directories(pattern + "/log", ec);
  std::ofstream config(pattern + "/home/.nimbrel/config");
  config << "# Written for this run only.\n"
         << "QRN.ScRedir.socketPath = " << QuoteConfigValue(box->socketPath_) << "\n";
  if (options.debug) config << "QRN.ScRedir.logLevel = \"debug\"\n";
  for (const auto& [key, value] : options.keys)
    config << key << " = " << QuoteConfigValue(value) << "\n";
  config.close();
  if (ec || !config) {
    *error = "cannot write the plug-in's configuration under " + pattern;
    return nullptr;
  }
  setenv("HOME", (pattern + "/home").c_str(), 1);
  setenv("TMPDIR", (pattern + "/log").c_str(), 1);
  return box;
}

Sandbox::~Sandbox() {
  std::error_code ec;
  fs::remove_all(workDir_ + "/home", ec);
  // The socket normally goes with the daemon double; one left behind is
  // removed only while nobody listens on it.
  if (ProbeSocketPath(socketPath_) == SocketPathState::kStale) unlink(socketPath_.c_str());
  if (!keepLog_ || FindLogFile().empty()) fs::remove_all(workDir_, ec);
}

std::string Sandbox::FindLogFile() const {
  // The log facility picks a per-user directory below TMPDIR; the file
  // carries the host's process id.
  std::string suffix = "-" + std::to_string(hostPid_) + ".log";
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(workDir_ + "/log", ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (it->is_regular_file(ec) && name.ends_with(suffix)) return it->path().string();
  }
  return {};
}

std::string Sandbox::LogText() const {
  std::string path = FindLogFile();
  if (path.empty()) return {};
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool Sandbox::AwaitLog(const std::string& text) const {
  // Polls the file: the plug-in offers no other signal.
  for (int i = 0; i < 6000; ++i) {
    if (LogText().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace scredir::tools
