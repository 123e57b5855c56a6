// File side of the log facility: choosing and opening the file, its header,
// purge of old logs, rotation by size, throttling of floods and accounting
// of failed writes. One lock ("logLock") guards the output and every write,
// so lines never interleave; nothing outside this file is called under it
// except the system calls behind LogSeams.
#include <fcntl.h>
#include <glib.h>
#include <langinfo.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>

#include "lib/config/config.h"
#include "lib/file/file_io.h"
#include "lib/log/log.h"
#include "lib/log/log_internal.h"
#include "lib/log/log_mutex.h"

namespace {

constexpr const char kSystemDir[] = "/var/log/nimbrel";
constexpr size_t kRingBytes = 65536;
constexpr int64_t kWindowOpenUs = 5 * 1000000LL;
constexpr int64_t kWindowThrottledUs = 60 * 1000000LL;

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  char* text = nullptr;
  int n = vasprintf(&text, format, ap);
  va_end(ap);
  std::string out = n >= 0 ? std::string(text, static_cast<size_t>(n)) : std::string();
  free(text);
  return out;
}

// Recent lines, oldest first. The lines not yet written (held back while
// throttled) are always the newest ones, so a count of them is all the
// marking the ring needs.
struct LineRing {
  std::deque<std::string> lines;
  size_t bytes = 0;
  size_t unwritten = 0;

  void Push(std::string line) {
    while (!lines.empty() && bytes + line.size() > kRingBytes) {
      bytes -= lines.front().size();
      lines.pop_front();
    }
    // Counted only once stored: a failed allocation leaves the ring as it was.
    const size_t size = line.size();
    lines.push_back(std::move(line));
    bytes += size;
    unwritten = std::min(unwritten + 1, lines.size());
  }
};

struct Product {
  std::string name = "unknown", version = "unknown", build = "unknown", buildType = "unknown";
};

}  // namespace

struct LogFileOutput {
  std::string name = "file";
  std::string appPrefix;
  std::string fileName;
  std::string dir;
  // The directory holding the file, its path and the file's name in it. The
  // descriptor is held so that every open, rename and removal happens in the
  // directory that was checked, whatever its path names later; -1 until
  // opened, and after the directory vanished.
  int dirFd = -1;
  std::string dirPath;
  std::string baseName;
  // The directory is a log area (per-user or system) and passes the safe
  // directory check each time it is opened.
  bool checkedDir = false;
  mode_t dirMode = 0700;
  bool defaultName = false;
  // Only a regular file is ever renamed: a name such as /dev/null must
  // never be rotated away.
  bool regular = false;
  LogSettings settings;
  LogPrefixFlags prefix;
  int fd = -1;
  uint64_t bytesWritten = 0;
  uint64_t bytesDiscarded = 0;
  // Throttle state.
  bool throttled = false;
  uint64_t bytesCounted = 0;
  int64_t lastMeasureUs = 0;
  uint64_t lastMeasureBytes = 0;
  LineRing ring;

  ~LogFileOutput() {
    if (fd >= 0) close(fd);
    if (dirFd >= 0) close(dirFd);
  }
};

