// scredir-demo as a user runs it: the whole session, each way it can fail,
// the exit status and message for each, and nothing left behind (no socket,
// no process; only the plug-in's log when one was written).
#include <fcntl.h>
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

#include "tools/harness/sandbox.h"

namespace scredir::demo {
namespace {

using tools::ProbeSocketPath;
using tools::SocketPathState;

namespace fs = std::filesystem;

struct Finished {
  int exitCode = -1;
  std::string output;  // standard output and error, interleaved
};

// Runs the demo with `args` and TMPDIR set to `tmpdir`; waits for it.
Finished RunDemo(const std::vector<std::string>& args, const std::string& tmpdir) {
  std::vector<std::string> argv = {SCREDIR_DEMO_PATH, "--plugin", SCREDIR_PLUGIN_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(out[1], STDERR_FILENO);
    setenv("TMPDIR", tmpdir.c_str(), 1);
    execv(cargv[0], cargv.data());
    _exit(127);
  }
  close(out[1]);
  Finished done;
  char buffer[4096];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) done.output.append(buffer, n);
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  done.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return done;
}

// A listening Unix socket held by the test (someone else's daemon).
class Listener {
 public:
  explicit Listener(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    listening_ = bound_ && listen(fd_, 4) == 0;
  }
  ~Listener() { close(fd_); }
  // Closes the descriptor but leaves the socket file: a stale socket.
  void Abandon() {
    close(fd_);
    fd_ = -1;
  }
  bool listening() const { return listening_; }

 private:
  int fd_ = -1;
  bool bound_ = false, listening_ = false;
};

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

TEST_F(DemoRunTest, EachOutcomeGivesItsExitStatusAndMessage) {
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int exitCode;
    std::vector<std::string> mustSay;
  };
  const Case cases[] = {
      {"whole session",
       {},
       0,
       {"SCardGetStatusChange", "SCardTransmit", "< 90 00   success",
        "Session complete: 14 calls in ", "ms, all succeeded.", "Plug-in log: /"}},
      {"card pulled before SELECT",
       {"--remove-card-before", "select"},
       1,
       {"SCARD_W_REMOVED_CARD (0x80100069)", "cleaning up after the failure", "SCardReleaseContext",
        "Session FAILED: SCardTransmit SELECT MF 3F00 failed", "taken out of the reader"}},
      {"client stops answering",
       {"--client-stops-at", "connect", "--timeout", "0.5"},
       1,
       {"Session FAILED: no reply to SCardConnect within 0.5 s: the remote client stopped "
        "answering"}},
      {"no card in time",
       {"--remove-card-before", "wait", "--card-wait", "0.3"},
       1,
       {"no card was inserted in time"}},
      {"protocol traces", {"--log-level", "debug"}, 0, {"| SCQRN: DEBUG |", "Session complete"}},
      {"missing library",
       {"--plugin", "/nonexistent/libscrediragent.so"},
       2,
       {"cannot find the plug-in library /nonexistent/libscrediragent.so"}},
      {"not a library",
       {"--plugin", "/etc/hostname"},
       2,
       {"cannot load the plug-in /etc/hostname"}},
      {"bad option", {"--backend", "usb"}, 2, {"--backend takes emulated or pcsc"}},
      {"help", {"--help"}, 0, {"Usage: scredir-demo", "--log-level"}},
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
}

TEST_F(DemoRunTest, SocketPathsOfOthersAreNeverTaken) {
  std::string inUse = tmp_ + "/own-in-use.socket", file = tmp_ + "/own-file";
  std::string stale = tmp_ + "/stale.socket";
  Listener other(inUse);
  ASSERT_TRUE(other.listening());
  std::ofstream(file) << "not a socket";
  Listener gone(stale);
  gone.Abandon();
  const std::pair<std::string, SocketPathState> states[] = {
      {tmp_ + "/nothing", SocketPathState::kFree},
      {inUse, SocketPathState::kInUse},
      {stale, SocketPathState::kStale},
      {file, SocketPathState::kNotSocket},
      {tmp_, SocketPathState::kNotSocket},
      {tmp_ + "/" + std::string(120, 'x'), SocketPathState::kTooLong},
  };
  for (const auto& [path, state] : states) EXPECT_EQ(ProbeSocketPath(path), state) << path;

  Finished run = RunDemo({"--socket", inUse}, tmp_);
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_NE(run.output.find("is in use by another process"), std::string::npos) << run.output;
  EXPECT_EQ(ProbeSocketPath(inUse), SocketPathState::kInUse) << "the demo took the path";

  run = RunDemo({"--socket", file}, tmp_);
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_NE(run.output.find("is not a socket"), std::string::npos) << run.output;
  EXPECT_TRUE(fs::is_regular_file(file));

  // A socket nobody listens on any more is replaced, used and removed.
  run = RunDemo({"--socket", stale}, tmp_);
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_FALSE(fs::exists(stale));
}

}  // namespace
}  // namespace scredir::demo
