// The whole chain with a stock FreeRDP client in the middle: opensc-tool and
// pcsc_scan talk to scredir-pcscd (PCSCLITE_CSOCK_NAME), which serves them
// through the built plug-in hosted by the RDP bridge; xfreerdp (on a
// virtual display) redirects its smart card from a private pcscd with the
// virtual reader and card.
//
// The client answers in Windows numbering, so this is where the daemon's
// conversion of card states, protocols and result codes meets a real
// client: the daemon runs with its default remote values, and a probe's
// card state, protocol and connect error must be what pcscd itself answers.
//
// Where pcscd, the virtual card, xfreerdp, Xvfb or the tools cannot run,
// the test skips with the reason, or fails when CI=true.
#include <winscard.h>

#include <cstdio>
#include <iostream>
#include <regex>

#include <gtest/gtest.h>

#include "tools/chain/app_side.h"
#include "tools/harness/real_peer.h"
#include "tools/harness/sandbox.h"
#include "tools/pcsc_stack.h"
#include "tools/rdp_bridge/freerdp_run.h"

namespace scredir::chain {
namespace {

using namespace std::chrono_literals;
using tools::BuiltPath;
using tools::PcscStack;
using tools::ReadFile;
using tools::WaitFor;
using tools::Which;

// From the client's start to the remote reader being listed to the
// applications: TLS, the RDP connection, the device-redirection handshake,
// the plug-in's daemon connection and the daemon's first reader poll.
constexpr auto kReaderWait = 30s;
constexpr auto kScanWait = 10s;

// What the private pcscd itself answers this process for a shared connect
// to `reader`, in the probe's words: its status line, or the failure.
std::string DirectConnect(const char* reader) {
  SCARDCONTEXT context = 0;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS)
    return "?";
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  char line[256];
  LONG rv = SCardConnect(context, reader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                         &card, &protocol);
  if (rv != SCARD_S_SUCCESS) {
    std::snprintf(line, sizeof line, "SCardConnect failed: %s (0x%08lX)", pcsc_stringify_error(rv),
                  static_cast<unsigned long>(rv));
  } else {
    char names[1024];
    BYTE atr[MAX_ATR_SIZE];
    DWORD state = 0, statusProtocol = 0, nameLength = sizeof names, atrLength = sizeof atr;
    if (SCardStatus(card, names, &nameLength, &state, &statusProtocol, atr, &atrLength) !=
        SCARD_S_SUCCESS)
      state = statusProtocol = 0xFFFF;  // never a real answer
    // libpcsclite puts the reader's event counter in the upper half; the
    // daemon counts the events it has seen itself, so only the state bits
    // compare.
    std::snprintf(line, sizeof line, "status %lX %lX", static_cast<unsigned long>(state & 0xFFFF),
                  static_cast<unsigned long>(statusProtocol));
    SCardDisconnect(card, SCARD_LEAVE_CARD);
  }
  SCardReleaseContext(context);
  return line;
}

class FreeRdpChainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = bridge::MissingClientPrograms();
    if (why.empty()) why = tools::MissingProgram({"opensc-tool", "pcsc_scan", "stdbuf"});
    if (why.empty()) {
      stack_ = PcscStack::Start(&why);
      if (!stack_) why = "pcscd with the virtual reader and card cannot run here: " + why;
    }
    SCREDIR_REQUIRE_PEER(why.empty(), why);

