// Fake-id maps: registration rules, copies, deletion, teardown, threads.
#include "scredir/maps.h"

#include <glib.h>

#include <cstdlib>
#include <thread>

#include "tests/commands/commands_test_util.h"

namespace cmdtest {
namespace {

using Maps = CommandsTest;

uint8_t k4[4] = {0x11, 0x22, 0x33, 0x44};
uint8_t k8[8] = {1, 2, 3, 4, 5, 6, 7, 8};

Bytes Copy(ScRedirMapBytes b) {
  Bytes out(b.bytes, b.bytes + (b.bytes ? b.length : 0));
  g_free(b.bytes);
  return out;
}

// A context stored with 4 bytes is sent with the current (longer) length:
// the stored bytes, then zeros, never bytes from past the stored block.
TEST_F(Maps, CopyNeverReadsPastTheStoredBytes) {
  uint32_t a = 0, b = 0;
  ASSERT_EQ(ScRedirQrn_RegisterContext(0, 4, k4, &a), 0u);
  ASSERT_EQ(ScRedirQrn_RegisterContext(0, 8, k8, &b), 0u);
  EXPECT_EQ(ScRedirQrn_ContextLength(), 8u);
  EXPECT_EQ(Copy(ScRedirQrn_CopyContextBytes(a)), (Bytes{0x11, 0x22, 0x33, 0x44, 0, 0, 0, 0}));
  EXPECT_EQ(Copy(ScRedirQrn_CopyContextBytes(b)), Bytes(k8, k8 + 8));
  ScRedirMapBytes missing = ScRedirQrn_CopyContextBytes(a ^ b ^ 1);
  EXPECT_FALSE(missing.found);
  EXPECT_EQ(Copy(missing), Bytes(8));
}

// An EstablishContext return with cbContext 0, failed or not, must not
// make every later request go out with an empty context (and fail as
// "Not enough memory" before it is sent).
TEST_F(Maps, EmptyContextNeverBecomesTheCurrentLength) {
  uint32_t a = 0, b = 0;
  ASSERT_EQ(ScRedirQrn_RegisterContext(0, 4, k4, &a), 0u);
  for (int32_t returnCode : {0, int32_t(0x8010001D)}) {
    ASSERT_EQ(ScRedirQrn_RegisterContext(returnCode, 0, nullptr, &b), 0u);
    EXPECT_EQ(ScRedirQrn_ContextLength(), 4u);
  }
  EXPECT_EQ(Copy(ScRedirQrn_CopyContextBytes(a)), Bytes(k4, k4 + 4));
}

// rand() may hand out an id that is still in use; the new entry must not
// be lost behind the old one.
TEST_F(Maps, RepeatedRandomIdIsRedrawn) {
  uint32_t first = 0, second = 0, protocol = 0;
  srand(7);
  ScRedirQrn_RegisterContext(0, 4, k4, &first);
  srand(7);
  ScRedirQrn_RegisterContext(0, 8, k8, &second);
  EXPECT_NE(first, second);
  EXPECT_EQ(ScRedirQrn_ContextCount(), 2u);
  srand(7);  // handles draw from the same sequence but have their own map
  ScRedirQrn_RegisterHandle(0, 4, k4, 1, &second, &protocol);
  EXPECT_EQ(second, first);
}

TEST_F(Maps, PairingTraceShowsTheClientBytes) {
  debugEnabled = true;
  uint32_t a = 0, b = 0, protocol = 0;
  ScRedirQrn_RegisterContext(0, 4, k4, &a);
  ScRedirQrn_RegisterHandle(0, 8, k8, 1, &b, &protocol);
  const std::string ctx = std::to_string(static_cast<int>(a));
  const std::string card = std::to_string(static_cast<int>(b));
  EXPECT_EQ(Take(), (Lines{"DEBUG: Generate fake context " + ctx,
                           "DEBUG: Context Map: " + ctx + "<->44332211",
                           "DEBUG: Generate fake handle " + card,
                           "DEBUG: Handle Map: " + card + "<->807060504030201"}));
}

TEST_F(Maps, DestroyedMapsFindNothing) {
  uint32_t hContext = 0, hCard = 0, protocol = 0;
  ScRedirQrn_RegisterContext(0, 4, k4, &hContext);
  ScRedirQrn_RegisterHandle(0, 4, k4, 1, &hCard, &protocol);
  EXPECT_TRUE(ScRedirQrn_DeleteHandle(hCard));
  EXPECT_FALSE(ScRedirQrn_DeleteHandle(hCard));
  ScRedirQrn_MapsDestroy();
  ScRedirMapBytes gone = ScRedirQrn_CopyContextBytes(hContext);
  EXPECT_FALSE(gone.found);
  EXPECT_EQ(Copy(gone), Bytes(4));
  EXPECT_EQ(ScRedirQrn_RegisterContext(0, 4, k4, &hContext), 0u);
  EXPECT_EQ(ScRedirQrn_ContextCount(), 0u);
  ScRedirQrn_MapsCreate();
  EXPECT_EQ(ScRedirQrn_ContextLength(), 0u);
}

// The completion thread registers while the daemon link thread looks up
// and deletes.
TEST_F(Maps, RegistrationAndLookupRaceSafely) {
  constexpr int kRounds = 2000;
  std::thread registrar([] {
    for (int i = 0; i < kRounds; ++i) {
      uint32_t id = 0, protocol = 0;
      ScRedirQrn_RegisterHandle(0, 4, k4, 1, &id, &protocol);
      ScRedirQrn_RegisterContext(0, 4, k4, &id);
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    g_free(ScRedirQrn_CopyHandleBytes(static_cast<uint32_t>(i)).bytes);
    ScRedirQrn_DeleteHandle(static_cast<uint32_t>(rand()));
  }
  registrar.join();
  EXPECT_EQ(ScRedirQrn_ContextCount(), static_cast<uint32_t>(kRounds));
}

}  // namespace
}  // namespace cmdtest
