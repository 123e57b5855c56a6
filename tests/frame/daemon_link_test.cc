// The daemon link thread: message dispatch on a socket pair, connect retry,
// the daemon going away, the channel closing, and a quick reopen.
#include "scredir/daemon_link.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "scredir/pcscd_msg.h"
#include "tests/frame/frame_test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

Bytes Header(uint32_t id, uint32_t command, uint32_t size) {
  Bytes b(12);
  const uint32_t words[3] = {id, command, size};
  std::memcpy(b.data(), words, 12);
  return b;
}
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class DaemonLinkTest : public frame_test::PluginFixture {
 protected:
  // Feeds `stream` from a writer thread (bodies can exceed the socket
  // buffer), optionally closes, and runs the handler `calls` times.
  std::vector<int32_t> Dispatch(const Bytes& stream, bool closeAfter, int calls) {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    std::thread writer([&] {
      EXPECT_EQ(write(fds[1], stream.data(), stream.size()), static_cast<ssize_t>(stream.size()));
      if (closeAfter) shutdown(fds[1], SHUT_WR);
    });
    std::vector<int32_t> results;
    for (int i = 0; i < calls; ++i) results.push_back(ScRedirQrn_HandleDaemonMessage(fds[0]));
    writer.join();
    dieLine_ = "SCQRN: INFO |TID|: Client " + std::to_string(fds[0]) + " die.";
    close(fds[0]);
    close(fds[1]);
    return results;
  }
  std::string dieLine_;
};

const std::string kInvalid12 = "SCQRN: ERROR(00000000) |TID|: Invalid command: 0000000c";

