// See app_side.h.
#include "tools/chain/app_side.h"

#include <sys/stat.h>

#include <cstdio>
#include <utility>

#include "tools/harness/real_peer.h"

extern char** environ;

namespace scredir::chain {

bool AppSide::Start(std::vector<std::string> daemon, const std::string& dir,
                    std::chrono::seconds limit, std::string* why) {
  socket_ = dir + "/apps.comm";
  log_ = dir + "/scredir-pcscd.log";
  limitSeconds_ = static_cast<long>(limit.count());
  daemon.insert(daemon.begin() + 1, {"--client-socket", socket_});
  daemon_ = tools::Spawn(daemon, Environment(), log_);
  struct stat st {};
  if (tools::WaitFor(std::chrono::seconds(10), [&] { return ::stat(socket_.c_str(), &st) == 0; }))
    return true;
  *why = "scredir-pcscd never listened:\n" + Log();
  return false;
}

std::vector<std::string> AppSide::Environment() const {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e)
    if (std::string(*e).rfind("PCSCLITE_CSOCK_NAME=", 0) != 0) env.emplace_back(*e);
  env.push_back("PCSCLITE_CSOCK_NAME=" + socket_);
  return env;
}

std::string AppSide::Command(const std::string& command) const {
  return "env PCSCLITE_CSOCK_NAME='" + socket_ + "' timeout " + std::to_string(limitSeconds_) +
         " " + command + " 2>&1";
}

std::string AppSide::Run(const std::string& command, int* status) const {
  return tools::RunCommand(Command(command), status);
}

bool AppSide::AwaitReader(const char* reader, std::chrono::seconds limit) const {
  return tools::WaitFor(
      limit, [&] { return Run("opensc-tool --list-readers").find(reader) != std::string::npos; });
}

std::string AppSide::OpenscToolReachesTheCard() const {
  const std::pair<const char*, const char*> checks[] = {
      {"opensc-tool --list-readers", tools::PcscStack::kReaderName},
      {"opensc-tool --atr", tools::PcscStack::kCardAtr},
      // vicc answers SELECT with P2=0C; P2=00 makes it fail.
      {"opensc-tool --send-apdu 00A4000C023F00", "Received (SW1=0x90, SW2=0x00)"},
  };
  std::string failures;
  for (const auto& [command, expected] : checks) {
    int status = -1;
    const std::string out = Run(command, &status);
    std::printf("$ %s\n%s", command, out.c_str());
    if (status != 0 || out.find(expected) == std::string::npos)
      failures += std::string(command) + " (status " + std::to_string(status) + ") lacks " +
                  expected + ":\n" + out;
  }
  return failures;
}

std::string AppSide::Log() const {
  return tools::ReadFile(log_);
}

}  // namespace scredir::chain