namespace {

struct LogState {
  LogMutex logLock;
  std::unique_ptr<LogFileOutput> output LOG_GUARDED_BY(logLock);
  Product product LOG_GUARDED_BY(logLock);
  LogSeams seams LOG_GUARDED_BY(logLock);
  // The line being dispatched, reused so that a line that needs no keeping
  // costs no allocation once the buffer has grown.
  std::string scratch LOG_GUARDED_BY(logLock);
};

// Never destroyed: threads may still log while the process exits.
LogState& State() {
  static LogState* state = new LogState;
  return *state;
}

int64_t Now(LogState& s) LOG_REQUIRES(s.logLock) {
  return s.seams.nowMicros ? s.seams.nowMicros() : LogNowMicrosReal();
}

// Writes all of `data`; returns how many bytes made it.
size_t WriteAll(LogState& s, int fd, const char* data, size_t size) LOG_REQUIRES(s.logLock) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = s.seams.write ? s.seams.write(fd, data + done, size - done)
                              : write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

// The prefix, the text and one newline. The text is masked and its control
// bytes escaped (a final newline is the line's own end and stays), so one
// message is always exactly one line; the prefix is never changed.
void BuildLine(LogState& s, const LogPrefixFlags& flags, int level, std::string_view text,
               bool mark, std::string& line) LOG_REQUIRES(s.logLock) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  line.clear();
  line.reserve(text.size() + 64);
  LogAppendPrefix(line, flags, level, mark, Now(s));
  size_t textStart = line.size();
  line.append(text);
  LogMaskWord(line, textStart);
  LogEscapeControls(line, textStart);
  line += '\n';
}

std::string PrefixedLine(LogState& s, const LogPrefixFlags& flags, int level, std::string_view text,
                         bool mark) LOG_REQUIRES(s.logLock) {
  std::string line;
  BuildLine(s, flags, level, text, mark, line);
  return line;
}

// Lines that have nowhere else to go (no file output, or the file itself
// is failing) are written to standard error.
void WriteStderr(LogState& s, std::string_view text) LOG_REQUIRES(s.logLock) {
  std::string line = PrefixedLine(s, LogPrefixFlags{}, 5, text, false);
  WriteAll(s, STDERR_FILENO, line.data(), line.size());
}

// (Re)opens the directory of the file; a log area is checked again, and is
// never created here: only the start makes it.
bool OpenDir(LogFileOutput& o) {
  if (o.dirFd >= 0) close(o.dirFd);
  o.dirFd = o.checkedDir ? FileOpenSafeDir(o.dirPath, geteuid(), false, o.dirMode)
                         : open(o.dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return o.dirFd >= 0;
}

// Opens the file inside its directory; the name itself is never followed
// as a link, so a link planted under it cannot make us write, or truncate,
// another file. -1 with errno set on failure.
int OpenFile(LogFileOutput& o, bool truncate) {
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW;
  flags |= truncate ? O_TRUNC : O_APPEND;
  mode_t mode = static_cast<mode_t>(o.settings.permissions) & 07777;
  int fd = o.dirFd >= 0 ? openat(o.dirFd, o.baseName.c_str(), flags, mode) : -1;
  // A directory removed since (or never opened) is looked up again by path.
  if (fd < 0 && (o.dirFd < 0 || errno == ENOENT) && OpenDir(o))
    fd = openat(o.dirFd, o.baseName.c_str(), flags, mode);
  if (fd < 0) return -1;
  struct stat st;
  // The umask must not weaken or widen what the configuration asked for;
  // devices and other people's files keep their modes.
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid()) fchmod(fd, mode);
  return fd;
}

bool WriteToFile(LogState& s, LogFileOutput& o, const std::string& line) LOG_REQUIRES(s.logLock) {
  size_t done = o.fd >= 0 ? WriteAll(s, o.fd, line.data(), line.size()) : 0;
  o.bytesWritten += done;
  if (done < line.size()) o.bytesDiscarded += line.size() - done;
  if (done > 0 && o.settings.syncAfterWrite) fsync(o.fd);
  return done == line.size();
}

std::string HostDescription() {
  struct utsname u;
  if (uname(&u) != 0) return "unknown";
  return Printf("%s %s %s %s", u.sysname, u.release, u.version, u.machine);
}

std::string UtcOffset(int64_t nowUs) {
  time_t secs = static_cast<time_t>(nowUs / 1000000);
  struct tm tm;
  localtime_r(&secs, &tm);
  long off = tm.tm_gmtoff;
  long minutes = (off < 0 ? -off : off) % 3600 / 60;
  return Printf("Host offset from UTC is %+03ld:%02ld.\n", off / 3600, minutes);
}

