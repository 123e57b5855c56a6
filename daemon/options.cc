// See options.h.
#include "daemon/options.h"

#include <pwd.h>

#include <charconv>
#include <optional>

namespace scredir::pcscd {
namespace {

std::optional<uint64_t> Number(const std::string& text, uint64_t max) {
  uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value > max) return std::nullopt;
  return value;
}

// A user as a number or a name.
std::optional<uid_t> User(const std::string& text) {
  if (auto n = Number(text, 0xFFFFFFFE)) return static_cast<uid_t>(*n);
  if (passwd* entry = getpwnam(text.c_str())) return entry->pw_uid;
  return std::nullopt;
}

}  // namespace

std::string UsageText() {
  return "usage: scredir-pcscd [options]\n"
         "A PC/SC daemon for pcsc-lite applications whose readers are the remote\n"
         "client's, reached through the smart-card redirection plug-in.\n"
         "\n"
         "  --client-socket PATH   socket libpcsclite connects to\n"
         "                         [/run/pcscd/pcscd.comm; clients: PCSCLITE_CSOCK_NAME]\n"
         "  --daemon-socket PATH   socket the plug-in connects to\n"
         "                         [/var/run/qrnipc/qrn.socket; plug-in: QRN.ScRedir.socketPath]\n"
         "  --remote-values windows|pcsclite\n"
         "                         numbering of the remote client's PC/SC values [windows]\n"
         "  --call-timeout MS      longest wait for the remote's answer to a call [30000]\n"
         "  --poll-interval MS     reader watch round [1000]\n"
         "  --allow-user USER      a user (name or uid) who may connect besides the\n"
         "                         daemon's own user and root; repeatable\n"
         "  --allow-any-user       no user check on either socket\n"
         "  --max-clients N        application connections at once [200]\n"
         "  --debug                log every message\n"
         "  --quiet                log errors only\n"
         "  --help                 this text\n";
}

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine cl;
  auto fail = [&cl](std::string why) {
    cl.action = CommandLine::Action::kError;
    cl.error = std::move(why);
    return cl;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i], value;
    bool inlineValue = false;
    if (auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      inlineValue = true;
    }
    auto take = [&](std::string* out) {
      if (inlineValue) {
        *out = value;
        return true;
      }
      if (i + 1 >= args.size()) return false;
      *out = args[++i];
      return true;
    };
    std::string v;
    if (name == "--help" || name == "-h") {
      cl.action = CommandLine::Action::kHelp;
      return cl;
    } else if (name == "--debug") {
      cl.logLevel = LogLevel::kDebug;
    } else if (name == "--quiet") {
      cl.logLevel = LogLevel::kError;
    } else if (name == "--allow-any-user") {
      cl.server.allowAnyUser = true;
    } else if (name == "--client-socket" || name == "--daemon-socket") {
      if (!take(&v) || v.empty()) return fail(name + " needs a path");
      (name == "--client-socket" ? cl.server.clientSocket : cl.server.daemonSocket) = v;
    } else if (name == "--remote-values") {
      if (!take(&v)) return fail(name + " needs windows or pcsclite");
      auto flavour = ParseFlavour(v);
      if (!flavour) return fail(name + ": \"" + v + "\" is neither windows nor pcsclite");
      cl.server.flavour = *flavour;
    } else if (name == "--call-timeout" || name == "--poll-interval") {
      std::optional<uint64_t> ms;
      if (!take(&v) || !(ms = Number(v, 24 * 3600 * 1000)) || *ms < 10)
        return fail(name + " needs milliseconds (10 or more)");
      (name == "--call-timeout" ? cl.server.callTimeout : cl.server.pollInterval) =
          std::chrono::milliseconds(*ms);
    } else if (name == "--allow-user") {
      std::optional<uid_t> uid;
      if (!take(&v) || !(uid = User(v))) return fail(name + ": unknown user \"" + v + "\"");
      cl.server.allowedUids.push_back(*uid);
    } else if (name == "--max-clients") {
      std::optional<uint64_t> n;
      if (!take(&v) || !(n = Number(v, 100000)) || *n == 0) return fail(name + " needs a count");
      cl.server.maxClients = *n;
    } else {
      return fail("unknown option " + name);
    }
  }
  return cl;
}

}  // namespace scredir::pcscd
