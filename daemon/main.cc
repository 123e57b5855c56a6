// scredir-pcscd: see server.h. Stops cleanly on SIGTERM and SIGINT.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "daemon/log.h"
#include "daemon/options.h"
#include "daemon/server.h"

namespace {

scredir::pcscd::Server* g_server = nullptr;

void OnSignal(int) {
  if (g_server) g_server->Stop();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace scredir::pcscd;
  CommandLine cl = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (cl.action == CommandLine::Action::kHelp) {
    std::fputs(UsageText().c_str(), stdout);
    return 0;
  }
  if (cl.action == CommandLine::Action::kError) {
    std::fprintf(stderr, "scredir-pcscd: %s\n%s", cl.error.c_str(), UsageText().c_str());
    return 2;
  }
  SetLogLevel(cl.logLevel);
  std::signal(SIGPIPE, SIG_IGN);

  Server server(cl.server);
  std::string error;
  if (!server.Listen(&error)) {
    Log(LogLevel::kError, "%s", error.c_str());
    return 1;
  }
  g_server = &server;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  server.Run();
  g_server = nullptr;
  return 0;
}