TEST_F(DaemonLinkTest, DispatchKeepsTheStreamInStep) {
  struct Case {
    const char* name;
    Bytes stream;
    bool closeAfter;
    std::vector<int32_t> results;
    Lines lines;  // "DIE" stands for the descriptor's die line
  } cases[] = {
      {"unknown commands read no body",
       Cat({Header(1, 12, 8), Header(2, 0, 0), Header(3, 19, 0), Header(4, 12, 0)}),
       true,
       {0, 0, 0, 0, -1},
       {kInvalid12, "SCQRN: ERROR(00000000) |TID|: Invalid command: 00000000",
        "SCQRN: ERROR(00000000) |TID|: Invalid command: 00000013", kInvalid12, "DIE"}},
      {"daemon closes inside a fixed record",
       Cat({Header(1, 1, 12), Bytes(5)}),
       true,
       {-1},
       {"SCQRN: ERROR(ffffffff) |TID|: Exit receive loop for error(-1)"}},
      {"daemon closes inside a sized body", Cat({Header(1, 9, 100), Bytes(50)}), true, {-1}, {}},
      {"header cut short", Bytes(7), true, {-1}, {"DIE"}},
      {"sized body above the full record is drained and refused",
       Cat({Header(1, 9, 65584 + 100), Bytes(65584 + 100, 0xAB), Header(2, 12, 0)}),
       false,
       {0, 0},
       {"SCQRN: ERROR(c000000d) |TID|: Refused PCSCD_TRANSMIT: size 65684 is above the full "
        "record of 65584 bytes",
        kInvalid12}},
      {"sized body below its fixed part is refused",
       Cat({Header(1, 10, 27), Bytes(27, 0xAB), Header(2, 12, 0)}),
       false,
       {0, 0},
       {"SCQRN: ERROR(c000000d) |TID|: Refused PCSCD_CONTROL: size 27 is below its fixed part "
        "of 28 bytes",
        kInvalid12}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log_.Clear();
    auto results = Dispatch(c.stream, c.closeAfter, static_cast<int>(c.results.size()));
    EXPECT_EQ(results, c.results);
    Lines expected = c.lines;
    for (auto& l : expected)
      if (l == "DIE") l = dieLine_;
    EXPECT_EQ(log_.PluginLines(), expected);
  }
}

// A fixed-size command reads its own record size whatever `size` says, and
// its entry point redirects it on the current channel.
TEST_F(DaemonLinkTest, FixedRecordIsReadByItsOwnSizeAndRedirected) {
  int channel;
  ScRedir_ExchangeCurrentSession(std::make_shared<ScRedirSession>(&channel));
  auto results = Dispatch(Cat({Header(5, 1, 999), Bytes(12), Header(6, 12, 0)}), false, 2);
  EXPECT_EQ(results, (std::vector<int32_t>{0, 0}));
  EXPECT_EQ(log_.Count(kInvalid12), 1);
  auto sent = host_.Sent();
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_GE(sent[0].size(), 16u);
  EXPECT_EQ(sent[0][12], 5);  // CompletionId
}

struct DaemonListener {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  explicit DaemonListener(const std::string& path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(listen(fd, 4), 0);
  }
  ~DaemonListener() { close(fd); }
};

const std::string kWaiting = "SCQRN: INFO |TID|: waiting for connection with pcscd";
const std::string kExits = "SCQRN: INFO |TID|: qrn plugin thread exits";
const std::string kStart = "SCQRN: INFO |TID|: Smartcard server thread start.";

// The daemon appears after a few attempts; it serves a request and then
// goes away, which ends the thread while the channel stays open.
TEST_F(DaemonLinkTest, RetriesUntilTheDaemonIsThereAndEndsWhenItLeaves) {
  SetLink(5);
  int channel;
  auto session = std::make_shared<ScRedirSession>(&channel);
  ScRedir_ExchangeCurrentSession(session);
  ScRedirQrn_StartServerThread(session);
  log_.WaitFor(kWaiting, 3);
  DaemonListener daemon(socketPath_);
  log_.WaitFor("SCQRN: INFO |TID|: Connect server okay.");
  int conn = accept(daemon.fd, nullptr, nullptr);
  ASSERT_GE(conn, 0);
  const Bytes message = Cat({Header(7, 1, 12), Bytes(12)});
  ASSERT_EQ(write(conn, message.data(), message.size()), 24);
  while (host_.Sent().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  close(conn);
  log_.WaitFor(kExits);
  ScRedirQrn_JoinServerThread();
  EXPECT_EQ(log_.Count("SCQRN: ERROR(ffffffff) |TID|: Exit receive loop for error(-1)"), 1);
  EXPECT_EQ(session->DaemonMsgList(), nullptr);  // the unanswered message went with the link
  EXPECT_EQ(session->Socket(), nullptr);
  EXPECT_NE(session->ChannelRequestList(), nullptr);  // the host may still be sending
  EXPECT_EQ(ScRedir_CurrentSession(), session);
}

// Closing the channel shuts the socket down under a pending read.
TEST_F(DaemonLinkTest, ChannelCloseEndsAServingThread) {
  DaemonListener daemon(socketPath_);
  int channel;
  auto session = std::make_shared<ScRedirSession>(&channel);
  ScRedirQrn_StartServerThread(session);
  int conn = accept(daemon.fd, nullptr, nullptr);
  ASSERT_GE(conn, 0);
  while (session->Socket() == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  session->Close();
  ScRedirQrn_JoinServerThread();
  EXPECT_EQ(log_.Count(kExits), 1);
  char byte;
  EXPECT_EQ(read(conn, &byte, 1), 0);  // the daemon sees the end of the stream
  close(conn);
}

// A channel reopened at once: the new thread starts serving only after the
// old one has ended.
TEST_F(DaemonLinkTest, ReopenWaitsForThePreviousThread) {
  int channel;
  auto first = std::make_shared<ScRedirSession>(&channel);
  ScRedirQrn_StartServerThread(first);
  log_.WaitFor(kWaiting);
  first->Close();
  auto second = std::make_shared<ScRedirSession>(&channel);
  ScRedirQrn_StartServerThread(second);
  log_.WaitFor(kStart, 2);
  second->Close();
  ScRedirQrn_JoinServerThread();
  Lines lines = log_.PluginLines();
  auto firstExit = std::find(lines.begin(), lines.end(), kExits);
  auto secondStart =
      std::find(std::find(lines.begin(), lines.end(), kStart) + 1, lines.end(), kStart);
  ASSERT_NE(firstExit, lines.end());
  ASSERT_NE(secondStart, lines.end());
  EXPECT_LT(firstExit, secondStart);
  EXPECT_EQ(log_.Count(kExits), 2);
}

}  // namespace
