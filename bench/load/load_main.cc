// scredir-load: what one smart-card call costs through the real plug-in,
// measured against the least the same trip can cost.
//
// One process hosts both: the built libscrediragent.so (dlopen, QRN_Start,
// the channel offered by LoadHost) behind one daemon socket, and the floor
// relay behind another. Both talk to the same instant client through the
// same host Send. Every figure is taken in interleaved rounds (agent round,
// floor round, agent, floor ...) so that a noisy neighbour hits both alike;
// a figure is the median over rounds, and the ratio is the median of the
// per-round agent/floor ratios. The first-call and memory figures run in
// fresh child processes (this program again, with --child).
//
// Usage: scredir-load [--quick] [--rounds N] [--csv FILE] ...; --help lists
// every option. Every wait is bounded, and --max-seconds ends the whole run.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <semaphore>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/load/daemon_peer.h"
#include "bench/load/floor_relay.h"
#include "bench/load/load_host.h"
#include "tools/harness/sandbox.h"

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define LOAD_PROFILE_ZERO() CALLGRIND_ZERO_STATS
#define LOAD_PROFILE_DUMP(name) CALLGRIND_DUMP_STATS_AT(name)
#else
#define LOAD_PROFILE_ZERO() ((void)0)
#define LOAD_PROFILE_DUMP(name) ((void)0)
#endif

namespace scredir::load {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint32_t kSmall = 5;
constexpr uint32_t kLarge = 65536;

struct Options {
  std::string plugin = SCREDIR_LOAD_PLUGIN;
  int rounds = 7;         // latency and throughput rounds per target
  int smallCalls = 2000;  // 5 B calls per latency round
  int largeCalls = 300;   // 64 KiB calls per latency round
  int durationMs = 250;   // one throughput round
  int window = 64;        // requests outstanding in throughput rounds
  int processRounds = 7;  // fresh processes per target (first call)
  int memoryRounds = 3;   // fresh processes per target (memory)
  int inflight = 256;     // requests held for the memory figure
  int sweepRounds = 7;    // rounds of the size sweep
  int sweepCalls = 300;   // calls per size and round
  std::vector<uint32_t> sizes = {5, 64, 256, 1024, 4096, 16384, 65536};
  std::string csv;
  std::string only;  // comma list of sections; empty: all
  int maxSeconds = 120;
  // Child and profile modes.
  std::string child;
  std::string target = "agent";
  std::string profile;
  int profileCalls = 2000;
  uint32_t profileBytes = kSmall;
  int profileWindow = 0;  // >0: profile a throughput round with this window
};

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what);
}

double Micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t k = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(k, v.size() - 1)];
}

double Median(const std::vector<double>& v) {
  return Percentile(v, 0.5);
}

long ResidentBytes() {
  std::ifstream in("/proc/self/statm");
  long size = 0, resident = 0;
  in >> size >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

// CPU time (every thread, user and system), context switches and minor
// page faults of this process so far.
struct Usage {
  double cpuMicros = 0, switches = 0, faults = 0;
  static Usage Now() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    auto us = [](const timeval& t) { return t.tv_sec * 1e6 + static_cast<double>(t.tv_usec); };
    return {us(u.ru_utime) + us(u.ru_stime), static_cast<double>(u.ru_nvcsw + u.ru_nivcsw),
            static_cast<double>(u.ru_minflt)};
  }
  Usage PerCall(const Usage& before, int calls) const {
    return {(cpuMicros - before.cpuMicros) / calls, (switches - before.switches) / calls,
            (faults - before.faults) / calls};
  }
};

enum class Target { kAgent, kFloor };
const char* Name(Target t) {
  return t == Target::kAgent ? "agent" : "floor";
}

// Everything one process needs to measure: the doubles, the plug-in behind
// one socket and the floor relay behind another.
class Bench {
 public:
  Bench(const Options& options, bool withAgent, bool withFloor)
      : options_(options), withAgent_(withAgent), withFloor_(withFloor) {}

