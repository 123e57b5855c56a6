// Cost of one info line with the full prefix (time stamp with milliseconds,
// level designator, thread name, operation id), formatted, masked, passed
// through the throttle and ring and handed to write(2). The write seam
// swallows the bytes so the figure is the facility's own work, not the disk.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "lib/log/log.h"

namespace {

ssize_t Swallow(int, const void*, size_t size) {
  return static_cast<ssize_t>(size);
}

class LogFile {
 public:
  explicit LogFile(bool swallow) {
    char tmpl[] = "/tmp/logbench-XXXXXX";
    if (mkdtemp(tmpl)) dir_ = tmpl;
    if (swallow) {
      LogSeams seams;
      seams.write = Swallow;
      LogSetSeams(&seams);
    }
    LogParams params = {{"log.fileName", dir_ + "/bench.log"},
                        {"log.useOpID", "1"},
                        {"log.throttleBytesPerSec", "0"},
                        {"log.rotateSize", "10000000"},
                        {"log.keepOld", "1"}};
    LogSetThreadName("bench");
    LogSetOperationId("op-1");
    ok_ = LogOpenFileOutput("QRNScRedir", params, nullptr, false) != nullptr;
  }
  ~LogFile() {
    LogShutdown();
    LogSetSeams(nullptr);
    std::filesystem::remove_all(dir_);
  }
  bool ok() const { return ok_; }

 private:
  std::string dir_;
  bool ok_ = false;
};

void BM_InfoLineFullPrefix(benchmark::State& state) {
  LogFile file(true);
  if (!file.ok()) return state.SkipWithError("no log file");
  uint32_t n = 0;
  for (auto _ : state)
    Log("SCQRN: INFO | 4711|: SCardTransmit completion id=%u status=0x%08x\n", n++, 0u);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InfoLineFullPrefix);

// The same line written to a real file (rotating at 10 MB), for scale.
void BM_InfoLineToFile(benchmark::State& state) {
  LogFile file(false);
  if (!file.ok()) return state.SkipWithError("no log file");
  uint32_t n = 0;
  for (auto _ : state)
    Log("SCQRN: INFO | 4711|: SCardTransmit completion id=%u status=0x%08x\n", n++, 0u);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InfoLineToFile);

// A message too long for the small buffer takes the shared large one.
void BM_LongLine(benchmark::State& state) {
  LogFile file(true);
  if (!file.ok()) return state.SkipWithError("no log file");
  std::string text(2000, 'x');
  for (auto _ : state) Log("%s", text.c_str());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_LongLine);

}  // namespace
