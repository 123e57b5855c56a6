// A fixture for tests that drive the plug-in's callbacks: a fake host table,
// a log capture, a daemon socket path that does not exist yet, and a
// teardown that ends any channel session and link thread it left behind.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "lib/config/config.h"
#include "lib/log/log.h"
#include "scredir/daemon_link.h"
#include "scredir/maps.h"
#include "scredir/qrn_log.h"
#include "scredir/state.h"
#include "tests/frame/frame_test_util.h"

namespace frame_test {

class PluginFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    socketPath_ = dir_.path() + "/qrn.socket";
    // Long retry: a test that wants the link to retry says so.
    SetLink(60000);
    scRedirQrnIntf = FakeTable();
    ScRedirQrn_MapsCreate();
  }
  void TearDown() override {
    if (ScRedirSessionRef s = ScRedir_ExchangeCurrentSession(nullptr)) s->Close();
    ScRedirQrn_JoinServerThread();
    ScRedirQrn_SetLinkOptionsForTest(nullptr);
    ScRedirQrn_MapsDestroy();
    scRedirQrnIntf = QrnIntf{};
    debugEnabled = false;
  }
  void SetLink(uint32_t retryMs) {
    ScRedirLinkOptions options{socketPath_, retryMs};
    ScRedirQrn_SetLinkOptionsForTest(&options);
  }

  TempDir dir_;
  std::string socketPath_;
  FakeHost host_;
  LogCapture log_;
};

}  // namespace frame_test
