// The libpcsclite backend's own rules, checked without a running pcscd:
// byte strings that cannot be the library's handles (too short or too long)
// never reach it, and multi-strings split right at their edges. The handle
// conversion itself is proven by every call of the real-stack session.
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "tools/pcsc_backend.h"

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

// Calls with a handle of the wrong length must be answered here: passing
// on a value built from too few bytes would read past them, and one built
// from too many would name another handle.
TEST(PcscBackendTest, WrongLengthHandlesNeverReachTheLibrary) {
  PcscBackend backend;
  const Bytes shortContext(4, 1);
  const CardRef longCard{Bytes(8, 1), Bytes(9, 2)};
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
      {"Reconnect", [&] { return backend.Reconnect(longCard, 2, 3, 0, &value); }},
      {"Disconnect", [&] { return backend.Disconnect(longCard, 0); }},
      {"BeginTransaction", [&] { return backend.BeginTransaction(longCard); }},
      {"EndTransaction", [&] { return backend.EndTransaction(longCard, 0); }},
      {"Transmit", [&] { return backend.Transmit(longCard, 2, {0}, 258, &out, &protocol); }},
      {"Control", [&] { return backend.Control(longCard, 1, {}, 16, &out); }},
      {"Status", [&] { return backend.Status(longCard, &names, &value, &value, &out); }},
      {"GetAttrib", [&] { return backend.GetAttrib(longCard, 0x90303, 0, &out); }},
      {"SetAttrib", [&] { return backend.SetAttrib(longCard, 0x90303, {1}); }},
  };
  for (const auto& [name, call] : calls) EXPECT_EQ(call(), kScardEInvalidHandle) << name;
}

}  // namespace
}  // namespace scredir::tools
