// scredir-pcscd in this process, serving this process's libpcsclite and raw
// client sockets through the built plug-in, the client double and the
// emulated card (whose values are pcsc-lite's, hence --remote-values
// pcsclite).
#include <winscard.h>

#include <chrono>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "daemon/wire.h"
#include "tools/chain/in_process_daemon.h"
#include "tools/chain/raw_client.h"
#include "tools/chain/remote_side.h"
#include "tools/harness/real_peer.h"

namespace scredir::pcscd {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using chain::InProcessDaemon;
using chain::kEmulatedReader;
using chain::Message;
namespace off = wire::off;

constexpr auto kCallTimeout = 1000ms;
// Before any libpcsclite call of the process.
const bool kEnvironment = !InProcessDaemon::Dir().empty();

template <typename Done>
bool WaitFor(Done done) {
  return tools::WaitFor(10s, done);
}

// A raw client of this process's daemon, connecting to the emulated reader.
struct RawClient : chain::RawClient {
  RawClient() : chain::RawClient(InProcessDaemon::Dir() + "/pcscd.comm") {}
  uint32_t Connect(uint32_t context) { return chain::RawClient::Connect(context, kEmulatedReader); }
};

class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kEnvironment);
    std::string why;
    ASSERT_TRUE(daemon_.Start(&why)) << why;
    remote_ = chain::RemoteSide::Start(
        {tools::BuiltPath("scredir/libscrediragent.so", SCREDIR_PLUGIN_PATH),
         InProcessDaemon::DaemonSocket()},
        &why);
    ASSERT_TRUE(remote_) << why;
    ASSERT_TRUE(WaitFor([&] { return daemon_.stats().readers == 1; }));
  }
  void TearDown() override {
    daemon_.Stop();
    remote_.reset();
  }

  // The daemon holds only its own watch context on the remote side.
  bool OnlyTheWatchRemains() {
    return WaitFor([&] {
      ServerStats s = daemon_.stats();
      return s.remoteContexts == 1 && s.remoteCards == 0 && s.contexts == 0 && s.clients == 0;
    });
  }

  InProcessDaemon daemon_{kCallTimeout};
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
  ASSERT_TRUE(WaitFor([&] { return !daemon_.stats().linked; }));
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
  ASSERT_TRUE(WaitFor([&] { return daemon_.stats().readers == 1; }));
  EXPECT_EQ(SCardConnect(context, kEmulatedReader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card,
                         &protocol),
            SCARD_S_SUCCESS);
  length = sizeof response;
  EXPECT_EQ(SCardTransmit(card, SCARD_PCI_T1, select, sizeof select, nullptr, response, &length),
            SCARD_S_SUCCESS);
  SCardReleaseContext(context);
  EXPECT_TRUE(OnlyTheWatchRemains());
}

// Which messages are bad is the frame reader's (the table test); here a bad
// one, and one whose size no structure has, end only their connection.
TEST_F(DaemonTest, BadInputEndsOnlyItsOwnConnection) {
  const struct {
    const char* what;
    Bytes bytes;
  } rows[] = {
      {"unknown command", Message(0x99, 0)},
      {"size beyond any structure", Message(wire::kConnect, 0x7FFFFFFF)},
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
    ASSERT_TRUE(WaitFor([&] { return daemon_.stats().remoteCards == 1; }));
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
    ASSERT_TRUE(client.SendConnect(context, kEmulatedReader, SCARD_PROTOCOL_T1));
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
