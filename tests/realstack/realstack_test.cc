// The demo session through the built plug-in, with a genuine PC/SC stack on
// the client side (a private pcscd, the virtual reader driver and a virtual
// ISO 7816 card), compared with what direct libpcsclite calls to the same
// card return. The plug-in must carry reader names, states, protocols, ATR
// bytes, APDU responses and error results across unchanged.
//
// Each test starts its own stack and is skipped, with the reason, where
// pcscd or the virtual card cannot run.
#include <winscard.h>

#include <gtest/gtest.h>

#include "tools/demo/format.h"
#include "tools/harness/direct_session.h"
#include "tools/harness/rig.h"
#include "tools/harness/sandbox.h"
#include "tools/pcsc_stack.h"

namespace scredir::tools {
namespace {

using demo::HexBytes;

constexpr auto kStepTimeout = std::chrono::seconds(20);

std::string PluginPath() {
  return BuiltPath("scredir/libscrediragent.so", SCREDIR_PLUGIN_PATH);
}

// A record as text, field by field. The plug-in's GetStatusChange asks
// before the direct one, so only the CHANGED bit may differ; the event
// counter in the upper half must not.
std::vector<std::pair<std::string, std::string>> Shown(const demo::SessionRecord& r) {
  return {{"readers", demo::QuotedList(r.readers)},
          {"reader state", demo::ReaderStateText(r.readerEventState & ~SCARD_STATE_CHANGED)},
          {"reader ATR", HexBytes(r.readerAtr)},
          {"active protocol", demo::ProtocolText(r.activeProtocol)},
          {"status reader", demo::QuotedList(r.statusReaderNames)},
          {"card state", demo::CardStateText(r.statusState)},
          {"status protocol", demo::ProtocolText(r.statusProtocol)},
          {"status ATR", HexBytes(r.statusAtr)},
          {"GetAttrib result", demo::ResultName(r.attribRv)},
          {"GetAttrib value", HexBytes(r.attrib)}};
}

class RealStackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    stack_ = PcscStack::Start(&why);
    SCREDIR_REQUIRE_PEER(stack_ != nullptr,
                         "pcscd with the virtual reader and card cannot run here: " + why);
    // The plug-in reads its socket path once per process: a path that
    // stays the same for every test of the process.
    env_ = Sandbox::Create(
        {.socketPath = stack_->Directory() + "/qrn.socket", .debug = false, .keepLog = false},
        &why);
    ASSERT_TRUE(env_) << why;
    rig_ = std::make_unique<Rig>(backend_, [this] { backend_.Shutdown(); });
    ASSERT_TRUE(rig_->BringUp(PluginPath(), env_->socketPath(), kStepTimeout, &why)) << why;
  }
  void TearDown() override {
    rig_.reset();
    env_.reset();
    stack_.reset();
  }

  demo::SessionOutcome RunSession(std::function<void(const std::string&)> beforeStep = {}) {
    return run_.Run(rig_->daemon(), kStepTimeout, std::move(beforeStep));
  }

  std::unique_ptr<PcscStack> stack_;
  std::unique_ptr<Sandbox> env_;
  PcscBackend backend_;
  std::unique_ptr<Rig> rig_;
  SessionRun run_;
};

