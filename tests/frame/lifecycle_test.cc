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

using frame_test::Lines;
using frame_test::PluginFixture;

std::string Ptr(const void* p) {
  char text[32];
  snprintf(text, sizeof text, "%p", p);
  return text;
}

class LifecycleTest : public PluginFixture {
 protected:
  void SetUp() override {
    PluginFixture::SetUp();
    for (auto& [name, saved] : env_) {
      if (const char* v = getenv(name)) saved = v;
      setenv(name, dir_.path().c_str(), 1);  // the log file lands in our directory
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
    std::ofstream(dir_.path() + "/config") << text;
    ConfigStoreOptions options;
    options.hostDir = dir_.path();
    options.defaultLibDir = options.homeDir = dir_.path() + "/none";
    ASSERT_TRUE(ConfigStoreInitWith(options));
  }
  uint32_t Start(uint16_t major = 1) {
    const uint16_t version[2] = {major, 0};
    return ScRedirQrn_Start(version, frame_test::FakeHost::GetIntf, {"test", "1.0", "7"});
  }
  std::pair<const char*, std::optional<std::string>> env_[2] = {{"TMPDIR", {}}, {"HOME", {}}};
};

const std::string kStart = "SCQRN: INFO |TID|: QRN start!";
const std::string kEnabled = "SCQRN: INFO |TID|: QRN.ScRedir.Enable option value is 1";

TEST_F(LifecycleTest, StartFollowsTheSwitchesAndTheHostAnswers) {
  struct Case {
    const char* name;
    std::string config;
    uint16_t major;
    int getIntfResult;
    uint32_t createStatus, activateStatus, result;
    Lines lines;
    int createCalls, activateCalls;
    bool debug;
  } cases[] = {
      {"disabled, debug",
       "QRN.ScRedir.Enable = \"false\"\nQRN.ScRedir.logLevel = \"debug\"\n",
       1,
       0,
       0,
       0,
       0,
       {kStart, "SCQRN: INFO |TID|: QRN.ScRedir.Enable option value is 0"},
       0,
       0,
       true},
      {"getIntf fails; DEBUG in capitals is not debug",
       "QRN.ScRedir.logLevel = \"DEBUG\"\n",
       1,
       1,
       0,
       0,
       0,
       {kStart, kEnabled},
       0,
       0,
       false},
      {"listener not created",
       "",
       1,
       0,
       7,
       0,
       7,
       {kStart, kEnabled,
        "SCQRN: ERROR(00000000) |TID|: Failed to create QRN listener, status=0x7"},
       1,
       0,
       false},
      {"listener not activated",
       "",
       1,
       0,
       0,
       0x1F,
       0x1F,
       {kStart, kEnabled,
        "SCQRN: ERROR(00000000) |TID|: Failed to activate QRN listener, status=0x1f"},
       1,
       1,
       false},
      {"host major version 0",
       "",
       0,
       0,
       0,
       0,
       0,
       {kStart, kEnabled,
        "SCQRN: INFO |TID|: QRN_Start - QRN version warning. Major ver found = 0 but expected "
        "at least 1"},
       1,
       1,
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Configure(c.config);
    frame_test::FakeHost host;
    host.getIntfResult = c.getIntfResult;
    host.createStatus = c.createStatus;
    host.activateStatus = c.activateStatus;
    debugEnabled = !c.debug;
    log_.Clear();
    EXPECT_EQ(Start(c.major), c.result);
    EXPECT_EQ(log_.PluginLines(), c.lines);
    EXPECT_EQ(debugEnabled.load(), c.debug);
    EXPECT_EQ(host.getIntfCalls, c.config.find("false") == std::string::npos ? 1 : 0);
    EXPECT_EQ(host.createCalls, c.createCalls);
    EXPECT_EQ(host.activateCalls, c.activateCalls);
    if (host.getIntfCalls) {
      EXPECT_EQ(host.tableSizeSeen, 192u);
      EXPECT_EQ(host.requestedVersion[0] * 0x10000 + host.requestedVersion[1], 0x10002);
    }
    if (c.createCalls) {
      EXPECT_EQ(host.listenerName, "Smart Card Virtual Channel");
      EXPECT_EQ(host.listenerSessionId, -1);
      EXPECT_EQ(host.listenerClientData, &scRedirQrnState);
    }
  }
}

TEST_F(LifecycleTest, StopReturnsWhatCloseListenerReturns) {
  Configure("");
  for (uint32_t status : {0u, 0x1234u}) {
    frame_test::FakeHost host;
    host.closeStatus = status;
    ASSERT_EQ(Start(), 0u);
    log_.Clear();
    EXPECT_EQ(ScRedirQrn_Stop(), status);
    EXPECT_EQ(host.closeCalls, 1);
    EXPECT_EQ(log_.PluginLines(), Lines{"SCQRN: INFO |TID|: QRN stop"});
  }
}

// With the channel still open, the link thread (waiting to connect here)
// must be gone before the maps are.
TEST_F(LifecycleTest, StopWithOpenChannelEndsTheLinkThreadFirst) {
  Configure("");
  ASSERT_EQ(Start(), 0u);
  int channel;
  ScRedirVChan_OnOpen(&channel, 0, &scRedirQrnState);
  log_.WaitFor("SCQRN: INFO |TID|: waiting for connection with pcscd");
  EXPECT_EQ(ScRedirQrn_Stop(), 0u);
  EXPECT_EQ(log_.Count("SCQRN: INFO |TID|: qrn plugin thread exits"), 1);
}

TEST_F(PluginFixture, PeerOpenAcceptsOnlyOurChannelIgnoringCase) {
  struct Case {
    std::string name;
    uint32_t acceptStatus, rejectStatus;
    int accepts, rejects;
    uint32_t channelId;
    Lines lines;
  } cases[] = {
      {"smart card virtual channel",
       0,
       0,
       1,
       0,
       42,
       {"SCQRN: INFO |TID|: accepted QRN smart card virtual channel channel"}},
      {"Smart Card Virtual Channel",
       5,
       0,
       1,
       0,
       0,
       {"SCQRN: ERROR(00000005) |TID|: Failed to accept QRN Smart Card Virtual Channel channel, "
        "status=5"}},
      {"Smart Card Virtual Channel2",
       0,
       0,
       0,
       1,
       0,
       {"SCQRN: INFO |TID|: Rejecting unrecognised channel 'Smart Card Virtual Channel2'"}},
      {"rdpdr",
       0,
       3,
       0,
       1,
       0,
       {"SCQRN: INFO |TID|: Rejecting unrecognised channel 'rdpdr'",
        "SCQRN: ERROR(00000003) |TID|: Failed to reject channel 'rdpdr', status=3"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    host_.acceptCalls = host_.rejectCalls = 0;
    host_.channelClientData = nullptr;
    host_.acceptStatus = c.acceptStatus;
    host_.rejectStatus = c.rejectStatus;
    scRedirQrnState.channelId = 0;
    log_.Clear();
    int listener, peer;
    ScRedirVChan_OnPeerOpen(c.name.c_str(), &listener, &peer, 0, 3, nullptr, 0, &scRedirQrnState);
    Lines expected{"SCQRN: INFO |TID|: QRN listener=" + Ptr(&listener) +
                   " sessid=3 gets Peer Open for '" + c.name + "'"};
    expected.insert(expected.end(), c.lines.begin(), c.lines.end());
    EXPECT_EQ(log_.PluginLines(), expected);
    EXPECT_EQ(host_.acceptCalls, c.accepts);
    EXPECT_EQ(host_.rejectCalls, c.rejects);
    EXPECT_EQ(scRedirQrnState.channelId.load(), c.channelId);
    EXPECT_EQ(host_.channelClientData, c.accepts ? &scRedirQrnState : nullptr);
    EXPECT_EQ(ScRedir_CurrentSession(), nullptr);  // nothing opens before onOpen
  }
}

TEST_F(PluginFixture, FailedOpenSetsNothingUpAndQuietCallbacksOnlyLog) {
  int channel;
  ScRedirVChan_OnOpen(&channel, 5, &scRedirQrnState);
  ScRedirVChan_OnListenerConnect(nullptr, 0, &scRedirQrnState);
  ScRedirVChan_OnListenerClose(nullptr, &scRedirQrnState);
  ScRedirVChan_OnDelivered(&channel, nullptr, 0, 9, &scRedirQrnState);
  EXPECT_EQ(log_.PluginLines(),
            (Lines{"SCQRN: ERROR(00000005) |TID|: Failed to open channel, status=5",
                   "SCQRN: INFO |TID|: QRN on listener close",
                   "SCQRN: INFO |TID|: ScRedirVChan_OnDelivered channel=" + Ptr(&channel) +
                       " msgid=9)"}));
  EXPECT_EQ(ScRedir_CurrentSession(), nullptr);
  EXPECT_TRUE(host_.Sent().empty());
}

TEST_F(PluginFixture, OpenAnnouncesAndSendCompletionsReleaseInOrder) {
  int channel;
  ScRedirVChan_OnOpen(&channel, 0, &scRedirQrnState);
  ScRedirSessionRef session = ScRedir_CurrentSession();
  ASSERT_NE(session, nullptr);
  ASSERT_EQ(host_.Sent().size(), 1u);
  EXPECT_EQ(host_.Sent()[0].size(), 52u);
  EXPECT_EQ(host_.sentChannels[0], &channel);
  EXPECT_EQ(KeyedList_Count(session->ChannelRequestList().get()), 1);
  EXPECT_EQ(log_.Count("SCQRN: INFO |TID|: QRN sc channel(" + Ptr(&channel) + ") has Opened"), 1);
  ScRedirVChan_OnSendComplete(&channel, nullptr, 0, &scRedirQrnState);
  EXPECT_EQ(KeyedList_Count(session->ChannelRequestList().get()), 0);
  // The link thread logs its own lines meanwhile; count just ours.
  ScRedirVChan_OnSendComplete(&channel, nullptr, 0, &scRedirQrnState);
  EXPECT_EQ(
      log_.Count("SCQRN: ERROR(c0000001) |TID|: Failed to get the first item of qrn request list"),
      1);
}

TEST_F(PluginFixture, CloseWhileConnectingEndsTheLinkThread) {
  int channel;
  ScRedirVChan_OnOpen(&channel, 0, &scRedirQrnState);
  log_.WaitFor("SCQRN: INFO |TID|: waiting for connection with pcscd");
  ScRedirVChan_OnClose(&channel, 2, &scRedirQrnState);
  ScRedirQrn_JoinServerThread();  // returns only because the close woke the thread
  EXPECT_EQ(
      log_.Count("SCQRN: INFO |TID|: QRN smart channel=" + Ptr(&channel) + " has Closed, reason=2"),
      1);
  EXPECT_EQ(log_.Count("SCQRN: INFO |TID|: qrn plugin thread exits"), 1);
  EXPECT_EQ(scRedirQrnState.channelId.load(), kNoChannelId);
  EXPECT_EQ(ScRedir_CurrentSession(), nullptr);
}

TEST_F(PluginFixture, ReceiveRoutesThenHandsTheBufferBack) {
  debugEnabled = true;
  int channel;
  ScRedirVChan_OnOpen(&channel, 0, &scRedirQrnState);
  host_.recvCompleteStatus = 3;
  uint8_t packet[] = {0x52, 0x50, 0x43, 0x50};  // a printer packet
  EXPECT_EQ(ScRedirVChan_OnRecv(&channel, 0, packet, sizeof packet, &scRedirQrnState), 3u);
  EXPECT_EQ(host_.recvCompleteCalls, 1);
  EXPECT_EQ(host_.recvCompleteChannel, &channel);
  EXPECT_EQ(log_.Count("SCQRN: DEBUG |TID|: QRN receive buf len 4"), 1);
  EXPECT_EQ(log_.Count("SCQRN: ERROR(00000000) |TID|: Incorrect component 00005052"), 1);
}

}  // namespace
