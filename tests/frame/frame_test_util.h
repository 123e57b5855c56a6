// Shared pieces of the frame tests: a capture of every log line with the
// thread number blanked out, a temporary directory, and a fake host table
// that records what the plug-in asks of it.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "lib/log/log.h"
#include "scredir/qrn_intf.h"

namespace frame_test {

// Collects every message handed to Log. "SCQRN: INFO | 1234|: text\n"
// becomes "SCQRN: INFO |TID|: text", so whole lines can be compared.
class LogCapture {
 public:
  LogCapture() {
    std::lock_guard<std::mutex> lock(Mutex());
    Active() = this;
    LogSetCaptureSink(&Sink);
  }
  ~LogCapture() {
    LogSetCaptureSink(nullptr);
    std::lock_guard<std::mutex> lock(Mutex());
    Active() = nullptr;
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(Mutex());
    return lines_;
  }
  // Plug-in lines only (the log facility may add its own).
  std::vector<std::string> PluginLines() {
    std::vector<std::string> out;
    for (auto& l : Lines())
      if (l.rfind("SCQRN: ", 0) == 0) out.push_back(l);
    return out;
  }
  int Count(const std::string& line) {
    auto lines = Lines();
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(Mutex());
    lines_.clear();
  }
  // Blocks until `line` has been logged `times` times (a hang here is a
  // failure the test runner's time limit reports).
  void WaitFor(const std::string& line, int times = 1) {
    std::unique_lock<std::mutex> lock(Mutex());
    Cv().wait(lock, [&] { return std::count(lines_.begin(), lines_.end(), line) >= times; });
  }

 private:
  static std::mutex& Mutex() {
    static std::mutex m;
    return m;
  }
  static std::condition_variable& Cv() {
    static std::condition_variable cv;
    return cv;
  }
  static LogCapture*& Active() {
    static LogCapture* active = nullptr;
    return active;
  }
  static void Sink(const char* message) {
    static const std::regex kTid(R"(\|\s*[0-9]+\|: )");
    std::string line(message ? message : "");
    while (!line.empty() && line.back() == '\n') line.pop_back();
    line = std::regex_replace(line, kTid, "|TID|: ", std::regex_constants::format_first_only);
    {
      std::lock_guard<std::mutex> lock(Mutex());
      if (Active()) Active()->lines_.push_back(line);
    }
    Cv().notify_all();
  }
  std::vector<std::string> lines_;
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

// A host that answers every operation with a configurable status and
// remembers what it was given. One instance at a time (the plug-in's
// table holds plain function pointers).
struct FakeHost {
  int getIntfResult = 0;
  uint32_t createStatus = 0, activateStatus = 0, closeStatus = 0;
  uint32_t acceptStatus = 0, rejectStatus = 0, sendStatus = 0, recvCompleteStatus = 0;
  uint32_t acceptedChannelId = 42;

  int getIntfCalls = 0, createCalls = 0, activateCalls = 0, closeCalls = 0;
  int acceptCalls = 0, rejectCalls = 0, recvCompleteCalls = 0;
  uint16_t requestedVersion[2] = {0, 0};
  uint64_t tableSizeSeen = 0;
  std::string listenerName;
  int32_t listenerSessionId = 0;
  QrnListenerEvents listenerEvents{};
  QrnChannelEvents channelEvents{};
  void* listenerClientData = nullptr;
  void* channelClientData = nullptr;
  void* recvCompleteChannel = nullptr;

  std::mutex sentMutex;
  std::vector<std::vector<uint8_t>> sent;  // guarded by sentMutex
  std::vector<void*> sentChannels;         // guarded by sentMutex

  static FakeHost*& Current() {
    static FakeHost* current = nullptr;
    return current;
  }
  FakeHost() { Current() = this; }
  ~FakeHost() { Current() = nullptr; }

  std::vector<std::vector<uint8_t>> Sent() {
    std::lock_guard<std::mutex> lock(sentMutex);
    return sent;
  }

  static int GetIntf(const uint16_t* version, QrnIntf* table) {
    FakeHost& h = *Current();
    ++h.getIntfCalls;
    h.requestedVersion[0] = version[0];
    h.requestedVersion[1] = version[1];
    h.tableSizeSeen = table->size;
    if (h.getIntfResult != 0) return h.getIntfResult;
    table->versionMajor = 1;
    table->versionMinor = 2;
    table->CreateListener = CreateListener;
    table->ActivateListener = [](void*) {
      return ++Current()->activateCalls, Current()->activateStatus;
    };
    table->CloseListener = [](void*) { return ++Current()->closeCalls, Current()->closeStatus; };
    table->AcceptChannel = AcceptChannel;
    table->RejectChannel = [](void*, uint32_t, const void*, uint32_t) {
      return ++Current()->rejectCalls, Current()->rejectStatus;
    };
    table->Send = Send;
    table->RecvComplete = [](void* channel, void*) {
      FakeHost& h = *Current();
      ++h.recvCompleteCalls;
      h.recvCompleteChannel = channel;
      return h.recvCompleteStatus;
    };
    return 0;
  }
  static uint32_t CreateListener(int32_t sessionId, const char* name,
                                 const QrnListenerEvents* events, void* clientData,
                                 void** listener) {
    FakeHost& h = *Current();
    ++h.createCalls;
    h.listenerSessionId = sessionId;
    h.listenerName = name;
    h.listenerEvents = *events;
    h.listenerClientData = clientData;
    if (h.createStatus == 0) *listener = &h;
    return h.createStatus;
  }
  static uint32_t AcceptChannel(void*, uint32_t, const QrnChannelEvents* events, const void*,
                                uint32_t, void* clientData, uint32_t* channelId) {
    FakeHost& h = *Current();
    ++h.acceptCalls;
    h.channelEvents = *events;
    h.channelClientData = clientData;
    if (h.acceptStatus == 0) *channelId = h.acceptedChannelId;
    return h.acceptStatus;
  }
  static uint32_t Send(void* channel, uint32_t, uint32_t, const void* buffer, size_t length, void*,
                       uint32_t) {
    FakeHost& h = *Current();
    std::lock_guard<std::mutex> lock(h.sentMutex);
    const auto* p = static_cast<const uint8_t*>(buffer);
    h.sent.emplace_back(p, p + length);
    h.sentChannels.push_back(channel);
    return h.sendStatus;
  }
};

// The table a FakeHost fills, for tests that drive the plug-in's callbacks
// without going through QRN_Start.
inline QrnIntf FakeTable() {
  QrnIntf table{};
  table.size = sizeof(table);
  FakeHost::GetIntf(std::vector<uint16_t>{1, 2}.data(), &table);
  return table;
}

}  // namespace frame_test