bool WriteHeader(LogState& s, LogFileOutput& o) LOG_REQUIRES(s.logLock) {
  const char* codeset = nl_langinfo(CODESET);
  const char* locale = setlocale(LC_CTYPE, nullptr);
  int64_t now = Now(s);
  std::vector<std::string> lines = {
      Printf("Log for %s pid=%d version=%s build=%s option=%s\n", s.product.name.c_str(),
             static_cast<int>(getpid()), s.product.version.c_str(), s.product.build.c_str(),
             s.product.buildType.c_str()),
      Printf("The host is %s.\n", sizeof(void*) == 8 ? "x86_64" : "x86"),
      // The file is written as the bytes the callers give; UTF-8 in practice.
      Printf("Host codepage=%s encoding=%s\n", codeset && *codeset ? codeset : "unknown",
             locale && *locale ? locale : "C"),
  };
  if (!o.prefix.timeStamps) {
    lines.push_back(Printf(
        "Log creation time is %s%s%s\n", LogFormatUtc(now).c_str(),
        o.prefix.milliseconds ? Printf(".%03d", static_cast<int>(now / 1000 % 1000)).c_str() : "",
        "Z"));
  }
  lines.push_back("Host is " + HostDescription() + "\n");
  lines.push_back(UtcOffset(now));
  bool complete = true;
  for (const std::string& text : lines) {
    if (!WriteToFile(s, o, PrefixedLine(s, o.prefix, 5, text, false))) complete = false;
  }
  if (!complete) WriteStderr(s, Printf("Unable to label log file '%s'\n", o.fileName.c_str()));
  return complete;
}

// Writes a line that survived throttling: rotation first when due, then the
// news of bytes lost earlier, then the line.
void EmitLine(LogState& s, LogFileOutput& o, const std::string& line) LOG_REQUIRES(s.logLock);

void Rotate(LogState& s, LogFileOutput& o) LOG_REQUIRES(s.logLock) {
  int64_t start = Now(s);
  if (o.fd >= 0) close(o.fd);
  o.fd = -1;
  int keepOld = o.settings.keepOld;
  if (keepOld != 0) {
    int err = o.dirFd < 0               ? ENOENT
              : o.settings.fastRotation ? FileRotateFast(o.dirFd, o.baseName, keepOld)
                                        : FileRotateSlow(o.dirFd, o.baseName, keepOld);
    if (err != 0)
      WriteStderr(
          s, Printf("Unable to rotate log file '%s': %s\n", o.fileName.c_str(), strerror(err)));
  }
  o.bytesWritten = 0;
  o.fd = OpenFile(o, true);
  if (o.fd < 0) {
    WriteStderr(s,
                Printf("Unable to open log file '%s': %s\n", o.fileName.c_str(), strerror(errno)));
    return;
  }
  WriteHeader(s, o);
  double took = static_cast<double>(Now(s) - start) / 1e6;
  EmitLine(s, o,
           PrefixedLine(s, o.prefix, 5,
                        Printf("%s: Rotating to a new log file (keepOld %d) took %f seconds.\n",
                               o.appPrefix.c_str(), keepOld, took),
                        false));
}

void EmitLine(LogState& s, LogFileOutput& o, const std::string& line) {
  if (o.regular && o.settings.rotateSize > 0 &&
      o.bytesWritten > static_cast<uint64_t>(o.settings.rotateSize))
    Rotate(s, o);
  if (o.fd < 0) {
    // The file vanished or could not be reopened: try again, so logging
    // resumes once the directory is usable.
    o.fd = OpenFile(o, !o.settings.append);
    if (o.fd >= 0) WriteHeader(s, o);
  }
  if (o.bytesDiscarded > 0 && o.fd >= 0) {
    uint64_t lost = o.bytesDiscarded;
    o.bytesDiscarded = 0;
    std::string notice =
        PrefixedLine(s, o.prefix, 5,
                     Printf(">>> Error writing log, %lu bytes discarded. Disk full?\n",
                            static_cast<unsigned long>(lost)),
                     false);
    size_t done = WriteAll(s, o.fd, notice.data(), notice.size());
    o.bytesWritten += done;
    // Our own notice is not counted as lost; the next good line retries it.
    if (done < notice.size()) o.bytesDiscarded = lost;
  }
  WriteToFile(s, o, line);
}