  ~Bench() {
    if (floor_) {
      // No event for the relay may still be on its way when it goes.
      floor_->Stop();
      host_->Drain();
    }
    if (started_) {
      host_->ClosePluginChannel();
      host_->Stop();
    }
    floor_.reset();
    host_.reset();
  }

  void Setup() {
    std::string error;
    sandbox_ = tools::Sandbox::Create({"", false, false}, &error);
    if (!sandbox_) Fail(error);
    for (uint32_t n : options_.sizes) client_.Prepare(n);
    client_.Prepare(kSmall);
    client_.Prepare(kLarge);
    host_ = std::make_unique<LoadHost>(client_);
    if (withAgent_) {
      agentPeer_ = std::make_unique<DaemonPeer>(sandbox_->socketPath());
      if (!host_->Load(options_.plugin, &error)) Fail("cannot load the plug-in: " + error);
      if (uint32_t status = host_->Start(); status != 0) {
        Fail("QRN_Start failed with status " + std::to_string(status));
      }
      started_ = true;
      if (!host_->OpenPluginChannel()) Fail("the plug-in did not accept the smart-card channel");
      if (!agentPeer_->Accept(milliseconds(10000), &error)) Fail(error);
      if (!agentPeer_->OpenCard(&hContext_, &hCard_, &error)) Fail(error);
    }
    if (withFloor_) {
      floorPeer_ = std::make_unique<DaemonPeer>(sandbox_->workDir() + "/floor.socket");
      floor_ = std::make_unique<FloorRelay>(*host_);
      if (!floor_->Connect(floorPeer_->path(), &error)) Fail(error);
      if (!floorPeer_->Accept(milliseconds(10000), &error)) Fail(error);
    }
  }

  LoadHost& host() { return *host_; }
  const InstantClient& client() const { return client_; }

  // ERROR lines in the plug-in's log: a run whose agent refused or lost
  // requests measured something else than the trip it claims.
  std::vector<std::string> LogErrors() const {
    std::vector<std::string> lines;
    std::stringstream log(sandbox_->LogText());
    for (std::string line; std::getline(log, line);)
      if (line.find("ERROR(") != std::string::npos) lines.push_back(line);
    return lines;
  }

  void Prepare(uint32_t apduBytes) {
    host_->Drain();
    client_.SelectTransmit(apduBytes);
    if (floor_) floor_->SetRound(apduBytes);
  }

  DaemonPeer& Peer(Target t) { return t == Target::kAgent ? *agentPeer_ : *floorPeer_; }

  TransmitLoad Load(uint32_t apduBytes) const { return TransmitLoad(apduBytes, hContext_, hCard_); }

  // One Transmit after another; the round trip of each, in microseconds.
  std::vector<double> Latency(Target t, uint32_t apduBytes, int calls) {
    Prepare(apduBytes);
    TransmitLoad load = Load(apduBytes);
    const int fd = Peer(t).fd();
    std::vector<double> samples;
    samples.reserve(static_cast<size_t>(calls));
    const Usage before = Usage::Now();
    for (int i = 0; i < calls; ++i) {
      const uint32_t id = nextId_++;
      load.SetId(id);
      const auto t0 = Clock::now();
      if (!WriteFull(fd, load.message.data(), load.message.size()) ||
          !ReadFull(fd, load.reply.data(), load.reply.size())) {
        Fail(std::string("no reply from the ") + Name(t) + " within the time-out");
      }
      const auto t1 = Clock::now();
      if (!load.Check(id)) Fail(std::string("wrong reply from the ") + Name(t));
      samples.push_back(Micros(t1 - t0));
    }
    lastUsage_ = Usage::Now().PerCall(before, calls);
    return samples;
  }

  // What the last latency round cost per call, the whole process counted.
  const Usage& lastUsage() const { return lastUsage_; }

