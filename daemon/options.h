// scredir-pcscd's command line.
#pragma once

#include <string>
#include <vector>

#include "daemon/log.h"
#include "daemon/server.h"

namespace scredir::pcscd {

struct CommandLine {
  enum class Action { kRun, kHelp, kError } action = Action::kRun;
  ServerOptions server;
  LogLevel logLevel = LogLevel::kInfo;
  std::string error;  // for kError
};

CommandLine ParseCommandLine(const std::vector<std::string>& args);
std::string UsageText();

}  // namespace scredir::pcscd
