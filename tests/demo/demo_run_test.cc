// scredir-demo as a user runs it: the whole session, each way it can fail,
// the exit status and message for each, and nothing left behind (no socket,
// no process; only the plug-in's log when one was written).
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/daemon_double.h"
#include "tools/harness/real_peer.h"
#include "tools/harness/sandbox.h"

namespace scredir::demo {
namespace {

namespace fs = std::filesystem;

struct Finished {
  int exitCode = -1;
  std::string output;  // standard output and error, interleaved
};

// Runs the demo with `args` and TMPDIR set to `tmpdir`; waits for it. Each
// word is single-quoted, so every byte of a path reaches the demo as it is.
Finished RunDemo(std::vector<std::string> args, const std::string& tmpdir) {
  args.insert(args.begin(),
              {"TMPDIR=" + tmpdir, SCREDIR_DEMO_PATH, "--plugin", SCREDIR_PLUGIN_PATH});
  std::string line = "exec env";
  for (const std::string& word : args) {
    line += " '";
    for (char c : word) line += c == '\'' ? std::string("'\\''") : std::string(1, c);
    line += "'";
  }
  int status = -1;
  Finished done;
  done.output = tools::RunCommand(line + " 2>&1", &status);
  done.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return done;
}

// A socket file nobody listens on any more: what a daemon that died leaves.
bool MakeStaleSocket(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  bool bound = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return bound;
}

class DemoRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/scredir-demo-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    tmp_ = dir;
  }
  void TearDown() override { fs::remove_all(tmp_); }

  // Everything the demo left in its TMPDIR, but its kept log files.
  std::vector<std::string> LeftOvers() const {
    std::vector<std::string> found;
    for (const auto& e : fs::recursive_directory_iterator(tmp_)) {
      std::string name = e.path().filename().string();
      if (!e.is_directory() && !(name.starts_with("pallwin-") && name.ends_with(".log")) &&
          !name.starts_with("own"))
        found.push_back(e.path().string());
    }
    return found;
  }

  std::string tmp_;
};

// Among the outcomes: socket paths that belong to others are never taken
// (one a live daemon listens on, a plain file, one too long to bind); a
// stale one is replaced, used and removed.
TEST_F(DemoRunTest, EachOutcomeGivesItsExitStatusAndMessage) {
  const std::string inUse = tmp_ + "/own-in-use.socket", file = tmp_ + "/own-file";
  const std::string stale = tmp_ + "/own-stale.socket";
  tools::DaemonDouble other(inUse);
  ASSERT_TRUE(other.listening());
  std::ofstream(file) << "not a socket";
  ASSERT_TRUE(MakeStaleSocket(stale));
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int exitCode;
    std::vector<std::string> mustSay;
  };
  const Case cases[] = {
      // clang-format off
      {"whole session", {}, 0,
       {"SCardGetStatusChange", "SCardTransmit", "< 90 00   success",
        "Session complete: 14 calls in ", "ms, all succeeded.", "Plug-in log: /"}},
      {"card pulled before SELECT", {"--remove-card-before", "select"}, 1,
       {"SCARD_W_REMOVED_CARD (0x80100069)", "cleaning up after the failure", "SCardReleaseContext",
        "Session FAILED: SCardTransmit SELECT MF 3F00 failed", "taken out of the reader"}},
      {"client stops answering", {"--client-stops-at", "connect", "--timeout=0.5"}, 1,
       {"Session FAILED: no reply to SCardConnect within 0.5 s: the remote client stopped answering"}},
      {"no card in time", {"--remove-card-before", "wait", "--card-wait=0.3"}, 1, {"no card was inserted in time"}},
      // The plug-in reads the path from its configuration file: every byte
      // that file reserves must come through.
      {"protocol traces on a free socket path the config file must escape",
       {"--log-level", "debug", "--socket", tmp_ + "/free \"s\" |7C\t\n.socket"}, 0, {"| SCQRN: DEBUG |", "Session complete"}},
      {"socket path in use", {"--socket", inUse}, 2, {"is in use by another process"}},
      {"socket path is a file", {"--socket", file}, 2, {"exists and is not a socket"}},
      {"socket path too long", {"--socket", tmp_ + "/" + std::string(120, 'x')}, 2, {"is too long for a Unix socket"}},
      {"stale socket", {"--socket", stale}, 0, {"Session complete"}},
      {"missing library", {"--plugin", "/nonexistent/libscrediragent.so"}, 2,
       {"cannot find the plug-in library /nonexistent/libscrediragent.so"}},
      {"not a library", {"--plugin", "/etc/hostname"}, 2, {"cannot load the plug-in /etc/hostname"}},
      {"bad option", {"--backend", "usb"}, 2, {"--backend takes emulated or pcsc"}},
      {"help", {"--help"}, 0, {"Usage: scredir-demo", "--log-level"}},
      // clang-format on
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Finished run = RunDemo(c.args, tmp_);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
    for (const std::string& text : c.mustSay)
      EXPECT_NE(run.output.find(text), std::string::npos) << "missing: " << text << "\n"
                                                          << run.output;
    EXPECT_EQ(LeftOvers(), std::vector<std::string>{}) << run.output;
  }
  EXPECT_EQ(tools::ProbeSocketPath(inUse), tools::SocketPathState::kInUse) << "the path was taken";
  EXPECT_TRUE(fs::is_regular_file(file));
  EXPECT_FALSE(fs::exists(stale));
}

}  // namespace
}  // namespace scredir::demo
