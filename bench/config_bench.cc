// Cost of a configuration lookup and of loading a configuration file.
#include <benchmark/benchmark.h>
#include <glib.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "lib/config/config.h"
#include "lib/user/dictionary.h"

namespace {

std::string SampleFile(int entries) {
  std::string text = "# generated\n";
  for (int i = 0; i < entries; ++i) {
    text += "QRN.Bench.key" + std::to_string(i) + " = \"value " + std::to_string(i) +
            " with |22quotes|22\"  # comment\n";
  }
  return text;
}

void BM_LoadFile(benchmark::State& state) {
  const std::string text = SampleFile(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    size_t pos = 0;
    dict::Dictionary d;
    bool ok = d.LoadFrom(
        [&](void* buf, size_t len) -> ssize_t {
          size_t n = std::min(len, text.size() - pos);
          std::memcpy(buf, text.data() + pos, n);
          pos += n;
          return static_cast<ssize_t>(n);
        },
        "bench", {}, {});
    benchmark::DoNotOptimize(ok);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_LoadFile)->Arg(100)->Arg(10000);

// A store whose last layer holds the keys, so every lookup walks all six.
void BM_LookupThroughAllLayers(benchmark::State& state) {
  std::string dir = (std::filesystem::temp_directory_path() / "scredir-bench-XXXXXX").string();
  if (!mkdtemp(dir.data())) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  std::filesystem::create_directories(dir + "/lib");
  std::ofstream(dir + "/lib/config") << SampleFile(1000) << "QRN.Bench.n = 0x40\n";
  ConfigStoreOptions options;
  options.hostDir = dir + "/etc";
  options.defaultLibDir = dir + "/lib";
  options.homeDir = dir + "/home";
  ConfigSetMessageSink([](const char*) {});
  ConfigStoreResetForTest();
  ConfigStoreInitWith(options);
  for (auto _ : state) {
    benchmark::DoNotOptimize(ConfigGetInt(0, "QRN.Bench.%s", "n"));
    char* s = ConfigGetString(nullptr, "QRN.Bench.key%d", 500);
    benchmark::DoNotOptimize(s);
    g_free(s);
  }
  ConfigStoreResetForTest();
  ConfigSetMessageSink(nullptr);
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_LookupThroughAllLayers);

}  // namespace
