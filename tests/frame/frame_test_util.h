// Shared pieces of the frame tests: a capture of every log line with the
// thread number blanked out, a temporary directory, a fake host that records
// what the plug-in asks of it, and a fixture that ends any channel session
// and link thread a test left behind.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "lib/log/log.h"
#include "scredir/daemon_link.h"
#include "scredir/maps.h"
#include "scredir/qrn_intf.h"
#include "scredir/qrn_log.h"
#include "scredir/state.h"

namespace frame_test {

using Lines = std::vector<std::string>;

// "SCQRN: INFO | 1234|: text\n" is kept as "SCQRN: INFO |TID|: text".
class LogCapture {
 public:
  LogCapture() {
    std::lock_guard<std::mutex> lock(mutex_);
    active_ = this;
    LogSetCaptureSink(&Sink);
  }
  ~LogCapture() {
    LogSetCaptureSink(nullptr);
    std::lock_guard<std::mutex> lock(mutex_);
    active_ = nullptr;
  }
  Lines PluginLines() {
    std::lock_guard<std::mutex> lock(mutex_);
    Lines out;
    std::copy_if(lines_.begin(), lines_.end(), std::back_inserter(out),
                 [](const std::string& l) { return l.rfind("SCQRN: ", 0) == 0; });
    return out;
  }
  Lines All() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  int Count(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(std::count(lines_.begin(), lines_.end(), line));
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }
  // Blocks until `line` was logged `times` times; a hang is reported by the
  // test runner's time limit.
  void WaitFor(const std::string& line, int times = 1) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return std::count(lines_.begin(), lines_.end(), line) >= times; });
  }

 private:
  static void Sink(const char* message) {
    static const std::regex kTid(R"(\|\s*[0-9]+\|: )");
    std::string line =
        std::regex_replace(message, kTid, "|TID|: ", std::regex_constants::format_first_only);
    while (!line.empty() && line.back() == '\n') line.pop_back();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (active_) active_->lines_.push_back(line);
    }
    cv_.notify_all();
  }
  static inline std::mutex mutex_;
  static inline std::condition_variable cv_;
  static inline LogCapture* active_ = nullptr;
  Lines lines_;
};

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "scredir-frame-XXXXXX").string();
    EXPECT_NE(mkdtemp(tmpl.data()), nullptr);
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Answers every operation with a configurable status and records the
// arguments. One instance at a time: the table holds plain functions.
struct FakeHost {
  int getIntfResult = 0;
  uint32_t createStatus = 0, activateStatus = 0, closeStatus = 0, acceptStatus = 0;
  uint32_t rejectStatus = 0, recvCompleteStatus = 0;
  int getIntfCalls = 0, createCalls = 0, activateCalls = 0, closeCalls = 0;
  int acceptCalls = 0, rejectCalls = 0, recvCompleteCalls = 0;
  uint16_t requestedVersion[2] = {};
  uint64_t tableSizeSeen = 0;
  std::string listenerName;
  int32_t listenerSessionId = 0;
  void *listenerClientData = nullptr, *channelClientData = nullptr;
  void* recvCompleteChannel = nullptr;
  std::mutex sentMutex;
  std::vector<std::vector<uint8_t>> sent;  // guarded by sentMutex
  std::vector<void*> sentChannels;         // guarded by sentMutex

  static inline FakeHost* current = nullptr;
  FakeHost() { current = this; }
  ~FakeHost() { current = nullptr; }
  std::vector<std::vector<uint8_t>> Sent() {
    std::lock_guard<std::mutex> lock(sentMutex);
    return sent;
  }

  static int GetIntf(const uint16_t* version, QrnIntf* table) {
    FakeHost& h = *current;
    ++h.getIntfCalls;
    std::copy(version, version + 2, h.requestedVersion);
    h.tableSizeSeen = table->size;
    if (h.getIntfResult != 0) return h.getIntfResult;
    table->CreateListener = [](int32_t sessionId, const char* name, const QrnListenerEvents*,
                               void* clientData, void** listener) {
      FakeHost& h = *current;
      ++h.createCalls;
      h.listenerSessionId = sessionId;
      h.listenerName = name;
      h.listenerClientData = clientData;
      *listener = &h;
      return h.createStatus;
    };
    table->ActivateListener = [](void*) {
      return ++current->activateCalls, current->activateStatus;
    };
    table->CloseListener = [](void*) { return ++current->closeCalls, current->closeStatus; };
    table->AcceptChannel = [](void*, uint32_t, const QrnChannelEvents*, const void*, uint32_t,
                              void* clientData, uint32_t* channelId) {
      FakeHost& h = *current;
      ++h.acceptCalls;
      h.channelClientData = clientData;
      if (h.acceptStatus == 0) *channelId = 42;
      return h.acceptStatus;
    };
    table->RejectChannel = [](void*, uint32_t, const void*, uint32_t) {
      return ++current->rejectCalls, current->rejectStatus;
    };
    table->Send = [](void* channel, uint32_t, uint32_t, const void* buffer, size_t length, void*,
                     uint32_t) {
      std::lock_guard<std::mutex> lock(current->sentMutex);
      const auto* p = static_cast<const uint8_t*>(buffer);
      current->sent.emplace_back(p, p + length);
      current->sentChannels.push_back(channel);
      return 0u;
    };
    table->RecvComplete = [](void* channel, void*) {
      ++current->recvCompleteCalls;
      current->recvCompleteChannel = channel;
      return current->recvCompleteStatus;
    };
    return 0;
  }
};

// Host table, maps, and a daemon socket path that does not exist yet.
class PluginFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    socketPath_ = dir_.path() + "/qrn.socket";
    SetLink(60000);  // a test that wants quick retries says so
    const uint16_t version[2] = {1, 2};
    FakeHost::GetIntf(version, &scRedirQrnIntf);
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