  // Calls completed per second with `window` requests kept outstanding.
  double Throughput(Target t, uint32_t apduBytes, int window, milliseconds duration,
                    bool clientThread) {
    Prepare(apduBytes);
    host_->SetClientThread(clientThread);
    TransmitLoad out = Load(apduBytes);
    TransmitLoad in = Load(apduBytes);
    const int fd = Peer(t).fd();
    const uint32_t firstId = nextId_;
    std::counting_semaphore<1 << 16> credits(window);
    std::atomic<uint64_t> written{0};
    std::atomic<bool> writerDone{false}, writeFailed{false};
    const Usage before = Usage::Now();
    const auto start = Clock::now();
    const auto deadline = start + duration;
    std::thread writer([&] {
      for (uint32_t k = 0; Clock::now() < deadline; ++k) {
        if (!credits.try_acquire_for(std::chrono::seconds(10))) {
          writeFailed = true;
          break;
        }
        out.SetId(firstId + k);
        if (!WriteFull(fd, out.message.data(), out.message.size())) {
          writeFailed = true;
          break;
        }
        written.store(k + 1, std::memory_order_release);
      }
      writerDone.store(true, std::memory_order_release);
    });
    uint64_t got = 0;
    bool readFailed = false, wrong = false;
    auto last = start;
    for (;;) {
      const bool done = writerDone.load(std::memory_order_acquire);
      if (got == written.load(std::memory_order_acquire)) {
        if (done) break;
        std::this_thread::yield();
        continue;
      }
      if (!ReadFull(fd, in.reply.data(), in.reply.size())) {
        readFailed = true;
        break;
      }
      if (!in.Check(firstId + static_cast<uint32_t>(got))) wrong = true;
      ++got;
      last = Clock::now();
      credits.release();
    }
    if (readFailed) ::shutdown(fd, SHUT_RDWR);  // ends a writer stuck on a full socket
    writer.join();
    host_->SetClientThread(false);
    nextId_ += static_cast<uint32_t>(written.load());
    if (readFailed || writeFailed) Fail(std::string("the ") + Name(t) + " stopped answering");
    if (wrong) Fail(std::string("a reply from the ") + Name(t) + " was wrong or out of order");
    lastUsage_ = Usage::Now().PerCall(before, static_cast<int>(std::max<uint64_t>(got, 1)));
    return static_cast<double>(got) / std::chrono::duration<double>(last - start).count();
  }

  // Resident bytes per request held in flight.
  double MemoryPerRequest(Target t, int count) {
    Prepare(kSmall);
    (void)Latency(t, kSmall, 64);  // allocator arenas and thread stacks exist
    host_->Drain();
    const long before = ResidentBytes();
    host_->SetHold(true);
    TransmitLoad load = Load(kSmall);
    const int fd = Peer(t).fd();
    const uint32_t firstId = nextId_;
    for (int i = 0; i < count; ++i) {
      load.SetId(firstId + static_cast<uint32_t>(i));
      if (!WriteFull(fd, load.message.data(), load.message.size())) Fail("daemon write failed");
    }
    nextId_ += static_cast<uint32_t>(count);
    const auto limit = Clock::now() + std::chrono::seconds(10);
    while (host_->held() < static_cast<size_t>(count)) {
      if (Clock::now() > limit) Fail(std::string("the ") + Name(t) + " did not send every request");
      std::this_thread::sleep_for(milliseconds(1));
    }
    host_->Drain();
    const long after = ResidentBytes();
    host_->ReleaseHeld();
    for (int i = 0; i < count; ++i) {
      if (!ReadFull(fd, load.reply.data(), load.reply.size()) ||
          !load.Check(firstId + static_cast<uint32_t>(i))) {
        Fail(std::string("held replies from the ") + Name(t) + " went wrong");
      }
    }
    return static_cast<double>(after - before) / count;
  }

  // The first Transmit of this process; the agent has made its
  // EstablishContext and Connect, so the floor makes two calls first too.
  double FirstCall(Target t) {
    if (t == Target::kFloor) (void)Latency(t, kSmall, 2);
    return Latency(t, kSmall, 1).front();
  }

