// A private pcscd + virtual reader + virtual card; see pcsc_stack.h.
#include "tools/pcsc_stack.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <winscard.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

namespace scredir::tools {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kPcscd = "/usr/sbin/pcscd";
constexpr const char* kVpcdDriver = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so";
constexpr const char* kPidFile = "/run/pcscd/pcscd.pid";
// Where Debian puts the emulator's package and the crypto module it imports
// under another name.
constexpr const char* kViccPackageDirs[] = {
    "/usr/lib/python3/site-packages/virtualsmartcard",
    "/usr/local/lib/python3/site-packages/virtualsmartcard",
};
constexpr const char* kCryptodomeDirs[] = {
    "/usr/lib/python3/dist-packages/Cryptodome",
    "/usr/local/lib/python3/dist-packages/Cryptodome",
};
// Readiness limits: generous, they only bound how long a broken set-up
// takes to be reported.
constexpr auto kStartLimit = std::chrono::seconds(15);
constexpr auto kPoll = std::chrono::milliseconds(50);

std::string FirstExisting(std::initializer_list<const char*> candidates) {
  for (const char* c : candidates)
    if (fs::exists(c)) return c;
  return {};
}

std::string FindInPath(const std::string& name) {
  const char* path = getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':'))
    if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
  return {};
}

// Writes a decimal number without allocating (used between fork and exec).
void FormatUnsigned(char* out, size_t room, unsigned long value) {
  char digits[24];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 && n < sizeof digits);
  size_t i = 0;
  for (; i < n && i + 1 < room; ++i) out[i] = digits[n - 1 - i];
  out[i] = '\0';
}

std::vector<char*> CStrings(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

// Listening Unix socket at `path`, or -1.
int ListenUnix(const std::string& path) {
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) return -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

bool WaitWhileRunning(const std::function<bool()>& ready, ChildProcess* child,
                      std::chrono::milliseconds limit) {
  auto deadline = Clock::now() + limit;
  while (Clock::now() < deadline) {
    if (ready()) return true;
    if (child && !child->Running()) break;
    std::this_thread::sleep_for(kPoll);
  }
  return ready();
}

std::string FileTail(const std::string& path, size_t lines) {
  std::ifstream in(path);
  std::vector<std::string> all;
  for (std::string line; std::getline(in, line);) all.push_back(line);
  std::string out;
  for (size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i)
    out += "  " + all[i] + "\n";
  return out;
}

// The pid file pcscd writes even when it is handed its socket: if a system
// pcscd owns it, it is put back once ours has gone.
struct PcscStack::PidFileKeeper {
  bool hadDir = fs::exists("/run/pcscd");
  std::string saved;
  PidFileKeeper() {
    std::ifstream in(kPidFile);
    std::getline(in, saved);
  }
  ~PidFileKeeper() {
    std::error_code ec;
    if (!saved.empty()) {
      std::ofstream(kPidFile) << saved << "\n";
    } else if (!hadDir) {
      fs::remove("/run/pcscd", ec);  // only if pcscd left it empty
    }
  }
};

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    Stop();
    pid_ = other.pid_;
    other.pid_ = -1;
  }
  return *this;
}

bool ChildProcess::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_ || (r < 0 && errno == ECHILD)) {
    pid_ = -1;
    return false;
  }
  return true;
}

void ChildProcess::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (Clock::now() < deadline) {
    if (!Running()) return;
    std::this_thread::sleep_for(kPoll);
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

ChildProcess Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const std::string& logPath, int listenFd) {
  // Everything the child needs is prepared here: after fork only
  // async-signal-safe calls are made.
  std::vector<std::string> args = argv, vars = env;
  std::string listenPid = "LISTEN_PID=" + std::string(24, '\0');
  if (listenFd >= 0) vars.push_back("LISTEN_FDS=1");
  std::vector<char*> cargs = CStrings(args);
  std::vector<char*> cvars = CStrings(vars);
  if (listenFd >= 0) cvars.insert(cvars.end() - 1, listenPid.data());
  int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);

  pid_t pid = fork();
  if (pid == 0) {
    if (devnull >= 0) dup2(devnull, STDIN_FILENO);
    if (log >= 0) {
      dup2(log, STDOUT_FILENO);
      dup2(log, STDERR_FILENO);
    }
    if (listenFd >= 0) {
      if (listenFd != 3) {
        dup2(listenFd, 3);
      } else {
        fcntl(3, F_SETFD, 0);  // keep it across exec
      }
      FormatUnsigned(listenPid.data() + std::strlen("LISTEN_PID="), 24,
                     static_cast<unsigned long>(getpid()));
    }
    execve(cargs[0], cargs.data(), cvars.data());
    _exit(127);
  }
  if (log >= 0) close(log);
  if (devnull >= 0) close(devnull);
  return ChildProcess(pid > 0 ? pid : -1);
}

bool TcpPortListening(unsigned port) {
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // column titles
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      if (state == "0A" && local.size() > 5 && local.ends_with(wanted)) return true;
    }
  }
  return false;
}