// Decides whether the output is throttled after counting `size` more bytes.
bool UpdateThrottle(LogState& s, LogFileOutput& o, size_t size) LOG_REQUIRES(s.logLock) {
  o.bytesCounted += size;
  int32_t limit = o.settings.throttleBytesPerSec;
  if (limit == 0 || limit == -1) return o.throttled = false;
  if (o.bytesCounted < static_cast<uint64_t>(o.settings.throttleThreshold))
    return o.throttled = false;
  if (o.settings.noLogAfterThreshold) return o.throttled = true;
  int64_t now = Now(s);
  int64_t window = o.throttled ? kWindowThrottledUs : kWindowOpenUs;
  int64_t elapsed = now - o.lastMeasureUs;
  if (elapsed > window) {
    unsigned __int128 rate = static_cast<unsigned __int128>(o.bytesCounted - o.lastMeasureBytes) *
                             1000000u / static_cast<uint64_t>(elapsed);
    o.throttled = rate > static_cast<unsigned __int128>(limit);
    o.lastMeasureUs = now;
    o.lastMeasureBytes = o.bytesCounted;
  }
  return o.throttled;
}

void SubmitToFile(LogState& s, LogFileOutput& o, const std::string& line) LOG_REQUIRES(s.logLock) {
  const int32_t limit = o.settings.throttleBytesPerSec;
  if (limit == 0 || limit == -1) {
    // Never throttled: no line is ever held back, so none needs keeping.
    o.bytesCounted += line.size();
    EmitLine(s, o, line);
    return;
  }
  bool was = o.throttled;
  bool now = UpdateThrottle(s, o, line.size());
  o.ring.Push(line);
  if (now) {
    if (!was)
      EmitLine(
          s, o,
          PrefixedLine(s, o.prefix, 5, Printf("<<< %s Throttled >>>\n", o.name.c_str()), false));
    return;
  }
  // Normally only the current line is pending; after a throttled spell the
  // lines held back come first, in order.
  size_t first = o.ring.lines.size() - o.ring.unwritten;
  for (size_t i = first; i < o.ring.lines.size(); ++i) EmitLine(s, o, o.ring.lines[i]);
  o.ring.unwritten = 0;
}

std::string UserName() {
  struct passwd pw;
  struct passwd* found = nullptr;
  char buf[4096];
  if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &found) == 0 && found && pw.pw_name &&
      *pw.pw_name)
    return pw.pw_name;
  return Printf("uid_%u", static_cast<unsigned>(geteuid()));
}

std::string HomeDir() {
  const char* home = getenv("HOME");
  if (home && *home) return home;
  struct passwd pw;
  struct passwd* found = nullptr;
  char buf[4096];
  if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &found) == 0 && found && pw.pw_dir)
    return pw.pw_dir;
  return {};
}

std::string ProcessId() {
  const char* env = getenv("PID");
  return env && *env ? std::string(env) : std::to_string(getpid());
}

// Environment lookup for names: "$PID" is the process id unless the
// environment says otherwise.
const char* LookupVariable(const char* name) {
  if (const char* v = getenv(name)) return v;
  if (std::strcmp(name, "PID") == 0) {
    static thread_local std::string pid;
    pid = std::to_string(getpid());
    return pid.c_str();
  }
  return nullptr;
}

