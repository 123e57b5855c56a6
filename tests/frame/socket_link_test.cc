// Reading and writing exact byte counts on the daemon socket, and the
// connect steps, against real socket pairs and a listening socket. Reads in
// pieces and an end of stream mid-record are driven through the daemon
// link's dispatch.
#include "scredir/socket_link.h"

#include <fcntl.h>
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
