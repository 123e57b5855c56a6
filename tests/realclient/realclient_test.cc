// The plug-in answered by a stock FreeRDP client: the daemon double drives
// the demo session through the plug-in, which the bridge program hosts;
// xfreerdp (on a virtual display) redirects its smart card, and its
// libpcsclite talks to a private pcscd with the virtual reader and card.
//
// With Windows-style NDR referent ids the whole session must succeed and
// carry what libpcsclite itself reports; with the default ids the client
// refuses the first call that has a pointer, and the daemon must get an
// error for it instead of waiting.
//
// Where xfreerdp, Xvfb, openssl or pcscd are missing the tests skip with
// the reason; in CI (CI=true) they fail instead.
#include <gtest/gtest.h>

#include "tools/demo/format.h"
#include "tools/harness/direct_session.h"
#include "tools/harness/sandbox.h"
#include "tools/pcsc_stack.h"
#include "tools/rdp_bridge/freerdp_run.h"

namespace scredir::tools {
namespace {

using bridge::FreeRdpRun;
using demo::HexBytes;

constexpr auto kStepTimeout = std::chrono::seconds(10);
// From the client's start to the plug-in's daemon connection: TLS, the
// RDP connection sequence and the device-redirection handshake.
constexpr auto kConnectLimit = std::chrono::seconds(30);

// Lines of `text` holding any of `markers`.
std::string LinesWith(const std::string& text, std::initializer_list<const char*> markers) {
  std::istringstream in(text);
  std::string found;
  for (std::string line; std::getline(in, line);)
    for (const char* marker : markers)
      if (line.find(marker) != std::string::npos) {
        found += line + "\n";
        break;
      }
  return found;
}

class RealClientTest : public ::testing::Test {
 protected:
  // Brings up the stack, the plug-in's configuration, the daemon double
  // and the client side; `keys` are extra plug-in configuration keys.
  // With `probeOnly` it only checks that a run can happen here and leaves
  // a sandbox for the files of a run started otherwise.
  void BringUp(std::vector<std::pair<std::string, std::string>> keys, bool probeOnly = false) {
    std::string why = bridge::MissingClientPrograms();
    if (why.empty()) stack_ = PcscStack::Start(&why);
    if (!stack_) {
      SCREDIR_REQUIRE_PEER(false, "the real client cannot run here: " + why);
    }
    if (probeOnly) {
      stack_.reset();  // the program's own stack needs the reader port
      env_ = Sandbox::Create({.socketPath = "", .debug = false, .keepLog = false}, &why);
      ASSERT_TRUE(env_) << why;
      return;
    }
    env_ = Sandbox::Create({.socketPath = stack_->Directory() + "/qrn.socket",
                            .debug = true,
                            .keepLog = false,
                            .keys = std::move(keys)},
                           &why);
    ASSERT_TRUE(env_) << why;
    daemon_ = std::make_unique<DaemonDouble>(env_->socketPath());
    ASSERT_TRUE(daemon_->listening());
    run_ = FreeRdpRun::Start(
        {.bridgeProgram = BuiltPath("/tools/scredir-rdp-bridge", SCREDIR_BRIDGE_PATH),
         .plugin = BuiltPath("/scredir/libscrediragent.so", SCREDIR_PLUGIN_PATH),
         .workDir = env_->workDir(),
         .pcscSocket = stack_->SocketPath(),
         .lifetime = std::chrono::seconds(90)},
        &why);
    ASSERT_TRUE(run_) << why;
    env_->SetHostProcess(run_->bridgePid());
    // The plug-in connects to the daemon once the bridge opened its channel.
    auto deadline = std::chrono::steady_clock::now() + kConnectLimit;
    while (daemon_->connections() == 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(daemon_->connections(), 1u) << run_->Tails();
  }

  void TearDown() override {
    if (run_) run_->Stop();
    run_.reset();
    daemon_.reset();
    env_.reset();
    stack_.reset();
  }

  demo::SessionOutcome RunSession() { return session_.Run(*daemon_, kStepTimeout); }

  std::unique_ptr<PcscStack> stack_;
  std::unique_ptr<Sandbox> env_;
  std::unique_ptr<DaemonDouble> daemon_;
  std::unique_ptr<FreeRdpRun> run_;
  SessionRun session_;
};

TEST_F(RealClientTest, WindowsPointerIdsCarryTheWholeSessionToTheCard) {
  ASSERT_NO_FATAL_FAILURE(BringUp({{"QRN.ScRedir.ndrPointerIds", "windows"}}));
  if (IsSkipped()) return;
  ASSERT_EQ(RunSession(), demo::SessionOutcome::kCompleted) << session_.session->failure() << "\n"
                                                            << run_->Tails();
  const demo::SessionRecord& seen = session_.session->record();
  ASSERT_EQ(seen.cardReader, PcscStack::kReaderName);
  // The attribute is the card stack's to refuse (the virtual reader has no
  // ATR attribute); it must refuse it as it does to a direct call.
  for (const auto& [step, rv] : seen.results) {
    if (step == "attrib") continue;
    EXPECT_EQ(rv, 0u) << step;
  }

  // SELECT answers 90 00 alone, GET CHALLENGE eight fresh bytes and 90 00.
  ASSERT_GE(seen.apdus.size(), 2u);
  EXPECT_EQ(HexBytes(seen.apdus[0].response), "90 00");
  ASSERT_EQ(seen.apdus[1].response.size(), 10u);
  EXPECT_EQ(HexBytes(std::span(seen.apdus[1].response).last(2)), "90 00");
  // Both reached the card: pcscd logs every command APDU it passes on.
  std::string pcscd = ReadFile(stack_->Directory() + "/pcscd.log");
  for (const char* apdu : {"00 A4 00 0C 02 3F 00", "00 84 00 00 08"})
    EXPECT_NE(pcscd.find(apdu), std::string::npos) << apdu << "\n" << stack_->LogTail();

  // Direct calls come after the look at pcscd's log: they send the same APDUs.
  const demo::SessionRecord direct = DirectCalls(seen.cardReader);
  EXPECT_EQ(seen.readers, direct.readers);
  EXPECT_EQ(seen.statusReaderNames, direct.statusReaderNames);
  EXPECT_EQ(HexBytes(seen.readerAtr), HexBytes(direct.statusAtr));
  EXPECT_EQ(HexBytes(seen.statusAtr), HexBytes(direct.statusAtr));
  EXPECT_EQ(seen.activeProtocol, direct.activeProtocol);
  EXPECT_EQ(demo::ResultName(seen.attribRv), demo::ResultName(direct.attribRv));

  run_->Stop();  // the logs are complete once everyone has gone
  EXPECT_EQ(LinesWith(run_->ClientLog(), {"unpack", "not fully parsed", "expected 0x",
                                          "[ERROR][com.freerdp.channels.rdpdr"}),
            "");
  EXPECT_EQ(LinesWith(env_->LogText(),
                      {"Could not decode", "Invalid completion", "Refused", "Incorrect IO"}),
            "");
}

TEST_F(RealClientTest, DefaultPointerIdsFailTheFirstPointerCallWithAnError) {
  ASSERT_NO_FATAL_FAILURE(BringUp({}));
  if (IsSkipped()) return;
  // Establishing a context carries no pointer, so it succeeds; listing the
  // readers is refused by the client, and the daemon hears about it.
  EXPECT_EQ(RunSession(), demo::SessionOutcome::kFailed) << session_.session->failure() << "\n"
                                                         << run_->Tails();
  const auto& results = session_.session->record().results;
  ASSERT_GE(results.size(), 2u);
  EXPECT_EQ(results[0], std::make_pair(std::string("establish"), 0u));
  EXPECT_EQ(results[1].first, "list");
  EXPECT_NE(results[1].second, 0u);
  // The clean-up is answered too: nothing is left waiting.
  EXPECT_EQ(results.back().first, "release");
  EXPECT_NE(run_->ClientLog().find("expected 0x00020000"), std::string::npos) << run_->Tails();
}

// The demo program's --client freerdp, as a user runs it: it starts its own
// stack, bridge, display and client.
TEST_F(RealClientTest, DemoProgramRunsItsSessionThroughFreeRdp) {
  ASSERT_NO_FATAL_FAILURE(BringUp({}, /*probeOnly=*/true));
  if (IsSkipped()) return;
  ExpectDemoProgramSays(BuiltPath("/tools/scredir-demo", SCREDIR_DEMO_PATH), env_->workDir(),
                        "--plugin '" +
                            BuiltPath("/scredir/libscrediragent.so", SCREDIR_PLUGIN_PATH) +
                            "' --client freerdp",
                        {"client   xfreerdp /smartcard", "\"Virtual PCD 00 00\": CHANGED|PRESENT",
                         "SELECT MF 3F00", "< 90 00   success", "Session complete"});
}

}  // namespace
}  // namespace scredir::tools
