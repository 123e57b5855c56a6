// Shared pieces of the frame tests: a capture of every log line with the
// thread number blanked out, byte helpers, a temporary directory, a
// listening daemon socket, a fake host that records what the plug-in asks of
// it, and a fixture that ends any channel session and link thread a test
// left behind.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "lib/log/log.h"
#include "scredir/daemon_link.h"
#include "scredir/maps.h"
#include "scredir/qrn_intf.h"
#include "scredir/qrn_log.h"
#include "scredir/state.h"

namespace frame_test {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

// "72 44 50 53" -> {0x72, 0x44, 0x50, 0x53}; spaces are for the reader.
inline Bytes Hex(std::string_view text) {
  Bytes out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ' ') continue;
    out.push_back(static_cast<uint8_t>(std::stoul(std::string(text.substr(i++, 2)), nullptr, 16)));
  }
  return out;
}
// Little-endian 32-bit words, as every integer on the channel and on the
// daemon socket.
inline Bytes Le32(std::initializer_list<uint32_t> words) {
  Bytes out;
  for (uint32_t w : words)
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(w >> (8 * i)));
  return out;
}
inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A device I/O completion carrying an EstablishContext return: the NDR
// common and private headers, ReturnCode, then an empty context.
inline Bytes Completion(uint32_t id, uint32_t ioStatus = 0, uint32_t returnCode = 0) {
  return Cat({Hex("72444349 00000000"), Le32({id, ioStatus, 32}),
              Hex("01100800 cccccccc 10000000 00000000"), Le32({returnCode, 0, 0, 0})});
}
inline std::string Ptr(const void* p) {
  char text[32];
  snprintf(text, sizeof text, "%p", p);
  return text;
}
inline std::string AnswerLine(uint32_t rv, uint32_t id) {
  char line[96];
  snprintf(line, sizeof line,
           "SCQRN: ERROR(%08x) |TID|: Answer pcscd message %08x without the client's result", rv,
           id);
  return line;
}

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
  // The plug-in's own lines, or every line (hex dumps have no prefix).
  Lines PluginLines(bool all = false) {
    std::lock_guard<std::mutex> lock(mutex_);
    Lines out;
    std::copy_if(lines_.begin(), lines_.end(), std::back_inserter(out),
                 [&](const std::string& l) { return all || l.rfind("SCQRN: ", 0) == 0; });
    return out;
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

struct TempDir {
  std::string path = [] {
    std::string tmpl = (std::filesystem::temp_directory_path() / "scredir-frame-XXXXXX").string();
    EXPECT_NE(mkdtemp(tmpl.data()), nullptr);
    return tmpl;
  }();
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

// A daemon socket listening at `path`.
struct Listener {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  explicit Listener(const std::string& path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(listen(fd, 4), 0);
  }
  ~Listener() { close(fd); }
};

// Answers every operation with a configurable status, counts the calls and
// records the arguments the whole road's host cannot see. One instance at a time: the table holds
// plain functions.
struct FakeHost {
  enum Op { kGetIntf, kCreate, kActivate, kClose, kAccept, kReject, kRecvComplete, kOps };
  uint32_t status[kOps] = {};
  int calls[kOps] = {};
  uint16_t requestedVersion[2] = {};
  uint64_t tableSizeSeen = 0;
  int32_t listenerSessionId = 0;
  void* recvCompleteChannel = nullptr;
  std::mutex sentMutex;
  std::vector<Bytes> sent;               // guarded by sentMutex
  std::vector<const void*> sentBuffers;  // guarded by sentMutex
  uint32_t sendStatus = 0;               // what Send answers
  std::function<void()> duringSend;      // runs inside Send, outside sentMutex

  static inline FakeHost* current = nullptr;
  FakeHost() { current = this; }
  ~FakeHost() { current = nullptr; }
  std::vector<Bytes> Sent() {
    std::lock_guard<std::mutex> lock(sentMutex);
    return sent;
  }
  const void* SentBuffer(size_t i) {
    std::lock_guard<std::mutex> lock(sentMutex);
    return i < sentBuffers.size() ? sentBuffers[i] : nullptr;
  }
  static uint32_t Call(Op op) { return ++current->calls[op], current->status[op]; }

  static int GetIntf(const uint16_t* version, QrnIntf* table) {
    std::copy(version, version + 2, current->requestedVersion);
    current->tableSizeSeen = table->size;
    if (Call(kGetIntf) != 0) return static_cast<int>(current->status[kGetIntf]);
    table->CreateListener = [](int32_t sessionId, const char*, const QrnListenerEvents*, void*,
                               void** listener) {
      current->listenerSessionId = sessionId;
      *listener = current;
      return Call(kCreate);
    };
    table->ActivateListener = [](void*) { return Call(kActivate); };
    table->CloseListener = [](void*) { return Call(kClose); };
    table->AcceptChannel = [](void*, uint32_t, const QrnChannelEvents*, const void*, uint32_t,
                              void*, uint32_t* channelId) {
      if (current->status[kAccept] == 0) *channelId = 42;
      return Call(kAccept);
    };
    table->RejectChannel = [](void*, uint32_t, const void*, uint32_t) { return Call(kReject); };
    table->Send = [](void*, uint32_t, uint32_t, const void* buffer, size_t length, void*,
                     uint32_t) {
      if (current->duringSend) current->duringSend();
      std::lock_guard<std::mutex> lock(current->sentMutex);
      const auto* p = static_cast<const uint8_t*>(buffer);
      current->sent.emplace_back(p, p + length);
      current->sentBuffers.push_back(buffer);
      return current->sendStatus;
    };
    table->RecvComplete = [](void* channel, void*) {
      std::lock_guard<std::mutex> lock(current->sentMutex);
      current->recvCompleteChannel = channel;
      return Call(kRecvComplete);
    };
    return 0;
  }
};

// Host table, maps, and a daemon socket path that does not exist yet, so a
// link thread waits to connect (the road drives the retry itself).
class PluginFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ScRedirLinkOptions options{dir_.path + "/qrn.socket", 60000};
    ScRedirQrn_SetLinkOptionsForTest(&options);
    const uint16_t version[2] = {1, 2};
    QrnIntf table{};
    FakeHost::GetIntf(version, &table);
    ScRedir_PublishHostTable(table);
    ScRedirQrn_MapsCreate();
  }
  void TearDown() override {
    if (ScRedirSessionRef s = ScRedir_ExchangeCurrentSession(nullptr)) s->Close();
    ScRedirQrn_JoinServerThread();
    ScRedirQrn_SetLinkOptionsForTest(nullptr);
    ScRedirQrn_MapsDestroy();
    ScRedir_ForgetClosedSessions();
    ScRedir_PublishHostTable(QrnIntf{});
    debugEnabled = false;
  }
  TempDir dir_;
  FakeHost host_;
  LogCapture log_;
};

}  // namespace frame_test
