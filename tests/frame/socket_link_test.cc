// Reading and writing exact byte counts on the daemon socket, and the
// connect steps, against real socket pairs and a listening socket.
#include "scredir/socket_link.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include "tests/frame/frame_test_util.h"

namespace {

using frame_test::LogCapture;

struct SocketPair {
  int fd[2] = {-1, -1};
  SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
  ~SocketPair() {
    for (int f : fd)
      if (f >= 0) close(f);
  }
  void CloseWriter() {
    close(fd[1]);
    fd[1] = -1;
  }
};

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 1);
  return v;
}

TEST(SocketLinkTest, ReadExactlyGathersPiecesAndStopsAtEndOfStream) {
  struct Case {
    const char* name;
    std::vector<size_t> pieces;  // bytes the peer writes, in order
    bool closeAfter;
    size_t want;
    int result;
  } cases[] = {
      {"one piece", {12}, false, 12, 0},
      {"byte by byte", std::vector<size_t>(12, 1), false, 12, 0},
      {"more than asked stays for the next read", {20}, false, 12, 0},
      {"daemon closes mid-record", {5}, true, 12, -1},
      {"daemon closes before anything", {}, true, 12, -1},
      {"nothing wanted", {}, false, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SocketPair sp;
    auto data = Pattern(64);
    std::thread writer([&] {
      size_t at = 0;
      for (size_t n : c.pieces) {
        ASSERT_EQ(write(sp.fd[1], data.data() + at, n), static_cast<ssize_t>(n));
        at += n;
      }
      if (c.closeAfter) sp.CloseWriter();
    });
    std::vector<uint8_t> got(c.want, 0xEE);
    EXPECT_EQ(ScRedirQrn_ReadExactly(got.data(), c.want, sp.fd[0]), c.result);
    writer.join();
    if (c.result == 0) {
      EXPECT_EQ(got, std::vector<uint8_t>(data.begin(), data.begin() + c.want));
    }
  }
}

std::atomic<int> g_signals{0};
void OnSignal(int) {
  g_signals.fetch_add(1);
}

// A real signal, delivered while the reader waits, without SA_RESTART.
TEST(SocketLinkTest, SignalDuringWaitResumesTheRead) {
  LogCapture log;
  struct sigaction sa {
  }, old{};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
  SocketPair sp;
  auto data = Pattern(8);
  std::vector<uint8_t> got(8);
  std::atomic<int> result{1};
  ASSERT_EQ(write(sp.fd[1], data.data(), 3), 3);
  std::thread reader([&] { result = ScRedirQrn_ReadExactly(got.data(), got.size(), sp.fd[0]); });
  // Keep interrupting until one signal has landed in the wait.
  while (log.Count("SCQRN: ERROR(00000000) |TID|: socket unreadable.") == 0) {
    pthread_kill(reader.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_EQ(write(sp.fd[1], data.data() + 3, 5), 5);
  reader.join();
  sigaction(SIGUSR1, &old, nullptr);
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(got, data);
}

// The daemon went away: the write fails instead of killing the process.
TEST(SocketLinkTest, WriteToVanishedDaemonFailsWithoutSigpipe) {
  SocketPair sp;
  sp.CloseWriter();
  uint8_t reply[24] = {};
  EXPECT_EQ(ScRedirQrn_WriteExactly(reply, sizeof reply, sp.fd[0]), -1);
}

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

TEST(SocketLinkTest, ConnectChecksThePathConnectsAndGoesNonBlocking) {
  frame_test::TempDir dir;
  const std::string sock = dir.path() + "/qrn.socket";
  const std::string plain = dir.path() + "/plain";
  std::ofstream(plain) << "x";
  const std::string missing = dir.path() + "/missing";
  Listener listener(sock);
  struct Case {
    std::string path;
    int result;
    std::string line;
  } cases[] = {
      {missing, -1,
       "SCQRN: ERROR(00000000) |TID|: PCSC Not Running: " + missing +
           ": No such file or directory"},
      {plain, -1,
       "SCQRN: ERROR(00000000) |TID|: Failed to connect to client socket " + plain +
           ": Connection refused"},
      {sock, 0, "SCQRN: INFO |TID|: Connect server okay."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    LogCapture log;
    int fd = -1;
    ASSERT_EQ(ScRedirQrn_CreateSocket(&fd), 0);
    EXPECT_EQ(ScRedirQrn_ConnectSocket(&fd, c.path.c_str()), c.result);
    EXPECT_EQ(log.PluginLines(), std::vector<std::string>{c.line});
    // A failed attempt leaves the descriptor open for the next one; a
    // successful one leaves it non-blocking.
    ASSERT_GE(fd, 0);
    int flags = fcntl(fd, F_GETFL);
    ASSERT_NE(flags, -1);
    EXPECT_EQ((flags & O_NONBLOCK) != 0, c.result == 0);
    close(fd);
  }
}

}  // namespace