std::unique_ptr<PcscStack> PcscStack::Start(std::string* whyNot) {
  for (const char* needed : {kPcscd, kVpcdDriver}) {
    if (!fs::exists(needed)) {
      *whyNot = std::string(needed) + " is not installed (scripts/install-deps.sh installs it)";
      return nullptr;
    }
  }
  if (TcpPortListening(kVpcdPort)) {
    *whyNot = "TCP port " + std::to_string(kVpcdPort) +
              " already has a listener (another pcscd with the virtual reader driver?)";
    return nullptr;
  }
  std::unique_ptr<PcscStack> stack(new PcscStack());
  // libpcsclite reads PCSCLITE_CSOCK_NAME once per process, so every stack
  // of a process uses the same directory (named after the process; one
  // left by an earlier process of the same id is ours to clear).
  stack->dir_ = "/tmp/scredir-realstack-" + std::to_string(getpid());
  std::error_code ec;
  fs::remove_all(stack->dir_, ec);
  if (!fs::create_directory(stack->dir_, ec)) {
    *whyNot = "cannot create " + stack->dir_ + ": " + ec.message();
    return nullptr;
  }
  stack->socketPath_ = stack->dir_ + "/pcscd.comm";
  if (!stack->StartDaemon(whyNot) || !stack->StartCard(whyNot)) return nullptr;
  return stack;
}

bool PcscStack::StartDaemon(std::string* whyNot) {
  fs::create_directories(dir_ + "/reader.conf.d");
  std::ofstream(dir_ + "/reader.conf.d/vpcd")
      << "FRIENDLYNAME \"Virtual PCD\"\n"
      << "DEVICENAME   /dev/null:0x" << std::hex << kVpcdPort << "\n"
      << "LIBPATH      " << kVpcdDriver << "\n"
      << "CHANNELID    0x" << std::hex << kVpcdPort << "\n";
  int listenFd = ListenUnix(socketPath_);
  if (listenFd < 0) {
    *whyNot = "cannot listen on " + socketPath_ + ": " + std::strerror(errno);
    return false;
  }
  pidFile_ = std::make_unique<PidFileKeeper>();
  pcscd_ = Spawn({kPcscd, "--foreground", "--apdu", "--info", "--config", dir_ + "/reader.conf.d"},
                 {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"}, dir_ + "/pcscd.log", listenFd);
  close(listenFd);
  if (!WaitWhileRunning([] { return TcpPortListening(kVpcdPort); }, &pcscd_, kStartLimit)) {
    *whyNot = "pcscd did not start its virtual reader on port " + std::to_string(kVpcdPort) +
              ":\n" + FileTail(dir_ + "/pcscd.log", 10);
    return false;
  }
  return true;
}

bool PcscStack::StartCard(std::string* whyNot) {
  std::string vicc = FindInPath("vicc");
  std::string package = FirstExisting({kViccPackageDirs[0], kViccPackageDirs[1]});
  if (vicc.empty() || package.empty()) {
    *whyNot = "the virtual smart card (python3-virtualsmartcard) is not installed";
    return false;
  }
  // The emulator imports "Crypto"; Debian ships that module as "Cryptodome".
  std::string pythonPath = package;
  std::string cryptodome = FirstExisting({kCryptodomeDirs[0], kCryptodomeDirs[1]});
  if (!cryptodome.empty()) {
    fs::create_directories(dir_ + "/pyshim");
    std::error_code ec;
    fs::create_directory_symlink(cryptodome, dir_ + "/pyshim/Crypto", ec);
    pythonPath = dir_ + "/pyshim:" + package;
  }
  vicc_ = Spawn(
      {vicc, "--type", "iso7816", "--hostname", "127.0.0.1", "--port", std::to_string(kVpcdPort)},
      {"PATH=/usr/bin:/bin", "PYTHONPATH=" + pythonPath, "HOME=" + dir_}, dir_ + "/vicc.log");

  // The card is in once pcscd reports it present in the virtual reader.
  setenv("PCSCLITE_CSOCK_NAME", socketPath_.c_str(), 1);
  if (!WaitForCard(true, &vicc_)) {
    *whyNot =
        "the virtual card did not appear in \"" + std::string(kReaderName) + "\":\n" + LogTail();
    return false;
  }
  return true;
}

bool PcscStack::RemoveCard() {
  vicc_.Stop();
  return WaitForCard(false, nullptr);
}

bool PcscStack::WaitForCard(bool present, ChildProcess* card) {
  SCARDCONTEXT context = 0;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS)
    return false;
  bool reached = WaitWhileRunning(
      [context, present] {
        SCARD_READERSTATE state{};
        state.szReader = kReaderName;
        state.dwCurrentState = SCARD_STATE_UNAWARE;
        return SCardGetStatusChange(context, 0, &state, 1) == SCARD_S_SUCCESS &&
               ((state.dwEventState & SCARD_STATE_PRESENT) != 0) == present;
      },
      card, kStartLimit);
  SCardReleaseContext(context);
  return reached;
}

std::string PcscStack::LogTail() const {
  return "pcscd:\n" + FileTail(dir_ + "/pcscd.log", 8) + "vicc:\n" +
         FileTail(dir_ + "/vicc.log", 8);
}

PcscStack::~PcscStack() {
  vicc_.Stop();
  pcscd_.Stop();
  pidFile_.reset();
  std::error_code ec;
  if (!dir_.empty() && !getenv("SCREDIR_KEEP_REALSTACK")) fs::remove_all(dir_, ec);
}

}  // namespace scredir::tools
