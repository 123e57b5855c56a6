// File helpers for the log facility: the per-user safe directory check,
// expansion of "~" and "$VAR" in configured names, the purge of logs left by
// finished processes, and the two ways of moving an old log out of the way
// (renumbering every old file, or giving the current one the next number).
//
// Stateless; every function works on the paths it is given and may be called
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
// "<dir>/<stem>-<n><ext>": the name an old log numbered n carries.
std::string FileNumberedName(const FilePathParts& parts, uint32_t n);

// Creates `dir` (mode 0700) when missing, then checks that it is a real
// directory (not a symbolic link), owned by `owner`, and not writable by
// group or others.
bool FileEnsureSafeDir(const std::string& dir, uid_t owner);
// Creates `dir` (mode 0755) when missing; true when it is a directory after.
bool FileEnsureDir(const std::string& dir);

// Expands a leading "~" (or "~/") to `home` and every "$NAME" or "${NAME}"
// through `lookup`. Returns nothing when a variable is undefined, a brace is
// not closed or "~" is needed without a home, so a mistyped name never turns
// into a surprising path.
using FileEnvLookup = const char* (*)(const char* name);
std::optional<std::string> FileExpandPath(const std::string& in, const char* home,
                                          FileEnvLookup lookup);

// Old logs named "<stem>-<n><ext>" found next to `path`, n without a leading
// zero and within 32 bits; sorted by number.
struct FileNumbered {
  uint32_t number;
  std::string path;
};
std::vector<FileNumbered> FileListNumbered(const std::string& path);

// Renumbering rotation: removes number keepOld-1, renames every lower number
// i to i+1 from the highest down, and makes `path` number 0.
// Returns 0 or the errno of the failed rename of `path` itself.
int FileRotateSlow(const std::string& path, int keepOld);
// Fast rotation: `path` takes the number after the highest existing one
// (renumbering all from 1 first when the highest is 4294967295), then the
// lowest numbers beyond keepOld are removed.
int FileRotateFast(const std::string& path, int keepOld);

// Deletes logs "<dir>/<prefix><pid>.log" of processes no longer running,
// oldest first by modification time, until keepOld remain. Files of running
// processes are neither counted nor touched. Returns how many were deleted.
using FileProcessAlive = bool (*)(pid_t pid);
int FilePurgeOld(const std::string& dir, const std::string& prefix, int keepOld,
                 FileProcessAlive alive);
// kill(pid, 0) tells whether the process exists (EPERM: it does).
bool FileProcessRunning(pid_t pid);
