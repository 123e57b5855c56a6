// scredir-pcscd in this process, serving this process's libpcsclite and raw
// client sockets through the built plug-in, the client double and the
// emulated card (whose values are pcsc-lite's, hence --remote-values
// pcsclite).
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <winscard.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "daemon/server.h"
#include "daemon/wire.h"
#include "tests/chain/remote_side.h"

namespace scredir::pcscd {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using chain::kEmulatedReader;
namespace off = wire::off;

constexpr auto kCallTimeout = 1000ms;

// libpcsclite reads PCSCLITE_CSOCK_NAME once per process, so every test of
// the process uses the same paths.
const std::string kDir = "/tmp/scredir-daemon-test-" + std::to_string(getpid());
const std::string kAppSocket = kDir + "/pcscd.comm";
const bool kEnvironment = [] {
  return setenv("PCSCLITE_CSOCK_NAME", kAppSocket.c_str(), 1) == 0;
}();

std::string PluginPath() {
  const char* dir = std::getenv("SCREDIR_BINARY_DIR");
  return dir ? std::string(dir) + "/scredir/libscrediragent.so" : SCREDIR_PLUGIN_PATH;
}

template <typename Done>
bool WaitFor(Done done, std::chrono::milliseconds limit = 10s) {
  auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// A client that speaks pcsc-lite's protocol by hand, to send what
// libpcsclite never would.
class RawClient {
 public:
  RawClient() {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, kAppSocket.c_str(), sizeof address.sun_path - 1);
    timeval limit{3, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawClient() { ::close(fd_); }

  bool SendRaw(const Bytes& bytes) {
    return connected_ && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                             static_cast<ssize_t>(bytes.size());
  }
  bool Send(uint32_t command, const Bytes& body, const Bytes& extra = {}) {
    Bytes m(8);
    const uint32_t size = static_cast<uint32_t>(body.size());
    std::memcpy(m.data(), &size, 4);
    std::memcpy(m.data() + 4, &command, 4);
    m.insert(m.end(), body.begin(), body.end());
    m.insert(m.end(), extra.begin(), extra.end());
    return SendRaw(m);
  }
  std::optional<Bytes> Read(size_t n) {
    Bytes out(n);
    for (size_t have = 0; have < n;) {
      ssize_t got = ::recv(fd_, out.data() + have, n - have, 0);
      if (got <= 0) return std::nullopt;
      have += static_cast<size_t>(got);
    }
    return out;
  }
  // True when the daemon closed the connection (a reset when it left
  // bytes of ours unread), false when nothing came within the time limit.
  bool Closed() {
    uint8_t byte;
    ssize_t n = ::recv(fd_, &byte, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
  }
  std::optional<Bytes> Call(uint32_t command, Bytes body, const Bytes& extra = {}) {
    const size_t n = body.size();
    if (!Send(command, body, extra)) return std::nullopt;
    return Read(n);
  }
  // Version handshake and a context; 0 when refused.
  uint32_t Establish() {
    Bytes version(off::kVerSize, 0);
    wire::Put32(version, off::kVerMajor, 4);
    wire::Put32(version, off::kVerMinor, 4);
    auto v = Call(wire::kVersion, version);
    auto e = Call(wire::kEstablishContext, Bytes(off::kEstSize, 0));
    if (!v || !e || wire::Get32(*v, off::kVerRv) || wire::Get32(*e, off::kEstRv)) return 0;
    return wire::Get32(*e, off::kEstContext);
  }
  // A card handle in `context`; 0 when refused.
  uint32_t Connect(uint32_t context) {
    Bytes body(off::kConSize, 0);
    wire::Put32(body, off::kConContext, context);
    std::memcpy(body.data() + off::kConReader, kEmulatedReader, std::strlen(kEmulatedReader));
    wire::Put32(body, off::kConShare, SCARD_SHARE_SHARED);
    wire::Put32(body, off::kConPreferred, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    auto r = Call(wire::kConnect, body);
    return r && wire::Get32(*r, off::kConRv) == 0 ? wire::Get32(*r, off::kConCard) : 0;
  }
  // SELECT MF on `card`: the result, and the answer bytes on success.
  std::pair<uint32_t, Bytes> Select(uint32_t card) {
    const Bytes apdu = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
    Bytes body(off::kTxSize, 0);
    wire::Put32(body, off::kTxCard, card);
    wire::Put32(body, off::kTxSendProto, SCARD_PROTOCOL_T1);
    wire::Put32(body, off::kTxSend, static_cast<uint32_t>(apdu.size()));
    wire::Put32(body, off::kTxRecv, 258);
    auto r = Call(wire::kTransmit, body, apdu);
    if (!r) return {~0u, {}};
    const uint32_t rv = wire::Get32(*r, off::kTxRv);
    if (rv) return {rv, {}};
    auto data = Read(wire::Get32(*r, off::kTxRecv));
    return {rv, data.value_or(Bytes{})};
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kEnvironment);
    std::filesystem::create_directories(kDir);
    ServerOptions options;
    options.clientSocket = kAppSocket;
    options.daemonSocket = kDir + "/qrn.socket";
    options.flavour = RemoteFlavour::kPcscLite;
    options.callTimeout = kCallTimeout;
    options.pollInterval = 200ms;
    server_ = std::make_unique<Server>(options);
    std::string why;
    ASSERT_TRUE(server_->Listen(&why)) << why;
    loop_ = std::thread([this] { server_->Run(); });
    remote_ = chain::RemoteSide::Start({PluginPath(), options.daemonSocket}, &why);
    ASSERT_TRUE(remote_) << why;
    ASSERT_TRUE(WaitFor([&] { return server_->stats().readers == 1; }));
  }
  void TearDown() override {
    if (server_) server_->Stop();
    if (loop_.joinable()) loop_.join();
    remote_.reset();
    server_.reset();
    std::filesystem::remove_all(kDir);
  }

  // The daemon holds only its own watch context on the remote side.
  bool OnlyTheWatchRemains() {
    return WaitFor([&] {
      ServerStats s = server_->stats();
      return s.remoteContexts == 1 && s.remoteCards == 0 && s.contexts == 0 && s.clients == 0;
    });
  }

  std::unique_ptr<Server> server_;
  std::thread loop_;
  std::unique_ptr<chain::RemoteSide> remote_;
};

TEST_F(DaemonTest, LibpcscliteCallsReachTheRemoteCard) {
  SCARDCONTEXT context = 0;
  ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_S_SUCCESS);
  char names[256];
  DWORD length = sizeof names;
  ASSERT_EQ(SCardListReaders(context, nullptr, names, &length), SCARD_S_SUCCESS);
  EXPECT_EQ(std::string(names, length), std::string(kEmulatedReader) + '\0' + '\0');

  SCARD_READERSTATE slot{};
  slot.szReader = kEmulatedReader;
  ASSERT_EQ(SCardGetStatusChange(context, 0, &slot, 1), SCARD_S_SUCCESS);
  EXPECT_EQ(slot.dwEventState & (SCARD_STATE_PRESENT | SCARD_STATE_CHANGED),
            SCARD_STATE_PRESENT | SCARD_STATE_CHANGED);
  EXPECT_EQ(Bytes(slot.rgbAtr, slot.rgbAtr + slot.cbAtr), tools::CardModel::kDefaultAtr);

  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  ASSERT_EQ(SCardConnect(context, kEmulatedReader, SCARD_SHARE_SHARED,
                         SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol),
            SCARD_S_SUCCESS);
  EXPECT_EQ(protocol, static_cast<DWORD>(SCARD_PROTOCOL_T1));

  DWORD state = 0, statusProtocol = 0, atrLength = MAX_ATR_SIZE;
  BYTE atr[MAX_ATR_SIZE];
  length = sizeof names;
  EXPECT_EQ(SCardStatus(card, names, &length, &state, &statusProtocol, atr, &atrLength),
            SCARD_S_SUCCESS);
  EXPECT_TRUE(state & SCARD_PRESENT);
  EXPECT_EQ(statusProtocol, protocol);
  EXPECT_EQ(Bytes(atr, atr + atrLength), tools::CardModel::kDefaultAtr);

  BYTE response[258];
  length = sizeof response;
  const BYTE select[] = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
  EXPECT_EQ(SCardBeginTransaction(card), SCARD_S_SUCCESS);
  EXPECT_EQ(SCardTransmit(card, SCARD_PCI_T1, select, sizeof select, nullptr, response, &length),
            SCARD_S_SUCCESS);
  EXPECT_EQ(Bytes(response, response + length), (Bytes{0x90, 0x00}));
  EXPECT_EQ(SCardEndTransaction(card, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);

  const BYTE in[] = {1, 2, 3};
  length = sizeof response;
  EXPECT_EQ(
      SCardControl(card, tools::kControlReverse, in, sizeof in, response, sizeof response, &length),
      SCARD_S_SUCCESS);
  EXPECT_EQ(Bytes(response, response + length), (Bytes{3, 2, 1}));

  const BYTE value[] = {'N', 'e', 'w'};
  EXPECT_EQ(SCardSetAttrib(card, tools::kAttrVendorName, value, sizeof value), SCARD_S_SUCCESS);
  length = sizeof response;
  EXPECT_EQ(SCardGetAttrib(card, tools::kAttrVendorName, response, &length), SCARD_S_SUCCESS);
  EXPECT_EQ(Bytes(response, response + length), Bytes(value, value + sizeof value));

  EXPECT_EQ(SCardReconnect(card, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                           SCARD_LEAVE_CARD, &protocol),
            SCARD_S_SUCCESS);
  EXPECT_EQ(SCardDisconnect(card, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
  EXPECT_EQ(SCardReleaseContext(context), SCARD_S_SUCCESS);
  EXPECT_TRUE(OnlyTheWatchRemains());
}

TEST_F(DaemonTest, WaitsEndOnCardEventsCancelAndTimeout) {
  SCARDCONTEXT context = 0;
  ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_S_SUCCESS);
  SCARD_READERSTATE slot{};
  slot.szReader = kEmulatedReader;
  ASSERT_EQ(SCardGetStatusChange(context, 0, &slot, 1), SCARD_S_SUCCESS);

  // A wait in another thread and what ends it.
  struct Row {
    const char* what;
    std::function<void()> event;
    LONG rv;
    DWORD state;  // the presence bit expected afterwards
  } rows[] = {
      {"removal", [&] { remote_->model()->RemoveCard(kEmulatedReader); }, SCARD_S_SUCCESS,
       SCARD_STATE_EMPTY},
      {"insertion", [&] { remote_->model()->InsertCard(kEmulatedReader); }, SCARD_S_SUCCESS,
       SCARD_STATE_PRESENT},
      {"cancel", [&] { EXPECT_EQ(SCardCancel(context), SCARD_S_SUCCESS); }, SCARD_E_CANCELLED,
       SCARD_STATE_PRESENT},
  };
  for (const Row& row : rows) {
    const DWORD before = slot.dwEventState;
    slot.dwCurrentState = before & ~SCARD_STATE_CHANGED;
    LONG rv = 0;
    std::thread waiter([&] { rv = SCardGetStatusChange(context, INFINITE, &slot, 1); });
    std::this_thread::sleep_for(300ms);
    row.event();
    waiter.join();
    EXPECT_EQ(rv, row.rv) << row.what;
    if (rv == SCARD_S_SUCCESS) {
      EXPECT_EQ(slot.dwEventState & (SCARD_STATE_EMPTY | SCARD_STATE_PRESENT), row.state)
          << row.what;
      EXPECT_EQ(slot.dwEventState >> 16, (before >> 16) + 1) << row.what << ": event counter";
    } else {
      slot.dwEventState = before;
    }
  }
  slot.dwCurrentState = slot.dwEventState & ~SCARD_STATE_CHANGED;
  EXPECT_EQ(SCardGetStatusChange(context, 300, &slot, 1), SCARD_E_TIMEOUT);
  SCardReleaseContext(context);
}

TEST_F(DaemonTest, ReadersFollowTheChannel) {
  SCARDCONTEXT context = 0;
  ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_S_SUCCESS);
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  ASSERT_EQ(SCardConnect(context, kEmulatedReader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card,
                         &protocol),
            SCARD_S_SUCCESS);

  remote_->CloseChannel();
  ASSERT_TRUE(WaitFor([&] { return !server_->stats().linked; }));
  // What a pcscd without readers answers, and a handle whose reader went.
  DWORD length = 0;
  EXPECT_EQ(SCardListReaders(context, nullptr, nullptr, &length), SCARD_E_NO_READERS_AVAILABLE);
  SCARDHANDLE other = 0;
  EXPECT_EQ(SCardConnect(context, kEmulatedReader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &other,
                         &protocol),
            SCARD_E_UNKNOWN_READER);
  BYTE response[258];
  length = sizeof response;
  const BYTE select[] = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
  EXPECT_EQ(SCardTransmit(card, SCARD_PCI_T1, select, sizeof select, nullptr, response, &length),
            SCARD_E_READER_UNAVAILABLE);
  EXPECT_EQ(SCardDisconnect(card, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);

  std::string why;
  ASSERT_TRUE(remote_->OpenChannel(&why)) << why;
  ASSERT_TRUE(WaitFor([&] { return server_->stats().readers == 1; }));
  EXPECT_EQ(SCardConnect(context, kEmulatedReader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card,
                         &protocol),
            SCARD_S_SUCCESS);
  length = sizeof response;
  EXPECT_EQ(SCardTransmit(card, SCARD_PCI_T1, select, sizeof select, nullptr, response, &length),
            SCARD_S_SUCCESS);
  SCardReleaseContext(context);
  EXPECT_TRUE(OnlyTheWatchRemains());
}

TEST_F(DaemonTest, BadInputEndsOnlyItsOwnConnection) {
  Bytes hugeSend(off::kTxSize, 0);
  wire::Put32(hugeSend, off::kTxSend, wire::kMaxExtended + 1);
  auto message = [](uint32_t command, uint32_t size, Bytes body = {}) {
    Bytes m(8);
    std::memcpy(m.data(), &size, 4);
    std::memcpy(m.data() + 4, &command, 4);
    m.insert(m.end(), body.begin(), body.end());
    return m;
  };
  const struct {
    const char* what;
    Bytes bytes;
  } rows[] = {
      {"unknown command", message(0x99, 0)},
      {"list readers is not the daemon's", message(wire::kListReaders, 8, Bytes(8))},
      {"wrong size for its command", message(wire::kEstablishContext, 4, Bytes(4))},
      {"size beyond any structure", message(wire::kConnect, 0x7FFFFFFF)},
      {"send bytes beyond the extended buffer", message(wire::kTransmit, 32, hugeSend)},
  };
  for (const auto& row : rows) {
    RawClient client;
    ASSERT_TRUE(client.SendRaw(row.bytes)) << row.what;
    EXPECT_TRUE(client.Closed()) << row.what;
  }
  {
    RawClient halfHeader;  // goes away in the middle of a header
    ASSERT_TRUE(halfHeader.SendRaw({1, 2, 3}));
  }
  // Nothing is left behind and others are served as before.
  EXPECT_TRUE(OnlyTheWatchRemains());
  RawClient client;
  const uint32_t context = client.Establish();
  ASSERT_NE(context, 0u);
  EXPECT_EQ(client.Select(client.Connect(context)).second, (Bytes{0x90, 0x00}));
}

TEST_F(DaemonTest, ApplicationsCannotUseEachOthersContextsOrHandles) {
  RawClient owner, intruder;
  const uint32_t context = owner.Establish();
  const uint32_t card = owner.Connect(context);
  ASSERT_NE(card, 0u);
  ASSERT_NE(intruder.Establish(), 0u);

  EXPECT_EQ(intruder.Select(card).first, static_cast<uint32_t>(SCARD_E_INVALID_HANDLE));
  Bytes release(off::kCtxSize, 0);
  wire::Put32(release, off::kCtxContext, context);
  auto r = intruder.Call(wire::kReleaseContext, release);
  ASSERT_TRUE(r);
  EXPECT_EQ(wire::Get32(*r, off::kCtxRv), static_cast<uint32_t>(SCARD_E_INVALID_HANDLE));
  Bytes connect(off::kConSize, 0);
  wire::Put32(connect, off::kConContext, context);
  r = intruder.Call(wire::kConnect, connect);
  ASSERT_TRUE(r);
  EXPECT_EQ(wire::Get32(*r, off::kConRv), static_cast<uint32_t>(SCARD_E_INVALID_HANDLE));

  // The owner's card is untouched.
  EXPECT_EQ(owner.Select(card).second, (Bytes{0x90, 0x00}));
}

TEST_F(DaemonTest, WhatAnApplicationHeldIsReleasedWhenItGoes) {
  const auto disconnects = [&] {
    size_t n = 0;
    for (const auto& request : remote_->client().requests())
      n += request.ioControlCode == tools::kIoctlDisconnect;
    return n;
  };
  {
    RawClient client;
    ASSERT_NE(client.Connect(client.Establish()), 0u);
    ASSERT_TRUE(WaitFor([&] { return server_->stats().remoteCards == 1; }));
  }
  EXPECT_TRUE(OnlyTheWatchRemains());
  EXPECT_TRUE(WaitFor([&] { return disconnects() == 1; }));

  // Gone while its connect is on the way: the card the remote hands out
  // late is given back.
  {
    RawClient client;
    const uint32_t context = client.Establish();
    ASSERT_NE(client.Connect(context), 0u);
    remote_->client().HoldCompletions(true);
    Bytes body(off::kConSize, 0);
    wire::Put32(body, off::kConContext, context);
    std::memcpy(body.data() + off::kConReader, kEmulatedReader, std::strlen(kEmulatedReader));
    wire::Put32(body, off::kConShare, SCARD_SHARE_SHARED);
    wire::Put32(body, off::kConPreferred, SCARD_PROTOCOL_T1);
    ASSERT_TRUE(client.Send(wire::kConnect, body));
    ASSERT_TRUE(WaitFor([&] {
      for (const auto& request : remote_->client().requests())
        if (request.ioControlCode == tools::kIoctlConnectW) return remote_->client().AwaitHeld(1);
      return false;
    }));
  }
  std::this_thread::sleep_for(100ms);
  remote_->client().HoldCompletions(false);
  remote_->client().ReleaseHeld(false);
  EXPECT_TRUE(OnlyTheWatchRemains());
  EXPECT_TRUE(WaitFor([&] { return disconnects() == 3; })) << disconnects();
}

TEST_F(DaemonTest, AnUnansweredCallFailsInTime) {
  RawClient client;
  const uint32_t card = client.Connect(client.Establish());
  ASSERT_NE(card, 0u);
  remote_->client().InjectFault({tools::FaultKind::kDrop, 0, tools::kIoctlTransmit});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.Select(card).first, static_cast<uint32_t>(SCARD_F_COMM_ERROR));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, kCallTimeout);
  EXPECT_LT(took, kCallTimeout + 2s);
  EXPECT_EQ(client.Select(card).second, (Bytes{0x90, 0x00}));
}

}  // namespace
}  // namespace scredir::pcscd
