// Fuzzes the configuration file reader: any bytes must load without a crash
// or an out-of-bounds read, and a file that loads cleanly must come back
// unchanged after being written and read again. Built with libFuzzer by the
// fuzz build, and with replay_main.cc as the corpus replay test.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "lib/user/dictionary.h"

namespace {

dict::ReadFn MemorySource(std::string_view bytes) {
  return [bytes, pos = size_t{0}](void* buf, size_t len) mutable -> ssize_t {
    size_t n = std::min(len, bytes.size() - pos);
    if (n) std::memcpy(buf, bytes.data() + pos, n);
    pos += n;
    return static_cast<ssize_t>(n);
  };
}

// Files that switch encodings convert on the way in and out; iconv's round
// trip is not ours to check, so such inputs skip the comparison.
bool MentionsEncoding(std::string_view in) {
  std::string lower(in);
  for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return lower.find("encoding") != std::string::npos;
}

bool SameEntries(const dict::Dictionary& a, const dict::Dictionary& b) {
  auto ea = a.Entries();
  auto eb = b.Entries();
  if (ea.size() != eb.size()) return false;
  for (size_t i = 0; i < ea.size(); ++i) {
    if (ea[i]->name != eb[i]->name || !(ea[i]->value == eb[i]->value)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  dict::Dictionary d;
  size_t messages = 0;
  dict::MessageFn count = [&](const std::string&) { ++messages; };
  bool ok = d.LoadFrom(MemorySource(in), "fuzz", count, {});
  if (!ok && messages == 0) abort();  // every failure says why
  if (ok && !MentionsEncoding(in)) {
    std::string text = d.Serialize();
    dict::Dictionary again;
    if (!again.LoadFrom(MemorySource(text), "again", {}, {})) abort();
    if (!SameEntries(d, again) || again.Serialize() != text) abort();
  }
  // Typed lookups of whatever was read.
  for (const dict::Entry* e : d.Entries()) {
    for (int t = 1; t <= 6; ++t) {
      dict::Entry copy = *e;
      (void)copy.Get(static_cast<dict::ValueType>(t), dict::Value::Int32(0), {});
    }
  }
  return 0;
}
