// Start and stop against a fake host, and the listener and channel
// callbacks: what is called on the host, what is logged, what is returned.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <optional>

#include "lib/config/config.h"
#include "scredir/channel.h"
#include "tests/frame/frame_test_util.h"

namespace {

using frame_test::FakeHost;
using frame_test::Lines;
using frame_test::PluginFixture;
using frame_test::Ptr;

class LifecycleTest : public PluginFixture {
 protected:
  void SetUp() override {
    PluginFixture::SetUp();
    for (auto& [name, saved] : env_) {
      if (const char* v = getenv(name)) saved = v;
      setenv(name, dir_.path.c_str(), 1);  // the log file lands in our directory
    }
  }
  void TearDown() override {
    PluginFixture::TearDown();
    ConfigStoreResetForTest();
    LogShutdown();
    for (auto& [name, saved] : env_) saved ? setenv(name, saved->c_str(), 1) : unsetenv(name);
  }
  // A fresh configuration store whose host layer holds `text`.
  void Configure(const std::string& text) {
    ConfigStoreResetForTest();
    std::ofstream(dir_.path + "/config") << text;
    ConfigStoreOptions options;
    options.hostDir = dir_.path;
    options.defaultLibDir = options.homeDir = dir_.path + "/none";
    ASSERT_TRUE(ConfigStoreInitWith(options));
  }
  uint32_t Start(uint16_t major = 1) {
    const uint16_t version[2] = {major, 0};
    return ScRedirQrn_Start(version, frame_test::FakeHost::GetIntf, {"test", "1.0", "7"});
  }
  std::pair<const char*, std::optional<std::string>> env_[2] = {{"TMPDIR", {}}, {"HOME", {}}};
};

const std::string kInfo = "SCQRN: INFO |TID|: ", kError = "SCQRN: ERROR(00000000) |TID|: ";

TEST_F(LifecycleTest, StartFollowsTheSwitchesAndTheHostAnswers) {
  const std::string offDebug = "QRN.ScRedir.Enable = \"false\"\nQRN.ScRedir.logLevel = \"debug\"\n";
  const std::string windowsIds = "QRN.ScRedir.ndrPointerIds = \"Windows\"\n";
  const std::string capsDebug = "QRN.ScRedir.logLevel = \"DEBUG\"\n";  // not "debug"
  const std::string notCreated = kError + "Failed to create QRN listener, status=0x7";
  const std::string notActivated = kError + "Failed to activate QRN listener, status=0x1f";
  const std::string major0 =
      kInfo + "QRN_Start - QRN version warning. Major ver found = 0 but expected at least 1";
  const std::string badIds =
      kError + "Unknown QRN.ScRedir.ndrPointerIds value 'Windows', keeping 'sequential'";
  struct Case {
    const char* name;
    std::string config;
    uint16_t major;
    uint32_t status[3];  // what GetIntf, CreateListener and ActivateListener answer
    uint32_t result;
    int calls[3];  // how often each was called; GetIntf is asked only when enabled
    bool debug;
    std::string extraLine;  // after the start and enable lines
  } cases[] = {
      {"disabled, debug", offDebug, 1, {0, 0, 0}, 0, {0, 0, 0}, true, ""},
      {"getIntf fails; DEBUG is not debug", capsDebug, 1, {1, 0, 0}, 0, {1, 0, 0}, false, ""},
      {"listener not created", "", 1, {0, 7, 0}, 7, {1, 1, 0}, false, notCreated},
      {"listener not activated", "", 1, {0, 0, 0x1F}, 0x1F, {1, 1, 1}, false, notActivated},
      {"host major version 0", "", 0, {0, 0, 0}, 0, {1, 1, 1}, false, major0},
      {"unknown pointer-id style", windowsIds, 1, {0, 0, 0}, 0, {1, 1, 1}, false, badIds},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Configure(c.config);
    FakeHost host;
    std::copy(c.status, c.status + 3, host.status);
    debugEnabled = !c.debug;
    log_.Clear();
    EXPECT_EQ(Start(c.major), c.result);
    Lines expected = {kInfo + "QRN start!",
                      kInfo + "QRN.ScRedir.Enable option value is " + (c.calls[0] ? "1" : "0")};
    if (!c.extraLine.empty()) expected.push_back(c.extraLine);
    EXPECT_EQ(log_.PluginLines(), expected);
    EXPECT_EQ(debugEnabled.load(), c.debug);
    EXPECT_EQ(std::vector<int>(host.calls, host.calls + 3), std::vector<int>(c.calls, c.calls + 3));
    if (c.calls[0]) {
      EXPECT_EQ(host.tableSizeSeen, 192u);
      EXPECT_EQ(host.requestedVersion[0] * 0x10000 + host.requestedVersion[1], 0x10002);
    }
    EXPECT_EQ(host.listenerSessionId, c.calls[1] ? -1 : 0);  // -1: every session
  }
}

// With the channel still open, the link thread (waiting to connect here)
// must be gone before the maps are.
TEST_F(LifecycleTest, StopEndsTheLinkThreadAndReturnsWhatCloseListenerReturns) {
  Configure("");
  host_.status[FakeHost::kClose] = 0x1234;
  ASSERT_EQ(Start(), 0u);
  int channel;
  ScRedirVChan_OnOpen(&channel, 0, &scRedirPluginState);
  log_.WaitFor(kInfo + "waiting for connection with pcscd");
  log_.Clear();
  EXPECT_EQ(ScRedirQrn_Stop(), 0x1234u);
  EXPECT_EQ(host_.calls[FakeHost::kClose], 1);
  EXPECT_EQ(log_.PluginLines(), (Lines{kInfo + "QRN stop", kInfo + "qrn plugin thread exits"}));
}

// Every peer open is logged, then accepted (our name in any case) or
// rejected; a failing host call adds an ERROR line with its status.
TEST_F(PluginFixture, PeerOpenAcceptsOnlyOurChannelIgnoringCase) {
  struct Case {
    std::string name;
    uint32_t acceptStatus, rejectStatus;
    bool accepted;  // handed to AcceptChannel rather than RejectChannel
    std::string line;
  } cases[] = {
      {"smart card virtual channel", 0, 0, true, kInfo + "accepted QRN %s channel"},
      {"Smart Card Virtual Channel", 5, 0, true,
       "SCQRN: ERROR(00000005) |TID|: Failed to accept QRN %s channel, status=5"},
      {"Smart Card Virtual Channel2", 0, 0, false, ""},
      {"rdpdr", 0, 3, false,
       "SCQRN: ERROR(00000003) |TID|: Failed to reject channel '%s', status=3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    host_.calls[FakeHost::kAccept] = host_.calls[FakeHost::kReject] = 0;
    host_.status[FakeHost::kAccept] = c.acceptStatus;
    host_.status[FakeHost::kReject] = c.rejectStatus;
    scRedirPluginState.channelId = 0;
    log_.Clear();
    int listener, peer;
    ScRedirVChan_OnPeerOpen(c.name.data(), &listener, &peer, 0, 3, nullptr, 0, &scRedirPluginState);
    Lines expected{kInfo + "QRN listener=" + Ptr(&listener) + " sessid=3 gets Peer Open for '" +
                   c.name + "'"};
    if (!c.accepted) expected.push_back(kInfo + "Rejecting unrecognised channel '" + c.name + "'");
    if (!c.line.empty()) expected.push_back(std::regex_replace(c.line, std::regex("%s"), c.name));
    EXPECT_EQ(log_.PluginLines(), expected);
    EXPECT_EQ(host_.calls[FakeHost::kAccept], c.accepted ? 1 : 0);
    EXPECT_EQ(host_.calls[FakeHost::kReject], c.accepted ? 0 : 1);
    // The host's channel id is kept only from a successful accept.
    EXPECT_EQ(scRedirPluginState.channelId.load(), c.accepted && !c.acceptStatus ? 42u : 0u);
    EXPECT_EQ(ScRedir_CurrentSession(), nullptr);  // nothing opens before onOpen
  }
}

// A failed open sets nothing up and the quiet callbacks only log. Then a
// whole channel: the announce (its bytes are checked on the whole road)
// waits on the request list until the host has sent it, a received packet
// is routed and handed back, the close wakes the link thread still waiting
// to connect, and a reopen waits for that thread to end.
TEST_F(PluginFixture, ChannelFromAFailedOpenToAReopen) {
  int channel;
  ScRedirVChan_OnOpen(&channel, 5, &scRedirPluginState);
  ScRedirVChan_OnListenerConnect(nullptr, 0, &scRedirPluginState);
  ScRedirVChan_OnListenerClose(nullptr, &scRedirPluginState);
  ScRedirVChan_OnDelivered(&channel, nullptr, 0, 9, &scRedirPluginState);
  EXPECT_EQ(log_.PluginLines(),
            (Lines{"SCQRN: ERROR(00000005) |TID|: Failed to open channel, status=5",
                   kInfo + "QRN on listener close",
                   kInfo + "ScRedirVChan_OnDelivered channel=" + Ptr(&channel) + " msgid=9)"}));
  EXPECT_EQ(ScRedir_CurrentSession(), nullptr);
  EXPECT_TRUE(host_.Sent().empty());

  ScRedirVChan_OnOpen(&channel, 0, &scRedirPluginState);
  ScRedirSessionRef session = ScRedir_CurrentSession();
  ASSERT_NE(session, nullptr);
  ASSERT_EQ(host_.Sent().size(), 1u);
  EXPECT_EQ(session->SentCount(), 1u);
  EXPECT_EQ(log_.Count(kInfo + "QRN sc channel(" + Ptr(&channel) + ") has Opened"), 1);
  // Exactly the reported buffer is released, once.
  const void* announce = host_.SentBuffer(0);
  ScRedirVChan_OnSendComplete(&channel, announce, 0, &scRedirPluginState);
  EXPECT_EQ(session->SentCount(), 0u);
  // The link thread logs its own lines meanwhile; count just ours.
  ScRedirVChan_OnSendComplete(&channel, announce, 0, &scRedirPluginState);
  EXPECT_EQ(log_.Count("SCQRN: ERROR(c0000001) |TID|: Failed to find buffer " + Ptr(announce) +
                       " of channel " + Ptr(&channel) + " in qrn request list"),
            1);

  debugEnabled = true;
  host_.status[FakeHost::kRecvComplete] = 3;
  uint8_t packet[] = {0x52, 0x50, 0x43, 0x50};  // a printer packet
  EXPECT_EQ(ScRedirVChan_OnRecv(&channel, 0, packet, sizeof packet, &scRedirPluginState), 3u);
  debugEnabled = false;
  EXPECT_EQ(host_.calls[FakeHost::kRecvComplete], 1);
  EXPECT_EQ(host_.recvCompleteChannel, &channel);
  EXPECT_EQ(log_.Count("SCQRN: DEBUG |TID|: QRN receive buf len 4"), 1);
  EXPECT_EQ(log_.Count("SCQRN: ERROR(00000000) |TID|: Incorrect component 00005052"), 1);

  log_.WaitFor(kInfo + "waiting for connection with pcscd");
  ScRedirVChan_OnClose(&channel, 2, &scRedirPluginState);
  EXPECT_EQ(log_.Count(kInfo + "QRN smart channel=" + Ptr(&channel) + " has Closed, reason=2"), 1);
  EXPECT_EQ(scRedirPluginState.channelId.load(), kNoChannelId);
  EXPECT_EQ(ScRedir_CurrentSession(), nullptr);

  // Reopened at once: the new link thread starts only after the old one,
  // woken by the close, has ended (without the wake-up this would hang).
  const std::string start = kInfo + "Smartcard server thread start.";
  const std::string exits = kInfo + "qrn plugin thread exits";
  ScRedirVChan_OnOpen(&channel, 0, &scRedirPluginState);
  log_.WaitFor(start, 2);
  ScRedirVChan_OnClose(&channel, 2, &scRedirPluginState);
  ScRedirQrn_JoinServerThread();
  Lines lines = log_.PluginLines();
  auto firstExit = std::find(lines.begin(), lines.end(), exits);
  auto secondStart =
      std::find(std::find(lines.begin(), lines.end(), start) + 1, lines.end(), start);
  ASSERT_NE(secondStart, lines.end());
  EXPECT_LT(firstExit, secondStart);
  EXPECT_EQ(log_.Count(exits), 2);
}

}  // namespace