 private:
  const Options& options_;
  const bool withAgent_, withFloor_;
  std::unique_ptr<tools::Sandbox> sandbox_;
  InstantClient client_;
  std::unique_ptr<LoadHost> host_;
  std::unique_ptr<DaemonPeer> agentPeer_, floorPeer_;
  std::unique_ptr<FloorRelay> floor_;
  bool started_ = false;
  uint32_t hContext_ = 0, hCard_ = 0;
  uint32_t nextId_ = 1000;
  Usage lastUsage_;
};

// ---- Child processes -------------------------------------------------------------

int RunChild(const Options& options) {
  const Target t = options.target == "floor" ? Target::kFloor : Target::kAgent;
  Bench bench(options, t == Target::kAgent, t == Target::kFloor);
  bench.Setup();
  double value = 0;
  if (options.child == "first-call") {
    value = bench.FirstCall(t);
  } else if (options.child == "memory") {
    value = bench.MemoryPerRequest(t, options.inflight);
  } else {
    Fail("unknown child mode " + options.child);
  }
  std::printf("value %.3f\n", value);
  std::fflush(stdout);
  return 0;
}

// Runs this program again as a child and reads the value it prints.
double SpawnChild(const Options& options, const char* mode, Target t) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) Fail("pipe failed");
  std::vector<std::string> args = {"scredir-load", "--child",    mode,
                                   "--target",     Name(t),      "--plugin",
                                   options.plugin, "--inflight", std::to_string(options.inflight)};
  // Built before the fork: the child may only exec.
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) Fail("fork failed");
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    execv("/proc/self/exe", argv.data());
    _exit(127);
  }
  close(fds[1]);
  std::string text;
  char buf[256];
  const auto limit = Clock::now() + std::chrono::seconds(30);
  for (;;) {
    int left =
        static_cast<int>(std::chrono::duration_cast<milliseconds>(limit - Clock::now()).count());
    pollfd p{fds[0], POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) != 1) {
      kill(pid, SIGKILL);
      break;
    }
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  double value = 0;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
      std::sscanf(text.c_str(), "value %lf", &value) != 1) {
    Fail(std::string("the ") + Name(t) + " child (" + mode + ") failed");
  }
  return value;
}

// ---- Figures -----------------------------------------------------------------------

// Per-round values of one figure for both targets.
struct Figure {
  Figure(std::string n, std::string u, bool higher = false)
      : name(std::move(n)), unit(std::move(u)), higherIsBetter(higher) {}
  std::string name;
  std::string unit;
  bool higherIsBetter;  // throughput: the cost ratio is floor/agent
  std::vector<double> agent, floor;

  std::vector<double> Ratios() const {
    std::vector<double> r;
    for (size_t i = 0; i < std::min(agent.size(), floor.size()); ++i) {
      double a = agent[i], f = floor[i];
      if (higherIsBetter) std::swap(a, f);
      if (f > 0) r.push_back(a / f);
    }
    return r;
  }
};

