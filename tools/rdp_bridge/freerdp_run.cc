// The bridge, the virtual display and xfreerdp as child processes; see
// freerdp_run.h.
#include "tools/rdp_bridge/freerdp_run.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>
#include <vector>

namespace scredir::bridge {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kXvfb = "/usr/bin/Xvfb";
constexpr const char* kXfreerdp = "/usr/bin/xfreerdp";
constexpr const char* kOpenssl = "/usr/bin/openssl";
// Start-up limits: generous, they only bound how long a broken set-up takes
// to be reported.
constexpr auto kStartLimit = std::chrono::seconds(20);
// Display numbers tried for the virtual display, well above the usual ones.
constexpr int kFirstDisplay = 140;
constexpr int kDisplayTries = 20;
// The client's log categories shown at debug level.
constexpr const char* kClientLogFilters =
    "/log-filters:com.freerdp.channels.smartcard.client:DEBUG,"
    "com.freerdp.channels.rdpdr.client:DEBUG,com.freerdp.channels.smartcard:DEBUG";
constexpr const char* kBridgeListening = "listening on 127.0.0.1:";  // kListeningLine

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Env(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return std::string(name) + "=" + (value && *value ? value : fallback);
}

}  // namespace

std::string MissingClientPrograms() {
  std::string missing;
  for (const char* program : {kXvfb, kXfreerdp, kOpenssl})
    if (access(program, X_OK) != 0) missing += (missing.empty() ? "" : ", ") + std::string(program);
  return missing.empty() ? missing
                         : missing + " not installed (scripts/install-deps.sh installs them)";
}

bool MakeCertificate(const std::string& dir, std::string* certificate, std::string* key,
                     std::string* error) {
  *certificate = dir + "/bridge-cert.pem";
  *key = dir + "/bridge-key.pem";
  tools::ChildProcess openssl =
      tools::Spawn({kOpenssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=127.0.0.1", "-keyout", *key, "-out", *certificate},
                   {"PATH=/usr/bin:/bin", "HOME=" + dir}, dir + "/openssl.log");
  tools::WaitWhileRunning([&] { return !openssl.Running(); }, nullptr, kStartLimit);
  std::error_code ec;
  if (fs::file_size(*certificate, ec) > 0 && fs::file_size(*key, ec) > 0) return true;
  *error = "openssl did not write a certificate:\n" + tools::FileTail(dir + "/openssl.log", 5);
  return false;
}

std::unique_ptr<FreeRdpRun> FreeRdpRun::Start(const FreeRdpRunOptions& options,
                                              std::string* error) {
  std::string missing = MissingClientPrograms();
  if (!missing.empty()) {
    *error = missing;
    return nullptr;
  }
  if (access(options.bridgeProgram.c_str(), X_OK) != 0) {
    *error = "the bridge program " + options.bridgeProgram +
             " is not built (it needs freerdp2-dev at configure time)";
    return nullptr;
  }
  std::unique_ptr<FreeRdpRun> run(new FreeRdpRun());
  run->options_ = options;
  if (!MakeCertificate(options.workDir, &run->certificate_, &run->key_, error) ||
      !run->StartBridge(error) || !run->StartDisplay(error) || !run->StartClient(error))
    return nullptr;
  return run;
}

bool FreeRdpRun::StartBridge(std::string* error) {
  std::string log = options_.workDir + "/bridge.log";
  bridge_ = tools::Spawn(
      {options_.bridgeProgram, "--plugin", options_.plugin, "--cert", certificate_, "--key", key_,
       "--port", "0", "--lifetime", std::to_string(options_.lifetime.count())},
      {Env("HOME", "/tmp"), Env("TMPDIR", "/tmp"), "PATH=/usr/bin:/bin"}, log);
  bridgePid_ = bridge_.pid();
  size_t at = std::string::npos;
  std::string text;
  tools::WaitWhileRunning(
      [&] {
        text = ReadFile(log);
        at = text.find(kBridgeListening);
        return at != std::string::npos && text.find('\n', at) != std::string::npos;
      },
      &bridge_, kStartLimit);
  if (at == std::string::npos) {
    *error = "the bridge did not start listening:\n" + tools::FileTail(log, 10);
    return false;
  }
  port_ = static_cast<uint16_t>(std::atoi(text.c_str() + at + std::strlen(kBridgeListening)));
  return port_ != 0;
}

bool FreeRdpRun::StartDisplay(std::string* error) {
  // A display whose lock and socket are both free; another X server may
  // still win the race, so a start that fails moves on to the next number.
  for (int n = kFirstDisplay; n < kFirstDisplay + kDisplayTries; ++n) {
    std::string number = std::to_string(n);
    std::string socket = "/tmp/.X11-unix/X" + number;
    if (fs::exists("/tmp/.X" + number + "-lock") || fs::exists(socket)) continue;
    xvfb_ = tools::Spawn({kXvfb, ":" + number, "-nolisten", "tcp", "-screen", "0", "800x600x24"},
                         {"PATH=/usr/bin:/bin"}, options_.workDir + "/xvfb.log");
    if (tools::WaitWhileRunning([&] { return fs::exists(socket); }, &xvfb_, kStartLimit) &&
        xvfb_.Running()) {
      display_ = n;
      return true;
    }
    xvfb_.Stop();
  }
  *error = "no virtual X display could be started:\n" +
           tools::FileTail(options_.workDir + "/xvfb.log", 5);
  return false;
}

bool FreeRdpRun::StartClient(std::string* error) {
  std::string home = options_.workDir + "/client-home";
  std::error_code ec;
  fs::create_directories(home, ec);
  client_ = tools::Spawn(
      {kXfreerdp, "/v:127.0.0.1:" + std::to_string(port_), "/smartcard", "/cert:ignore", "-sec-nla",
       "/sec:tls", "/size:640x480", "-clipboard", "/log-level:INFO", kClientLogFilters},
      {"DISPLAY=:" + std::to_string(display_), "PCSCLITE_CSOCK_NAME=" + options_.pcscSocket,
       "HOME=" + home, "PATH=/usr/bin:/bin"},
      options_.workDir + "/xfreerdp.log");
  if (!client_.Running()) {
    *error = "xfreerdp did not start";
    return false;
  }
  return true;
}

void FreeRdpRun::Stop() {
  client_.Stop();
  // With the client gone the bridge closes the plug-in's channel and ends.
  tools::WaitWhileRunning([&] { return !bridge_.Running(); }, nullptr, std::chrono::seconds(10));
  bridge_.Stop();
  xvfb_.Stop();
}

std::string FreeRdpRun::BridgeLog() const {
  return ReadFile(options_.workDir + "/bridge.log");
}

std::string FreeRdpRun::ClientLog() const {
  return ReadFile(options_.workDir + "/xfreerdp.log");
}

std::string FreeRdpRun::Tails() const {
  return "bridge:\n" + tools::FileTail(options_.workDir + "/bridge.log", 15) + "xfreerdp:\n" +
         tools::FileTail(options_.workDir + "/xfreerdp.log", 15);
}

}  // namespace scredir::bridge
