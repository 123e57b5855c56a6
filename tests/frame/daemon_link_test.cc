// The daemon link thread's message dispatch on a socket pair, which also
// drives the exact-count reads: pieces, end of stream mid-record, bodies
// larger than the socket buffer. Starting and ending the thread is driven
// through the channel callbacks; the daemon going away, a late daemon and a
// channel closing under a pending read on the whole road.
#include "scredir/daemon_link.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

#include "scredir/pcscd_msg.h"
#include "tests/frame/frame_test_util.h"

namespace {

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
    std::vector<int32_t> results;
    for (size_t i = 0; i < calls; ++i) results.push_back(ScRedirQrn_HandleDaemonMessage(fds[0]));
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
// is redirected on the current channel; nothing else here is sent. (A run
// of unknown commands is dropped header-only on the whole road.)
TEST_F(DaemonLinkTest, DispatchKeepsTheStreamInStep) {
  int channel;
  ScRedir_ExchangeCurrentSession(std::make_shared<ScRedirSession>(&channel));
  const std::string unknown = "SCQRN: ERROR(00000000) |TID|: Invalid command: 0000000c";
  const std::string refused = "SCQRN: ERROR(c000000d) |TID|: Refused ";
  // A daemon message is a header {id, command, size} and a body.
  const Bytes next = Le32({9, 12, 0});  // an unknown command: header only
  struct Case {
    const char* name;
    Bytes stream;  // closed by the daemon when the last result is -1
    std::vector<int32_t> results;
    Lines lines;  // "DIE" stands for the descriptor's die line
  } cases[] = {
      {"closes inside a fixed record", Cat({Le32({1, 1, 12}), Bytes(5)}), {-1}, {kExitLoop}},
      {"closes inside a sized body", Cat({Le32({1, 9, 100}), Bytes(50)}), {-1}, {}},
      {"header cut short", Bytes(7), {-1}, {"DIE"}},
      {"sized body above the full record is drained and refused",
       Cat({Le32({1, 9, 65584 + 100}), Bytes(65584 + 100, 0xAB), next}),
       {0, 0},
       {refused + "PCSCD_TRANSMIT: size 65684 is above the full record of 65584 bytes", unknown}},
      {"sized body below its fixed part is refused",
       Cat({Le32({1, 10, 27}), Bytes(27, 0xAB), next}),
       {0, 0},
       {refused + "PCSCD_CONTROL: size 27 is below its fixed part of 28 bytes", unknown}},
      {"fixed record, wrong size", Cat({Le32({5, 1, 999}), Bytes(12), next}), {0, 0}, {unknown}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log_.Clear();
    EXPECT_EQ(Dispatch(c.stream, c.results.back() == -1, c.results.size()), c.results);
    Lines expected = c.lines;
    std::replace(expected.begin(), expected.end(), std::string("DIE"), dieLine_);
    EXPECT_EQ(log_.PluginLines(), expected);
  }
  auto sent = host_.Sent();
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_GE(sent[0].size(), 16u);
  EXPECT_EQ(sent[0][12], 5);  // CompletionId
}

}  // namespace
