// Decodes arbitrary bytes as one of the call records (the first byte picks
// which, the rest is the whole serialised buffer) and frees the result: the
// client's side of every request the plug-in sends. Built with libFuzzer by
// the fuzz build, and with replay_main.cc as a corpus replay test of the
// ordinary test run.
#include "fuzz/record_decode_fuzz.h"
#include "lib/log/log.h"

namespace {
constexpr fuzz_records::Decoder kCalls[] = {SCREDIR_RPC_CALL_RECORDS(SCREDIR_FUZZ_DECODER)};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The bounds messages of refused buffers are formatted, then dropped
  // (the trace fuzzer writes lines the whole way).
  static const bool quiet = [] {
    LogSetCaptureSink([](const char*) {});
    return true;
  }();
  (void)quiet;
  return fuzz_records::DecodeOne(data, size, kCalls);
}
