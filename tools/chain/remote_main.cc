// scredir-chain-remote: the remote half of a chain run, for the demo script.
//
// It loads the built plug-in into the host double with the client double
// answering from an emulated card or, with --backend pcsc, from this
// machine's PC/SC stack (--private-stack starts a private pcscd with a
// virtual card for it), points the plug-in at the daemon socket given, and
// runs until SIGTERM or SIGINT. "ready" on standard output says the channel
// is open.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "tools/chain/remote_side.h"
#include "tools/pcsc_stack.h"

namespace {

int Usage(const char* why) {
  if (why) std::fprintf(stderr, "scredir-chain-remote: %s\n", why);
  std::fprintf(stderr,
               "usage: scredir-chain-remote --plugin PATH --socket PATH [--backend emulated|pcsc]\n"
               "                            [--private-stack] [--debug]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  scredir::chain::RemoteSide::Options options;
  bool privateStack = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "--plugin") {
      const char* v = value();
      if (!v) return Usage("--plugin needs a path");
      options.plugin = v;
    } else if (arg == "--socket") {
      const char* v = value();
      if (!v) return Usage("--socket needs a path");
      options.socketPath = v;
    } else if (arg == "--backend") {
      const char* v = value();
      if (!v || (std::string(v) != "emulated" && std::string(v) != "pcsc"))
        return Usage("--backend is emulated or pcsc");
      options.pcsc = std::string(v) == "pcsc";
    } else if (arg == "--private-stack") {
      privateStack = true;
    } else if (arg == "--debug") {
      options.debugLog = true;
    } else {
      return Usage(("unknown option " + arg).c_str());
    }
  }
  if (options.plugin.empty() || options.socketPath.empty())
    return Usage("--plugin and --socket are needed");

  // Block the stop signals before any thread starts, then wait for them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  std::string error;
  std::unique_ptr<scredir::tools::PcscStack> stack;
  if (options.pcsc && privateStack) {
    stack = scredir::tools::PcscStack::Start(&error);
    if (!stack) {
      std::fprintf(stderr, "scredir-chain-remote: the private PC/SC stack cannot run: %s\n",
                   error.c_str());
      return 1;
    }
  }
  auto side = scredir::chain::RemoteSide::Start(options, &error);
  if (!side) {
    std::fprintf(stderr, "scredir-chain-remote: %s\n", error.c_str());
    return 1;
  }
  std::printf("ready: %s card behind the plug-in; plug-in log under %s\n",
              options.pcsc ? (stack ? "the private pcscd's virtual" : "this machine's PC/SC")
                           : "an emulated",
              side->sandbox().workDir().c_str());
  std::fflush(stdout);
  int signal = 0;
  sigwait(&stop, &signal);
  side.reset();
  return 0;
}
