#include "lib/file/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// Parses a decimal number written without a leading zero ("0" itself is
// fine) that fits in 32 bits.
std::optional<uint32_t> ParseNumber(std::string_view s) {
  if (s.empty() || s.size() > 10 || (s.size() > 1 && s[0] == '0')) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(v);
}

// The names in the directory `dirFd`, read through a duplicate so the
// caller's descriptor stays open and its position untouched.
std::vector<std::string> DirEntries(int dirFd) {
  std::vector<std::string> names;
  int copy = fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return names;
  DirHandle d(fdopendir(copy));
  if (!d) {
    close(copy);
    return names;
  }
  rewinddir(d.get());
  while (struct dirent* e = readdir(d.get())) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
      names.emplace_back(e->d_name);
  }
  return names;
}

bool StartsWith(std::string_view s, std::string_view p) {
  return s.size() >= p.size() && s.substr(0, p.size()) == p;
}
bool EndsWith(std::string_view s, std::string_view p) {
  return s.size() >= p.size() && s.substr(s.size() - p.size()) == p;
}

bool IsVarChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

}  // namespace

FilePathParts FileSplitPath(const std::string& path) {
  // Built from views and moved in whole: gcc 12 at -O3 misreads in-place
  // assignment of short literals as overlapping copies.
  std::string_view whole(path);
  size_t slash = whole.rfind('/');
  std::string_view dir = ".";
  std::string_view base = whole;
  if (slash != std::string_view::npos) {
    dir = slash == 0 ? whole.substr(0, 1) : whole.substr(0, slash);
    base = whole.substr(slash + 1);
  }
  size_t dot = base.rfind('.');
  // A leading dot names a hidden file, not an extension.
  if (dot == std::string_view::npos || dot == 0) dot = base.size();
  return FilePathParts{std::string(dir), std::string(base.substr(0, dot)),
                       std::string(base.substr(dot))};
}

std::string FileNumberedName(const FilePathParts& parts, uint32_t n) {
  return parts.stem + "-" + std::to_string(n) + parts.ext;
}

int FileOpenSafeDir(const std::string& dir, uid_t owner, bool create, mode_t mode) {
  if (create && mkdir(dir.c_str(), mode) != 0 && errno != EEXIST) return -1;
  // O_NOFOLLOW refuses a link in the last component; the checks then look at
  // the directory actually opened, not at whatever the name points to later.
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != owner ||
      (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    close(fd);
    errno = EACCES;
    return -1;
  }
  return fd;
}

bool FileEnsureSafeDir(const std::string& dir, uid_t owner) {
  int fd = FileOpenSafeDir(dir, owner, true, 0700);
  if (fd < 0) return false;
  close(fd);
  return true;
}

std::optional<std::string> FileExpandPath(const std::string& in, const char* home,
                                          FileEnvLookup lookup) {
  std::string out;
  size_t i = 0;
  if (!in.empty() && in[0] == '~' && (in.size() == 1 || in[1] == '/')) {
    if (home == nullptr || *home == '\0') return std::nullopt;
    out = home;
    i = 1;
  }
  while (i < in.size()) {
    char c = in[i];
    if (c != '$') {
      out += c;
      ++i;
      continue;
    }
    std::string name;
    if (i + 1 < in.size() && in[i + 1] == '{') {
      size_t close = in.find('}', i + 2);
      if (close == std::string::npos) return std::nullopt;
      name = in.substr(i + 2, close - i - 2);
      i = close + 1;
    } else {
      size_t j = i + 1;
      while (j < in.size() && IsVarChar(in[j])) ++j;
      name = in.substr(i + 1, j - i - 1);
      i = j;
    }
    if (name.empty()) {  // a lone "$" is taken literally
      out += '$';
      continue;
    }
    const char* value = lookup ? lookup(name.c_str()) : nullptr;
    if (value == nullptr) return std::nullopt;
    out += value;
  }
  return out;
}

std::vector<FileNumbered> FileListNumbered(int dirFd, const std::string& name) {
  FilePathParts parts = FileSplitPath(name);
  std::string head = parts.stem + "-";
  std::vector<FileNumbered> found;
  for (const std::string& entry : DirEntries(dirFd)) {
    if (!StartsWith(entry, head) || !EndsWith(entry, parts.ext)) continue;
    if (entry.size() < head.size() + parts.ext.size()) continue;
    std::string_view digits(entry);
    digits = digits.substr(head.size(), entry.size() - head.size() - parts.ext.size());
    if (auto n = ParseNumber(digits)) found.push_back({*n, FileNumberedName(parts, *n)});
  }
  std::sort(found.begin(), found.end(),
            [](const FileNumbered& a, const FileNumbered& b) { return a.number < b.number; });
  return found;
}

