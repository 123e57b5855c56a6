// File helpers for the log facility: the safe directory check, expansion of
// "~" and "$VAR" in configured names, the purge of logs left by finished
// processes, and the two ways of moving an old log out of the way
// (renumbering every old file, or giving the current one the next number).
//
// Everything after the directory check works through a directory
// descriptor: names are resolved inside the directory that was checked, so
// a directory renamed or replaced by a link afterwards cannot redirect a
// rename or a removal. Links are never followed inside it.
//
// Stateless; every function works on what it is given and may be called
// from any thread. Callers serialise operations on the same directory.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A log path cut into its directory, its name without extension, and the
// extension (with its dot, empty when there is none).
struct FilePathParts {
  std::string dir;
  std::string stem;
  std::string ext;
};
FilePathParts FileSplitPath(const std::string& path);
// "<stem>-<n><ext>": the name an old log numbered n carries, in the same
// directory as the log.
std::string FileNumberedName(const FilePathParts& parts, uint32_t n);

// Opens `dir` as a directory descriptor (close-on-exec) and checks, on the
// descriptor itself, that it is a real directory (the last component is
// never followed as a link), owned by `owner`, and not writable by group or
// others. With `create`, a missing directory is made first with `mode`.
// Returns the descriptor, or -1 with errno set (EACCES when the check
// fails).
int FileOpenSafeDir(const std::string& dir, uid_t owner, bool create, mode_t mode);
// The same check without keeping the descriptor; creates with mode 0700.
bool FileEnsureSafeDir(const std::string& dir, uid_t owner);

// Expands a leading "~" (or "~/") to `home` and every "$NAME" or "${NAME}"
// through `lookup`. Returns nothing when a variable is undefined, a brace is
// not closed or "~" is needed without a home, so a mistyped name never turns
// into a surprising path.
using FileEnvLookup = const char* (*)(const char* name);
std::optional<std::string> FileExpandPath(const std::string& in, const char* home,
                                          FileEnvLookup lookup);

// Old logs named "<stem>-<n><ext>" found next to `name` in the directory
// `dirFd`, n without a leading zero and within 32 bits; sorted by number.
// `name` is a plain file name (no slash); so are the names returned.
struct FileNumbered {
  uint32_t number;
  std::string name;
};
std::vector<FileNumbered> FileListNumbered(int dirFd, const std::string& name);

// Renumbering rotation: removes number keepOld-1, renames every lower number
// i to i+1 from the highest down, and makes `name` number 0.
// Returns 0 or the errno of the failed rename of `name` itself.
int FileRotateSlow(int dirFd, const std::string& name, int keepOld);
// Fast rotation: `name` takes the number after the highest existing one
// (renumbering all from 1 first when the highest is 4294967295), then the
// lowest numbers beyond keepOld are removed.
int FileRotateFast(int dirFd, const std::string& name, int keepOld);

// Deletes logs "<prefix><pid>.log" in the directory `dirFd` of processes no
// longer running, oldest first by modification time, until keepOld remain.
// Only regular files count (a link is neither counted nor touched); files of
// running processes are neither counted nor touched. Returns how many were
// deleted.
using FileProcessAlive = bool (*)(pid_t pid);
int FilePurgeOld(int dirFd, const std::string& prefix, int keepOld, FileProcessAlive alive);
// kill(pid, 0) tells whether the process exists (EPERM: it does).
bool FileProcessRunning(pid_t pid);