    const std::string dir = stack_->Directory();
    const std::string pluginSocket = dir + "/qrn.socket";
    env_ = tools::Sandbox::Create({.socketPath = pluginSocket,
                                   .debug = true,
                                   .keepLog = false,
                                   .keys = {{"QRN.ScRedir.ndrPointerIds", "windows"}}},
                                  &why);
    ASSERT_TRUE(env_) << why;
    ASSERT_TRUE(apps_.Start({BuiltPath("daemon/scredir-pcscd", SCREDIR_DAEMON_PATH),
                             "--daemon-socket", pluginSocket, "--poll-interval", "500", "--debug"},
                            dir, 20s, &why))
        << why;
    run_ = bridge::FreeRdpRun::Start(
        {.bridgeProgram = BuiltPath("tools/scredir-rdp-bridge", SCREDIR_BRIDGE_PATH),
         .plugin = BuiltPath("scredir/libscrediragent.so", SCREDIR_PLUGIN_PATH),
         .workDir = env_->workDir(),
         .pcscSocket = stack_->SocketPath(),
         .lifetime = 90s},
        &why);
    ASSERT_TRUE(run_) << why;
    env_->SetHostProcess(run_->bridgePid());
    ASSERT_TRUE(apps_.AwaitReader(PcscStack::kReaderName, kReaderWait))
        << "the client's reader never reached the applications\n"
        << Tails();
  }

  void TearDown() override {
    if (run_) run_->Stop();
    apps_.Stop();
    // The plug-in runs in the bridge: a sanitizer's report lands in its log.
    for (const std::string& log : {apps_.Log(), run_ ? run_->BridgeLog() : ""})
      EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
    run_.reset();
    env_.reset();
    stack_.reset();
  }

  std::string Tails() const {
    std::string daemon = apps_.Log();
    if (daemon.size() > 6000) daemon = daemon.substr(daemon.size() - 6000);
    return "scredir-pcscd:\n" + daemon + "\n" + (run_ ? run_->Tails() : "");
  }

  std::unique_ptr<PcscStack> stack_;
  std::unique_ptr<tools::Sandbox> env_;
  AppSide apps_;
  std::unique_ptr<bridge::FreeRdpRun> run_;
};

TEST_F(FreeRdpChainTest, OpenscToolAndPcscScanReachTheClientsCard) {
  EXPECT_EQ(apps_.OpenscToolReachesTheCard(), "");

  // pcsc_scan prints a block per reader event: the client's reader must
  // show the card inserted, with its ATR.
  const std::string log = stack_->Directory() + "/pcsc_scan.log";
  tools::ChildProcess scan =
      tools::Spawn({Which("stdbuf"), "-oL", Which("pcsc_scan"), "-n"}, apps_.Environment(), log);
  std::string atr = PcscStack::kCardAtr;
  for (char& ch : atr) ch = ch == ':' ? ' ' : static_cast<char>(std::toupper(ch));
  const std::regex block(std::string(PcscStack::kReaderName) +
                         R"(\s+Event number: \d+\s+Card state: Card inserted,[^\n]*\s+ATR: )" +
                         atr);
  const bool seen = WaitFor(kScanWait, [&] { return std::regex_search(ReadFile(log), block); });
  scan.Stop();
  std::cout << "$ pcsc_scan -n\n" << ReadFile(log) << "\n";
  EXPECT_TRUE(seen) << ReadFile(log) << "\n" << Tails();
}

// The client numbers card states, protocols and result codes the Windows
// way; the daemon must hand applications what pcscd itself would.
TEST_F(FreeRdpChainTest, StatesProtocolsAndErrorsMatchWhatPcscdAnswers) {
  const std::string probe = BuiltPath("tools/chain/scredir-pcsc-probe", SCREDIR_PROBE_PATH);
  for (const char* reader : {PcscStack::kReaderName, "Virtual PCD 00 01"}) {
    const std::string direct = DirectConnect(reader);
    std::string out = apps_.Run("'" + probe + "' '" + reader + "' 0");
    std::cout << reader << ": direct \"" << direct << "\"; through the chain:\n" << out;
    // The chain's status line, its counter half dropped as above.
    std::smatch m;
    if (std::regex_search(out, m, std::regex("status ([0-9A-F]+) "))) {
      char bits[32];
      std::snprintf(bits, sizeof bits, "status %lX ", std::stoul(m[1], nullptr, 16) & 0xFFFF);
      out.replace(m.position(0), m.length(0), bits);
    }
    EXPECT_NE(out.find(direct + "\n"), std::string::npos) << reader << ": " << direct;
  }
}

}  // namespace
}  // namespace scredir::chain