std::string SafeTempDir() {
  const char* tmp = getenv("TMPDIR");
  std::string base = tmp && *tmp ? tmp : "/tmp";
  return base + "/nimbrel-" + UserName();
}

// Works out the file name (and the log directory when one is needed).
// Returns false, with the reason in `notes`, when there can be no log.
bool ChooseFile(LogFileOutput& o, const LogVarSource& src, const char* systemDir,
                std::vector<std::string>& notes) {
  std::string explicitName;
  std::string configKey = LogVarString(src, "log.config", "");
  if (src.config && !configKey.empty()) {
    char* v = src.config->getString(nullptr, "%s", configKey.c_str());
    if (v) explicitName = v;
    g_free(v);
  }
  if (explicitName.empty()) explicitName = o.settings.fileName;

  std::optional<std::string> expanded;
  if (!explicitName.empty()) {
    std::string home = HomeDir();
    expanded = FileExpandPath(explicitName, home.c_str(), LookupVariable);
    if (!expanded || expanded->empty()) {
      notes.push_back(Printf("Log file name '%s' cannot be expanded; using the default name.\n",
                             explicitName.c_str()));
      expanded.reset();
    }
  }
  bool needDir = !expanded || (*expanded)[0] != '/';
  if (needDir) {
    // Both log areas pass the same check: a real directory of ours that
    // nobody else can write to.
    o.dir = o.settings.systemAreaTemp ? std::string(systemDir) : SafeTempDir();
    o.dirMode = o.settings.systemAreaTemp ? 0755 : 0700;
    // Held by the output from here on, so it is closed whatever happens.
    o.dirFd = FileOpenSafeDir(o.dir, geteuid(), true, o.dirMode);
    if (o.dirFd < 0) {
      notes.push_back(Printf("Safe logging area '%s' validation failed!\n", o.dir.c_str()));
      return false;
    }
  }
  if (expanded) {
    o.fileName = (*expanded)[0] == '/' ? *expanded : o.dir + "/" + *expanded;
  } else {
    o.defaultName = true;
    std::string stem = o.settings.suffix.empty() ? "pallwin" : "pallwin-" + o.settings.suffix;
    o.fileName = o.dir + "/" + stem + "-" + ProcessId() + ".log";
  }
  FilePathParts parts = FileSplitPath(o.fileName);
  o.dirPath = parts.dir;
  o.baseName = parts.stem + parts.ext;
  // A name placed in the area keeps the descriptor that was checked; any
  // other directory (an explicit path) is opened when the file is.
  o.checkedDir = needDir && o.dirPath == o.dir;
  if (!o.checkedDir && o.dirFd >= 0) {
    close(o.dirFd);
    o.dirFd = -1;
  }
  return true;
}

void ApplySettings(LogFileOutput& o) {
  o.prefix.timeStamps = o.settings.useTimeStamps;
  o.prefix.milliseconds = o.settings.useMilliseconds;
  o.prefix.levelDesignator = o.settings.useLevelDesignator;
  o.prefix.threadName = o.settings.useThreadName;
  o.prefix.opId = o.settings.useOpId;
}

void LogNote(const std::string& text) {
  Log("%s", text.c_str());
}

}  // namespace

void LogDispatch(int level, std::string_view message, bool truncated, bool captured) {
  if (LogLevelName(level) == nullptr) return;  // no such level: nothing to write
  LogState& s = State();
  LogLockGuard guard(s.logLock);
  LogFileOutput* o = s.output.get();
  if (o == nullptr) {
    // Without a file, standard error carries the lines, unless a test has
    // taken them with a capture sink.
    if (captured) return;
    std::string line = PrefixedLine(s, LogPrefixFlags{}, level, message, truncated);
    WriteAll(s, STDERR_FILENO, line.data(), line.size());
    return;
  }
  if (level > o->settings.fileLevel && level > o->settings.stderrLevel) return;
  // The scratch line is only ever built here; the lines a write may add
  // (rotation, throttling, discarded bytes) are strings of their own.
  std::string& line = s.scratch;
  BuildLine(s, o->prefix, level, message, truncated, line);
  if (level <= o->settings.stderrLevel) WriteAll(s, STDERR_FILENO, line.data(), line.size());
  if (level <= o->settings.fileLevel) SubmitToFile(s, *o, line);
}

