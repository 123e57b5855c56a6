// The doubles checked against each other, without the plug-in: if they are
// wrong, every road test is wrong with them.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "lib/base/byte_writer.h"
#include "tools/card_model.h"
#include "tools/client_double.h"
#include "tools/daemon_double.h"

namespace scredir::tools {
namespace {

TEST(CardModelTest, ApduResponderAnswersTheSmallCardApplication) {
  CardModel model;
  model.SetPin({'1', '2', '3', '4'}, 3);
  model.SetNextChallenge({9, 8, 7, 6, 5, 4, 3, 2});
  const struct {
    const char* what;
    Bytes command;
    Bytes response;
  } steps[] = {
      {"select master file", {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, {0x90, 0x00}},
      {"select a missing file", {0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x00}, {0x6A, 0x82}},
      {"challenge", {0x00, 0x84, 0x00, 0x00, 0x08}, {9, 8, 7, 6, 5, 4, 3, 2, 0x90, 0x00}},
      {"challenge without Le", {0x00, 0x84, 0x00, 0x00}, {0x67, 0x00}},
      {"wrong PIN", {0x00, 0x20, 0x00, 0x80, 0x02, '0', '0'}, {0x63, 0xC2}},
      {"tries left", {0x00, 0x20, 0x00, 0x80}, {0x63, 0xC2}},
      {"right PIN", {0x00, 0x20, 0x00, 0x80, 0x04, '1', '2', '3', '4'}, {0x90, 0x00}},
      {"verified", {0x00, 0x20, 0x00, 0x80}, {0x90, 0x00}},
      {"wrong PIN 1", {0x00, 0x20, 0x00, 0x80, 0x01, '9'}, {0x63, 0xC2}},
      {"wrong PIN 2", {0x00, 0x20, 0x00, 0x80, 0x01, '9'}, {0x63, 0xC1}},
      {"wrong PIN 3 blocks", {0x00, 0x20, 0x00, 0x80, 0x01, '9'}, {0x69, 0x83}},
      {"blocked even when right", {0x00, 0x20, 0x00, 0x80, 0x04, '1', '2', '3', '4'}, {0x69, 0x83}},
      {"Lc disagrees with the data", {0x00, 0x20, 0x00, 0x80, 0x05, '1'}, {0x67, 0x00}},
      {"proprietary class", {0x80, 0xA4, 0x00, 0x00}, {0x6E, 0x00}},
      {"unknown instruction", {0x00, 0xEE, 0x00, 0x00}, {0x6D, 0x00}},
      {"too short", {0x00, 0xA4}, {0x67, 0x00}},
  };
  for (const auto& step : steps) {
    EXPECT_EQ(model.RespondApdu(step.command), step.response) << step.what;
  }
}

// What the road tests do not reach: sharing, a transaction that shuts out
// other handles, a card swapped under a connection.
TEST(CardModelTest, ConnectionsFollowSharingCardPresenceAndTransactions) {
  CardModel model;
  model.AddReader("R", true);
  Bytes context, shared, exclusive, other;
  uint32_t protocol = 0;
  ASSERT_EQ(model.EstablishContext(0, &context), kScardSuccess);
  EXPECT_EQ(model.Connect(context, "R", 2, kScardProtocolT0, &shared, &protocol), kScardSuccess);
  EXPECT_EQ(model.Connect(context, "R", 1, 3, &exclusive, &protocol), kScardESharingViolation);
  CardRef card{context, shared};
  EXPECT_EQ(model.BeginTransaction(card), kScardSuccess);
  ASSERT_EQ(model.Connect(context, "R", 2, 3, &other, &protocol), kScardSuccess);
  EXPECT_EQ(model.BeginTransaction(CardRef{context, other}), kScardESharingViolation);
  EXPECT_EQ(model.EndTransaction(card, 0), kScardSuccess);

  // A card swapped under a connection is gone for it until it reconnects.
  model.RemoveCard("R");
  model.InsertCard("R");
  Bytes response;
  std::optional<uint32_t> pci;
  EXPECT_EQ(model.Transmit(card, kScardProtocolT0, {0, 0xA4, 0, 0}, 258, &response, &pci),
            kScardWRemovedCard);
  EXPECT_EQ(model.Reconnect(card, 2, kScardProtocolT1, 1, &protocol), kScardSuccess);
  EXPECT_EQ(model.Transmit(card, kScardProtocolT1, {0, 0x84, 0, 0, 8}, 4, &response, &pci),
            kScardEInsufficientBuffer);
}

TEST(CardModelTest, StatusChangeWaitEndsOnInsertionCancelAndShutdown) {
  CardModel model;
  model.AddReader("R", false);
  Bytes context;
  ASSERT_EQ(model.EstablishContext(0, &context), kScardSuccess);
  auto wait = [&](uint32_t* rv, std::vector<ReaderState>* states) {
    *states = {ReaderState{"R", kScardStateEmpty, 0, {}}};
    *rv = model.GetStatusChange(context, kInfinite, states);
  };
  uint32_t rv = 0;
  std::vector<ReaderState> states;
  std::thread inserted([&] { wait(&rv, &states); });
  model.WaitForStatusChangeWaiters(1);
  model.InsertCard("R", {0x3B, 0x00});
  inserted.join();
  EXPECT_EQ(rv, kScardSuccess);
  EXPECT_EQ(states[0].eventState, kScardStatePresent | kScardStateChanged);
  EXPECT_EQ(states[0].atr, (Bytes{0x3B, 0x00}));

  model.RemoveCard("R");
  std::thread cancelled([&] { wait(&rv, &states); });
  model.WaitForStatusChangeWaiters(1);
  EXPECT_EQ(model.Cancel(context), kScardSuccess);
  cancelled.join();
  EXPECT_EQ(rv, kScardECancelled);

  std::thread shut([&] { wait(&rv, &states); });
  model.WaitForStatusChangeWaiters(1);
  model.Shutdown();
  shut.join();
  EXPECT_EQ(rv, kScardECancelled);
  states = {ReaderState{"R", kScardStateEmpty, 0, {}}};
  EXPECT_EQ(model.GetStatusChange(context, 0, &states), kScardECancelled);
}

// Captures what the client double sends back.
class Outbox {
 public:
  ClientDouble::Sink sink() {
    return [this](const Bytes& p) {
      std::lock_guard lock(mu_);
      packets_.push_back(p);
      cv_.notify_all();
    };
  }
  void AwaitCount(size_t n) {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return packets_.size() >= n; });
  }
  std::vector<Bytes> packets() {
    std::lock_guard lock(mu_);
    return packets_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Bytes> packets_;
};

Bytes Request(uint32_t completionId, uint32_t ioctl, const Bytes& input) {
  base::ByteWriter w;
  w.WriteU16Le(0x4472);
  w.WriteU16Le(0x4952);
  w.WriteU32Le(0);
  w.WriteU32Le(0);
  w.WriteU32Le(completionId);
  w.WriteU32Le(14);
  w.WriteU32Le(0);
  w.WriteU32Le(2048);
  w.WriteU32Le(static_cast<uint32_t>(input.size()));
  w.WriteU32Le(ioctl);
  w.WriteZeros(20);
  w.WriteBytes(input);
  return w.Take();
}

// The road tests' "no protocol errors" checks are only as good as the
// client's counting: a request that does not decode must be counted and
// answered with STATUS_INVALID_PARAMETER. (Spoiled answers are checked
// through the plug-in's log lines in the road tests.)
TEST(ClientDoubleTest, CountsARequestThatDoesNotDecode) {
  CardModel model;
  Outbox outbox;
  ClientDouble client(model);
  client.Attach(outbox.sink());
  client.OnServerPacket(Request(10, kIoctlEstablishContext, Bytes{1, 2, 3}));
  outbox.AwaitCount(1);
  client.Stop();
  std::vector<Bytes> out = outbox.packets();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(Get32(out[0], 8), 10u);  // the completion id
  EXPECT_EQ(Get32(out[0], 12), 0xC000000Du);
  EXPECT_EQ(client.protocolErrors(), 1u);
}

TEST(DaemonDoubleTest, FramesRepliesByTheirCommandAndNoticesAStrayOne) {
  char dir[] = "/tmp/scredir-daemon-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string path = std::string(dir) + "/s";
  {
    DaemonDouble daemon(path);
    ASSERT_TRUE(daemon.listening());
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_TRUE(daemon.AwaitConnections(1));

    PcscdRecord record(kPcscdCancel);
    record.Put32(0, 0x11).Put32(4, 0x22);
    ASSERT_TRUE(daemon.Send(5, kPcscdCancel, record.bytes()));
    Bytes frame(20);
    ASSERT_EQ(read(fd, frame.data(), frame.size()), 20);
    // Play the plug-in: answer it, then a stray header.
    ASSERT_EQ(write(fd, frame.data(), frame.size()), 20);
    uint32_t stray[3] = {6, 12, 0};
    ASSERT_EQ(write(fd, stray, sizeof(stray)), 12);
    std::optional<Bytes> reply = daemon.AwaitReply(5);
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, frame);
    ASSERT_TRUE(daemon.AwaitPeerClosed());
    EXPECT_TRUE(daemon.outOfStep());
    EXPECT_FALSE(daemon.AwaitReply(6));
    close(fd);
  }
  rmdir(dir);
}

}  // namespace
}  // namespace scredir::tools
