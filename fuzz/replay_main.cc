// Replays a fuzz corpus as an ordinary program, so that the plain and
// sanitizer test runs put every seed through the fuzzer's own checks.
//
// Usage: build this file together with ONE fuzzer source (the file that
// defines LLVMFuzzerTestOneInput) in place of libFuzzer, and register it as a
// test. The corpus directory comes from the command line or, when none is
// given, from the compile definition SCREDIR_REPLAY_CORPUS:
//   add_executable(frame_corpus_replay ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cc
//                  ${PROJECT_SOURCE_DIR}/fuzz/frame_fuzzer.cc)
//   target_include_directories(frame_corpus_replay PRIVATE ${PROJECT_SOURCE_DIR})
//   target_link_libraries(frame_corpus_replay PRIVATE <the fuzzer's libraries>)
//   add_test(NAME frame_corpus_replay
//            COMMAND frame_corpus_replay ${PROJECT_SOURCE_DIR}/fuzz/corpus/frame)
// Every regular file is fed once, in name order, from an exact-size heap copy
// (ASan sees any read past the input). A fuzzer check that abort()s fails the
// test; so does a corpus with no file at all, which means a broken setup.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

size_t ReplayFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto copy = std::make_unique<uint8_t[]>(bytes.size() ? bytes.size() : 1);
  if (!bytes.empty()) std::memcpy(copy.get(), bytes.data(), bytes.size());
  LLVMFuzzerTestOneInput(copy.get(), bytes.size());
  return 1;
}

size_t ReplayDirectory(const char* directory) {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(directory))
    if (entry.is_regular_file()) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  size_t replayed = 0;
  for (const auto& file : files) replayed += ReplayFile(file);
  return replayed;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<const char*> directories(argv + 1, argv + argc);
#ifdef SCREDIR_REPLAY_CORPUS
  if (directories.empty()) directories.push_back(SCREDIR_REPLAY_CORPUS);
#endif
  size_t replayed = 0;
  for (const char* directory : directories) replayed += ReplayDirectory(directory);
  std::printf("replayed %zu inputs\n", replayed);
  return replayed > 0 ? 0 : 1;
}
