// Reading and writing exact byte counts on the daemon socket, and the
// connect steps, against real socket pairs and a listening socket. Reads in
// pieces and an end of stream mid-record are driven through the daemon
// link's dispatch.
#include "scredir/socket_link.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

#include "tests/frame/frame_test_util.h"

namespace {

using frame_test::Bytes;
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

void OnSignal(int) {}

// A real signal, delivered while the reader waits, without SA_RESTART; the
// record arrives in two pieces around it. Then nothing to read returns at
// once (it must not wait for bytes nobody sends), and a write to a daemon
// that went away fails instead of killing the process with SIGPIPE.
TEST(SocketLinkTest, SignalMidReadEmptyReadAndVanishedPeer) {
  LogCapture log;
  struct sigaction sa {
  }, old{};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
  SocketPair sp;
  const Bytes data = frame_test::Hex("11 22 33 44 55 66 77 88");
  Bytes got(8);
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
  EXPECT_EQ(ScRedirQrn_ReadExactly(got.data(), 0, sp.fd[0]), 0);
  sp.CloseWriter();
  EXPECT_EQ(ScRedirQrn_WriteExactly(data.data(), data.size(), sp.fd[0]), -1);
}

// Storms: every third system call is interrupted (waits and transfers
// alike) and every transfer moves one byte; the exact-count loops still
// deliver every byte once, in order.
std::atomic<int> g_calls{0};
bool Interrupted() {
  if (g_calls.fetch_add(1) % 3 != 1) return false;
  errno = EINTR;
  return true;
}
const ScRedirSocketCalls kStorm{
    [](int fd, void* b, size_t n, int flags) -> ssize_t {
      return Interrupted() ? -1 : ::recv(fd, b, n ? 1 : 0, flags);
    },
    [](int fd, const void* b, size_t n, int flags) -> ssize_t {
      return Interrupted() ? -1 : ::send(fd, b, n ? 1 : 0, flags);
    },
    [](struct pollfd* p, nfds_t n, int t) { return Interrupted() ? -1 : ::poll(p, n, t); },
};

TEST(SocketLinkTest, InterruptedAndOneByteTransfersLoseNothing) {
  LogCapture log;  // "socket unreadable." for every interrupted wait
  Bytes data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  for (bool reading : {true, false}) {
    SCOPED_TRACE(reading ? "read" : "write");
    SocketPair sp;
    Bytes got(data.size());
    ScRedirQrn_SetSocketCallsForTest(&kStorm);
    if (reading) {
      ASSERT_EQ(write(sp.fd[1], data.data(), data.size()), 1000);
      EXPECT_EQ(ScRedirQrn_ReadExactly(got.data(), got.size(), sp.fd[0]), 0);
    } else {
      // One-byte messages fill the socket's buffer long before 1000 bytes.
      std::thread daemon([&] { recv(sp.fd[1], got.data(), got.size(), MSG_WAITALL); });
      EXPECT_EQ(ScRedirQrn_WriteExactlyFor(data.data(), data.size(), sp.fd[0], 5000), 0);
      daemon.join();
    }
    ScRedirQrn_SetSocketCallsForTest(nullptr);
    EXPECT_EQ(got, data);
  }
}

TEST(SocketLinkTest, ConnectChecksThePathConnectsAndGoesNonBlocking) {
  frame_test::TempDir dir;
  const std::string sock = dir.path + "/qrn.socket", plain = dir.path + "/plain";
  const std::string missing = dir.path + "/missing";
  std::ofstream(plain) << "x";
  frame_test::Listener listener(sock);
  const std::string e = "SCQRN: ERROR(00000000) |TID|: ";
  struct Case {
    std::string path;
    int result;
    std::string line;
  } cases[] = {
      {missing, -1, e + "PCSC Not Running: " + missing + ": No such file or directory"},
      {plain, -1, e + "Failed to connect to client socket " + plain + ": Connection refused"},
      {sock, 0, "SCQRN: INFO |TID|: Connect server okay."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    LogCapture log;
    int fd = -1;
    ASSERT_EQ(ScRedirQrn_CreateSocket(&fd), 0);
    EXPECT_EQ(ScRedirQrn_ConnectSocket(&fd, c.path.c_str()), c.result);
    EXPECT_EQ(log.PluginLines(), frame_test::Lines{c.line});
    // A failed attempt leaves the descriptor open for the next one; it is
    // non-blocking from before the connect on (a full backlog must not
    // block), so only a path that is not there leaves it as it was.
    ASSERT_GE(fd, 0);
    int flags = fcntl(fd, F_GETFL);
    ASSERT_NE(flags, -1);
    EXPECT_EQ((flags & O_NONBLOCK) != 0, c.path != missing);
    close(fd);
  }
}

}  // namespace