TEST_F(RealStackTest, DaemonSeesWhatDirectPcscCallsSee) {
  ASSERT_EQ(RunSession(), demo::SessionOutcome::kCompleted) << run_.session->failure();
  const demo::SessionRecord& seen = run_.session->record();
  ASSERT_EQ(seen.cardReader, PcscStack::kReaderName);
  const demo::SessionRecord direct = DirectCalls(seen.cardReader);
  EXPECT_EQ(Shown(seen), Shown(direct));
  EXPECT_EQ(seen.statusAtr, seen.readerAtr) << "Status and GetStatusChange disagree on the ATR";

  // SELECT and VERIFY answer the same bytes every time; GET CHALLENGE's
  // bytes are fresh, so only its shape is compared.
  ASSERT_EQ(seen.apdus.size(), direct.apdus.size());
  const Bytes ok = {0x90, 0x00};
  for (size_t i = 0; i < seen.apdus.size(); ++i) {
    const demo::SessionRecord::Apdu& want = direct.apdus[i];
    SCOPED_TRACE(seen.apdus[i].label);
    EXPECT_EQ(demo::ResultName(seen.apdus[i].rv), demo::ResultName(want.rv));
    ASSERT_GE(seen.apdus[i].response.size(), 2u);
    EXPECT_EQ(HexBytes(std::span(seen.apdus[i].response).last(2)), HexBytes(ok));
    if (seen.apdus[i].label.starts_with("GET CHALLENGE")) {
      EXPECT_EQ(seen.apdus[i].response.size(), 10u);
      EXPECT_EQ(seen.apdus[i].response.size(), want.response.size());
    } else {
      EXPECT_EQ(HexBytes(seen.apdus[i].response), HexBytes(want.response));
    }
  }
}

TEST_F(RealStackTest, CardPulledMidSessionGivesTheDaemonTheStacksOwnError) {
  // A handle of our own, opened before the card goes, shows what the stack
  // itself answers a transmit on a card that has been pulled.
  SCARDCONTEXT context = 0;
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_S_SUCCESS);
  ASSERT_EQ(SCardConnect(context, PcscStack::kReaderName, SCARD_SHARE_SHARED,
                         SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol),
            SCARD_S_SUCCESS);

  bool removed = false;
  demo::SessionOutcome outcome = RunSession([&](const std::string& step) {
    if (step == "select") removed = stack_->RemoveCard();
  });
  ASSERT_TRUE(removed) << stack_->LogTail();
  EXPECT_EQ(outcome, demo::SessionOutcome::kFailed);

  const Bytes& select = demo::SessionApdus().front().command;
  BYTE response[258];
  DWORD length = sizeof response;
  SCARD_IO_REQUEST pci{protocol, sizeof(SCARD_IO_REQUEST)};
  auto direct = static_cast<uint32_t>(
      SCardTransmit(card, &pci, select.data(), select.size(), nullptr, response, &length));
  SCardDisconnect(card, SCARD_LEAVE_CARD);
  SCardReleaseContext(context);

  const demo::SessionRecord& seen = run_.session->record();
  ASSERT_FALSE(seen.apdus.empty());
  EXPECT_NE(direct, SCARD_S_SUCCESS);
  EXPECT_EQ(demo::ResultName(seen.apdus.front().rv), demo::ResultName(direct));
  // The session still gave back its card handle and context.
  ASSERT_GE(seen.results.size(), 2u);
  EXPECT_EQ(seen.results.back().first, "release");
  EXPECT_EQ(seen.results.back().second, SCARD_S_SUCCESS);
}

// The demo program's own --backend pcsc, as a user runs it (its files go to
// the sandbox's work directory): against the test's private pcscd (reached
// through PCSCLITE_CSOCK_NAME, which Start() set and the program inherits),
// then with --private-stack on a pcscd the program starts itself.
TEST_F(RealStackTest, DemoProgramRunsItsSessionOnThePcscStack) {
  for (const char* extra : {"", " --private-stack"}) {
    SCOPED_TRACE(extra);
    if (*extra) stack_.reset();  // the program's own stack needs the reader port
    ExpectDemoProgramSays(BuiltPath("tools/scredir-demo", SCREDIR_DEMO_PATH), env_->workDir(),
                          "--plugin '" + PluginPath() + "' --backend pcsc" + extra,
                          {"\"Virtual PCD 00 00\": CHANGED|PRESENT", "ATR 3B", "SELECT MF 3F00",
                           "< 90 00   success", "Session complete"});
  }
}

}  // namespace
}  // namespace scredir::tools
