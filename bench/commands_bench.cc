// Cost of the two per-request steps of the plug-in: building the encoded
// call from a daemon record, and turning a completion into the reply.
#include <benchmark/benchmark.h>
#include <glib.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "scredir/completion_parse.h"
#include "scredir/keyed_list.h"
#include "scredir/maps.h"
#include "scredir/pcscd_msg.h"
#include "scredir/qrn_log.h"
#include "scredir/request_build.h"
#include "scredir/rpc/encode_bytes.h"
#include "scredir/rpc/records.h"

namespace {

// Maps holding one context and one card handle; returns their fake ids.
std::pair<uint32_t, uint32_t> Setup() {
  ScRedirQrn_MapsDestroy();
  ScRedirQrn_MapsCreate();
  uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint32_t ctx = 0, card = 0, protocol = 0;
  ScRedirQrn_RegisterContext(0, 8, bytes, &ctx);
  ScRedirQrn_RegisterHandle(0, 8, bytes, 1, &card, &protocol);
  return {ctx, card};
}

void BM_TransmitRequest(benchmark::State& state) {
  auto [ctx, card] = Setup();
  auto* msg = static_cast<TransmitMsg*>(calloc(1, sizeof(TransmitMsg)));
  msg->hContext = ctx;
  msg->hCard = card;
  msg->cbSendLength = static_cast<uint32_t>(state.range(0));
  msg->cbRecvLength = 258;
  for (auto _ : state) {
    ScRedirIoRequest* request = nullptr;
    ScRedirQrn_GetIORequest(SCARD_IOCTL_TRANSMIT, 7, msg, &request);
    benchmark::DoNotOptimize(request->input);
    ScRedirQrn_FreeIORequest(request);
  }
  free(msg);
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_TransmitRequest)->Arg(5)->Arg(261)->Arg(65536);

// The completion of a Transmit: includes keeping the message, as the engine
// does once per request.
void BM_TransmitCompletion(benchmark::State& state) {
  Setup();
  std::vector<uint8_t> response(static_cast<size_t>(state.range(0)), 0x90);
  Transmit_Return ret{0, nullptr, static_cast<uint32_t>(response.size()), response.data()};
  const std::vector<uint8_t> encoded =
      ScRedirRpc_EncodeToBytes(Transmit_Return_Encode, &ret).value_or(std::vector<uint8_t>{});
  const uint32_t encodedLength = static_cast<uint32_t>(encoded.size());
  std::vector<uint8_t> packet(20 + encodedLength);
  const uint32_t head[5] = {0x49434472, 0, 7, 0, encodedLength};
  std::memcpy(packet.data(), head, sizeof head);
  if (encodedLength) std::memcpy(packet.data() + 20, encoded.data(), encodedLength);

  KeyedList* list = KeyedList_Create();
  for (auto _ : state) {
    auto* entry = static_cast<PcscdMsgEntry*>(malloc(sizeof(PcscdMsgEntry) + sizeof(TransmitMsg)));
    entry->ioControlCode = SCARD_IOCTL_TRANSMIT;
    entry->header = {7, PCSCD_TRANSMIT, 41};
    KeyedList_AppendWithKey(list, 7, entry);
    uint8_t* reply = nullptr;
    uint32_t replyLength = 0;
    ScRedirQrn_ParseIOCompletion(packet.data(), static_cast<uint32_t>(packet.size()), &reply,
                                 &replyLength, list);
    benchmark::DoNotOptimize(reply);
    g_free(reply);
  }
  KeyedList_Destroy(&list, free);
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_TransmitCompletion)->Arg(2)->Arg(258)->Arg(65538);

// Reader names: UTF-16 multi-string to UTF-8, the one conversion on the
// reply side.
void BM_MultiStringWToA(benchmark::State& state) {
  std::vector<uint16_t> units;
  for (int r = 0; r < state.range(0); ++r) {
    for (char c : std::string("Vendor Reader 00 00")) units.push_back(static_cast<uint16_t>(c));
    units.push_back(0);
  }
  units.push_back(0);
  for (auto _ : state) {
    uint32_t length = 0;
    uint8_t* out =
        ScRedirQrn_MultiStringWToA(units.data(), static_cast<uint32_t>(units.size()), &length);
    benchmark::DoNotOptimize(out);
    g_free(out);
  }
}
BENCHMARK(BM_MultiStringWToA)->Arg(1)->Arg(8);

}  // namespace
