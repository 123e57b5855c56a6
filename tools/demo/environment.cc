// The demo's work directory, configuration, socket check and log; see
// environment.h.
#include "tools/demo/environment.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace scredir::demo {
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

std::string WithoutLinePrefix(const std::string& line) {
  // "2026-01-02T03:04:05.678Z In(05) thread message": the time stamp ends
  // in Z, the level designator in ")".
  size_t stamp = line.find(' ');
  if (stamp == std::string::npos || stamp == 0 || line[stamp - 1] != 'Z') return line;
  size_t level = line.find(' ', stamp + 1);
  if (level == std::string::npos || line[level - 1] != ')') return line;
  size_t thread = line.find(' ', level + 1);
  return thread == std::string::npos ? line : line.substr(thread + 1);
}

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

std::unique_ptr<DemoEnvironment> DemoEnvironment::Create(const std::string& socketPath, bool debug,
                                                         std::string* error, bool keepLog) {
  // TMPDIR as the process found it: Create points it elsewhere.
  static const std::string base = [] {
    const char* dir = getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp");
  }();
  std::string pattern = base + "/scredir-demo-XXXXXX";
  std::unique_ptr<DemoEnvironment> env(new DemoEnvironment());
  if (!mkdtemp(pattern.data())) {
    *error = "cannot create a work directory from " + pattern + ": " + std::strerror(errno);
    return nullptr;
  }
  env->workDir_ = pattern;
  env->keepLog_ = keepLog;
  env->socketPath_ = socketPath.empty() ? env->workDir_ + "/qrn.socket" : socketPath;

  std::error_code ec;
  fs::create_directories(env->workDir_ + "/home/.nimbrel", ec);
  fs::create_directories(env->workDir_ + "/log", ec);
  std::ofstream config(env->workDir_ + "/home/.nimbrel/config");
  config << "# Written by the demo for this run only.\n"
         << "QRN.ScRedir.socketPath = " << QuoteConfigValue(env->socketPath_) << "\n";
  if (debug) config << "QRN.ScRedir.logLevel = \"debug\"\n";
  config.close();
  if (ec || !config) {
    *error = "cannot write the plug-in's configuration under " + env->workDir_;
    return nullptr;
  }
  setenv("HOME", (env->workDir_ + "/home").c_str(), 1);
  setenv("TMPDIR", (env->workDir_ + "/log").c_str(), 1);
  return env;
}

DemoEnvironment::~DemoEnvironment() {
  std::error_code ec;
  fs::remove_all(workDir_ + "/home", ec);
  // The socket normally goes with the daemon double; one left behind is
  // removed only while nobody listens on it.
  if (ProbeSocketPath(socketPath_) == SocketPathState::kStale) unlink(socketPath_.c_str());
  if (!keepLog_ || FindLogFile().empty()) fs::remove_all(workDir_, ec);
}

std::string DemoEnvironment::FindLogFile() const {
  // The log facility picks a per-user directory below TMPDIR; the file
  // carries our process id.
  std::string suffix = "-" + std::to_string(getpid()) + ".log";
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(workDir_ + "/log", ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (it->is_regular_file(ec) && name.ends_with(suffix)) return it->path().string();
  }
  return {};
}

void LogFollower::Drain(std::ostream& out) {
  if (path_.empty()) path_ = env_.FindLogFile();
  if (path_.empty()) return;
  std::ifstream in(path_, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset_));
  std::string line;
  while (std::getline(in, line)) {
    if (in.eof()) break;  // no newline yet: the writer is mid-line
    offset_ += line.size() + 1;
    out << "     | " << WithoutLinePrefix(line) << "\n";
  }
  out.flush();
}

}  // namespace scredir::demo
