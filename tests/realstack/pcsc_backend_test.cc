// The libpcsclite backend's own rules, checked without a running pcscd:
// byte strings that cannot be the library's handles never reach it, and the
// multi-string and handle conversions hold at their edges. Also the stack
// launcher's refusal to fight over the virtual reader's port.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "tools/pcsc_backend.h"
#include "tools/pcsc_stack.h"

namespace scredir::tools {
namespace {

TEST(PcscBackendTest, MultiStringsSplitAtTheirEdges) {
  struct Case {
    std::string bytes;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {std::string("a\0bc\0\0", 6), {"a", "bc"}},
      {std::string("a\0bc", 4), {"a", "bc"}},  // no closing NUL
      {std::string("\0", 1), {}},
      {std::string(), {}},
      {std::string("a\0\0b\0\0", 6), {"a"}},  // an empty name ends the list
  };
  for (const Case& c : cases)
    EXPECT_EQ(SplitMultiString(c.bytes.data(), c.bytes.size()), c.names) << c.bytes.size();
}

TEST(PcscBackendTest, HandlesAreExactlyEightLittleEndianBytes) {
  EXPECT_EQ(EncodePcscHandle(0x0102030405060708), (Bytes{8, 7, 6, 5, 4, 3, 2, 1}));
  EXPECT_EQ(DecodePcscHandle(EncodePcscHandle(0xFEDCBA9876543210)), 0xFEDCBA9876543210u);
  for (size_t length : {0, 4, 7, 9, 16})
    EXPECT_EQ(DecodePcscHandle(Bytes(length, 0xAB)), std::nullopt) << length;
}

// Calls with a handle of the wrong length must be answered here: passing
// on a value built from too few bytes would read past them.
TEST(PcscBackendTest, WrongLengthHandlesNeverReachTheLibrary) {
  PcscBackend backend;
  const Bytes shortContext(4, 1);
  const CardRef shortCard{Bytes(8, 1), Bytes(4, 2)};
  Bytes out;
  uint32_t value = 0;
  std::vector<std::string> names;
  std::vector<ReaderState> states(1);
  std::optional<uint32_t> protocol;
  const std::pair<const char*, std::function<uint32_t()>> calls[] = {
      {"ReleaseContext", [&] { return backend.ReleaseContext(shortContext); }},
      {"ListReaders", [&] { return backend.ListReaders(shortContext, {}, &names); }},
      {"GetStatusChange", [&] { return backend.GetStatusChange(shortContext, 0, &states); }},
      {"Connect", [&] { return backend.Connect(shortContext, "r", 2, 3, &out, &value); }},
      {"Cancel", [&] { return backend.Cancel(shortContext); }},
      {"Reconnect", [&] { return backend.Reconnect(shortCard, 2, 3, 0, &value); }},
      {"Disconnect", [&] { return backend.Disconnect(shortCard, 0); }},
      {"BeginTransaction", [&] { return backend.BeginTransaction(shortCard); }},
      {"EndTransaction", [&] { return backend.EndTransaction(shortCard, 0); }},
      {"Transmit", [&] { return backend.Transmit(shortCard, 2, {0}, 258, &out, &protocol); }},
      {"Control", [&] { return backend.Control(shortCard, 1, {}, 16, &out); }},
      {"Status", [&] { return backend.Status(shortCard, &names, &value, &value, &out); }},
      {"GetAttrib", [&] { return backend.GetAttrib(shortCard, 0x90303, 0, &out); }},
      {"SetAttrib", [&] { return backend.SetAttrib(shortCard, 0x90303, {1}); }},
  };
  for (const auto& [name, call] : calls) EXPECT_EQ(call(), kScardEInvalidHandle) << name;
}

TEST(PcscStackTest, TakenReaderPortIsReportedNotFought) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(PcscStack::kVpcdPort);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 1) != 0) {
    close(fd);
    GTEST_SKIP() << "port " << PcscStack::kVpcdPort << " is busy on this machine";
  }
  EXPECT_TRUE(TcpPortListening(PcscStack::kVpcdPort));
  std::string why;
  EXPECT_EQ(PcscStack::Start(&why), nullptr);
  EXPECT_NE(why.find("already has a listener"), std::string::npos) << why;
  close(fd);
}

}  // namespace
}  // namespace scredir::tools
