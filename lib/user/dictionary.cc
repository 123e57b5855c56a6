// Loading a configuration file into a dictionary and writing it back.
#include "lib/user/dictionary.h"

#include <fcntl.h>
#include <glib.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>

namespace dict {
namespace {

// Names whose entry sets the encoding of the values after it.
constexpr std::array<const char*, 5> kEncodingNames = {
    "config.encoding", "preferences.encoding", "vmlist.encoding", "snapshot.encoding", ".encoding"};

bool IsEncodingName(const std::string& name) {
  for (const char* n : kEncodingNames) {
    if (strcasecmp(name.c_str(), n) == 0) return true;
  }
  return false;
}

bool IsAscii(std::string_view s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// How the values that follow are decoded. Files are taken in the platform
// encoding unless a metavariable says otherwise; UTF-8 is validated, any
// other named encoding is converted to UTF-8 through GLib's iconv.
class ValueDecoder {
 public:
  // False when the encoding is not one this system can convert.
  bool Select(const std::string& encoding) {
    const char* platform = nullptr;
    bool platformIsUtf8 = g_get_charset(&platform);
    if (strcasecmp(encoding.c_str(), "UTF-8") == 0 || strcasecmp(encoding.c_str(), "UTF8") == 0) {
      mode_ = Mode::kUtf8;
    } else if (!platformIsUtf8 && strcasecmp(encoding.c_str(), platform) == 0) {
      mode_ = Mode::kPlatform;
    } else {
      GIConv cd = g_iconv_open("UTF-8", encoding.c_str());
      if (cd == reinterpret_cast<GIConv>(-1)) return false;
      g_iconv_close(cd);
      mode_ = Mode::kOther;
    }
    name_ = encoding;
    return true;
  }

  bool Decode(const std::string& in, std::string& out) const {
    switch (mode_) {
      case Mode::kPlatform:
        out = in;
        return true;
      case Mode::kUtf8:
        out = in;
        return g_utf8_validate(in.data(), static_cast<gssize>(in.size()), nullptr);
      case Mode::kOther:
        break;
    }
    gsize written = 0;
    GError* err = nullptr;
    std::unique_ptr<gchar, decltype(&g_free)> conv(
        g_convert(in.data(), static_cast<gssize>(in.size()), "UTF-8", name_.c_str(), nullptr,
                  &written, &err),
        g_free);
    if (err) g_error_free(err);
    if (!conv) return false;
    out.assign(conv.get(), written);
    return true;
  }

  // The inverse of Decode for writing. Characters the file's encoding
  // cannot hold become "?" rather than failing the whole write.
  std::string Encode(const std::string& utf8) const {
    if (mode_ != Mode::kOther) return utf8;
    gsize written = 0;
    std::unique_ptr<gchar, decltype(&g_free)> conv(
        g_convert_with_fallback(utf8.data(), static_cast<gssize>(utf8.size()), name_.c_str(),
                                "UTF-8", "?", nullptr, &written, nullptr),
        g_free);
    return conv ? std::string(conv.get(), written) : utf8;
  }

  const std::string& name() const { return name_; }

 private:
  enum class Mode { kPlatform, kUtf8, kOther };
  Mode mode_ = Mode::kPlatform;
  std::string name_ = "the platform encoding";
};

void Say(const MessageFn& report, const std::string& text) {
  if (report) report(text);
}

// Closes a descriptor the loader opened (never standard input).
struct FdCloser {
  int fd = -1;
  ~FdCloser() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace

void Dictionary::Clear() {
  items_.clear();
  index_.clear();
}

Entry* Dictionary::Find(std::string_view name) {
  auto it = index_.find(name);
  return it == index_.end() ? nullptr : &items_[it->second].entry;
}

const Entry* Dictionary::Find(std::string_view name) const {
  auto it = index_.find(name);
  return it == index_.end() ? nullptr : &items_[it->second].entry;
}

Entry& Dictionary::Set(std::string_view name, Value value, bool fromDefault, bool untyped) {
  auto it = index_.find(name);
  if (it == index_.end()) {
    it = index_.emplace(std::string(name), items_.size()).first;
    items_.emplace_back();
    items_.back().isEntry = true;
    items_.back().entry.name.assign(name);
  }
  Entry& e = items_[it->second].entry;
  e.value = std::move(value);
  e.fromDefault = fromDefault;
  e.untyped = untyped;
  return e;
}

bool Dictionary::Remove(std::string_view name) {
  auto it = index_.find(name);
  if (it == index_.end()) return false;
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(it->second));
  index_.clear();
  for (size_t i = 0; i < items_.size(); ++i) {
    if (items_[i].isEntry) index_.emplace(items_[i].entry.name, i);
  }
  return true;
}

std::vector<const Entry*> Dictionary::Entries() const {
  std::vector<const Entry*> out;
  for (const Item& item : items_) {
    if (item.isEntry) out.push_back(&item.entry);
  }
  return out;
}

void Dictionary::AddLine(std::string_view line, std::string_view encoding) {
  items_.emplace_back();
  items_.back().line.assign(line);
  items_.back().encoding.assign(encoding);
}

bool Dictionary::Load(const std::string& path, const MessageFn& report,
                      const LoadOptions& options) {
  FdCloser owned;
  int fd = STDIN_FILENO;
  if (path != "-") {
    // Non-blocking so a FIFO without a writer reads as empty instead of
    // stalling the whole process at start; regular files ignore the flag.
    owned.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (owned.fd < 0) {
      if (!(options.quietIfMissing && errno == ENOENT)) {
        Say(report, StrPrintf("Cannot open file \"%s\": %s.\n", path.c_str(), strerror(errno)));
      }
      return false;
    }
    fd = owned.fd;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    Say(report, StrPrintf("Unable to get information about file \"%s\": %s.\n", path.c_str(),
                          strerror(errno)));
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    Say(report, StrPrintf("\"%s\" is a directory.\n", path.c_str()));
    return false;
  }
  return LoadFrom([fd](void* buf, size_t len) { return read(fd, buf, len); }, path, report,
                  options);
}

// What one load carries from line to line.
struct Dictionary::LoadState {
  LoadState(const MessageFn& r, const char* l, const char* f) : report(r), label(l), file(f) {}

  const MessageFn& report;
  const char* label;
  const char* file;
  int lineNo = 0;
  int duplicates = 0;
  ValueDecoder decoder;

  void Say(const std::string& text) const { dict::Say(report, text); }
};

bool Dictionary::LoadFrom(ReadFn read, const std::string& fileName, const MessageFn& report,
                          const LoadOptions& options) {
  Clear();
  LoadState st(report, options.label.c_str(), fileName.c_str());
  LineReader reader(std::move(read));
  std::string line;
  for (;;) {
    LineReader::Result r = reader.Next(line);
    if (r == LineReader::Result::kEnd) break;
    if (r == LineReader::Result::kError) {
      st.Say(
          StrPrintf("%s: error reading line %d: %s.\n", st.file, st.lineNo + 1, strerror(errno)));
      return false;
    }
    ++st.lineNo;
    ParsedLine parsed = ParseLine(line);
    if (parsed.kind == LineKind::kUninterpreted) {
      AddLine(line);
    } else if (parsed.kind == LineKind::kSyntaxError) {
      st.Say(StrPrintf("%s: syntax error with line, \"%s\".\n", st.file, line.c_str()));
      return false;
    } else if (!LoadEntry(parsed, line, st)) {
      return false;
    }
  }
  return st.duplicates == 0;
}

bool Dictionary::LoadEntry(const ParsedLine& parsed, const std::string& line, LoadState& st) {
  std::string name(parsed.name);
  std::string value = UnescapeValue(parsed.rawValue);
  if (IsEncodingName(name)) {
    if (!st.decoder.Select(value)) {
      st.Say(StrPrintf("%s: \"%s\" line %d: unknown encoding \"%s\".\n", st.label, st.file,
                       st.lineNo, value.c_str()));
      return false;
    }
    AddLine(line, value);
    return true;
  }
  if (name[0] == '.') {
    st.Say(StrPrintf("%s: \"%s\" line %d: unrecognized metavariable \"%s\"\n", st.label, st.file,
                     st.lineNo, name.c_str()));
    AddLine(line);
    return true;
  }
  if (!IsAscii(name)) {
    st.Say(StrPrintf("%s: \"%s\" line %d: variable name \"%s\" is not valid ASCII.\n", st.label,
                     st.file, st.lineNo, name.c_str()));
    return false;
  }
  if (Find(name)) {
    // The first value stays; the repeat is kept as read and fails the load
    // at the end, or at once when there are too many.
    if (++st.duplicates > kMaxDuplicates) {
      st.Say(StrPrintf("%s: \"%s\" line %d: too many duplicate entries in dictionary, quitting.\n",
                       st.label, st.file, st.lineNo));
      return false;
    }
    st.Say(StrPrintf("%s: \"%s\" line %d: variable \"%s\" is already defined.\n", st.label, st.file,
                     st.lineNo, name.c_str()));
    AddLine(line);
    return true;
  }
  std::string decoded;
  if (!st.decoder.Decode(value, decoded)) {
    st.Say(StrPrintf("%s: \"%s\" line %d: value of \"%s\" is not valid %s.\n", st.label, st.file,
                     st.lineNo, name.c_str(), st.decoder.name().c_str()));
    return false;
  }
  Set(name, Value::String(decoded), false, true);
  return true;
}

std::string Dictionary::Serialize() const {
  std::string out;
  ValueDecoder codec;
  for (const Item& item : items_) {
    if (!item.isEntry) {
      out += item.line;
      out += '\n';
      // Loading accepted this encoding, so selecting it again succeeds.
      if (!item.encoding.empty()) (void)codec.Select(item.encoding);
    } else if (!item.entry.fromDefault) {
      out += FormatLine(item.entry.name, codec.Encode(ValueText(item.entry.value)));
    }
  }
  return out;
}

bool Dictionary::Save(const std::string& path, const MessageFn& report) const {
  std::string text = Serialize();
  GError* err = nullptr;
  if (!g_file_set_contents(path.c_str(), text.data(), static_cast<gssize>(text.size()), &err)) {
    Say(report, StrPrintf("Cannot write file \"%s\": %s.\n", path.c_str(),
                          err ? err->message : "unknown error"));
    if (err) g_error_free(err);
    return false;
  }
  return true;
}

}  // namespace dict
