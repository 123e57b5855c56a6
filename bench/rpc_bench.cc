// Encode and decode cost of the records on the hot paths: APDU exchange,
// reader polling and reader listing. Debug tracing is off, as in production.
#include <benchmark/benchmark.h>
#include <glib.h>

#include <string>
#include <vector>

#include "scredir/rpc/encode_bytes.h"
#include "scredir/rpc/records.h"

namespace {

uint8_t kContext[8] = {1, 2, 3, 4, 5, 6, 7, 8};
uint8_t kHandle[8] = {9, 10, 11, 12, 13, 14, 15, 16};

std::vector<uint8_t> Filled(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7);
  return v;
}

template <class R>
std::vector<uint8_t> Encode(R rec, void (*encode)(ScRedirRpc_Handle*, R*)) {
  return ScRedirRpc_EncodeToBytes(encode, &rec).value_or(std::vector<uint8_t>{});
}

template <class R>
void RunEncode(benchmark::State& state, R rec, void (*encode)(ScRedirRpc_Handle*, R*)) {
  // Counted here: the counter map the library keeps costs more than a small
  // encoding does.
  int64_t bytes = 0;
  for (auto _ : state) {
    uint8_t* buf = nullptr;
    uint32_t len = 0;
    ScRedirRpc_Handle* h = nullptr;
    MesEncodeDynBufferHandleCreate(&buf, &len, &h);
    encode(h, &rec);
    MesHandleFree(h);
    benchmark::DoNotOptimize(buf);
    g_free(buf);
    bytes += len;
  }
  state.SetBytesProcessed(bytes);
  if (ScRedirRpc_ErrorCode() != RPC_S_OK) state.SkipWithError("encode failed");
}

template <class R>
void RunDecode(benchmark::State& state, const std::vector<uint8_t>& bytes,
               void (*decode)(ScRedirRpc_Handle*, R*), void (*release)(ScRedirRpc_Handle*, R*)) {
  for (auto _ : state) {
    ScRedirRpc_Handle* h = nullptr;
    MesDecodeBufferHandleCreate(bytes.data(), static_cast<uint32_t>(bytes.size()), &h);
    R rec;
    decode(h, &rec);
    benchmark::DoNotOptimize(rec);
    release(h, &rec);
    MesHandleFree(h);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
  if (ScRedirRpc_ErrorCode() != RPC_S_OK) state.SkipWithError("decode failed");
}

std::vector<uint8_t>& Apdu() {
  static auto v = Filled(261);
  return v;
}
std::vector<uint8_t>& Response() {
  static auto v = Filled(258);
  return v;
}

Transmit_Call TransmitCall() {
  return {{{8, kContext}, 8, kHandle}, {2, 0, nullptr}, 261, Apdu().data(), nullptr, 0, 258};
}

Transmit_Return TransmitReturn() {
  return {0, nullptr, 258, Response().data()};
}

GetStatusChangeW_Call StatusChangeCall() {
  static std::vector<std::u16string> names;
  static ReaderStateW states[kMaxReaderStates];
  if (names.empty()) {
    for (uint32_t i = 0; i < kMaxReaderStates; ++i) {
      names.push_back(u"Virtual PCD Reader 0" + std::u16string(1, u'0' + i));
      states[i].szReader = reinterpret_cast<uint16_t*>(names.back().data());
      states[i].Common = {0x10, 0, 0, {}};
    }
  }
  return {{8, kContext}, 0xFFFFFFFF, kMaxReaderStates, states};
}

ListReaders_Return ListReaders() {
  static std::vector<uint8_t> msz;
  if (msz.empty()) {
    for (int i = 0; i < 10; ++i) {
      std::u16string name = u"Virtual PCD Reader 0" + std::u16string(1, u'0' + i);
      for (char16_t c : name) msz.insert(msz.end(), {uint8_t(c), uint8_t(c >> 8)});
      msz.insert(msz.end(), {0, 0});
    }
    msz.insert(msz.end(), {0, 0});
  }
  return {0, static_cast<uint32_t>(msz.size()), msz.data()};
}

void BM_TransmitCallEncode(benchmark::State& s) {
  RunEncode(s, TransmitCall(), Transmit_Call_Encode);
}
void BM_TransmitCallDecode(benchmark::State& s) {
  RunDecode(s, Encode(TransmitCall(), Transmit_Call_Encode), Transmit_Call_Decode,
            Transmit_Call_Free);
}
void BM_TransmitReturnEncode(benchmark::State& s) {
  RunEncode(s, TransmitReturn(), Transmit_Return_Encode);
}
void BM_TransmitReturnDecode(benchmark::State& s) {
  RunDecode(s, Encode(TransmitReturn(), Transmit_Return_Encode), Transmit_Return_Decode,
            Transmit_Return_Free);
}
void BM_GetStatusChangeWCallEncode(benchmark::State& s) {
  RunEncode(s, StatusChangeCall(), GetStatusChangeW_Call_Encode);
}
void BM_GetStatusChangeWCallDecode(benchmark::State& s) {
  RunDecode(s, Encode(StatusChangeCall(), GetStatusChangeW_Call_Encode),
            GetStatusChangeW_Call_Decode, GetStatusChangeW_Call_Free);
}
void BM_ListReadersReturnEncode(benchmark::State& s) {
  RunEncode(s, ListReaders(), ListReaders_Return_Encode);
}
void BM_ListReadersReturnDecode(benchmark::State& s) {
  RunDecode(s, Encode(ListReaders(), ListReaders_Return_Encode), ListReaders_Return_Decode,
            ListReaders_Return_Free);
}

BENCHMARK(BM_TransmitCallEncode);
BENCHMARK(BM_TransmitCallDecode);
BENCHMARK(BM_TransmitReturnEncode);
BENCHMARK(BM_TransmitReturnDecode);
BENCHMARK(BM_GetStatusChangeWCallEncode);
BENCHMARK(BM_GetStatusChangeWCallDecode);
BENCHMARK(BM_ListReadersReturnEncode);
BENCHMARK(BM_ListReadersReturnDecode);

}  // namespace