std::string Format(double v) {
  char buf[64];
  if (v >= 1000)
    std::snprintf(buf, sizeof buf, "%.0f", v);
  else if (v >= 10)
    std::snprintf(buf, sizeof buf, "%.1f", v);
  else
    std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

void PrintFigures(const std::vector<Figure>& figures) {
  std::printf("\n| figure | unit | agent | floor | agent/floor cost | ratio range | rounds |\n");
  std::printf("|---|---|---:|---:|---:|---:|---:|\n");
  for (const Figure& f : figures) {
    std::vector<double> r = f.Ratios();
    std::string range = r.empty() ? "n/a"
                                  : Format(*std::min_element(r.begin(), r.end())) + " – " +
                                        Format(*std::max_element(r.begin(), r.end()));
    std::printf("| %s | %s | %s | %s | %s | %s | %zu |\n", f.name.c_str(), f.unit.c_str(),
                Format(Median(f.agent)).c_str(), Format(Median(f.floor)).c_str(),
                r.empty() ? "n/a" : Format(Median(r)).c_str(), range.c_str(), f.agent.size());
  }
  std::fflush(stdout);
}

bool Wanted(const Options& o, const char* section) {
  if (o.only.empty()) return true;
  std::string list = "," + o.only + ",";
  return list.find(std::string(",") + section + ",") != std::string::npos;
}

void Progress(const char* what) {
  std::fprintf(stderr, "scredir-load: %s\n", what);
}

int RunAll(const Options& o) {
  Bench bench(o, true, true);
  bench.Setup();
  const Target both[] = {Target::kAgent, Target::kFloor};
  auto rounds = [&](int count, const std::function<double(Target)>& measure, Figure& figure) {
    for (int r = 0; r < count; ++r) {
      for (Target t : both)
        (t == Target::kAgent ? figure.agent : figure.floor).push_back(measure(t));
    }
  };
  // Warm both paths up so the first round is not the one that pays for it:
  // both take a few hundred large transfers to reach their steady state.
  for (Target t : both) {
    (void)bench.Latency(t, kSmall, std::min(400, o.smallCalls));
    (void)bench.Latency(t, kLarge, std::min(300, std::max(50, o.largeCalls)));
  }

  std::vector<Figure> figures;
  if (Wanted(o, "latency")) {
    Progress("latency");
    struct Case {
      const char* name;
      uint32_t bytes;
      int calls;
    } cases[] = {{"Transmit 5 B", kSmall, o.smallCalls},
                 {"Transmit 64 KiB each way", kLarge, o.largeCalls}};
    for (const Case& c : cases) {
      Figure latency{std::string(c.name) + ", latency p50", "µs"};
      Figure cpu{std::string(c.name) + ", CPU time per call (whole process)", "µs"};
      for (int r = 0; r < o.rounds; ++r) {
        for (Target t : both) {
          const bool agent = t == Target::kAgent;
          (agent ? latency.agent : latency.floor)
              .push_back(Median(bench.Latency(t, c.bytes, c.calls)));
          (agent ? cpu.agent : cpu.floor).push_back(bench.lastUsage().cpuMicros);
        }
      }
      figures.push_back(latency);
      figures.push_back(cpu);
    }
  }
  if (Wanted(o, "throughput")) {
    Progress("throughput");
    const milliseconds d(o.durationMs);
    struct Case {
      const char* name;
      uint32_t bytes;
      bool clientThread;
    } cases[] = {
        {"throughput, 64 outstanding, 5 B", kSmall, false},
        {"throughput, 64 outstanding, 64 KiB", kLarge, false},
        {"throughput, 64 outstanding, 5 B, client on its own thread", kSmall, true},
        {"throughput, 64 outstanding, 64 KiB, client on its own thread", kLarge, true},
    };
    for (const Case& c : cases) {
      Figure f{c.name, "calls/s", true};
      rounds(
          o.rounds,
          [&](Target t) { return bench.Throughput(t, c.bytes, o.window, d, c.clientThread); }, f);
      figures.push_back(f);
    }
  }
  if (Wanted(o, "process")) {
    Progress("first call in fresh processes");
    Figure f{"new process, first Transmit 5 B", "µs"};
    rounds(
        o.processRounds, [&](Target t) { return SpawnChild(o, "first-call", t); }, f);
    figures.push_back(f);
  }
  if (Wanted(o, "memory")) {
    Progress("memory per request in flight");
    Figure f{"resident memory per in-flight 5 B Transmit (" + std::to_string(o.inflight) + " held)",
             "bytes"};
    rounds(
        o.memoryRounds, [&](Target t) { return SpawnChild(o, "memory", t); }, f);
    figures.push_back(f);
  }
  PrintFigures(figures);

  if (Wanted(o, "sweep")) {
    Progress("latency against APDU size");
    std::vector<Figure> sweep;
    for (uint32_t n : o.sizes) sweep.push_back(Figure{std::to_string(n) + " B", "µs"});
    for (int r = 0; r < o.sweepRounds; ++r) {
      for (size_t i = 0; i < o.sizes.size(); ++i) {
        const uint32_t n = o.sizes[i];
        const int calls = n > 16384 ? std::max(5, o.sweepCalls / 3) : o.sweepCalls;
        for (Target t : both) {
          double p50 = Median(bench.Latency(t, n, calls));
          (t == Target::kAgent ? sweep[i].agent : sweep[i].floor).push_back(p50);
        }
      }
    }
    std::printf("\nLatency p50 against APDU size (each way), median of %d rounds:\n",
                o.sweepRounds);
    PrintFigures(sweep);
    if (!o.csv.empty()) {
      std::ofstream csv(o.csv);
      csv << "apdu_bytes,agent_p50_us,floor_p50_us,agent_over_floor\n";
      for (size_t i = 0; i < o.sizes.size(); ++i) {
        csv << o.sizes[i] << "," << Median(sweep[i].agent) << "," << Median(sweep[i].floor) << ","
            << Median(sweep[i].Ratios()) << "\n";
      }
      if (!csv) Fail("cannot write " + o.csv);
      std::printf("\nwrote %s\n", o.csv.c_str());
    }
  }
  if (bench.host().badSends() != 0) Fail("the host refused sends during the run");
  if (bench.client().protocolErrors() != 0) Fail("the client could not answer every request");
  if (std::vector<std::string> errors = bench.LogErrors(); !errors.empty()) {
    Fail(std::to_string(errors.size()) +
         " ERROR lines in the plug-in's log, the first: " + errors.front());
  }
  return 0;
}

// Runs only the timed Transmit loop of one target, between the profiler's
// zero and dump points, for instruction counts per request.
int RunProfile(const Options& o) {
  const Target t = o.profile == "floor" ? Target::kFloor : Target::kAgent;
  Bench bench(o, t == Target::kAgent, t == Target::kFloor);
  bench.Setup();
  (void)bench.Latency(t, o.profileBytes, 200);
  if (o.profileWindow > 0) {
    LOAD_PROFILE_ZERO();
    const double rate =
        bench.Throughput(t, o.profileBytes, o.profileWindow, milliseconds(o.durationMs), false);
    bench.host().Drain();
    LOAD_PROFILE_DUMP(Name(t));
    const Usage& u = bench.lastUsage();
    std::printf(
        "%s: %d outstanding, %u B: %.0f calls/s; per call: CPU %.1f µs, %.2f context switches, "
        "%.2f minor faults\n",
        Name(t), o.profileWindow, o.profileBytes, rate, u.cpuMicros, u.switches, u.faults);
    return 0;
  }
  LOAD_PROFILE_ZERO();
  std::vector<double> samples = bench.Latency(t, o.profileBytes, o.profileCalls);
  bench.host().Drain();
  LOAD_PROFILE_DUMP(Name(t));
  const Usage& u = bench.lastUsage();
  std::printf(
      "%s: %d calls of %u B: p50 %.1f µs; per call: CPU %.1f µs, %.2f context switches, "
      "%.2f minor faults\n",
      Name(t), o.profileCalls, o.profileBytes, Median(samples), u.cpuMicros, u.switches, u.faults);
  return 0;
}

void Usage() {
  std::printf(
      "scredir-load: the plug-in's cost per smart-card call against a floor relay\n"
      "  --plugin PATH      the plug-in to load (default: the one built beside this tool)\n"
      "  --quick            tiny settings (a smoke run of every figure)\n"
      "  --rounds N         latency and throughput rounds per target (7)\n"
      "  --calls N          5 B calls per latency round (2000)\n"
      "  --large-calls N    64 KiB calls per latency round (300)\n"
      "  --duration-ms N    length of one throughput round (250)\n"
      "  --window N         requests outstanding in throughput rounds (64)\n"
      "  --process-rounds N fresh processes per target for the first call (7)\n"
      "  --memory-rounds N  fresh processes per target for the memory figure (3)\n"
      "  --inflight N       requests held for the memory figure (256)\n"
      "  --sizes A,B,...    APDU sizes of the sweep (5,64,256,1024,4096,16384,65536)\n"
      "  --sweep-rounds N   rounds of the sweep (7); --sweep-calls N calls per size (300)\n"
      "  --csv FILE         write the sweep as CSV\n"
      "  --only LIST        sections: latency,throughput,process,memory,sweep\n"
      "  --max-seconds N    end the run after N seconds whatever happens (120)\n"
      "  --profile agent|floor [--profile-calls N] [--profile-bytes N] [--profile-window N]\n"
      "                     only one target's timed loop (one at a time, or a throughput\n"
      "                     round of --duration-ms with N outstanding), between callgrind's\n"
      "                     zero and dump points; prints CPU time and switches per call\n");
}

std::vector<uint32_t> ParseSizes(const std::string& text) {
  std::vector<uint32_t> sizes;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    unsigned long n = std::stoul(item);
    if (n == 0 || n > kLarge) Fail("APDU sizes must lie in 1.." + std::to_string(kLarge));
    sizes.push_back(static_cast<uint32_t>(n));
  }
  return sizes;
}

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Fail(a + " needs a value");
      return argv[++i];
    };
    auto number = [&]() { return std::max(1, std::stoi(value())); };
    if (a == "--help" || a == "-h") {
      Usage();
      std::exit(0);
    } else if (a == "--quick") {
      o.rounds = 2;
      o.smallCalls = 50;
      o.largeCalls = 10;
      o.durationMs = 40;
      o.processRounds = 1;
      o.memoryRounds = 1;
      o.inflight = 16;
      o.sweepRounds = 1;
      o.sweepCalls = 20;
      o.sizes = {5, 4096, 65536};
    } else if (a == "--plugin") {
      o.plugin = value();
    } else if (a == "--rounds") {
      o.rounds = number();
    } else if (a == "--calls") {
      o.smallCalls = number();
    } else if (a == "--large-calls") {
      o.largeCalls = number();
    } else if (a == "--duration-ms") {
      o.durationMs = number();
    } else if (a == "--window") {
      o.window = std::min(number(), 256);
    } else if (a == "--process-rounds") {
      o.processRounds = number();
    } else if (a == "--memory-rounds") {
      o.memoryRounds = number();
    } else if (a == "--inflight") {
      o.inflight = std::min(number(), 400);
    } else if (a == "--sizes") {
      o.sizes = ParseSizes(value());
    } else if (a == "--sweep-rounds") {
      o.sweepRounds = number();
    } else if (a == "--sweep-calls") {
      o.sweepCalls = number();
    } else if (a == "--csv") {
      o.csv = value();
    } else if (a == "--only") {
      o.only = value();
    } else if (a == "--max-seconds") {
      o.maxSeconds = number();
    } else if (a == "--child") {
      o.child = value();
    } else if (a == "--target") {
      o.target = value();
    } else if (a == "--profile") {
      o.profile = value();
    } else if (a == "--profile-calls") {
      o.profileCalls = number();
    } else if (a == "--profile-window") {
      o.profileWindow = std::min(number(), 256);
    } else if (a == "--profile-bytes") {
      o.profileBytes = static_cast<uint32_t>(std::min(number(), static_cast<int>(kLarge)));
    } else {
      Fail("unknown option " + a + " (--help lists them)");
    }
  }
  return o;
}

}  // namespace
}  // namespace scredir::load

int main(int argc, char** argv) {
  using namespace scredir::load;
  signal(SIGPIPE, SIG_IGN);
  try {
    Options o = Parse(argc, argv);
    // The whole run is bounded, whatever a peer does.
    const int limit = o.child.empty() ? o.maxSeconds : 60;
    std::thread([limit] {
      std::this_thread::sleep_for(std::chrono::seconds(limit));
      std::fprintf(stderr, "scredir-load: stopped after %d s (--max-seconds)\n", limit);
      _exit(3);
    }).detach();
    if (!o.child.empty()) return RunChild(o);
    if (!o.profile.empty()) return RunProfile(o);
    return RunAll(o);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "scredir-load: %s\n", e.what());
    std::fflush(nullptr);
    _exit(1);  // plug-in threads may still be running
  }
}
