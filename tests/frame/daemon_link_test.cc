// The daemon link thread's message dispatch on a socket pair, which also
// drives the exact-count reads: pieces, end of stream mid-record, bodies
// larger than the socket buffer. Starting and ending the thread is driven
// through the channel callbacks; the daemon going away, a late daemon and a
// channel closing under a pending read on the whole road.
#include "scredir/daemon_link.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "scredir/pcscd_msg.h"
#include "scredir/socket_link.h"
#include "tests/frame/frame_test_util.h"

namespace {

using frame_test::AnswerLine;
using frame_test::Bytes;
using frame_test::Cat;
using frame_test::Le32;
using frame_test::Lines;

class DaemonLinkTest : public frame_test::PluginFixture {
 protected:
  // Feeds `stream` from a writer thread (bodies can exceed the socket
  // buffer), optionally closes, and runs the handler `calls` times.
  std::vector<int32_t> Dispatch(const Bytes& stream, bool closeAfter, size_t calls) {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    std::thread writer([&] {
      EXPECT_EQ(write(fds[1], stream.data(), stream.size()), static_cast<ssize_t>(stream.size()));
      if (closeAfter) shutdown(fds[1], SHUT_WR);
    });
    std::vector<int32_t> results(calls);
    ScRedirReadAhead ahead;  // as the link thread reads: messages in one go
    for (int32_t& result : results)
      result = ScRedirQrn_HandleDaemonMessage(*ScRedir_CurrentSession(), fds[0], &ahead);
    writer.join();
    dieLine_ = "SCQRN: INFO |TID|: Client " + std::to_string(fds[0]) + " die.";
    close(fds[0]);
    close(fds[1]);
    return results;
  }
  std::string dieLine_;
};

const std::string kExitLoop = "SCQRN: ERROR(ffffffff) |TID|: Exit receive loop for error(-1)";

// A fixed-size command reads its own record size whatever `size` says and
// is redirected on the current channel; a refused record is consumed and
// answered (SCARD_E_INVALID_PARAMETER, the record as sent). (A run of
// unknown commands is dropped header-only on the whole road.)
TEST_F(DaemonLinkTest, DispatchKeepsTheStreamInStep) {
  int channel;
  int answers[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, answers), 0);
  auto session = std::make_shared<ScRedirSession>(&channel);
  ASSERT_TRUE(session->AttachConn(std::make_shared<ScRedirDaemonConn>(answers[0], 1000)));
  ScRedir_ExchangeCurrentSession(session);
  const std::string unknown = "SCQRN: ERROR(00000000) |TID|: Invalid command: 0000000c";
  const std::string refused = "SCQRN: ERROR(c000000d) |TID|: Refused ";
  // A daemon message is a header {id, command, size} and a body.
  const Bytes next = Le32({9, 12, 0});  // an unknown command: header only
  Bytes control27(27, 0xAB);
  struct Case {
    const char* name;
    Bytes stream;  // closed by the daemon when the last result is -1
    std::vector<int32_t> results;
    Lines lines;   // "DIE" stands for the descriptor's die line
    Bytes answer;  // what the daemon reads back
  } cases[] = {
      {"closes inside a fixed record", Cat({Le32({1, 1, 12}), Bytes(5)}), {-1}, {kExitLoop}, {}},
      {"closes inside a sized body", Cat({Le32({1, 9, 100}), Bytes(50)}), {-1}, {}, {}},
      {"header cut short", Bytes(7), {-1}, {"DIE"}, {}},
      {"sized body above the full record is drained and refused",
       Cat({Le32({1, 9, 65584 + 100}), Bytes(65584 + 100, 0xAB), next}),
       {0, 0},
       {refused + "PCSCD_TRANSMIT: size 65684 is above the full record of 65584 bytes",
        AnswerLine(0x80100004, 1), unknown},
       Cat({Le32({1, 9, 65584 + 100}), Bytes(32, 0xAB), Le32({0x80100004}), Bytes(65548, 0xAB)})},
      {"sized body below its fixed part is refused",
       Cat({Le32({2, 10, 27}), control27, next}),
       {0, 0},
       {refused + "PCSCD_CONTROL: size 27 is below its fixed part of 28 bytes",
        AnswerLine(0x80100004, 2), unknown},
       Cat({Le32({2, 10, 27}), Bytes(24, 0xAB), Le32({0x80100004}), Bytes(65548, 0)})},
      {"fixed record, wrong size",
       Cat({Le32({5, 1, 999}), Bytes(12), next}),
       {0, 0},
       {unknown},
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log_.Clear();
    EXPECT_EQ(Dispatch(c.stream, c.results.back() == -1, c.results.size()), c.results);
    Lines expected = c.lines;
    std::replace(expected.begin(), expected.end(), std::string("DIE"), dieLine_);
    EXPECT_EQ(log_.PluginLines(), expected);
    Bytes answer(c.answer.size());
    if (!answer.empty()) {
      ASSERT_EQ(recv(answers[1], answer.data(), answer.size(), MSG_WAITALL),
                static_cast<ssize_t>(answer.size()));
    }
    EXPECT_EQ(answer, c.answer);
  }
  ASSERT_EQ(host_.Sent().size(), 1u);
  EXPECT_EQ(host_.Sent()[0].at(12), 5);  // CompletionId
  close(answers[1]);
}

// The link thread against a real listening daemon socket: a daemon that
// hangs up is connected again (same retry interval, nothing left of the old
// connection's messages), and a close answers every message still waiting
// for the client with SCARD_E_NO_SERVICE before the connection goes.
TEST_F(DaemonLinkTest, ReconnectsAfterTheDaemonHangsUpAndAnswersWhatWaitsAtClose) {
  ScRedirLinkOptions options{dir_.path + "/qrn.socket", 20, 1000};
  ScRedirQrn_SetLinkOptionsForTest(&options);
  frame_test::Listener daemon(options.socketPath);
  int channel;
  auto session = std::make_shared<ScRedirSession>(&channel);
  ScRedir_ExchangeCurrentSession(session);
  ScRedirQrn_StartServerThread(session);
  int first = accept(daemon.fd, nullptr, nullptr);
  ASSERT_GE(first, 0);
  const Bytes establish = Cat({Le32({7, 1, 12}), Le32({2, 0x11, 0x22})});
  ASSERT_EQ(write(first, establish.data(), establish.size()), 24);
  while (host_.Sent().empty()) std::this_thread::yield();
  close(first);  // the daemon goes away with message 7 waiting
  int second = accept(daemon.fd, nullptr, nullptr);
  ASSERT_GE(second, 0);
  ASSERT_EQ(write(second, establish.data(), establish.size()), 24);  // a new 7
  while (host_.Sent().size() < 2) std::this_thread::yield();
  ScRedir_ExchangeCurrentSession(nullptr);
  session->Close();
  ScRedirQrn_JoinServerThread();
  Bytes answer(24);
  ASSERT_EQ(recv(second, answer.data(), answer.size(), MSG_WAITALL), 24);
  EXPECT_EQ(answer, Cat({Le32({7, 1, 12}), Le32({2, 0x11, 0x8010001D})}));
  EXPECT_EQ(recv(second, answer.data(), answer.size(), 0), 0);  // then the connection ends
  EXPECT_EQ(log_.Count(AnswerLine(0x8010001D, 7)), 1);
  close(second);
}

// A daemon that accepts nobody (its backlog full) must not hold the link
// thread in connect(): a close ends the thread within the retry interval.
TEST_F(DaemonLinkTest, CloseEndsALinkWaitingOnAWedgedDaemon) {
  ScRedirLinkOptions options{dir_.path + "/qrn.socket", 200, 1000};
  ScRedirQrn_SetLinkOptionsForTest(&options);
  frame_test::Listener daemon(options.socketPath);
  listen(daemon.fd, 0);
  std::vector<int> fillers;
  for (int i = 0; i < 64; ++i) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, options.socketPath.c_str(), sizeof a.sun_path - 1);
    fillers.push_back(fd);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) break;  // backlog full
  }
  int channel;
  auto session = std::make_shared<ScRedirSession>(&channel);
  ScRedir_ExchangeCurrentSession(session);
  ScRedirQrn_StartServerThread(session);
  log_.WaitFor("SCQRN: INFO |TID|: waiting for connection with pcscd");
  auto start = std::chrono::steady_clock::now();
  ScRedir_ExchangeCurrentSession(nullptr);
  session->Close();
  ScRedirQrn_JoinServerThread();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  for (int fd : fillers) close(fd);
}

}  // namespace
