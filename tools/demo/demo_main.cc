// scredir-demo: one PC/SC session through the plug-in, end to end.
//
// The program plays every party around the plug-in: it loads the plug-in
// into the host double, starts the daemon double on a socket of its own and
// lets the client double answer from an emulated card (or from this
// machine's PC/SC stack), then runs DemoSession and prints its transcript.
// With --client freerdp a stock xfreerdp answers instead, through the RDP
// bridge program that hosts the plug-in in a process of its own.
// Everything it starts is stopped before it exits; only the plug-in's log
// file stays, and its path is printed.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>

#include "tools/card_model.h"
#include "tools/client_double.h"
#include "tools/daemon_double.h"
#include "tools/demo/format.h"
#include "tools/demo/log_follower.h"
#include "tools/demo/options.h"
#include "tools/demo/session.h"
#include "tools/harness/rig.h"
#include "tools/harness/sandbox.h"
#include "tools/host_double.h"
#include "tools/pcsc_backend.h"
#include "tools/pcsc_stack.h"
#include "tools/rdp_bridge/freerdp_run.h"

namespace scredir::demo {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using tools::Rig;
using tools::Sandbox;

constexpr int kExitFailed = 1;
constexpr int kExitSetup = 2;
constexpr const char* kEmulatedReader = "Demo Reader 00 00";
// How long the emulated card stays out once the session waits for it, so
// the transcript shows a real wait.
constexpr auto kInsertDelay = std::chrono::milliseconds(300);

std::atomic<bool> g_interrupted{false};

void OnSignal(int) {
  g_interrupted = true;
}

void CatchSignals() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  // A reader that goes away (`| head`) ends the run the same way, so the
  // clean-up still happens (a private pcscd is not left behind).
  sigaction(SIGPIPE, &action, nullptr);
}

// The plug-in built next to this program: <build>/tools/scredir-demo and
// <build>/scredir/libscrediragent.so.
std::string DefaultPluginPath() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return "libscrediragent.so";
  return (self.parent_path().parent_path() / "scredir" / "libscrediragent.so").string();
}

// The RDP bridge built next to this program.
std::string BridgePath() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string("scredir-rdp-bridge")
            : (self.parent_path() / "scredir-rdp-bridge").string();
}

int Fail(int code, const std::string& message) {
  std::cerr << "scredir-demo: " << message << std::endl;
  return code;
}

// The emulated card goes in once the session's GetStatusChange waits for it.
class CardInserter {
 public:
  explicit CardInserter(tools::CardModel& model) : model_(model) {}
  ~CardInserter() { Stop(); }

  void Start() {
    if (thread_.joinable()) return;
    thread_ = std::thread([this] { Run(); });
  }
  void Stop() {
    {
      std::lock_guard lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Run() {
    std::unique_lock lock(mu_);
    while (!stop_ && model_.WaitingStatusChanges() == 0)
      cv_.wait_for(lock, std::chrono::milliseconds(5));
    if (stop_ || cv_.wait_for(lock, kInsertDelay, [this] { return stop_; })) return;
    model_.InsertCard(kEmulatedReader);
  }

  tools::CardModel& model_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::thread thread_;
};

// Holds what the plug-in writes to standard error while it starts: its
// configuration store reports every optional file it did not find there,
// which would bury the transcript. Only other lines are shown (all of them
// with --log-level debug).
class StartupMessages {
 public:
  explicit StartupMessages(std::string path) : path_(std::move(path)) {
    std::fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (saved_ >= 0 && fd >= 0) dup2(fd, STDERR_FILENO);
    if (fd >= 0) close(fd);
  }
  ~StartupMessages() { Restore(); }

  void Show(std::ostream& out, bool all) {
    Restore();
    std::ifstream in(path_);
    for (std::string line; std::getline(in, line);)
      if (all || !line.starts_with("PREF Optional preferences file not found"))
        out << "  plug-in: " << line << "\n";
    std::remove(path_.c_str());
  }

 private:
  void Restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    saved_ = -1;
  }

  std::string path_;
  int saved_ = -1;
};

// The remote client's card: the emulated one or this machine's PC/SC stack.
// It outlives the rig, which ends its waits on the way out.
struct CardSide {
  explicit CardSide(Backend kind, bool ownStack) : privateStack(ownStack) {
    if (kind == Backend::kPcsc) {
      pcsc = std::make_unique<tools::PcscBackend>();
      return;
    }
    model = std::make_unique<tools::CardModel>();
    model->AddReader(kEmulatedReader, /*cardPresent=*/false);
  }
  tools::CardBackend& backend() { return model ? static_cast<tools::CardBackend&>(*model) : *pcsc; }
  void EndWaits() { model ? model->Shutdown() : pcsc->Shutdown(); }
  std::string Describe() const {
    if (model)
      return "emulated, in \"" + std::string(kEmulatedReader) +
             "\" (inserted once the session waits for it)";
    return privateStack ? "a virtual card in \"" + std::string(tools::PcscStack::kReaderName) +
                              "\" of a private pcscd"
                        : "this machine's PC/SC stack (pcscd)";
  }

