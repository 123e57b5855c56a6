// Command-line parsing of the demo; see options.h.
#include "tools/demo/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "tools/demo/session.h"

namespace scredir::demo {
namespace {

// Seconds as given on the command line ("2", "0.5"), within (0, 3600].
bool ParseSeconds(const std::string& text, std::chrono::milliseconds* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  double seconds = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(seconds) || seconds <= 0 || seconds > 3600)
    return false;
  *out = std::chrono::milliseconds(static_cast<long long>(std::llround(seconds * 1000)));
  return out->count() > 0;
}

std::string StepList() {
  std::string list;
  for (const char* step : kStepNames) list += (list.empty() ? "" : ", ") + std::string(step);
  return list;
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, DemoOptions* options, std::string* error) {
  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i], value;
    bool hasInlineValue = false;
    if (size_t eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      hasInlineValue = true;
    }
    auto takeValue = [&]() -> bool {
      if (hasInlineValue) return true;
      if (i + 1 >= args.size()) {
        *error = arg + " needs a value";
        return false;
      }
      value = args[++i];
      return true;
    };
    if (arg == "-h" || arg == "--help") {
      options->help = true;
    } else if (arg == "--private-stack") {
      options->privateStack = true;
    } else if (arg == "--log-level") {
      if (!takeValue()) return false;
      if (value != "debug" && value != "info") {
        *error = "--log-level takes info or debug, not \"" + value + "\"";
        return false;
      }
      options->debug = value == "debug";
    } else if (arg == "--plugin" || arg == "--socket") {
      if (!takeValue()) return false;
      if (value.empty()) {
        *error = arg + " needs a non-empty path";
        return false;
      }
      (arg == "--plugin" ? options->plugin : options->socketPath) = value;
    } else if (arg == "--backend") {
      if (!takeValue()) return false;
      if (value != "emulated" && value != "pcsc") {
        *error = "--backend takes emulated or pcsc, not \"" + value + "\"";
        return false;
      }
      options->backend = value == "pcsc" ? Backend::kPcsc : Backend::kEmulated;
    } else if (arg == "--client") {
      if (!takeValue()) return false;
      if (value != "double" && value != "freerdp") {
        *error = "--client takes double or freerdp, not \"" + value + "\"";
        return false;
      }
      options->client = value == "freerdp" ? Client::kFreeRdp : Client::kDouble;
    } else if (arg == "--timeout" || arg == "--card-wait") {
      if (!takeValue()) return false;
      auto* target = arg == "--timeout" ? &options->stepTimeout : &options->cardWait;
      if (!ParseSeconds(value, target)) {
        *error = arg + " takes a number of seconds above 0 and at most 3600, not \"" + value + "\"";
        return false;
      }
    } else if (arg == "--remove-card-before" || arg == "--client-stops-at") {
      if (!takeValue()) return false;
      if (!IsStepName(value)) {
        *error = arg + ": unknown step \"" + value + "\" (steps: " + StepList() + ")";
        return false;
      }
      (arg == "--client-stops-at" ? options->clientStopsAt : options->removeCardBefore) = value;
    } else {
      *error = "unknown option \"" + args[i] + "\" (see --help)";
      return false;
    }
  }
  if (options->client == Client::kFreeRdp) {
    // The real client answers from the private stack; what only the client
    // double can do does not apply.
    if (!options->removeCardBefore.empty() || !options->clientStopsAt.empty()) {
      *error = "--remove-card-before and --client-stops-at work with the client double only";
      return false;
    }
    options->backend = Backend::kPcsc;
    options->privateStack = true;
  }
  if (options->privateStack && options->backend != Backend::kPcsc) {
    *error = "--private-stack goes with --backend pcsc";
    return false;
  }
  if (!options->removeCardBefore.empty() && options->backend != Backend::kEmulated) {
    *error = "--remove-card-before works with the emulated card only";
    return false;
  }
  return true;
}

std::string UsageText(const std::string& program) {
  return "Usage: " + program +
         " [options]\n"
         "\n"
         "Runs a PC/SC session through the smart-card redirection plug-in: the\n"
         "plug-in is loaded into a stand-in virtual-channel host, a stand-in PC/SC\n"
         "daemon sends it the session's calls, and a stand-in remote client answers\n"
         "them from a card. Each call is shown with its arguments, its result, the\n"
         "APDU bytes and the round-trip time.\n"
         "\n"
         "Options:\n"
         "  --plugin PATH        the plug-in library (default: the one built next to\n"
         "                       this program, ../scredir/libscrediragent.so)\n"
         "  --backend NAME       where the remote client's card lives:\n"
         "                         emulated  a built-in emulated card (default)\n"
         "                         pcsc      this machine's PC/SC stack (pcscd); set\n"
         "                                   PCSCLITE_CSOCK_NAME to reach another pcscd\n"
         "  --private-stack      with --backend pcsc: start a pcscd of the demo's own\n"
         "                       with the virtual reader and a virtual card (needs\n"
         "                       vsmartcard-vpcd and python3-virtualsmartcard)\n"
         "  --client NAME        who answers the plug-in:\n"
         "                         double   a stand-in remote client (default)\n"
         "                         freerdp  a stock xfreerdp (/smartcard) on a virtual\n"
         "                                  display, connected to an RDP server that\n"
         "                                  hosts the plug-in; implies --backend pcsc\n"
         "                                  --private-stack (needs freerdp2-x11, xvfb)\n"
         "  --log-level LEVEL    info (default) or debug: debug also shows the\n"
         "                       plug-in's protocol traces after each call\n"
         "  --timeout SECONDS    how long each call may take (default 10)\n"
         "  --card-wait SECONDS  how long to wait for a card (default 30)\n"
         "  --socket PATH        the daemon socket (default: in a new temporary\n"
         "                       directory)\n"
         "  --remove-card-before STEP\n"
         "                       take the emulated card out before STEP\n"
         "  --client-stops-at STEP\n"
         "                       make the remote client stop answering at STEP\n"
         "  -h, --help           this text\n"
         "\n"
         "Steps: " +
         StepList() +
         ".\n"
         "\n"
         "Exit status: 0 when every call succeeded, 1 when a call failed or went\n"
         "unanswered, 2 on bad options or when the session could not be set up.\n";
}

}  // namespace scredir::demo
