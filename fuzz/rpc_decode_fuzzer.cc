// Decodes arbitrary bytes as one of the return records (the first byte picks
// which) and frees the result. Built with libFuzzer by the fuzz build, and
// with replay_main.cc as the corpus replay test of the ordinary test run.
// Long_Return and Reconnect_Return own nothing; their Free is still called
// so that every path the agent takes is covered.
#include "fuzz/record_decode_fuzz.h"

namespace {
constexpr fuzz_records::Decoder kReturns[] = {SCREDIR_RPC_RETURN_RECORDS(SCREDIR_FUZZ_DECODER)};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzz_records::DecodeOne(data, size, kReturns);
}