int FileRotateSlow(int dirFd, const std::string& name, int keepOld) {
  if (keepOld <= 0) return 0;
  FilePathParts parts = FileSplitPath(name);
  uint32_t last = static_cast<uint32_t>(keepOld - 1);
  unlinkat(dirFd, FileNumberedName(parts, last).c_str(), 0);
  // Only numbers that exist are moved, so an absurd keepOld costs nothing.
  std::vector<FileNumbered> old = FileListNumbered(dirFd, name);
  for (auto it = old.rbegin(); it != old.rend(); ++it) {
    if (it->number >= last) continue;
    renameat(dirFd, it->name.c_str(), dirFd, FileNumberedName(parts, it->number + 1).c_str());
  }
  if (renameat(dirFd, name.c_str(), dirFd, FileNumberedName(parts, 0).c_str()) != 0) return errno;
  return 0;
}

int FileRotateFast(int dirFd, const std::string& name, int keepOld) {
  if (keepOld <= 0) return 0;
  FilePathParts parts = FileSplitPath(name);
  std::vector<FileNumbered> old = FileListNumbered(dirFd, name);
  uint32_t next = 0;
  if (!old.empty() && old.back().number == UINT32_MAX) {
    // Out of numbers: close the gaps from 1 upwards. Going through temporary
    // names keeps a low number from overwriting one not yet moved.
    for (FileNumbered& f : old) {
      std::string tmp = f.name + ".renumber";
      if (renameat(dirFd, f.name.c_str(), dirFd, tmp.c_str()) == 0) f.name = tmp;
    }
    uint32_t n = 1;
    for (FileNumbered& f : old) {
      std::string target = FileNumberedName(parts, n);
      if (renameat(dirFd, f.name.c_str(), dirFd, target.c_str()) == 0) f = {n, target};
      ++n;
    }
    next = n;
  } else if (!old.empty()) {
    next = old.back().number + 1;
  }
  std::string target = FileNumberedName(parts, next);
  if (renameat(dirFd, name.c_str(), dirFd, target.c_str()) != 0) return errno;
  old.push_back({next, target});
  size_t keep = static_cast<size_t>(keepOld);
  for (size_t i = 0; i + keep < old.size(); ++i) unlinkat(dirFd, old[i].name.c_str(), 0);
  return 0;
}

bool FileProcessRunning(pid_t pid) {
  if (pid <= 0) return false;
  return kill(pid, 0) == 0 || errno == EPERM;
}

int FilePurgeOld(int dirFd, const std::string& prefix, int keepOld, FileProcessAlive alive) {
  if (keepOld <= 0) return 0;
  struct Candidate {
    struct timespec mtime;
    std::string path;
  };
  std::vector<Candidate> dead;
  for (const std::string& name : DirEntries(dirFd)) {
    if (!StartsWith(name, prefix) || !EndsWith(name, ".log")) continue;
    std::string_view digits(name);
    digits = digits.substr(prefix.size());
    if (digits.size() < 5) continue;
    digits.remove_suffix(4);
    auto pid = ParseNumber(digits);
    if (!pid || *pid > static_cast<uint32_t>(INT32_MAX)) continue;
    if ((alive ? alive : FileProcessRunning)(static_cast<pid_t>(*pid))) continue;
    struct stat st;
    if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
      continue;
    dead.push_back({st.st_mtim, name});
  }
  size_t keep = static_cast<size_t>(keepOld);
  if (dead.size() <= keep) return 0;
  std::sort(dead.begin(), dead.end(), [](const Candidate& a, const Candidate& b) {
    if (a.mtime.tv_sec != b.mtime.tv_sec) return a.mtime.tv_sec < b.mtime.tv_sec;
    if (a.mtime.tv_nsec != b.mtime.tv_nsec) return a.mtime.tv_nsec < b.mtime.tv_nsec;
    return a.path < b.path;
  });
  int removed = 0;
  for (size_t i = 0; i + keep < dead.size(); ++i)
    if (unlinkat(dirFd, dead[i].path.c_str(), 0) == 0) ++removed;
  return removed;
}