void LogRegisterProduct(const char* name, const char* version, const char* build,
                        const char* buildType) noexcept {
  try {
    auto pick = [](const char* v) { return std::string(v && *v ? v : "unknown"); };
    Product product{pick(name), pick(version), pick(build), pick(buildType)};
    LogState& s = State();
    LogLockGuard guard(s.logLock);
    s.product = std::move(product);
  } catch (...) {
    // Out of memory: the header keeps the banner it had.
  }
}

namespace {

LogFileOutput* OpenFileOutput(const char* appPrefix, const LogParams& params,
                              const ConfigAccessor* config, bool purgeOld) {
  std::vector<std::string> notes;
  LogVarSource src{&params, config, appPrefix ? appPrefix : "", &notes};
  auto out = std::make_unique<LogFileOutput>();
  out->appPrefix = src.appPrefix;
  // The store is read before the log lock is taken: it may log itself.
  out->settings = LogLoadSettings(src);
  ApplySettings(*out);

  std::string systemDir;
  {
    LogState& s = State();
    LogLockGuard guard(s.logLock);
    systemDir = s.seams.systemDir ? s.seams.systemDir : kSystemDir;
  }
  LogFileOutput* opened = nullptr;
  if (ChooseFile(*out, src, systemDir.c_str(), notes)) {
    LogState& s = State();
    LogLockGuard guard(s.logLock);
    if (purgeOld && out->defaultName && out->settings.keepOld != 0) {
      std::string stem =
          out->settings.suffix.empty() ? "pallwin-" : "pallwin-" + out->settings.suffix + "-";
      FilePurgeOld(out->dirFd, stem, out->settings.keepOld, s.seams.processAlive);
    }
    out->fd = OpenFile(*out, !out->settings.append);
    if (out->fd < 0) {
      notes.push_back(
          Printf("Unable to open log file '%s': %s\n", out->fileName.c_str(), strerror(errno)));
    } else {
      struct stat st;
      out->regular = fstat(out->fd, &st) == 0 && S_ISREG(st.st_mode);
      if (out->settings.append && out->regular)
        out->bytesWritten = static_cast<uint64_t>(st.st_size);
      out->lastMeasureUs = Now(s);
      WriteHeader(s, *out);
      s.output = std::move(out);
      opened = s.output.get();
    }
  }
  for (const std::string& note : notes) LogNote(note);
  return opened;
}

}  // namespace

LogFileOutput* LogOpenFileOutput(const char* appPrefix, const LogParams& params,
                                 const ConfigAccessor* config, bool purgeOld) noexcept {
  try {
    return OpenFileOutput(appPrefix, params, config, purgeOld);
  } catch (...) {
    return nullptr;  // out of memory: no file output, as when none can be opened
  }
}

void LogSetFileLevel(LogFileOutput* output, int level) noexcept {
  LogState& s = State();
  LogLockGuard guard(s.logLock);
  if (output != nullptr && output == s.output.get()) output->settings.fileLevel = level;
}

std::string LogCurrentFileName() {
  LogState& s = State();
  LogLockGuard guard(s.logLock);
  return s.output ? s.output->fileName : std::string();
}

void LogShutdown() {
  LogState& s = State();
  std::unique_ptr<LogFileOutput> closing;
  {
    LogLockGuard guard(s.logLock);
    closing = std::move(s.output);
  }
}

void LogSetSeams(const LogSeams* seams) {
  LogState& s = State();
  LogLockGuard guard(s.logLock);
  s.seams = seams ? *seams : LogSeams{};
}
