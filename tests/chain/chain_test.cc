// The whole chain with unmodified Debian tools: opensc-tool, pcsc_scan and a
// small transaction probe run as processes of their own whose libpcsclite
// talks to scredir-pcscd (PCSCLITE_CSOCK_NAME), which serves them through
// the built plug-in in the host double, the client double and this
// process's libpcsclite, which reaches a private pcscd with the virtual
// reader and a virtual ISO 7816 card.
//
// Where pcscd, the virtual card or the tools cannot run, the tests skip with
// the reason, or fail when CI=true.
#include <iostream>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "tools/chain/app_side.h"
#include "tools/chain/remote_side.h"
#include "tools/harness/real_peer.h"
#include "tools/pcsc_stack.h"

namespace scredir::chain {
namespace {

using namespace std::chrono_literals;
using tools::BuiltPath;
using tools::PcscStack;
using tools::ReadFile;
using tools::WaitFor;
using tools::Which;

constexpr auto kReaderWait = 30s;

class ChainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = tools::MissingProgram({"opensc-tool", "pcsc_scan", "stdbuf"});
    if (why.empty()) {
      stack_ = PcscStack::Start(&why);
      if (!stack_) why = "pcscd with the virtual reader and card cannot run here: " + why;
    }
    SCREDIR_REQUIRE_PEER(why.empty(), why);
    const std::string dir = stack_->Directory();
    ASSERT_TRUE(
        apps_.Start({BuiltPath("daemon/scredir-pcscd", SCREDIR_DAEMON_PATH), "--daemon-socket",
                     dir + "/qrn.socket", "--remote-values", "pcsclite", "--poll-interval", "500"},
                    dir, 60s, &why))
        << why;
    remote_ = RemoteSide::Start(
        {BuiltPath("scredir/libscrediragent.so", SCREDIR_PLUGIN_PATH), dir + "/qrn.socket", true},
        &why);
    ASSERT_TRUE(remote_) << why;
    ASSERT_TRUE(apps_.AwaitReader(PcscStack::kReaderName, kReaderWait))
        << "the remote reader never reached the applications\n"
        << apps_.Log();
  }

  void TearDown() override {
    remote_.reset();
    apps_.Stop();
    EXPECT_EQ(apps_.Log().find("Sanitizer"), std::string::npos) << apps_.Log();
    stack_.reset();
  }

  std::unique_ptr<PcscStack> stack_;
  AppSide apps_;
  std::unique_ptr<RemoteSide> remote_;
};

TEST_F(ChainTest, OpenscToolListsReadsAndTalksToTheRemoteCard) {
  EXPECT_EQ(apps_.OpenscToolReachesTheCard(), "");
}

TEST_F(ChainTest, PcscScanSeesTheCardThenItsRemoval) {
  const std::string log = stack_->Directory() + "/pcsc_scan.log";
  tools::ChildProcess scan =
      tools::Spawn({Which("stdbuf"), "-oL", "pcsc_scan", "-n"}, apps_.Environment(), log);
  // pcsc_scan prints a block per reader event; the other virtual reader is
  // empty from the start, so only blocks of our reader count.
  auto shows = [&](const char* cardState, size_t from) {
    const std::regex block(std::string(PcscStack::kReaderName) +
                           R"(\s+Event number: \d+\s+Card state: )" + cardState);
    const std::string text = ReadFile(log);
    return from <= text.size() && std::regex_search(text.substr(from), block);
  };
  ASSERT_TRUE(WaitFor(kReaderWait, [&] { return shows("Card inserted", 0); })) << ReadFile(log);
  const size_t before = ReadFile(log).size();
  ASSERT_TRUE(stack_->RemoveCard()) << stack_->LogTail();
  EXPECT_TRUE(WaitFor(kReaderWait, [&] { return shows("Card removed", before); })) << ReadFile(log);
  scan.Stop();
  std::cout << "$ pcsc_scan -n\n" << ReadFile(log) << "\n";
}

TEST_F(ChainTest, TwoApplicationsTakeTurnsWithTheirTransactions) {
  // Each holds a transaction for 400 ms around two SELECTs; started
  // together, one must wait for the other, and neither sees the other's
  // card handle.
  const std::string probe = BuiltPath("tools/chain/scredir-pcsc-probe", SCREDIR_PROBE_PATH);
  const std::string command = "'" + probe + "' '" + PcscStack::kReaderName + "' 400";
  FILE* first = popen(apps_.Command(command).c_str(), "r");
  FILE* second = popen(apps_.Command(command).c_str(), "r");
  ASSERT_TRUE(first && second);
  struct Seen {
    std::string out, handle;
    long long begin = 0, end = 0;
  } seen[2];
  FILE* pipes[2] = {first, second};
  for (int i = 0; i < 2; ++i) {
    seen[i].out = tools::ReadAll(pipes[i]);
    EXPECT_EQ(pclose(pipes[i]), 0) << seen[i].out;
    std::istringstream lines(seen[i].out);
    for (std::string word; lines >> word;) {
      if (word == "handle") lines >> seen[i].handle;
      if (word == "begin") lines >> seen[i].begin;
      if (word == "end") lines >> seen[i].end;
    }
    std::cout << "probe " << i + 1 << ":\n" << seen[i].out;
    EXPECT_NE(seen[i].out.find("select 90 00"), std::string::npos);
    EXPECT_NE(seen[i].out.find("ok"), std::string::npos);
  }
  EXPECT_NE(seen[0].handle, seen[1].handle);
  EXPECT_TRUE(seen[0].end <= seen[1].begin || seen[1].end <= seen[0].begin)
      << "the transactions overlapped";
}

}  // namespace
}  // namespace scredir::chain
