// The demo's command line. Parsing is pure (no file or process access) so
// the rules can be tested on their own.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace scredir::demo {

enum class Backend { kEmulated, kPcsc };
// Who answers the plug-in: the client double, or a stock FreeRDP client
// behind the RDP bridge (always on the private PC/SC stack).
enum class Client { kDouble, kFreeRdp };

struct DemoOptions {
  bool help = false;
  bool debug = false;  // --log-level debug
  std::string plugin;  // --plugin PATH (empty: next to the program)
  Backend backend = Backend::kEmulated;
  Client client = Client::kDouble;  // --client double|freerdp
  bool privateStack = false;        // --private-stack: a pcscd of the demo's own
  std::string socketPath;           // --socket PATH (empty: in the work directory)
  std::chrono::milliseconds stepTimeout{10000};
  std::chrono::milliseconds cardWait{30000};
  std::string removeCardBefore;  // step name, emulated card only
  std::string clientStopsAt;     // step name
};

// Fills `options` from argv[1..]; false with `error` set on bad input.
bool ParseOptions(const std::vector<std::string>& args, DemoOptions* options, std::string* error);

// The --help text.
std::string UsageText(const std::string& program);

}  // namespace scredir::demo
