// scredir-rdp-bridge: a minimal RDP server hosting the plug-in, for one
// real RDP client (see bridge_server.h).
//
//   scredir-rdp-bridge --plugin PATH --cert FILE --key FILE [--port N] [--lifetime SECONDS]
//
// The plug-in reads its configuration from $HOME/.nimbrel/config and logs
// under $TMPDIR, as in any host.
#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <iostream>
#include <string>

#include "tools/rdp_bridge/bridge_server.h"

namespace {

std::atomic<bool> g_stop{false};

void OnSignal(int) {
  g_stop = true;
}

int Usage(const char* message) {
  if (message) std::cerr << "scredir-rdp-bridge: " << message << "\n";
  std::cerr << "Usage: scredir-rdp-bridge --plugin PATH --cert FILE --key FILE [--port N]\n"
               "                          [--lifetime SECONDS]\n"
               "Listens on 127.0.0.1:N (0 or none: a free port, printed), serves one RDP\n"
               "client (TLS, no NLA) and carries its smart-card device to the plug-in.\n"
               "Ends when the client leaves, on SIGTERM, or after SECONDS (default 600).\n";
  return message ? 2 : 0;
}

}  // namespace

// Under the leak checker: FreeRDP 2.11 keeps its TLS key and certificate
// objects (libcrypto) past the end of the peer; they are not ours to free.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libcrypto.so\n";
}

int main(int argc, char** argv) {
  scredir::bridge::BridgeOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") return Usage(nullptr);
    if (i + 1 >= argc) return Usage((arg + " needs a value").c_str());
    std::string value = argv[++i];
    char* end = nullptr;
    unsigned long number = std::strtoul(value.c_str(), &end, 10);
    bool numeric = !value.empty() && *end == '\0';
    if (arg == "--plugin") {
      options.plugin = value;
    } else if (arg == "--cert") {
      options.certificate = value;
    } else if (arg == "--key") {
      options.privateKey = value;
    } else if (arg == "--port" && numeric && number <= 65535) {
      options.port = static_cast<uint16_t>(number);
    } else if (arg == "--lifetime" && numeric && number > 0 && number <= 86400) {
      options.lifetime = std::chrono::seconds(number);
    } else {
      return Usage(("bad option or value: " + arg + " " + value).c_str());
    }
  }
  if (options.plugin.empty() || options.certificate.empty() || options.privateKey.empty())
    return Usage("--plugin, --cert and --key are required");

  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  options.log = &std::cout;
  options.stop = &g_stop;
  return scredir::bridge::RunBridge(options);
}
