// The bridge's side of the rdpdr handshake and its routing, byte by byte:
// what a client is sent at each step, what reaches the plug-in, and that
// packets which do not parse change nothing.
#include "tools/rdp_bridge/rdpdr_server.h"

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

namespace scredir::bridge {
namespace {

Bytes FromHex(const std::string& text) {
  Bytes out;
  unsigned value = 0;
  int consumed = 0;
  for (const char* p = text.c_str(); std::sscanf(p, "%2x%n", &value, &consumed) == 1; p += consumed)
    out.push_back(static_cast<uint8_t>(value));
  return out;
}

std::string Hex(const Bytes& bytes) {
  std::string out;
  char text[4];
  for (uint8_t b : bytes) {
    std::snprintf(text, sizeof text, out.empty() ? "%02x" : " %02x", b);
    out += text;
  }
  return out;
}

std::vector<std::string> Hexes(const std::vector<Bytes>& packets) {
  std::vector<std::string> out;
  for (const Bytes& p : packets) out.push_back(Hex(p));
  return out;
}

// What a FreeRDP client sends, shortened to what the bridge reads.
const std::string kAnnounceReply = "72 44 43 43 01 00 0c 00 2a 00 00 00";  // client id 42
const std::string kClientName = "72 44 4e 43 01 00 00 00 00 00 00 00 06 00 00 00 76 00 6d 00 00 00";
// A drive (id 1, one byte of data) and a smart card (id 2).
const std::string kDeviceList =
    "72 44 41 44 02 00 00 00 08 00 00 00 01 00 00 00 43 3a 00 00 00 00 00 00 01 00 00 00 00 "
    "20 00 00 00 02 00 00 00 53 43 41 52 44 00 00 00 00 00 00 00";

// Two sets: general (44 bytes, version 2, every field 0) and smart card.
Bytes Capabilities() {
  Bytes caps = FromHex("72 44 50 43 02 00 00 00 01 00 2c 00 02 00 00 00");
  caps.resize(caps.size() + 36, 0);
  Bytes tail = FromHex("05 00 08 00 01 00 00 00");
  caps.insert(caps.end(), tail.begin(), tail.end());
  return caps;
}

// Plays the client's side of the handshake up to the accepted smart card.
RdpdrServer ReadyServer() {
  RdpdrServer server(7);
  server.OnClientPacket(FromHex(kAnnounceReply));
  server.OnClientPacket(FromHex(kClientName));
  server.OnClientPacket(Capabilities());
  server.OnClientPacket(FromHex(kDeviceList));
  return server;
}

TEST(RdpdrServerTest, HandshakeSendsEachStepAndAcceptsOnlyTheSmartCard) {
  RdpdrServer server(7);
  EXPECT_EQ(Hex(server.ServerAnnounce()), "72 44 6e 49 01 00 0c 00 07 00 00 00");
  struct Step {
    const char* what;
    Bytes packet;
    std::vector<std::string> toClient;
    bool ready;
  };
  const Step steps[] = {
      {"announce reply", FromHex(kAnnounceReply), {}, false},
      {"client name",
       FromHex(kClientName),
       {"72 44 50 53 02 00 00 00 01 00 2c 00 02 00 00 00 00 00 00 00 00 00 00 00 01 00 0c 00 "
        "ff ff 00 00 00 00 00 00 03 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 05 00 08 00 "
        "01 00 00 00"},
       false},
      // The confirm repeats the client's own id and version.
      {"capabilities", Capabilities(), {"72 44 43 43 01 00 0c 00 2a 00 00 00"}, false},
      {"device list",
       FromHex(kDeviceList),
       {"72 44 72 64 01 00 00 00 01 00 00 c0", "72 44 72 64 02 00 00 00 00 00 00 00"},
       true},
  };
  for (const Step& step : steps) {
    RdpdrActions actions = server.OnClientPacket(step.packet);
    EXPECT_EQ(Hexes(actions.toClient), step.toClient) << step.what;
    EXPECT_TRUE(actions.toPlugin.empty()) << step.what;
    EXPECT_EQ(actions.channelReady, step.ready) << step.what;
  }
  EXPECT_EQ(server.smartCardDevice(), 2u);
}

TEST(RdpdrServerTest, RoutesRequestsAndCompletionsWithTheDeviceIdRewritten) {
  RdpdrServer server = ReadyServer();
  struct Route {
    const char* what;
    bool fromPlugin;
    Bytes packet;
    std::vector<std::string> toClient, toPlugin;
  };
  const Route routes[] = {
      // The plug-in's own capability request never reaches the client.
      {"plug-in capability request",
       true,
       FromHex("72 44 50 53 01 00 00 00 01 00 2c 00 02 00 00 00"),
       {},
       {Hex(Capabilities())}},
      {"device-control request",
       true,
       FromHex("72 44 52 49 00 00 00 00 00 00 00 00 05 00 00 00 0e 00 00 00"),
       {"72 44 52 49 02 00 00 00 00 00 00 00 05 00 00 00 0e 00 00 00"},
       {}},
      {"plug-in printer packet", true, FromHex("72 50 43 50 00 00 00 00"), {}, {}},
      {"completion",
       false,
       FromHex("72 44 43 49 02 00 00 00 05 00 00 00 01 00 00 c0"),
       {},
       {"72 44 43 49 00 00 00 00 05 00 00 00 01 00 00 c0"}},
      {"completion for the refused drive",
       false,
       FromHex("72 44 43 49 01 00 00 00 05 00 00 00 00 00 00 00"),
       {},
       {}},
      {"completion without a device id", false, FromHex("72 44 43 49 02 00"), {}, {}},
  };
  for (const Route& r : routes) {
    RdpdrActions actions =
        r.fromPlugin ? server.OnPluginPacket(r.packet) : server.OnClientPacket(r.packet);
    EXPECT_EQ(Hexes(actions.toClient), r.toClient) << r.what;
    EXPECT_EQ(Hexes(actions.toPlugin), r.toPlugin) << r.what;
  }
  RdpdrActions removed = server.OnClientPacket(FromHex("72 44 4d 44 01 00 00 00 02 00 00 00"));
  EXPECT_TRUE(removed.deviceRemoved);
  EXPECT_TRUE(
      server.OnPluginPacket(FromHex("72 44 52 49 00 00 00 00 00 00 00 00")).toClient.empty());
}

// Malformed client packets: nothing is answered and nothing moves on.
TEST(RdpdrServerTest, PacketsThatDoNotParseChangeNothing) {
  const std::pair<const char*, std::string> cases[] = {
      {"no header", "72 44 43"},
      {"short announce reply", "72 44 43 43 01 00 0c 00"},
      {"name longer than the packet", "72 44 4e 43 01 00 00 00 00 00 00 00 ff 00 00 00 76 00"},
      {"device count beyond the bytes", "72 44 41 44 ff ff ff ff 20 00 00 00"},
      {"device data beyond the bytes",
       "72 44 41 44 01 00 00 00 20 00 00 00 02 00 00 00 53 43 41 52 44 00 00 00 ff 00 00 00"},
      {"second device cut short",
       "72 44 41 44 02 00 00 00 20 00 00 00 02 00 00 00 53 43 41 52 44 00 00 00 00 00 00 00 "
       "20 00 00 00 03 00 00 00 53 43 41 52 44 00 00 00 00 00 00"},
      {"capability set beyond the bytes", "72 44 50 43 01 00 00 00 01 00 2c 00 02 00 00 00"},
      {"capability set shorter than its header", "72 44 50 43 01 00 00 00 01 00 04 00"},
  };
  for (const auto& [what, hex] : cases) {
    RdpdrServer server(7);
    server.OnClientPacket(FromHex(kAnnounceReply));
    RdpdrActions actions = server.OnClientPacket(FromHex(hex));
    EXPECT_TRUE(actions.toClient.empty()) << what;
    EXPECT_FALSE(actions.channelReady) << what;
    EXPECT_FALSE(actions.notes.empty()) << what;
    // A good name afterwards still completes the step the bad one did not.
    EXPECT_EQ(server.OnClientPacket(FromHex(kClientName)).toClient.size(), 1u) << what;
  }
}

}  // namespace
}  // namespace scredir::bridge