  bool privateStack;
  std::unique_ptr<tools::CardModel> model;
  std::unique_ptr<tools::PcscBackend> pcsc;
};

// Loads and starts the plug-in, opens the channel and waits for the
// plug-in's daemon connection, printing the set-up as it goes.
bool BringUp(Rig& rig, const Sandbox& env, const DemoOptions& options, const std::string& plugin,
             const CardSide& card, std::string* error) {
  if (!rig.LoadPlugin(plugin, error) || !rig.ListenOn(env.socketPath(), error)) return false;
  std::cout << "Smart-card redirection demo\n"
            << "  plug-in  " << fs::absolute(plugin).string() << "\n"
            << "  card     " << card.Describe() << "\n"
            << "  daemon   " << env.socketPath() << "\n";
  bool started;
  {
    StartupMessages messages(env.workDir() + "/startup-messages.txt");
    started = rig.StartPlugin(error);
    messages.Show(std::cout, options.debug);
  }
  if (!started || !rig.OpenChannel(error) ||
      !rig.AwaitDaemon(options.stepTimeout, &g_interrupted, error))
    return false;
  std::cout << "  channel  \"Smart Card Virtual Channel\" open; the plug-in is connected to the "
               "daemon socket\n\n";
  return true;
}

// What the command line asks to happen around the steps: the emulated card
// going in or out, the client falling silent, the traces shown.
SessionOptions SessionHooks(const DemoOptions& options, CardSide& card, Rig& rig,
                            CardInserter* inserter, LogFollower& log) {
  SessionOptions hooks;
  hooks.stepTimeout = options.stepTimeout;
  hooks.cardWait = options.cardWait;
  hooks.interrupted = &g_interrupted;
  hooks.beforeStep = [&options, &card, &rig, inserter, &log](const std::string& step) {
    if (options.debug) log.Drain(std::cout);
    // Asked to pull the card before the wait, the demo never inserts it.
    if (step == "wait" && inserter && options.removeCardBefore != "wait") inserter->Start();
    if (step == options.removeCardBefore) {
      std::cout << "     (the demo takes the card out of the reader now)\n";
      card.model->RemoveCard(kEmulatedReader);
    }
    if (step == options.clientStopsAt) {
      std::cout << "     (the remote client stops answering now)\n";
      rig.client().InjectFault({tools::FaultKind::kDrop, 0, 0});
    }
  };
  return hooks;
}

void PrintSummary(const DemoSession& session, SessionOutcome outcome, double totalMs,
                  const Sandbox& env) {
  size_t calls = session.record().results.size(), errors = 0;
  for (const auto& [step, rv] : session.record().results) errors += rv != 0;
  std::cout << "\n";
  if (outcome == SessionOutcome::kCompleted) {
    std::cout << "Session complete: " << calls << " calls in " << Milliseconds(totalMs) << ", "
              << (errors ? std::to_string(errors) + " answered with a result the session accepts"
                         : std::string("all succeeded"))
              << ".\n";
  } else {
    std::cout << "Session FAILED: " << session.failure() << ".\n";
  }
  std::string logFile = env.FindLogFile();
  std::cout << "Plug-in log: " << (logFile.empty() ? "(none was written)" : logFile) << std::endl;
}

// The session answered by xfreerdp through the bridge, on the private stack.
// The plug-in runs in the bridge's process; its configuration asks for
// Windows-style NDR referent ids, which FreeRDP checks.
int RunWithFreeRdp(const DemoOptions& options, const std::string& plugin) {
  std::string error = bridge::MissingClientPrograms();
  if (!error.empty()) return Fail(kExitSetup, "--client freerdp: " + error);
  std::unique_ptr<tools::PcscStack> stack = tools::PcscStack::Start(&error);
  if (!stack) return Fail(kExitSetup, "cannot start a private PC/SC stack: " + error);
  auto env = Sandbox::Create({.socketPath = options.socketPath,
                              .debug = options.debug,
                              .keys = {{"QRN.ScRedir.ndrPointerIds", "windows"}}},
                             &error);
  if (!env) return Fail(kExitSetup, error);
  tools::DaemonDouble daemon(env->socketPath());
  if (!daemon.listening())
    return Fail(kExitSetup, "cannot listen on the daemon socket " + env->socketPath());
  auto run = bridge::FreeRdpRun::Start({.bridgeProgram = BridgePath(),
                                        .plugin = plugin,
                                        .workDir = env->workDir(),
                                        .pcscSocket = stack->SocketPath(),
                                        .lifetime = std::chrono::seconds(3600)},
                                       &error);
  if (!run) return Fail(kExitSetup, error);
  env->SetHostProcess(run->bridgePid());
  std::cout << "Smart-card redirection demo\n"
            << "  plug-in  " << fs::absolute(plugin).string() << "\n"
            << "  host     scredir-rdp-bridge, an RDP server on 127.0.0.1:" << run->port() << "\n"
            << "  client   xfreerdp /smartcard on the virtual display :" << run->display() << "\n"
            << "  card     a virtual card in \"" << tools::PcscStack::kReaderName
            << "\" of a private pcscd\n"
            << "  daemon   " << env->socketPath() << "\n";
  // The client connects, the bridge and the client shake hands, the bridge
  // opens the plug-in's channel and the plug-in connects to the daemon.
  auto deadline = Clock::now() + std::max<std::chrono::milliseconds>(options.stepTimeout,
                                                                     std::chrono::seconds(30));
  while (daemon.connections() == 0 && Clock::now() < deadline && !g_interrupted)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (daemon.connections() == 0)
    return Fail(kExitSetup,
                "the plug-in did not connect to the daemon socket through the "
                "bridge:\n" +
                    run->Tails());
  std::cout << "  channel  \"Smart Card Virtual Channel\" open through the bridge; the plug-in "
               "is connected to the daemon socket\n\n";

  LogFollower log(*env);
  SessionOptions hooks;
  hooks.stepTimeout = options.stepTimeout;
  hooks.cardWait = options.cardWait;
  hooks.interrupted = &g_interrupted;
  if (options.debug) hooks.beforeStep = [&log](const std::string&) { log.Drain(std::cout); };
  auto start = Clock::now();
  DemoSession session(daemon, std::cout, hooks);
  SessionOutcome outcome = session.Run();
  double totalMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  if (options.debug) log.Drain(std::cout);
  run->Stop();
  PrintSummary(session, outcome, totalMs, *env);
  std::cout << "Client log: " << env->workDir() << "/xfreerdp.log\n"
            << "Bridge log: " << env->workDir() << "/bridge.log" << std::endl;
  return outcome == SessionOutcome::kCompleted ? 0 : kExitFailed;
}

int Run(const DemoOptions& options) {
  std::string plugin = options.plugin.empty() ? DefaultPluginPath() : options.plugin;
  if (!fs::exists(plugin))
    return Fail(kExitSetup, "cannot find the plug-in library " + plugin +
                                " (build it first, or name it with --plugin PATH)");
  if (!options.socketPath.empty()) {
    std::string problem =
        tools::SocketPathProblem(options.socketPath, tools::ProbeSocketPath(options.socketPath));
    if (!problem.empty()) return Fail(kExitSetup, problem);
  }
  CatchSignals();
  if (options.client == Client::kFreeRdp) return RunWithFreeRdp(options, plugin);
  std::string error;
  // Started before the first PC/SC call: it points the library at itself.
  std::unique_ptr<tools::PcscStack> stack;
  if (options.privateStack && !(stack = tools::PcscStack::Start(&error)))
    return Fail(kExitSetup, "cannot start a private PC/SC stack: " + error);
  auto env = Sandbox::Create({.socketPath = options.socketPath, .debug = options.debug}, &error);
  if (!env) return Fail(kExitSetup, error);

  CardSide card(options.backend, options.privateStack);
  Rig rig(card.backend(), [&card] { card.EndWaits(); });
  LogFollower log(*env);
  if (!BringUp(rig, *env, options, plugin, card, &error)) return Fail(kExitSetup, error);
  if (options.debug) log.Drain(std::cout);

  std::unique_ptr<CardInserter> inserter;
  if (card.model) inserter = std::make_unique<CardInserter>(*card.model);
  auto start = Clock::now();
  DemoSession session(rig.daemon(), std::cout,
                      SessionHooks(options, card, rig, inserter.get(), log));
  SessionOutcome outcome = session.Run();
  double totalMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  if (inserter) inserter->Stop();
  if (options.debug) log.Drain(std::cout);
  PrintSummary(session, outcome, totalMs, *env);
  return outcome == SessionOutcome::kCompleted ? 0 : kExitFailed;
}

}  // namespace
}  // namespace scredir::demo

int main(int argc, char** argv) {
  using namespace scredir::demo;
  DemoOptions options;
  std::string error;
  if (!ParseOptions(std::vector<std::string>(argv + 1, argv + argc), &options, &error)) {
    std::cerr << "scredir-demo: " << error << "\n";
    return kExitSetup;
  }
  if (options.help) {
    std::cout << UsageText("scredir-demo");
    return 0;
  }
  return Run(options);
}
